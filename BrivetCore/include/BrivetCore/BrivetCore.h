#pragma once
// Typed bridge over the core verification library (placeholder).
#include <cstdint>

namespace brivet::BrivetCore {
std::int64_t clampOfflineRuntime(std::int64_t seconds);
}

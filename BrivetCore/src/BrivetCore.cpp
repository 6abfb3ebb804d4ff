#include "BrivetCore/BrivetCore.h"

#include "brivet_core.h"

namespace brivet::BrivetCore {
std::int64_t clampOfflineRuntime(std::int64_t seconds) { return brivet_core_clamp_offline_runtime(seconds); }
}  // namespace brivet::BrivetCore

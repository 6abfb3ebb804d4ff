#pragma once
// The one representation of a point in time used across the libraries.
// Microseconds since the Unix epoch, so that far-future dates still fit.
#include <chrono>

namespace brivet {
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
}  // namespace brivet

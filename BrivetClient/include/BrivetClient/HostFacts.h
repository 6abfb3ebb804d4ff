#pragma once
// Facts about the machine that every host adapter reports the same way.

#include <cstdint>
#include <string>
#include <string_view>

namespace brivet {

// Up to three leading decimal numbers of a kernel release text joined by ".",
// missing ones written as 0 and leading zeros dropped ("6.1.0-18-amd64" is
// "6.1.0", "5.15" is "5.15.0", "unknown" is "0.0.0").
std::string versionFromRelease(std::string_view release);

// The running kernel's release as major.minor.patch; "0.0.0" when it cannot
// be read.
std::string kernelVersion();

// Whole seconds of CLOCK_MONOTONIC: it cannot be set by the user and stops
// while the machine sleeps; it starts again from a low value after a reboot.
std::int64_t monotonicClockSeconds();

}  // namespace brivet

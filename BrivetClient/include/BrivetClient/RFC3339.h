#pragma once
// The one text form of a point in time: the internet date-time of RFC 3339.
//
// Written texts are always UTC, whole seconds, ending in "Z"
// ("2025-03-01T08:05:09Z"). Read texts may carry a fraction of a second and
// either "Z" or a numeric offset ("+02:00").

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "BrivetCore/Instant.h"  // brivet::Instant

namespace brivet {
namespace RFC3339 {

// UTC text without fraction; the fraction of a second is floored. Instants
// outside the years 0000..9999 (which the form cannot express) are clamped to
// the first or last second of that range so every written text reads back.
std::string string(Instant instant);

// Parses "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)". Digits of the
// fraction beyond microseconds are dropped. Anything else (a bare date, an
// empty text, an impossible date or time) gives no value.
std::optional<Instant> date(std::string_view text);

// Convenience for whole Unix seconds (saturating, never overflowing).
Instant fromUnixSeconds(std::int64_t seconds);
std::int64_t unixSeconds(Instant instant);  // floored

}  // namespace RFC3339
}  // namespace brivet

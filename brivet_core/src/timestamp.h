// RFC 3339 date-times: reading (any offset, optional fraction) and writing
// (UTC, whole seconds).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brivet::core::timestamp {

// A point in time: seconds since 1970-01-01T00:00:00Z plus nanoseconds.
struct Instant {
    int64_t seconds = 0;
    uint32_t nanos = 0;
    auto operator<=>(const Instant&) const = default;
};

// Reads "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)". The letters T and
// Z may be lower case; a leap second (60) is refused. Fraction digits beyond
// nanoseconds are dropped.
std::optional<Instant> parse(std::string_view text);

// True when the instant's UTC year lies in 0000 ... 9999, so that `format`
// can write it.
bool formattable(const Instant& instant);

// "YYYY-MM-DDTHH:MM:SSZ" in UTC with the fraction dropped (not rounded); the
// empty text when the UTC year lies outside 0000 ... 9999.
std::string format(const Instant& instant);

}  // namespace brivet::core::timestamp

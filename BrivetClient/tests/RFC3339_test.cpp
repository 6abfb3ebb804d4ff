#include "BrivetClient/RFC3339.h"

#include <gtest/gtest.h>

#include <limits>

using namespace brivet;
using std::chrono::microseconds;

namespace {

Instant at(std::int64_t micros) { return Instant{microseconds{micros}}; }

std::int64_t micros(const std::optional<Instant>& instant) {
    return instant->time_since_epoch().count();
}

}  // namespace

TEST(RFC3339, FormatsUTCWholeSecondsFlooringTheFraction) {
    EXPECT_EQ(RFC3339::string(at(1740816309750000)), "2025-03-01T08:05:09Z");
    EXPECT_EQ(RFC3339::string(at(0)), "1970-01-01T00:00:00Z");
    // Before the epoch the fraction still floors towards the past.
    EXPECT_EQ(RFC3339::string(at(-1)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(RFC3339::string(at(951782400LL * 1000000)), "2000-02-29T00:00:00Z");
}

TEST(RFC3339, ParsesZuluFractionsAndOffsets) {
    EXPECT_EQ(micros(RFC3339::date("2025-01-01T00:00:00Z")), 1735689600LL * 1000000);
    EXPECT_EQ(micros(RFC3339::date("2025-01-01T00:00:00.250Z")), 1735689600LL * 1000000 + 250000);
    EXPECT_EQ(micros(RFC3339::date("2025-01-01T02:00:00+02:00")), 1735689600LL * 1000000);
    EXPECT_EQ(micros(RFC3339::date("2024-12-31T19:30:00-04:30")), 1735689600LL * 1000000);
    // Digits beyond microseconds are dropped, not rounded.
    EXPECT_EQ(micros(RFC3339::date("2025-01-01T00:00:00.1234569Z")), 1735689600LL * 1000000 + 123456);
    EXPECT_EQ(micros(RFC3339::date("2025-01-01t00:00:00z")), 1735689600LL * 1000000);
}

TEST(RFC3339, RejectsAnythingElse) {
    for (const char* text : {"", "2025-01-01", "2025-01-01T00:00:00", "2025-01-01 00:00:00Z",
                             "2025-02-30T00:00:00Z", "2025-13-01T00:00:00Z", "2025-01-01T24:00:00Z",
                             "2025-01-01T00:60:00Z", "2025-01-01T00:00:60Z", "2025-01-01T00:00:00.Z",
                             "2025-01-01T00:00:00+0200", "2025-01-01T00:00:00+24:00", "2025-01-01T00:00:00Zjunk",
                             "+12025-01-01T00:00:00Z", "２025-01-01T00:00:00Z", "2025-1-01T00:00:00Z"}) {
        EXPECT_FALSE(RFC3339::date(text).has_value()) << text;
    }
}

TEST(RFC3339, RoundTripsAndSurvivesAbsurdInstants) {
    for (std::int64_t s : {0LL, 1LL, 1735689600LL, 253402300799LL, -62167219200LL}) {
        const Instant instant = RFC3339::fromUnixSeconds(s);
        EXPECT_EQ(RFC3339::date(RFC3339::string(instant)), instant) << s;
    }
    // Beyond what four-digit years express: clamped, and still readable.
    const Instant far = Instant::max();
    EXPECT_EQ(RFC3339::string(far), "9999-12-31T23:59:59Z");
    EXPECT_EQ(RFC3339::string(Instant::min()), "0000-01-01T00:00:00Z");
    EXPECT_TRUE(RFC3339::date(RFC3339::string(far)).has_value());
    // Whole-second conversion saturates instead of overflowing.
    EXPECT_EQ(RFC3339::fromUnixSeconds(std::numeric_limits<std::int64_t>::max()).time_since_epoch().count(),
              std::numeric_limits<std::int64_t>::max() / 1000000 * 1000000);
    EXPECT_EQ(RFC3339::unixSeconds(at(-1)), -1);
    EXPECT_EQ(RFC3339::date("9999-12-31T23:59:59.999999-23:59").has_value(), true);
    EXPECT_EQ(RFC3339::date("0000-01-01T00:00:00+23:59").has_value(), true);
}

#include "BrivetClient/OfflineRelease.h"

#include <gtest/gtest.h>

#include <limits>

using brivet::DecodingError;
using brivet::Instant;
using brivet::Json;
using brivet::OfflineReleaseAccumulator;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

const Instant lockEnd = Instant(std::chrono::sys_days{std::chrono::year{2030} / 1 / 1});
const Instant after = lockEnd + 1h;
const Instant before = lockEnd - 1s;

TEST(OfflineReleaseTest, CountsRuntimeAfterTheLockEnd) {
    OfflineReleaseAccumulator accumulator;
    accumulator.record(100, after, lockEnd);
    EXPECT_EQ(accumulator.accumulatedSeconds, 0);  // the first reading is only the reference
    EXPECT_EQ(accumulator.lastMonotonicSeconds, 100);
    accumulator.record(160, after, lockEnd);
    EXPECT_EQ(accumulator.accumulatedSeconds, 60);
}

TEST(OfflineReleaseTest, AReadingThatGoesBackAddsNothingAndBecomesTheReference) {
    OfflineReleaseAccumulator accumulator;
    for (std::int64_t reading : {100, 160, 30, 90}) accumulator.record(reading, after, lockEnd);
    EXPECT_EQ(accumulator.accumulatedSeconds, 120);
    EXPECT_EQ(accumulator.lastMonotonicSeconds, 90);
}

TEST(OfflineReleaseTest, NothingCountsWithoutOrBeforeTheLockEnd) {
    OfflineReleaseAccumulator uncommitted;
    for (std::int64_t reading : {100, 160, 30, 90}) uncommitted.record(reading, after, std::nullopt);
    EXPECT_EQ(uncommitted.accumulatedSeconds, 0);
    EXPECT_EQ(uncommitted.lastMonotonicSeconds, 90);

    OfflineReleaseAccumulator early;
    early.record(100, before, lockEnd);
    early.record(200, before, lockEnd);
    EXPECT_EQ(early.accumulatedSeconds, 0);
    // The first call at the lock end counts the whole gap since the previous one.
    early.record(500, lockEnd, lockEnd);
    EXPECT_EQ(early.accumulatedSeconds, 300);
}

TEST(OfflineReleaseTest, ResetStartsTheCountAgain) {
    OfflineReleaseAccumulator accumulator;
    accumulator.record(100, after, lockEnd);
    accumulator.record(400, after, lockEnd);
    accumulator.reset();
    EXPECT_EQ(accumulator, OfflineReleaseAccumulator());
    accumulator.record(500, after, lockEnd);
    EXPECT_EQ(accumulator.accumulatedSeconds, 0);
    EXPECT_EQ(accumulator.lastMonotonicSeconds, 500);
}

TEST(OfflineReleaseTest, DueComparesWithTheClampedRuntime) {
    OfflineReleaseAccumulator accumulator;
    accumulator.accumulatedSeconds = 86400;
    EXPECT_TRUE(accumulator.due(0));  // clamped up to one day
    EXPECT_TRUE(accumulator.due(86400));
    EXPECT_FALSE(accumulator.due(86401));
    EXPECT_FALSE(accumulator.due(kMax));
    accumulator.accumulatedSeconds = 2592000;
    EXPECT_TRUE(accumulator.due(kMax));  // clamped down to thirty days
}

// Damaged stored readings or a jumping clock must not overflow: the step is
// dropped and the new reading becomes the reference.
TEST(OfflineReleaseTest, StepsThatWouldOverflowAreNotCounted) {
    OfflineReleaseAccumulator accumulator;
    accumulator.lastMonotonicSeconds = kMin;
    accumulator.record(kMax, after, lockEnd);
    EXPECT_EQ(accumulator.accumulatedSeconds, 0);
    EXPECT_EQ(accumulator.lastMonotonicSeconds, kMax);

    OfflineReleaseAccumulator nearlyFull;
    nearlyFull.accumulatedSeconds = kMax - 10;
    nearlyFull.lastMonotonicSeconds = 0;
    nearlyFull.record(11, after, lockEnd);
    EXPECT_EQ(nearlyFull.accumulatedSeconds, kMax - 10);
    EXPECT_EQ(nearlyFull.lastMonotonicSeconds, 11);
    nearlyFull.record(21, after, lockEnd);
    EXPECT_EQ(nearlyFull.accumulatedSeconds, kMax);

    OfflineReleaseAccumulator negative;
    negative.accumulatedSeconds = kMin;
    negative.lastMonotonicSeconds = -5;
    negative.record(5, after, lockEnd);
    EXPECT_EQ(negative.accumulatedSeconds, kMin + 10);

    // Instants at the ends of the range compare without arithmetic.
    OfflineReleaseAccumulator extremes;
    extremes.record(1, Instant::max(), Instant::min());
    extremes.record(2, Instant::max(), Instant::min());
    EXPECT_EQ(extremes.accumulatedSeconds, 1);
}

TEST(OfflineReleaseTest, CodesItsFileForm) {
    EXPECT_EQ(OfflineReleaseAccumulator().toJSON().dump(), R"({"accumulatedSeconds":0})");
    OfflineReleaseAccumulator full{42, 1000};
    EXPECT_EQ(full.toJSON().dump(), R"({"accumulatedSeconds":42,"lastMonotonicSeconds":1000})");
    EXPECT_EQ(OfflineReleaseAccumulator::fromJSON(full.toJSON()), full);
    Json viaAdl = full;
    EXPECT_EQ(viaAdl.get<OfflineReleaseAccumulator>(), full);

    auto five = OfflineReleaseAccumulator::fromJSON(Json::parse(R"({"accumulatedSeconds":5})"));
    EXPECT_EQ(five, (OfflineReleaseAccumulator{5, std::nullopt}));
    auto nullReading = OfflineReleaseAccumulator::fromJSON(Json::parse(R"({"accumulatedSeconds":5,"lastMonotonicSeconds":null})"));
    EXPECT_EQ(nullReading.lastMonotonicSeconds, std::nullopt);

    for (const char* bad : {R"({})", R"({"lastMonotonicSeconds":3})", R"({"accumulatedSeconds":5.5})",
                            R"({"accumulatedSeconds":"5"})", R"({"accumulatedSeconds":1e300})",
                            R"({"accumulatedSeconds":9223372036854775808})",
                            R"({"accumulatedSeconds":1,"lastMonotonicSeconds":"2"})", R"([0])"}) {
        EXPECT_THROW(OfflineReleaseAccumulator::fromJSON(Json::parse(bad)), DecodingError) << bad;
    }
}

}  // namespace

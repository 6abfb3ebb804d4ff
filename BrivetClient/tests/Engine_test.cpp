#include "BrivetClient/Engine.h"

#include <gtest/gtest.h>
#include <limits>

using brivet::FilterStatus;
using nlohmann::json;
namespace JSONCoding = brivet::JSONCoding;

namespace {
std::string encodeStatus(const FilterStatus& s) { return JSONCoding::plainEncode(s); }
FilterStatus decodeStatus(std::string_view text) { return JSONCoding::plainDecode<FilterStatus>(text); }
}  // namespace

TEST(FilterStatus, RoundTripsWithAndWithoutStartTime) {
    FilterStatus running{true, 42, 7, std::string("2025-03-01T08:05:09Z"), 3};
    EXPECT_EQ(encodeStatus(running),
              R"({"running":true,"policySeq":42,"blocklistVersion":7,)"
              R"("startedAt":"2025-03-01T08:05:09Z","pendingEvents":3})");
    EXPECT_EQ(decodeStatus(encodeStatus(running)), running);

    FilterStatus stopped{false, -1, 0, std::nullopt, 0};
    auto text = encodeStatus(stopped);
    EXPECT_FALSE(json::parse(text).contains("startedAt"));
    EXPECT_EQ(decodeStatus(text), stopped);

    // Unknown members are ignored; a null start time counts as absent.
    auto decoded = decodeStatus(
        R"({"running":false,"policySeq":1,"blocklistVersion":2,"pendingEvents":9,"startedAt":null,"extra":[1]})");
    EXPECT_EQ(decoded, (FilterStatus{false, 1, 2, std::nullopt, 9}));
}

TEST(FilterStatus, ExtremeIntegersSurvive) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    const auto min = std::numeric_limits<std::int64_t>::min();
    FilterStatus s{true, max, min, std::nullopt, max};
    EXPECT_EQ(decodeStatus(encodeStatus(s)), s);
}

TEST(FilterStatus, RejectsMissingOrMistypedMembers) {
    const json full = json::parse(R"({"running":true,"policySeq":1,"blocklistVersion":2,"pendingEvents":3})");
    for (const char* key : {"running", "policySeq", "blocklistVersion", "pendingEvents"}) {
        json j = full;
        j.erase(key);
        EXPECT_THROW(decodeStatus(j.dump()), brivet::DecodingError) << key;
    }
    const char* bad[] = {
        R"({"running":"yes","policySeq":1,"blocklistVersion":2,"pendingEvents":3})",
        R"({"running":1,"policySeq":1,"blocklistVersion":2,"pendingEvents":3})",
        R"({"running":true,"policySeq":1.5,"blocklistVersion":2,"pendingEvents":3})",
        R"({"running":true,"policySeq":"1","blocklistVersion":2,"pendingEvents":3})",
        R"({"running":true,"policySeq":9223372036854775808,"blocklistVersion":2,"pendingEvents":3})",
        R"({"running":true,"policySeq":1,"blocklistVersion":2,"pendingEvents":3,"startedAt":5})",
        R"([true,1,2,3])",
        R"({"running":true,"policySeq":1,"blocklistVersion":2,"pendingEvents":3)",
        "",
    };
    for (const char* text : bad) EXPECT_THROW(decodeStatus(text), brivet::DecodingError) << text;
}

TEST(MonotonicClock, NeverGoesBackwards) {
    auto a = brivet::monotonicClockSeconds();
    auto b = brivet::monotonicClockSeconds();
    EXPECT_GE(a, 0);
    EXPECT_LE(a, b);
}

// ---- engine helpers that need no service

#include <cmath>

using brivet::Instant;
using brivet::ProtectionEngine;

TEST(EngineDue, UnsetIsDueAndIntervalsCompareInSeconds) {
    const Instant t0 = *brivet::RFC3339::date("2026-03-01T12:00:00Z");
    EXPECT_TRUE(ProtectionEngine::isDue(std::nullopt, 1e300, t0));
    EXPECT_TRUE(ProtectionEngine::isDue(std::nullopt, std::nan(""), t0));
    EXPECT_FALSE(ProtectionEngine::isDue(t0, 60, t0 + std::chrono::microseconds(59'999'999)));
    EXPECT_TRUE(ProtectionEngine::isDue(t0, 60, t0 + std::chrono::seconds(60)));
    // Zero or negative: every time, also right away.
    EXPECT_TRUE(ProtectionEngine::isDue(t0, 0, t0));
    EXPECT_TRUE(ProtectionEngine::isDue(t0, -5, t0 - std::chrono::seconds(4)));
    // A clock that stepped back is due only once it passed the stored instant
    // by the interval.
    EXPECT_FALSE(ProtectionEngine::isDue(t0, 0.5, t0 - std::chrono::hours(1)));
    // Not-a-number is never due by time; infinity never after the first run.
    EXPECT_FALSE(ProtectionEngine::isDue(t0, std::nan(""), t0 + std::chrono::hours(1000)));
    EXPECT_FALSE(ProtectionEngine::isDue(t0, INFINITY, t0 + std::chrono::hours(1000)));
    EXPECT_TRUE(ProtectionEngine::isDue(t0, -INFINITY, t0 - std::chrono::hours(1000)));
}

TEST(EngineDue, ExtremeInstantsDoNotOverflow) {
    const Instant lowest = Instant::min();
    const Instant highest = Instant::max();
    // The difference of these two does not fit any 64-bit count.
    EXPECT_TRUE(ProtectionEngine::isDue(lowest, 86400, highest));
    EXPECT_FALSE(ProtectionEngine::isDue(highest, 86400, lowest));
    EXPECT_FALSE(ProtectionEngine::isDue(highest, 0, lowest));
    EXPECT_TRUE(ProtectionEngine::isDue(highest, 0, highest));
}

TEST(EngineDescribe, ServiceErrorsAndOthers) {
    auto text = [](auto error) { return ProtectionEngine::describe(std::make_exception_ptr(error)); };
    EXPECT_EQ(text(brivet::APIError::http(429, "rate_limited", "slow down")), "http 429 rate_limited");
    EXPECT_EQ(text(brivet::APIError::transport("timed out")), "transport timed out");
    EXPECT_EQ(text(brivet::APIError::decoding("bad json")), "decoding bad json");
    EXPECT_EQ(text(brivet::APIError::notEnrolled()), "not enrolled");
    EXPECT_EQ(text(std::runtime_error("disk full")), "disk full");
    EXPECT_EQ(text(42), "unknown error");
}

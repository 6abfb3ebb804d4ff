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

// The bridge's value types and their JSON coding.
#include "BrivetCore/BrivetCore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using brivet::JSONValue;
using brivet::PinnedKeys;
using brivet::BrivetCore::ClientState;
using brivet::BrivetCore::CoreError;
using brivet::BrivetCore::DecodingError;
using brivet::BrivetCore::EncodingError;
using brivet::BrivetCore::PolicyOutcome;
using nlohmann::json;

namespace {

JSONValue decode(const std::string& text) { return json::parse(text).get<JSONValue>(); }
std::string encode(const JSONValue& value) { return json(value).dump(); }

TEST(JSONValueTest, DecodesEachKindAndReadsNumbersAsIntegersOnlyWhenExact) {
    EXPECT_EQ(decode("null").kind(), JSONValue::Kind::null);
    EXPECT_EQ(decode("true"), JSONValue(true));
    EXPECT_EQ(decode("3"), JSONValue(3));
    EXPECT_EQ(decode("3").kind(), JSONValue::Kind::number);
    EXPECT_EQ(decode("3").intValue(), 3);
    EXPECT_EQ(decode("3.0").intValue(), 3);
    EXPECT_NE(decode("3"), decode("3.0"));  // numbers compare by kind, as in the core
    EXPECT_EQ(decode("2.5").numberValue(), 2.5);
    EXPECT_EQ(decode("2.5").intValue(), std::nullopt);
    EXPECT_EQ(decode("\"3\"").stringValue(), "3");
    EXPECT_EQ(decode("\"3\"").intValue(), std::nullopt);
    EXPECT_EQ(decode("3").stringValue(), std::nullopt);
    EXPECT_EQ(decode("true").intValue(), std::nullopt);

    JSONValue nested = decode(R"({"a":[1,"x",null,{"b":false}]})");
    ASSERT_NE(nested.find("a"), nullptr);
    const auto* array = nested.find("a")->arrayValue();
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->size(), 4u);
    EXPECT_EQ((*array)[1], JSONValue("x"));
    EXPECT_TRUE((*array)[2].isNull());
    EXPECT_EQ((*array)[3].find("b")->boolValue(), false);
    EXPECT_EQ(nested.find("missing"), nullptr);
    EXPECT_EQ(JSONValue(1.0).find("a"), nullptr);
}

TEST(JSONValueTest, IntValueHonoursTheSigned64BitBounds) {
    // -2^63 is representable; 2^63 (what INT64_MAX rounds to as a double) is not.
    EXPECT_EQ(JSONValue(-9223372036854775808.0).intValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(JSONValue(9223372036854775808.0).intValue(), std::nullopt);
    EXPECT_EQ(JSONValue(9223372036854774784.0).intValue(), 9223372036854774784LL);
    EXPECT_EQ(JSONValue(-9223372036854777856.0).intValue(), std::nullopt);
    EXPECT_EQ(JSONValue(1e300).intValue(), std::nullopt);
    EXPECT_EQ(JSONValue(std::numeric_limits<double>::infinity()).intValue(), std::nullopt);
    EXPECT_EQ(JSONValue(std::nan("")).intValue(), std::nullopt);
    EXPECT_EQ(JSONValue(-0.0).intValue(), 0);
}

TEST(JSONValueTest, WritesNumbersInTheirKind) {
    EXPECT_EQ(encode(JSONValue(7.0)), "7.0");
    EXPECT_EQ(encode(JSONValue(-7.0)), "-7.0");
    EXPECT_EQ(encode(JSONValue(2.5)), "2.5");
    EXPECT_EQ(encode(JSONValue(-0.0)), "-0.0");
    EXPECT_EQ(encode(JSONValue(2592000)), "2592000");
    EXPECT_EQ(encode(JSONValue(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
    EXPECT_EQ(encode(JSONValue(1e19)), "1e+19");
    EXPECT_EQ(encode(JSONValue(1e300)), "1e+300");
    EXPECT_EQ(encode(JSONValue()), "null");
    EXPECT_EQ(encode(decode(R"({"b":[1,2.0,1e2,-0.0,"s"],"a":{"v":1}})")), R"({"a":{"v":1},"b":[1,2.0,100.0,-0.0,"s"]})");
}

TEST(JSONValueTest, KeepsIntegersExact) {
    const JSONValue above53 = decode("9007199254740993");
    EXPECT_EQ(above53.intValue(), 9007199254740993LL);
    EXPECT_EQ(encode(above53), "9007199254740993");
    EXPECT_NE(above53, decode("9007199254740992"));

    const JSONValue largest = decode("18446744073709551615");
    EXPECT_EQ(encode(largest), "18446744073709551615");
    EXPECT_EQ(largest.intValue(), std::nullopt);  // above the signed range
    ASSERT_NE(largest.number(), nullptr);
    EXPECT_EQ(*largest.number()->uint64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(largest.numberValue(), 18446744073709551616.0);
    EXPECT_EQ(decode("9223372036854775807"), JSONValue(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(decode("-9223372036854775808").intValue(), std::numeric_limits<std::int64_t>::min());
    // One integer has one form, whichever type it was made from.
    EXPECT_EQ(JSONValue(std::uint64_t{5}), JSONValue(std::int64_t{5}));
    EXPECT_EQ(JSONValue(5u), JSONValue(5));
}

TEST(JSONValueTest, RoundTripsThroughItsTextForm) {
    const std::string text =
        R"({"categories":["ads","malware"],"kind":"commitment","n":-12,"f":0.125,"z":null,"t":true,)"
        R"("d":[1.0,-0.0,1e2,9007199254740993,18446744073709551615]})";
    JSONValue once = decode(text);
    EXPECT_EQ(decode(encode(once)), once);
}

TEST(JSONValueTest, RefusesNestingBeyondTheLimitWithoutExhaustingTheStack) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(decode(nested(JSONValue::maxDepth)));
    EXPECT_THROW(decode(nested(JSONValue::maxDepth + 2)), DecodingError);
    EXPECT_THROW(decode(nested(100000)), DecodingError);
}

TEST(ClientStateTest, FreshStateEncodesSequenceZeroWithoutPolicy) {
    json encoded = ClientState("d1", "i1");
    EXPECT_EQ(encoded, json::parse(R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":0})"));
    EXPECT_FALSE(encoded.contains("policy"));
    EXPECT_FALSE(encoded.contains("policy_bytes"));
}

TEST(ClientStateTest, DecodesOptionalMembersAndTreatsNullAsAbsent) {
    auto state = json::parse(R"({"device_id":"d","installation_id":"i","highest_policy_seq":4,
                                 "policy":{"kind":"commitment","blocklist_version":7},"policy_bytes":"eyJ9"})")
                     .get<ClientState>();
    EXPECT_EQ(state.highestPolicySeq, 4);
    ASSERT_TRUE(state.policy);
    EXPECT_EQ(state.policy->at("blocklist_version").intValue(), 7);
    EXPECT_EQ(state.policyBytes, "eyJ9");
    EXPECT_EQ(json(state).get<ClientState>(), state);
    EXPECT_EQ(json(state)["policy"]["blocklist_version"].dump(), "7");

    auto bare = json::parse(R"({"device_id":"d","installation_id":"i","highest_policy_seq":-1,
                                "policy":null,"policy_bytes":null})")
                    .get<ClientState>();
    EXPECT_EQ(bare.highestPolicySeq, -1);
    EXPECT_FALSE(bare.policy);
    EXPECT_FALSE(bare.policyBytes);
}

TEST(ClientStateTest, RefusesMissingOrMistypedMembers) {
    const char* bad[] = {
        R"({"installation_id":"i","highest_policy_seq":0})",
        R"({"device_id":"d","highest_policy_seq":0})",
        R"({"device_id":"d","installation_id":"i"})",
        R"({"device_id":1,"installation_id":"i","highest_policy_seq":0})",
        R"({"device_id":"d","installation_id":"i","highest_policy_seq":1.5})",
        R"({"device_id":"d","installation_id":"i","highest_policy_seq":"1"})",
        R"({"device_id":"d","installation_id":"i","highest_policy_seq":9223372036854775808})",
        R"({"device_id":"d","installation_id":"i","highest_policy_seq":0,"policy":[1]})",
        R"({"device_id":"d","installation_id":"i","highest_policy_seq":0,"policy_bytes":5})",
        R"(["d","i",0,null,null])",
    };
    for (const char* text : bad) {
        EXPECT_THROW(json::parse(text).get<ClientState>(), DecodingError) << text;
    }
    auto largest = json::parse(R"({"device_id":"d","installation_id":"i","highest_policy_seq":9223372036854775807})")
                       .get<ClientState>();
    EXPECT_EQ(largest.highestPolicySeq, std::numeric_limits<std::int64_t>::max());
}

TEST(PinnedKeysTest, CodesBothListsAndWritesStateOnlyWhenPresent) {
    PinnedKeys keys({{"p1", "AAAA", std::nullopt}}, {{"r1", "BBBB", std::string("retired")}});
    json encoded = keys;
    EXPECT_EQ(encoded, json::parse(R"({"policy_keys":[{"id":"p1","public":"AAAA"}],
                                       "release_keys":[{"id":"r1","public":"BBBB","state":"retired"}]})"));
    EXPECT_EQ(encoded.get<PinnedKeys>(), keys);

    auto withNullState = json::parse(R"({"id":"k","public":"x","state":null,"other":1})").get<PinnedKeys::Key>();
    EXPECT_EQ(withNullState, (PinnedKeys::Key{"k", "x", std::nullopt}));

    EXPECT_THROW(json::parse(R"({"policy_keys":[]})").get<PinnedKeys>(), DecodingError);
    EXPECT_THROW(json::parse(R"({"policy_keys":[{"id":"k"}],"release_keys":[]})").get<PinnedKeys>(), DecodingError);
    EXPECT_THROW(json::parse(R"({"policy_keys":[{"id":"k","public":"x","state":3}],"release_keys":[]})")
                     .get<PinnedKeys>(),
                 DecodingError);
    EXPECT_THROW(json::parse(R"({"policy_keys":{},"release_keys":[]})").get<PinnedKeys>(), DecodingError);
}

TEST(BridgeValuesTest, OutcomesErrorsAndResults) {
    EXPECT_EQ(brivet::BrivetCore::policyOutcomeFromString("applied"), PolicyOutcome::applied);
    EXPECT_EQ(brivet::BrivetCore::policyOutcomeFromString("ignored"), PolicyOutcome::ignored);
    EXPECT_EQ(brivet::BrivetCore::policyOutcomeFromString("Applied"), std::nullopt);
    EXPECT_THROW(json("other").get<PolicyOutcome>(), DecodingError);
    EXPECT_EQ(json(PolicyOutcome::ignored), json("ignored"));

    CoreError error("bad_signature", {{"error", "bad_signature"}, {"ok", false}});
    EXPECT_STREQ(error.what(), "bad_signature");

    auto release = json::parse(R"({"effective_at":"2030-01-01T00:00:00Z","key_id":"r","minimum_client_version":3,
                                   "ok":true,"reason":"service_shutdown"})")
                       .get<brivet::BrivetCore::VerifiedRelease>();
    EXPECT_EQ(release, (brivet::BrivetCore::VerifiedRelease{"r", "2030-01-01T00:00:00Z", 3, "service_shutdown"}));
    EXPECT_THROW(json::parse(R"({"effective_at":"x","key_id":"r","reason":"s"})").get<brivet::BrivetCore::VerifiedRelease>(),
                 DecodingError);

    auto attestation = json::parse(R"({"commitment_id":null,"commitment_status":"none","ok":true,"policy_seq":-4,
                                       "server_time":"2030-06-01T12:00:00Z"})")
                           .get<brivet::BrivetCore::Attestation>();
    EXPECT_EQ(attestation.commitmentId, std::nullopt);
    EXPECT_EQ(attestation.policySeq, -4);
    EXPECT_EQ(json(attestation).get<brivet::BrivetCore::Attestation>(), attestation);
}

TEST(BridgeValuesTest, TextsThatAreNotUTF8CannotBeEncoded) {
    ClientState state("d\xff", "i");
    EXPECT_THROW(brivet::BrivetCore::applyPolicy(state, "{}", PinnedKeys()), EncodingError);
}

}  // namespace

namespace {

// Records that embed bridge values code them through ordered_json too.
TEST(BridgeValuesTest, CodesThroughOrderedJSONLikeThroughJSON) {
    ClientState state("d1", "i1");
    state.highestPolicySeq = 9;
    state.policy = JSONValue::Object{{"blocklist_version", 7}, {"categories", JSONValue::Array{"ads"}}};
    nlohmann::ordered_json ordered = state;
    EXPECT_EQ(ordered["policy"]["blocklist_version"].dump(), "7");
    EXPECT_EQ(ordered.get<ClientState>(), state);

    PinnedKeys keys({{"p", "x", std::nullopt}}, {});
    EXPECT_EQ(nlohmann::ordered_json(keys).get<PinnedKeys>(), keys);

    auto deep = nlohmann::ordered_json::parse(std::string(5000, '[') + std::string(5000, ']'));
    EXPECT_THROW(deep.get<JSONValue>(), DecodingError);
}

}  // namespace

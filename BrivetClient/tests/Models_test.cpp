#include "BrivetClient/Models.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace brivet;

TEST(Platform, MatchesExactTextOnly) {
    EXPECT_EQ(platformFromRawValue("macos"), Platform::macos);
    EXPECT_EQ(platformFromRawValue("android"), Platform::android);
    EXPECT_EQ(rawValue(Platform::windows), "windows");
    EXPECT_EQ(rawValue(Platform::ios), "ios");
    EXPECT_EQ(platformFromRawValue("MacOS"), std::nullopt);
    EXPECT_EQ(platformFromRawValue(""), std::nullopt);
}

TEST(Models, ReplyRecordsDecodeFromEitherSpelling) {
    EXPECT_EQ(JSONCoding::decode<EnrollmentResult>(R"({"device_id":"d","device_token":"t","policy_seq":3})"),
              (EnrollmentResult{"d", "t", 3}));
    EXPECT_EQ(JSONCoding::decode<EnrollmentResult>(R"({"deviceId":"d","deviceToken":"t","policySeq":3,"x":1})"),
              (EnrollmentResult{"d", "t", 3}));
    EXPECT_EQ(JSONCoding::decode<HeartbeatResult>(
                  R"({"policy_seq":9,"server_time":"2025-01-01T00:00:00Z","protection_state":"protected"})"),
              (HeartbeatResult{9, "2025-01-01T00:00:00Z", "protected"}));
    EXPECT_EQ(JSONCoding::decode<EventBatchResult>(R"({"accepted":2,"deduplicated":1})"),
              (EventBatchResult{2, 1}));
}

TEST(Models, ReplyRecordsRejectMalformedInput) {
    for (const char* text : {
             R"({"device_id":"d","device_token":"t"})",                 // missing key
             R"({"device_id":"d","device_token":"t","policy_seq":"3"})",  // quoted integer
             R"({"device_id":"d","device_token":"t","policy_seq":3.5})",  // fractional
             R"({"device_id":1,"device_token":"t","policy_seq":3})",      // wrong type
             R"({"device_id":null,"device_token":"t","policy_seq":3})",
             R"([])", R"("text")", R"(null)"}) {
        EXPECT_THROW(JSONCoding::decode<EnrollmentResult>(text), DecodingError) << text;
    }
    EXPECT_THROW(JSONCoding::decode<EventBatchResult>(R"({"accepted":1})"), DecodingError);
    EXPECT_THROW(JSONCoding::decode<HeartbeatResult>(R"({"policy_seq":1,"server_time":2,"protection_state":"p"})"),
                 DecodingError);
}

TEST(Models, HeartbeatFactsWireForm) {
    HeartbeatFacts facts{"1.2", "14.1", 7, true, false, true, false};
    EXPECT_EQ(JSONCoding::encode(facts),
              R"({"client_version":"1.2","os_version":"14.1","acknowledged_policy_seq":7,"policy_valid":true,)"
              R"("vpn_active":false,"usage_access_active":true,"app_monitor_active":false,)"
              R"("accessibility_active":false,"private_dns_mode":"unknown","integrity_state":"unavailable"})");

    facts.revocations = HeartbeatFacts::Revocations{};
    EXPECT_NE(JSONCoding::encode(facts).find(R"("revocations":{})"), std::string::npos);

    facts.integrityCheckedAt = "2025-01-01T00:00:00Z";
    facts.revocations->vpnRevokedAt = "2025-01-02T00:00:00Z";
    const std::string wire = JSONCoding::encode(facts);
    EXPECT_NE(wire.find(R"("integrity_checked_at":"2025-01-01T00:00:00Z","revocations":{"vpn_revoked_at":)"),
              std::string::npos);
    EXPECT_EQ(JSONCoding::decode<HeartbeatFacts>(wire), facts);
}

TEST(Models, CoalescedEventTwoCodings) {
    const CoalescedEvent bare{"bypass_attempted", "blocked", std::nullopt, std::nullopt,
                              "2025-01-01T00:00:00Z", "2025-01-01T00:15:00Z", 4};
    const std::string wire = JSONCoding::encode(bare);
    EXPECT_EQ(wire, R"({"type":"bypass_attempted","reason":"blocked","window_start":"2025-01-01T00:00:00Z",)"
                    R"("window_end":"2025-01-01T00:15:00Z","count":4})");
    EXPECT_EQ(JSONCoding::decode<CoalescedEvent>(wire), bare);

    CoalescedEvent full = bare;
    full.category = "ads";
    full.policySeq = 12;
    EXPECT_NE(JSONCoding::encode(full).find(R"("category":"ads","policy_seq":12)"), std::string::npos);
    const std::string file = JSONCoding::plainEncode(full);
    EXPECT_NE(file.find(R"("policySeq":12,"windowStart":)"), std::string::npos);
    EXPECT_EQ(JSONCoding::plainDecode<CoalescedEvent>(file), full);
    // The plain decoder does not translate keys: a wire text is missing fields there.
    EXPECT_THROW(JSONCoding::plainDecode<CoalescedEvent>(wire), DecodingError);

    // Inside larger documents through the nlohmann adapters.
    const Json array = std::vector<CoalescedEvent>{full, bare};
    EXPECT_EQ(array.get<std::vector<CoalescedEvent>>(), (std::vector<CoalescedEvent>{full, bare}));
    EXPECT_THROW(JSONCoding::plainDecode<CoalescedEvent>(R"({"type":"t","reason":"r","windowStart":"a",)"
                                                         R"("windowEnd":"b","count":1,"policySeq":"2"})"),
                 DecodingError);
}

TEST(Models, BlocklistDecodingIsStrict) {
    const Blocklist list = JSONCoding::decode<Blocklist>(
        R"({"category":"ads","version":3,"rules":[{"rule_type":"domain","value":"a.example"},)"
        R"({"ruleType":"domain_suffix","value":"b.example"},{"rule_type":"regex","value":".*"}]})");
    EXPECT_EQ(list.category, "ads");
    EXPECT_EQ(list.version, 3);
    ASSERT_EQ(list.rules.size(), 3u);
    EXPECT_EQ(list.rules[1], (BlockRule{"domain_suffix", "b.example"}));
    EXPECT_EQ(list.rules[2].ruleType, "regex");  // carried unchanged
    EXPECT_EQ(JSONCoding::decode<Blocklist>(JSONCoding::encode(list)), list);

    for (const char* text : {R"({"category":"ads","version":3})", R"({"category":"ads","version":"3","rules":[]})",
                             R"({"category":"ads","version":3,"rules":{}})",
                             R"({"category":"ads","version":3,"rules":[{"rule_type":"domain"}]})",
                             R"({"category":"ads","version":3,"rules":[5]})"}) {
        EXPECT_THROW(JSONCoding::decode<Blocklist>(text), DecodingError) << text;
    }
}

TEST(Models, BlockRuleHashesOverBothFields) {
    std::unordered_set<BlockRule> set{{"domain", "a.example"}, {"domain_suffix", "a.example"}, {"domain", "a.example"}};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.count(BlockRule{"domain_suffix", "a.example"}));
}

TEST(APIError, DescriptionsAndEquality) {
    EXPECT_STREQ(APIError::http(404, "not_found", "gone").what(), "http 404 not_found");
    EXPECT_EQ(APIError::transport("timed out").description(), "transport timed out");
    EXPECT_EQ(APIError::decoding("bad").description(), "decoding bad");
    EXPECT_EQ(APIError::notEnrolled().description(), "not enrolled");

    EXPECT_EQ(APIError::http(404, "a", "m"), APIError::http(404, "a", "m"));
    EXPECT_NE(APIError::http(404, "a", "m"), APIError::http(404, "a", "other"));
    EXPECT_NE(APIError::transport("x"), APIError::decoding("x"));
    EXPECT_EQ(APIError::notEnrolled(), APIError::notEnrolled());
    EXPECT_EQ(PolicyRejected("rollback"), PolicyRejected("rollback"));
    EXPECT_STREQ(PolicyRejected("rollback").what(), "rollback");
}

TEST(APIErrorBody, OnlyTheExactShapeCounts) {
    EXPECT_EQ(APIErrorBody::parse(R"({"error":{"code":"invalid_code","message":"Unknown code"}})"),
              (APIErrorBody{"invalid_code", "Unknown code"}));
    for (const char* text : {"", "not json", R"({"error":"x"})", R"({"error":{"code":"c"}})",
                             R"({"error":{"code":1,"message":"m"}})", R"({"err":{"code":"c","message":"m"}})",
                             "[]"}) {
        EXPECT_EQ(APIErrorBody::parse(text), std::nullopt) << text;
    }
}

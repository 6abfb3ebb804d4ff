#include "BrivetClient/EffectivePolicy.h"

#include <gtest/gtest.h>

#include <limits>

using brivet::BlockRule;
using brivet::EffectivePolicy;
using brivet::JSONValue;

namespace {

JSONValue::Object policyOf(const char* text) {
    JSONValue value = nlohmann::json::parse(text).get<JSONValue>();
    return *value.objectValue();
}

const char* kCommitted = R"({
    "type":"device_policy","v":1,"policy_seq":12,"kind":"commitment","commitment_id":"c1",
    "locked_until":"2030-01-01T00:00:00Z",
    "categories":["b","a"],"manual_categories":["a","c"],
    "custom_rules":[{"rule_type":"domain_suffix","value":"z.example"},{"rule_type":"domain","value":"a.example"}],
    "manual_custom_rules":[{"rule_type":"domain","value":"a.example"},{"rule_type":"domain","value":"m.example"}],
    "allow_rules":[{"rule_type":"domain","value":"ok.example"},{"rule_type":"domain","value":"ok.example"}],
    "blocklist_version":7,"offline_release_runtime_seconds":172800,"heartbeat_interval_seconds":300,
    "shutdown_release_key_ids":["r1","r2"]})";

TEST(EffectivePolicyTest, EmptyPolicyTakesEveryDefault) {
    EffectivePolicy policy(JSONValue::Object{}, false);
    EXPECT_EQ(policy.policySeq, 0);
    EXPECT_EQ(policy.kind, "blocking_only");
    EXPECT_FALSE(policy.committed);
    EXPECT_EQ(policy.commitmentId, std::nullopt);
    EXPECT_EQ(policy.lockedUntil, std::nullopt);
    EXPECT_TRUE(policy.lockedCategories.empty());
    EXPECT_TRUE(policy.categories.empty());
    EXPECT_TRUE(policy.customRules.empty());
    EXPECT_TRUE(policy.allowRules.empty());
    EXPECT_TRUE(policy.shutdownReleaseKeyIds.empty());
    EXPECT_EQ(policy.blocklistVersion, 0);
    EXPECT_EQ(policy.offlineReleaseRuntimeSeconds, 2592000);
    EXPECT_EQ(policy.heartbeatIntervalSeconds, 900);
    EXPECT_EQ(policy, EffectivePolicy());
}

TEST(EffectivePolicyTest, CommittedPolicyLocksItsCategoriesAndRules) {
    EffectivePolicy policy(policyOf(kCommitted), false);
    EXPECT_EQ(policy.policySeq, 12);
    EXPECT_EQ(policy.kind, "commitment");
    EXPECT_TRUE(policy.committed);
    EXPECT_EQ(policy.commitmentId, "c1");
    EXPECT_EQ(policy.lockedUntil, "2030-01-01T00:00:00Z");
    EXPECT_EQ(policy.lockedCategories, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(policy.categories, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(policy.lockedCustomRules, (std::vector<BlockRule>{{"domain_suffix", "z.example"}, {"domain", "a.example"}}));
    EXPECT_EQ(policy.customRules, (std::vector<BlockRule>{{"domain", "a.example"},
                                                          {"domain", "m.example"},
                                                          {"domain_suffix", "z.example"}}));
    EXPECT_EQ(policy.allowRules, (std::vector<BlockRule>{{"domain", "ok.example"}, {"domain", "ok.example"}}));
    EXPECT_EQ(policy.blocklistVersion, 7);
    EXPECT_EQ(policy.offlineReleaseRuntimeSeconds, 172800);
    EXPECT_EQ(policy.heartbeatIntervalSeconds, 300);
    EXPECT_EQ(policy.shutdownReleaseKeyIds, (std::vector<std::string>{"r1", "r2"}));
}

TEST(EffectivePolicyTest, OfflineReleaseEndsTheCommitmentButKeepsBlocking) {
    EffectivePolicy committed(policyOf(kCommitted), false);
    EffectivePolicy released(policyOf(kCommitted), true);
    EXPECT_EQ(released.kind, "released");
    EXPECT_FALSE(released.committed);
    EXPECT_TRUE(released.lockedCategories.empty());
    EXPECT_TRUE(released.lockedCustomRules.empty());
    EXPECT_EQ(released.categories, committed.categories);
    EXPECT_EQ(released.customRules, committed.customRules);
    EXPECT_EQ(released.allowRules, committed.allowRules);
    EXPECT_EQ(released.commitmentId, "c1");
    EXPECT_EQ(released.lockedUntil, committed.lockedUntil);

    EffectivePolicy blocking(policyOf(R"({"kind":"blocking_only","categories":["ads"]})"), true);
    EXPECT_EQ(blocking.kind, "blocking_only");
    EXPECT_EQ(blocking.categories, std::vector<std::string>{"ads"});
}

TEST(EffectivePolicyTest, CommitmentWithoutTextIdentifierIsNotCommitted) {
    for (const char* text : {R"({"kind":"commitment","categories":["ads"]})",
                             R"({"kind":"commitment","commitment_id":7,"categories":["ads"]})"}) {
        EffectivePolicy policy(policyOf(text), false);
        EXPECT_EQ(policy.kind, "commitment") << text;
        EXPECT_FALSE(policy.committed) << text;
        EXPECT_TRUE(policy.lockedCategories.empty()) << text;
        EXPECT_EQ(policy.categories, std::vector<std::string>{"ads"}) << text;
    }
    EffectivePolicy emptyId(policyOf(R"({"kind":"commitment","commitment_id":""})"), false);
    EXPECT_TRUE(emptyId.committed);
    EffectivePolicy otherKind(policyOf(R"({"kind":5})"), false);
    EXPECT_EQ(otherKind.kind, "blocking_only");
}

TEST(EffectivePolicyTest, MembersOfTheWrongTypeOrRangeTakeTheirDefaults) {
    for (const char* text : {R"({"policy_seq":5.5,"blocklist_version":"3","heartbeat_interval_seconds":true})",
                             R"({"policy_seq":"5","blocklist_version":1e300,"heartbeat_interval_seconds":null})",
                             R"({"policy_seq":9223372036854775808,"blocklist_version":[1],"heartbeat_interval_seconds":1.5})"}) {
        EffectivePolicy policy(policyOf(text), false);
        EXPECT_EQ(policy.policySeq, 0) << text;
        EXPECT_EQ(policy.blocklistVersion, 0) << text;
        EXPECT_EQ(policy.heartbeatIntervalSeconds, 900) << text;
    }
    EXPECT_EQ(EffectivePolicy(policyOf(R"({"policy_seq":-9223372036854775808})"), false).policySeq,
              std::numeric_limits<std::int64_t>::min());
    // No floor on the heartbeat here.
    EXPECT_EQ(EffectivePolicy(policyOf(R"({"heartbeat_interval_seconds":5})"), false).heartbeatIntervalSeconds, 5);
}

TEST(EffectivePolicyTest, OfflineRuntimeIsClamped) {
    auto runtime = [](const char* text) { return EffectivePolicy(policyOf(text), false).offlineReleaseRuntimeSeconds; };
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":60})"), 86400);
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":-1})"), 86400);
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":86401})"), 86401);
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":99999999})"), 2592000);
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":"100000"})"), 2592000);
    EXPECT_EQ(runtime(R"({"offline_release_runtime_seconds":100000.5})"), 2592000);
}

TEST(EffectivePolicyTest, RuleAndStringArraysSkipUnusableElements) {
    JSONValue rules = nlohmann::json::parse(R"([{"rule_type":"domain","value":5},{"value":"x.example"},
        "domain",null,{"rule_type":"domain","value":"ok.example","extra":1},{"rule_type":1,"value":"y"}])")
                          .get<JSONValue>();
    EXPECT_EQ(brivet::ruleArray(rules), (std::vector<BlockRule>{{"domain", "ok.example"}}));
    EXPECT_TRUE(brivet::ruleArray(JSONValue("domain")).empty());
    EXPECT_EQ(brivet::stringArray(nlohmann::json::parse(R"(["k1",5,null,"k2",["k3"]])").get<JSONValue>()),
              (std::vector<std::string>{"k1", "k2"}));
    EXPECT_TRUE(brivet::stringArray(JSONValue::Object{{"a", "b"}}).empty());
}

}  // namespace

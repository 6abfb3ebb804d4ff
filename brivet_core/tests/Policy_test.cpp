// Applying signed device policies to the policy state, through the C interface.
#include "CoreTestSupport.h"
#include "json.h"

#include <gtest/gtest.h>

using namespace brivet::testing;
namespace json = brivet::core::json;

namespace {

const std::string kFresh = R"({"device_id":"d1","installation_id":"i1"})";
const std::string kCommitted =
    R"("kind":"commitment","commitment_id":"c1","locked_until":"2030-01-01T00:00:00Z","categories":["adult","gambling","social"],"blocklist_version":7,"offline_release_runtime_seconds":86400)";

class PolicyTest : public ::testing::Test {
protected:
    TestKey key = generateKey("p1");
    std::string keys = keyDocument({&key}, {});

    static std::string payload(const std::string& seq, const std::string& members = "") {
        return R"({"type":"device_policy","v":1,"device_id":"d1","installation_id":"i1","policy_seq":)" + seq +
               (members.empty() ? "" : "," + members) + "}";
    }

    // The whole reply text.
    std::string applyText(const std::string& state, const std::string& payloadText) {
        const std::string env = signedEnvelope(key, payloadText);
        return take(brivet_core_policy_apply(state.c_str(), env.c_str(), keys.c_str()));
    }
    std::string apply(const std::string& state, const std::string& payloadText) {
        auto reply = *json::parse(applyText(state, payloadText), nullptr, 1000);
        if (reply["ok"].get<bool>()) return reply["outcome"].get<std::string>();
        return reply["error"].get<std::string>();
    }
    // The state after a successful application, as the text to pass next time.
    std::string stateAfter(const std::string& state, const std::string& payloadText) {
        auto reply = *json::parse(applyText(state, payloadText), nullptr, 1000);
        EXPECT_TRUE(reply["ok"].get<bool>()) << json::dump(reply);
        return json::dump(reply["state"]);
    }
    // State holding a committed policy with sequence 5.
    std::string committedState() { return stateAfter(kFresh, payload("5", kCommitted)); }
};

// `text` with its first "1.0}" written as "1}", the way earlier versions
// re-wrote an integral double.
std::string firstOneAsInteger(const std::string& text) {
    const size_t at = text.find("1.0}");
    std::string out = text.substr(0, at);
    out += "1";
    out.append(text, at + 3);
    return out;
}

}  // namespace

TEST_F(PolicyTest, FirstPolicyThenRepeatThenConflict) {
    const std::string p = payload("1", kCommitted);
    const std::string reply = applyText(kFresh, p);
    const std::string bytes = b64url(p);
    ASSERT_EQ(bytes.find('='), std::string::npos);
    EXPECT_EQ(reply, R"({"ok":true,"outcome":"applied","state":{"device_id":"d1","highest_policy_seq":1,)"
                     R"("installation_id":"i1","policy":{"blocklist_version":7,"categories":["adult","gambling","social"],)"
                     R"("commitment_id":"c1","device_id":"d1","installation_id":"i1","kind":"commitment",)"
                     R"("locked_until":"2030-01-01T00:00:00Z","offline_release_runtime_seconds":86400,"policy_seq":1,)"
                     R"("type":"device_policy","v":1},"policy_bytes":")" +
                         bytes + R"("}})");
    const std::string state = json::dump((*json::parse(reply))["state"]);
    // The same signed bytes again: ignored, state unchanged.
    EXPECT_EQ(applyText(state, p), R"({"ok":true,"outcome":"ignored","state":)" + state + "}");
    // The same sequence with other bytes.
    EXPECT_EQ(apply(state, payload("1", kCommitted + R"(,"note":"x")")), "conflicting_duplicate");
    EXPECT_EQ(apply(state, payload("0", kCommitted)), "rollback");
}

TEST_F(PolicyTest, SequenceRules) {
    EXPECT_EQ(apply(kFresh, payload("0")), "conflicting_duplicate");  // fresh state has no bytes
    EXPECT_EQ(apply(kFresh, payload("1")), "applied");
    EXPECT_EQ(apply(kFresh, payload("-1")), "rollback");
    EXPECT_EQ(apply(kFresh, payload("9223372036854775807")), "applied");
    EXPECT_EQ(apply(kFresh, payload("9223372036854775808")), "unknown_type");
    EXPECT_EQ(apply(kFresh, payload("5.0")), "unknown_type");
    EXPECT_EQ(apply(kFresh, payload("\"5\"")), "unknown_type");
    EXPECT_EQ(apply(R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":-9223372036854775808})",
                    payload("-9223372036854775807")),
              "applied");
    // Stored bytes equal but sequence lower is still a rollback.
    const std::string p = payload("3");
    const std::string state = stateAfter(kFresh, p);
    EXPECT_EQ(apply(state, payload("2")), "rollback");
    EXPECT_EQ(apply(state, payload("4")), "applied");
}

TEST_F(PolicyTest, TypeAndDeviceChecksComeFirst) {
    const std::string base = R"("device_id":"d1","installation_id":"i1","policy_seq":1)";
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":1.0,)" + base + "}"), "unknown_type");
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":2,)" + base + "}"), "unknown_type");
    EXPECT_EQ(apply(kFresh, R"({"type":"global_release","v":1,)" + base + "}"), "unknown_type");
    EXPECT_EQ(apply(kFresh, R"({"v":1,)" + base + "}"), "unknown_type");
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":1,"device_id":"d1","policy_seq":1})"), "device_mismatch");
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":1,"device_id":"d2","installation_id":"i1","policy_seq":1})"),
              "device_mismatch");
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":1,"device_id":"d1","installation_id":"I1","policy_seq":1})"),
              "device_mismatch");
    // The device is checked before the sequence.
    EXPECT_EQ(apply(kFresh, R"({"type":"device_policy","v":1,"device_id":"d2","installation_id":"i1","policy_seq":"x"})"),
              "device_mismatch");
    // Envelope failures come before any policy check.
    const std::string otherKey = keyDocument({}, {&key});
    const std::string env = signedEnvelope(key, payload("1"));
    EXPECT_EQ(codeOf(brivet_core_policy_apply(kFresh.c_str(), env.c_str(), otherKey.c_str())), "unknown_key");
}

TEST_F(PolicyTest, WeakeningACommitmentIsRefused) {
    const std::string state = committedState();
    const std::string lock = R"("kind":"commitment","commitment_id":"c1","blocklist_version":7,"offline_release_runtime_seconds":86400)";
    const std::string cats = R"("categories":["adult","gambling","social"])";
    auto with = [&](const std::string& members) { return apply(state, payload("6", members)); };
    // Unchanged and strengthened successors pass.
    EXPECT_EQ(with(kCommitted), "applied");
    EXPECT_EQ(with(lock + R"(,"locked_until":"2030-06-01T00:00:00Z","categories":["social","extra","adult","gambling"],"custom_rules":[{"host":"x.test"}])"),
              "applied");
    EXPECT_EQ(with(lock + "," + cats + R"(,"locked_until":"2029-12-31T23:00:00-02:00")"), "applied");
    // Each weakening on its own.
    EXPECT_EQ(with(lock + R"(,"locked_until":"2030-01-01T00:00:00Z","categories":["adult","gambling"])"),
              "weaker_without_release");
    EXPECT_EQ(with(lock + "," + cats + R"(,"locked_until":"2029-12-31T23:00:00Z")"), "weaker_without_release");
    EXPECT_EQ(with(lock + "," + cats), "weaker_without_release");  // lock end dropped
    EXPECT_EQ(with(lock + "," + cats + R"(,"locked_until":"soon")"), "weaker_without_release");
    EXPECT_EQ(with(R"("kind":"blocking_only","commitment_id":"c1","blocklist_version":7,"offline_release_runtime_seconds":86400,"locked_until":"2030-01-01T00:00:00Z",)" + cats),
              "weaker_without_release");
    EXPECT_EQ(with(R"("kind":"commitment","commitment_id":"c2","blocklist_version":7,"offline_release_runtime_seconds":86400,"locked_until":"2030-01-01T00:00:00Z",)" + cats),
              "weaker_without_release");
    EXPECT_EQ(with(R"("kind":"commitment","blocklist_version":7,"offline_release_runtime_seconds":86400,"locked_until":"2030-01-01T00:00:00Z",)" + cats),
              "weaker_without_release");
    const std::string lockEnd = R"("kind":"commitment","commitment_id":"c1","locked_until":"2030-01-01T00:00:00Z",)" + cats;
    EXPECT_EQ(with(lockEnd + R"(,"blocklist_version":6,"offline_release_runtime_seconds":86400)"), "weaker_without_release");
    EXPECT_EQ(with(lockEnd + R"(,"blocklist_version":"b8","offline_release_runtime_seconds":86400)"), "applied");
    EXPECT_EQ(with(lockEnd + R"(,"blocklist_version":7.9,"offline_release_runtime_seconds":86400)"), "applied");
    EXPECT_EQ(with(lockEnd + R"(,"blocklist_version":7,"offline_release_runtime_seconds":86399)"), "applied");  // both clamp to a day
    EXPECT_EQ(with(lockEnd + R"(,"blocklist_version":7)"), "applied");  // unset is the longest runtime
}

// The runtime ranks as what the client puts in force: the clamped integer,
// and the longest runtime (thirty days) when it is unset or unusable.
TEST_F(PolicyTest, OfflineRuntimeRanksByTheClampedValueInForce) {
    const std::string committed = R"("kind":"commitment","commitment_id":"c1")";
    auto fromTo = [&](const std::string& oldRuntime, const std::string& newRuntime) {
        auto member = [](const std::string& runtime) {
            return runtime.empty() ? std::string() : R"(,"offline_release_runtime_seconds":)" + runtime;
        };
        const std::string state = stateAfter(kFresh, payload("1", committed + member(oldRuntime)));
        return apply(state, payload("2", committed + member(newRuntime)));
    };
    // From unset (thirty days) to one day shortens it; the reverse lengthens it.
    EXPECT_EQ(fromTo("", "86400"), "weaker_without_release");
    EXPECT_EQ(fromTo("null", "86400"), "weaker_without_release");
    EXPECT_EQ(fromTo("86400", ""), "applied");
    EXPECT_EQ(fromTo("86400", "null"), "applied");
    // Fractional, non-number and out-of-range values leave it unset.
    EXPECT_EQ(fromTo("86400", "86400.5"), "applied");
    EXPECT_EQ(fromTo("86400.5", "86400"), "weaker_without_release");
    EXPECT_EQ(fromTo("\"30d\"", "172800"), "weaker_without_release");
    EXPECT_EQ(fromTo("18446744073709551615", "2591999"), "weaker_without_release");
    EXPECT_EQ(fromTo("2592000", "18446744073709551615"), "applied");
    // Integral doubles count as their integer; values are clamped before ranking.
    EXPECT_EQ(fromTo("172800.0", "172800"), "applied");
    EXPECT_EQ(fromTo("172800", "172799.0"), "weaker_without_release");
    EXPECT_EQ(fromTo("9999999", ""), "applied");
    EXPECT_EQ(fromTo("", "9999999"), "applied");
    EXPECT_EQ(fromTo("-5", "60"), "applied");
    // An integral double beyond the 64-bit range is no runtime the client can use.
    EXPECT_EQ(fromTo("172800", "-1e300"), "applied");
}

TEST_F(PolicyTest, VersionTextOutranksNumbers) {
    const std::string committed = R"("kind":"commitment","commitment_id":"c1",)";
    const std::string state = stateAfter(kFresh, payload("1", committed + R"("blocklist_version":"b8")"));
    EXPECT_EQ(apply(state, payload("2", committed + R"("blocklist_version":9)")), "weaker_without_release");
    EXPECT_EQ(apply(state, payload("2", committed + R"("blocklist_version":"a1")")), "applied");
}

TEST_F(PolicyTest, CustomRulesCompareAsMultisetsOfJsonValues) {
    const std::string committed = R"("kind":"commitment","commitment_id":"c1",)";
    const std::string state =
        stateAfter(kFresh, payload("1", committed + R"("custom_rules":[{"host":"a.test","n":1},"b.test","b.test"])"));
    EXPECT_EQ(apply(state, payload("2", committed + R"("custom_rules":["b.test",{"n":1,"host":"a.test"},"b.test"])")),
              "applied");
    EXPECT_EQ(apply(state, payload("2", committed + R"("custom_rules":["b.test",{"n":1,"host":"a.test"}])")),
              "weaker_without_release");
    EXPECT_EQ(apply(state, payload("2", committed + R"("custom_rules":["b.test",{"n":1.0,"host":"a.test"},"b.test"])")),
              "weaker_without_release");
}

TEST_F(PolicyTest, UncommittedPoliciesAllowAnySuccessor) {
    // Kind commitment without an id counts as uncommitted.
    std::string state = stateAfter(kFresh, payload("1", R"("kind":"commitment","categories":["a"])"));
    EXPECT_EQ(apply(state, payload("2", R"("kind":"blocking_only")")), "applied");
    state = stateAfter(kFresh, payload("1", R"("kind":"blocking_only","commitment_id":"c1","categories":["a"])"));
    EXPECT_EQ(apply(state, payload("2", "")), "applied");
    // A release on an uncommitted policy is not examined.
    EXPECT_EQ(apply(state, payload("2", R"("release":{"reason":"cancelled"})")), "applied");
}

TEST_F(PolicyTest, ReleasesEndACommitment) {
    const std::string state = committedState();  // locked until 2030-01-01T00:00:00Z
    auto rel = [&](const std::string& release) {
        return apply(state, payload("6", R"("kind":"blocking_only","release":)" + release));
    };
    EXPECT_EQ(rel(R"({"reason":"expired","server_time":"2030-01-01T00:00:00Z"})"), "applied");
    EXPECT_EQ(rel(R"({"reason":"expired","server_time":"2030-01-01T01:00:00+01:00"})"), "applied");
    EXPECT_EQ(rel(R"({"reason":"expired","server_time":"2029-12-31T23:59:59Z"})"), "release_too_early");
    EXPECT_EQ(rel(R"({"reason":"expired","server_time":"2029-12-31T23:59:59.999Z"})"), "release_too_early");
    EXPECT_EQ(rel(R"({"reason":"expired"})"), "release_too_early");
    EXPECT_EQ(rel(R"({"reason":"expired","server_time":"later"})"), "release_too_early");
    EXPECT_EQ(rel(R"({"reason":"terminated_exceptionally"})"), "applied");
    EXPECT_EQ(rel(R"({"reason":"service_shutdown"})"), "applied");
    EXPECT_EQ(rel(R"({"reason":"cancelled"})"), "release_too_early");
    EXPECT_EQ(rel(R"({"reason":5})"), "release_too_early");
    EXPECT_EQ(rel(R"({})"), "release_too_early");
    EXPECT_EQ(rel("null"), "release_too_early");
    EXPECT_EQ(rel("\"expired\""), "release_too_early");
    // A present release skips the weakening tests even for a strengthening policy.
    EXPECT_EQ(apply(state, payload("6", kCommitted + R"(,"release":null)")), "release_too_early");
    // "expired" needs the old policy's lock end.
    const std::string noLock =
        stateAfter(kFresh, payload("1", R"("kind":"commitment","commitment_id":"c1")"));
    EXPECT_EQ(apply(noLock, payload("2", R"("release":{"reason":"expired","server_time":"2030-01-01T00:00:00Z"})")),
              "release_too_early");
    EXPECT_EQ(apply(noLock, payload("2", R"("kind":"commitment","commitment_id":"c1","locked_until":"2031-01-01T00:00:00Z")")),
              "weaker_without_release");
}

TEST_F(PolicyTest, StateReading) {
    auto code = [&](const std::string& state) { return apply(state, payload("1")); };
    EXPECT_EQ(code(R"({"device_id":"d1"})"), "invalid_state");
    EXPECT_EQ(code(R"({"installation_id":"i1"})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","device_id":"d1"})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","x":1,"x":2})"), "applied");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":1.0})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":9223372036854775808})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":null})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","policy":5})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","policy":[]})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","policy":null,"policy_bytes":null})"), "applied");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","policy_bytes":"a+b"})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":"d1","installation_id":"i1","policy_bytes":5})"), "invalid_state");
    EXPECT_EQ(code(R"({"device_id":7,"installation_id":"i1"})"), "invalid_state");
    EXPECT_EQ(code(R"(["d1","i1",0,null,null])"), "applied");
    EXPECT_EQ(code(R"(["d1","i1",0,null])"), "invalid_state");
    EXPECT_EQ(code(R"(["d1","i1",0,null,null,null])"), "invalid_state");
    EXPECT_EQ(code("\xEF\xBB\xBF" + kFresh), "invalid_state");
    EXPECT_EQ(code("[]"), "invalid_state");
    // A bad state wins over a bad envelope.
    EXPECT_EQ(codeOf(brivet_core_policy_apply("{", "{", "{")), "invalid_state");
}

TEST_F(PolicyTest, IgnoredReplyNormalisesTheState) {
    const std::string p = payload("2");
    std::string bytes = b64url(p);
    while (bytes.size() % 4) bytes += '=';
    ASSERT_NE(bytes.back(), 'x');
    const std::string padded = R"({"zzz":1,"policy":{"a":1},"installation_id":"i1","device_id":"d1","highest_policy_seq":2,"policy_bytes":")" +
                               bytes + "\"}";
    EXPECT_EQ(applyText(padded, p), R"({"ok":true,"outcome":"ignored","state":{"device_id":"d1","highest_policy_seq":2,)"
                                    R"("installation_id":"i1","policy":{"a":1},"policy_bytes":")" +
                                        b64url(p) + R"("}})");
}

// Identical content re-issued under the next sequence is the same policy,
// whatever kind of numbers its custom rules carry.
TEST_F(PolicyTest, ReissuedIdenticalContentIsApplied) {
    const std::string committed =
        R"("kind":"commitment","commitment_id":"c1","blocklist_version":5.0,"offline_release_runtime_seconds":1e6,)"
        R"("custom_rules":[{"rule_type":"domain","value":"a.test","weight":1.0},{"n":-0.0},{"n":1e2},)"
        R"({"n":9007199254740993},{"n":18446744073709551615},{"n":[0.5,-7]}])";
    std::string state = stateAfter(kFresh, payload("1", committed));
    // The reply writes every number in its kind.
    for (const char* written : {R"("weight":1.0)", R"("n":-0.0)", R"("n":100.0)", R"("n":9007199254740993)",
                                R"("n":18446744073709551615)", R"("blocklist_version":5.0)",
                                R"("offline_release_runtime_seconds":1e+06)"})
        EXPECT_NE(state.find(written), std::string::npos) << written << " in " << state;
    for (int seq = 2; seq <= 4; ++seq) {
        const std::string reply = applyText(state, payload(std::to_string(seq), committed));
        EXPECT_EQ(codeOf(reply), "ok") << reply;
        state = json::dump((*json::parse(reply))["state"]);
    }
    // Changing a number's kind inside a rule is still a different rule.
    const std::string asInteger = firstOneAsInteger(committed);
    EXPECT_EQ(apply(state, payload("5", asInteger)), "weaker_without_release");
}

// Earlier versions wrote 1.0 as 1 in "policy"; the signed bytes decide.
TEST_F(PolicyTest, OldPolicyComesFromTheSignedBytes) {
    const std::string committed =
        R"("kind":"commitment","commitment_id":"c1","custom_rules":[{"rule_type":"domain","value":"a.test","weight":1.0}])";
    const std::string signedPayload = payload("1", committed);
    const std::string rewritten = firstOneAsInteger(signedPayload);
    const std::string legacy = R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":1,"policy":)" +
                               rewritten + R"(,"policy_bytes":")" + b64url(signedPayload) + "\"}";
    EXPECT_EQ(apply(legacy, payload("2", committed)), "applied");
    // The bytes win over a "policy" member that says something else.
    const std::string uncommittedPolicy = R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":1,)"
                                          R"("policy":{"kind":"blocking_only"},"policy_bytes":")" +
                                          b64url(signedPayload) + "\"}";
    EXPECT_EQ(apply(uncommittedPolicy, payload("2", R"("kind":"blocking_only")")), "weaker_without_release");
    // Without stored bytes (or with bytes that hold no object) "policy" stands in.
    const std::string noBytes =
        R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":1,"policy":)" + signedPayload + "}";
    EXPECT_EQ(apply(noBytes, payload("2", committed)), "applied");
    EXPECT_EQ(apply(noBytes, payload("2", R"("kind":"blocking_only")")), "weaker_without_release");
    const std::string junkBytes = R"({"device_id":"d1","installation_id":"i1","highest_policy_seq":1,"policy":)" +
                                  signedPayload + R"(,"policy_bytes":")" + b64url("[1]") + "\"}";
    EXPECT_EQ(apply(junkBytes, payload("2", R"("kind":"blocking_only")")), "weaker_without_release");
}

TEST_F(PolicyTest, DeepestAcceptedPolicyCanBeStoredAndReadBack) {
    // The payload object plus 127 nested arrays: 128 levels, the most a payload may have.
    const std::string deepMember = "\"deep\":" + std::string(127, '[') + std::string(127, ']');
    const std::string p = payload("1", deepMember);
    const std::string state = stateAfter(kFresh, p);
    EXPECT_EQ(apply(state, p), "ignored");
    EXPECT_EQ(apply(state, payload("2")), "applied");
    // One level more is refused as a payload; a state one level deeper than that is refused too.
    EXPECT_EQ(apply(kFresh, payload("1", "\"deep\":" + std::string(128, '[') + std::string(128, ']'))),
              "payload_not_json");
    const std::string tooDeep = R"({"device_id":"d1","installation_id":"i1","policy":{"x":)" + std::string(128, '[') +
                                std::string(128, ']') + "}}";
    EXPECT_EQ(apply(tooDeep, payload("1")), "invalid_state");
}

// The C interface as a whole: argument order, NULL and hostile inputs,
// clamp, version, reply ownership and concurrent calls.
#include "CoreTestSupport.h"
#include "ffi.h"
#include "json.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <thread>

using namespace brivet::testing;
namespace json = brivet::core::json;

namespace {

// Checks that a reply is a well-formed failure with a code of the table and
// returns the code.
std::string failureCode(char* reply) {
    EXPECT_NE(reply, nullptr);
    const std::string text = take(reply);
    auto value = json::parse(text);
    EXPECT_TRUE(value && value->is_object()) << text;
    if (!value || !value->is_object()) return "";
    EXPECT_EQ((*value)["ok"], false) << text;
    const std::string code = (*value)["error"].get<std::string>();
    EXPECT_TRUE(brivet::testing::kFailureCodes.count(code)) << text;
    EXPECT_EQ(json::dump(*value), text) << "not compact and sorted";
    return code;
}

class ExportsTest : public ::testing::Test {
protected:
    TestKey policyKey = generateKey("p1");
    TestKey releaseKey = generateKey("r1");
    std::string keys = keyDocument({&policyKey}, {&releaseKey});
    std::string state = R"({"device_id":"d1","installation_id":"i1"})";
    std::string policyEnv = signedEnvelope(
        policyKey, R"({"type":"device_policy","v":1,"device_id":"d1","installation_id":"i1","policy_seq":1})");
};

}  // namespace

TEST_F(ExportsTest, NullInputsAndWhichCheckWins) {
    EXPECT_EQ(take(brivet_core_release_verify(nullptr, keys.c_str(), "2030-01-01T00:00:00Z", 1)),
              R"({"error":"invalid_envelope_json","ok":false})");
    EXPECT_EQ(failureCode(brivet_core_release_verify(policyEnv.c_str(), nullptr, "2030-01-01T00:00:00Z", 1)),
              "invalid_keys");
    EXPECT_EQ(failureCode(brivet_core_release_verify(nullptr, nullptr, nullptr, 1)), "invalid_envelope_json");
    EXPECT_EQ(failureCode(brivet_core_attestation_verify(nullptr, nullptr, nullptr, nullptr)), "invalid_envelope_json");
    EXPECT_EQ(failureCode(brivet_core_attestation_verify(policyEnv.c_str(), nullptr, nullptr, nullptr)), "invalid_keys");
    EXPECT_EQ(failureCode(brivet_core_policy_apply(nullptr, nullptr, nullptr)), "invalid_state");
    EXPECT_EQ(failureCode(brivet_core_policy_apply(state.c_str(), nullptr, nullptr)), "invalid_envelope_json");
    EXPECT_EQ(failureCode(brivet_core_policy_apply(state.c_str(), policyEnv.c_str(), nullptr)), "invalid_keys");
    EXPECT_EQ(failureCode(brivet_core_policy_apply("{", policyEnv.c_str(), keys.c_str())), "invalid_state");
    EXPECT_EQ(codeOf(brivet_core_policy_apply(state.c_str(), policyEnv.c_str(), keys.c_str())), "ok");
}

TEST_F(ExportsTest, TrailingTextAfterTheEnvelope) {
    EXPECT_EQ(failureCode(brivet_core_release_verify("{} ", keys.c_str(), "2030-01-01T00:00:00Z", 1)),
              "malformed_envelope");
    EXPECT_EQ(failureCode(brivet_core_release_verify("{} x", keys.c_str(), "2030-01-01T00:00:00Z", 1)),
              "invalid_envelope_json");
    EXPECT_EQ(codeOf(brivet_core_policy_apply(state.c_str(), (" \r" + policyEnv + "\n\t ").c_str(), keys.c_str())),
              "ok");
}

TEST_F(ExportsTest, HostileInputsGetFailureReplies) {
    const std::vector<std::string> hostile = {
        "",
        "\xEF\xBB\xBF{}",
        "{\"a\":\"\xFF\"}",
        "\xC3",
        std::string(129, '[') + std::string(129, ']'),
        std::string(100000, '['),
        std::string(200000, '{'),
        "[1e400]",
        "{\"alg\":\"Ed25519\",\"key_id\":1e999}",
        "123456789012345678901234567890",
        "-0.5",
        "{\"alg\":\"Ed25519\",\"key_id\":\"p1\",\"payload_b64\":\"####\",\"sig\":\"AA\"}",
        "{\"alg\":\"Ed25519\",\"key_id\":\"p1\",\"payload_b64\":\"e30\",\"sig\":\"AA==A\"}",
        "{\"alg\":[\"Ed25519\"],\"key_id\":{},\"payload_b64\":[],\"sig\":true}",
        "{\"policy_keys\":[{\"id\":\"p1\",\"public\":5}]}",
        "{\"device_id\":\"d1\",\"installation_id\":\"i1\",\"highest_policy_seq\":1.5}",
        "[\"d1\",\"i1\",1e300,null,null]",
        "{\"a\":\"\\ud800\"}",
        "nul",
        "\"\\u0000\"",
    };
    for (const auto& bad : hostile) {
        const char* b = bad.c_str();
        EXPECT_EQ(failureCode(brivet_core_policy_apply(b, policyEnv.c_str(), keys.c_str())), "invalid_state");
        const std::string envCode = failureCode(brivet_core_policy_apply(state.c_str(), b, keys.c_str()));
        EXPECT_TRUE(envCode == "invalid_envelope_json" || envCode == "malformed_envelope" || envCode == "unknown_key" ||
                    envCode == "bad_encoding" || envCode == "bad_signature")
            << envCode;
        // Some of these are valid key documents that trust no key.
        const std::string keyCode = failureCode(brivet_core_policy_apply(state.c_str(), policyEnv.c_str(), b));
        EXPECT_TRUE(keyCode == "invalid_keys" || keyCode == "unknown_key") << keyCode;
        failureCode(brivet_core_release_verify(b, b, b, 0));
        failureCode(brivet_core_attestation_verify(b, keys.c_str(), b, b));
        EXPECT_EQ(failureCode(brivet_core_release_verify(policyEnv.c_str(), keys.c_str(), b, 1)), "invalid_now");
    }
}

TEST_F(ExportsTest, ClampOfflineRuntime) {
    const std::pair<int64_t, int64_t> cases[] = {
        {-5, 86400},      {0, 86400},          {86400, 86400},       {86401, 86401},          {2592000, 2592000},
        {2592001, 2592000}, {INT64_MIN, 86400}, {INT64_MAX, 2592000}, {1000000, 1000000}};
    for (auto [in, out] : cases) EXPECT_EQ(brivet_core_clamp_offline_runtime(in), out) << in;
}

TEST_F(ExportsTest, VersionAndFree) {
    const char* v = brivet_core_version();
    EXPECT_STREQ(v, "0.1.0");
    EXPECT_EQ(v, brivet_core_version());
    brivet_core_string_free(nullptr);
}

TEST_F(ExportsTest, FallbackReplyText) {
    char* reply = brivet::core::ffi::fallback();
    EXPECT_STREQ(reply, R"({"ok":false,"error":"internal"})");
    EXPECT_EQ(std::strlen(reply), 31u);
    brivet_core_string_free(reply);
    // Texts with NUL characters are escaped, so real replies never fall back.
    json::Value value = json::Value::object();
    value["k"] = std::string("a\0b", 3);
    EXPECT_EQ(take(brivet::core::ffi::to_c(value)), R"({"k":"a\u0000b"})");
}

TEST_F(ExportsTest, EscapedKeyIdsComeBackEscaped) {
    const std::string payload =
        R"({"type":"global_release","v":1,"effective_at":"2029-01-01T00:00:00Z","minimum_client_version":1})";
    const std::string id = "r\\u0000\\\"\xC3\xA9";  // JSON text of r, NUL, quote, é
    const std::string env = R"({"alg":"Ed25519","key_id":")" + id + R"(","payload_b64":")" + b64url(payload) +
                            R"(","sig":")" + b64url(releaseKey.sign(payload)) + "\"}";
    const std::string doc = R"({"release_keys":[{"id":")" + id + R"(","public":")" + releaseKey.publicB64() + "\"}]}";
    EXPECT_EQ(take(brivet_core_release_verify(env.c_str(), doc.c_str(), "2030-01-01T00:00:00Z", 1)),
              R"({"effective_at":"2029-01-01T00:00:00Z","key_id":"r\u0000\")" "\xC3\xA9" R"(","minimum_client_version":1,"ok":true,"reason":"service_shutdown"})");
}

TEST_F(ExportsTest, ConcurrentCallsAgree) {
    const std::string expected = take(brivet_core_policy_apply(state.c_str(), policyEnv.c_str(), keys.c_str()));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                char* reply = brivet_core_policy_apply(state.c_str(), policyEnv.c_str(), keys.c_str());
                if (expected != (reply ? reply : "")) ++mismatches[static_cast<size_t>(t)];
                brivet_core_string_free(reply);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

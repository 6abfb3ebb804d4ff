// Global releases and time attestations, through the C interface.
#include "CoreTestSupport.h"

#include <gtest/gtest.h>

using namespace brivet::testing;

namespace {

class SignedDocumentTest : public ::testing::Test {
protected:
    TestKey policyKey = generateKey("p1");
    TestKey releaseKey = generateKey("r1");
    std::string keys = keyDocument({&policyKey}, {&releaseKey});

    std::string release(const std::string& payload, const char* now = "2030-01-01T00:00:00Z", uint32_t version = 3) {
        const std::string env = signedEnvelope(releaseKey, payload);
        return take(brivet_core_release_verify(env.c_str(), keys.c_str(), now, version));
    }
    static std::string releasePayload(const std::string& members) {
        return R"({"type":"global_release","v":1,)" + members + "}";
    }

    std::string attest(const std::string& payload, const char* device = "d1", const char* nonce = "n1") {
        const std::string env = signedEnvelope(policyKey, payload);
        return take(brivet_core_attestation_verify(env.c_str(), keys.c_str(), device, nonce));
    }
    static std::string attestation(const std::string& members) {
        return R"({"type":"time_attestation","v":1,"device_id":"d1","nonce":"n1",)" + members + "}";
    }
};

const std::string kEffective = R"("effective_at":"2030-01-01T01:00:00+01:00","minimum_client_version":3)";

}  // namespace

TEST_F(SignedDocumentTest, ReleaseSuccessReply) {
    EXPECT_EQ(release(releasePayload(kEffective + R"(,"reason":"service_shutdown")")),
              R"({"effective_at":"2030-01-01T00:00:00Z","key_id":"r1","minimum_client_version":3,"ok":true,"reason":"service_shutdown"})");
    EXPECT_EQ(release(releasePayload(kEffective + R"(,"reason":"maintenance","extra":[1])")),
              R"({"effective_at":"2030-01-01T00:00:00Z","key_id":"r1","minimum_client_version":3,"ok":true,"reason":"maintenance"})");
    // No reason, or one that is not a text.
    for (const char* reason : {"", R"(,"reason":5)", R"(,"reason":null)"})
        EXPECT_NE(release(releasePayload(kEffective + reason)).find(R"("reason":"service_shutdown")"), std::string::npos);
}

TEST_F(SignedDocumentTest, ReleaseTimingAndClientVersion) {
    EXPECT_EQ(release(releasePayload(kEffective), "2029-12-31T23:59:59Z"),
              R"({"effective_at":"2030-01-01T00:00:00Z","error":"not_effective_until","ok":false})");
    EXPECT_EQ(release(releasePayload(kEffective), "2030-01-01T00:59:59+01:00"),
              R"({"effective_at":"2030-01-01T00:00:00Z","error":"not_effective_until","ok":false})");
    // Fractions take part in the comparison.
    const std::string fractional = R"("effective_at":"2030-01-01T00:00:00.750Z","minimum_client_version":1)";
    EXPECT_EQ(codeOf(brivet_core_release_verify(signedEnvelope(releaseKey, releasePayload(fractional)).c_str(),
                                                keys.c_str(), "2030-01-01T00:00:00.5Z", 1)),
              "not_effective_until");
    EXPECT_EQ(codeOf(brivet_core_release_verify(signedEnvelope(releaseKey, releasePayload(fractional)).c_str(),
                                                keys.c_str(), "2030-01-01T00:00:00.75Z", 1)),
              "ok");
    EXPECT_EQ(release(releasePayload(kEffective), "2030-01-01T00:00:00Z", 2),
              R"({"error":"client_too_old","minimum_client_version":3,"ok":false})");
    EXPECT_EQ(codeOf(brivet_core_release_verify(signedEnvelope(releaseKey, releasePayload(kEffective)).c_str(),
                                                keys.c_str(), "2030-01-01T00:00:00Z", UINT32_MAX)),
              "ok");
    // A minimum above every 32-bit version.
    EXPECT_EQ(release(releasePayload(R"("effective_at":"2020-01-01T00:00:00Z","minimum_client_version":9223372036854775807)")),
              R"({"error":"client_too_old","minimum_client_version":9223372036854775807,"ok":false})");
    // Not yet effective wins over too old.
    EXPECT_EQ(release(releasePayload(kEffective), "2029-01-01T00:00:00Z", 1).find("not_effective_until") != std::string::npos,
              true);
}

TEST_F(SignedDocumentTest, ReleasePayloadChecks) {
    EXPECT_EQ(codeOf(release(R"({"type":"global_release","v":2,)" + kEffective + "}")), "unknown_type");
    EXPECT_EQ(codeOf(release(R"({"type":"device_policy","v":1,)" + kEffective + "}")), "unknown_type");
    EXPECT_EQ(codeOf(release(R"({"type":"global_release","v":"1",)" + kEffective + "}")), "unknown_type");
    // The type is checked before the certificate fields.
    EXPECT_EQ(codeOf(release(R"({"type":"global_release","v":2})")), "unknown_type");
    for (const char* bad : {R"("effective_at":"2030-01-01T00:00:00Z","minimum_client_version":0)",
                            R"("effective_at":"2030-01-01T00:00:00Z","minimum_client_version":-1)",
                            R"("effective_at":"2030-01-01T00:00:00Z","minimum_client_version":2.0)",
                            R"("effective_at":"2030-01-01T00:00:00Z","minimum_client_version":"3")",
                            R"("effective_at":"2030-01-01T00:00:00Z","minimum_client_version":9223372036854775808)",
                            R"("effective_at":"2030-01-01T00:00:00Z")",
                            R"("effective_at":"2030-01-01","minimum_client_version":1)",
                            R"("effective_at":1893456000,"minimum_client_version":1)",
                            R"("minimum_client_version":1)",
                            // Instants whose UTC year leaves 0000 ... 9999 cannot be written back.
                            R"("effective_at":"0000-01-01T00:30:00+01:00","minimum_client_version":1)",
                            R"("effective_at":"9999-12-31T23:30:00-01:00","minimum_client_version":1)"})
        EXPECT_EQ(codeOf(release(releasePayload(bad))), "malformed_certificate") << bad;
    // The very ends of the writable range still work.
    EXPECT_EQ(codeOf(release(releasePayload(R"("effective_at":"0000-01-01T00:00:00Z","minimum_client_version":1)"))),
              "ok");
    EXPECT_EQ(release(releasePayload(R"("effective_at":"9999-12-31T23:59:59Z","minimum_client_version":1)")),
              R"({"effective_at":"9999-12-31T23:59:59Z","error":"not_effective_until","ok":false})");
}

TEST_F(SignedDocumentTest, ReleaseInputOrder) {
    const std::string env = signedEnvelope(releaseKey, releasePayload(kEffective));
    // A bad current time wins over a failing envelope.
    EXPECT_EQ(codeOf(brivet_core_release_verify("{}", keys.c_str(), "tomorrow", 3)), "invalid_now");
    EXPECT_EQ(codeOf(brivet_core_release_verify(env.c_str(), keys.c_str(), nullptr, 3)), "invalid_now");
    EXPECT_EQ(codeOf(brivet_core_release_verify(env.c_str(), keys.c_str(), "2030-01-01T00:00:00\xFF", 3)), "invalid_now");
    EXPECT_EQ(codeOf(brivet_core_release_verify(env.c_str(), keys.c_str(), " 2030-01-01T00:00:00Z", 3)), "invalid_now");
    // The release keys, not the policy keys.
    const std::string byPolicyKey = signedEnvelope(policyKey, releasePayload(kEffective));
    EXPECT_EQ(codeOf(brivet_core_release_verify(byPolicyKey.c_str(), keys.c_str(), "2030-01-01T00:00:00Z", 3)),
              "unknown_key");
    EXPECT_EQ(codeOf(brivet_core_release_verify(env.c_str(), "{", "tomorrow", 3)), "invalid_keys");
}

TEST_F(SignedDocumentTest, AttestationSuccessReply) {
    EXPECT_EQ(attest(attestation(R"("server_time":"2030-06-01T12:00:00.750Z","policy_seq":12,"commitment_id":"c1","commitment_status":"active")")),
              R"({"commitment_id":"c1","commitment_status":"active","ok":true,"policy_seq":12,"server_time":"2030-06-01T12:00:00Z"})");
    EXPECT_EQ(attest(attestation(R"("server_time":"2030-06-01T14:00:00+02:00","policy_seq":-4)")),
              R"({"commitment_id":null,"commitment_status":"none","ok":true,"policy_seq":-4,"server_time":"2030-06-01T12:00:00Z"})");
    EXPECT_EQ(attest(attestation(R"("server_time":"2030-06-01T12:00:00Z","policy_seq":0,"commitment_id":5,"commitment_status":null)")),
              R"({"commitment_id":null,"commitment_status":"none","ok":true,"policy_seq":0,"server_time":"2030-06-01T12:00:00Z"})");
}

TEST_F(SignedDocumentTest, AttestationChecksInOrder) {
    const std::string good = R"("server_time":"2030-06-01T12:00:00Z","policy_seq":1)";
    EXPECT_EQ(codeOf(attest(attestation(good), "d1", "n2")), "nonce_mismatch");
    EXPECT_EQ(codeOf(attest(attestation(good), "d2", "n2")), "device_mismatch");
    EXPECT_EQ(codeOf(attest(R"({"type":"time_attestation","v":1,"nonce":"n1",)" + good + "}")),
              "device_mismatch");
    EXPECT_EQ(codeOf(attest(R"({"type":"time_attestation","v":1,"device_id":"d1",)" + good + "}")),
              "nonce_mismatch");
    EXPECT_EQ(codeOf(attest(R"({"type":"time_attestation","v":1.0,"device_id":"d1","nonce":"n1",)" + good + "}")),
              "unknown_type");
    for (const char* bad : {R"("server_time":"2030-06-01T12:00:00Z","policy_seq":"4")",
                            R"("server_time":"2030-06-01T12:00:00Z","policy_seq":4.5)",
                            R"("server_time":"2030-06-01T12:00:00Z","policy_seq":9223372036854775808)",
                            R"("server_time":"2030-06-01T12:00:00Z")", R"("policy_seq":1)",
                            R"("server_time":"noon","policy_seq":1)",
                            R"("server_time":"9999-12-31T23:30:00-01:00","policy_seq":1)",
                            R"("server_time":"0000-01-01T00:00:00+00:01","policy_seq":1)"})
        EXPECT_EQ(codeOf(attest(attestation(bad))), "malformed_attestation") << bad;
    // The policy keys sign attestations; a release key does not.
    const std::string byRelease = signedEnvelope(releaseKey, attestation(good));
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(byRelease.c_str(), keys.c_str(), "d1", "n1")), "unknown_key");
}

TEST_F(SignedDocumentTest, AttestationArguments) {
    const std::string env = signedEnvelope(policyKey, attestation(R"("server_time":"2030-06-01T12:00:00Z","policy_seq":1)"));
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), "d1", nullptr)), "invalid_argument");
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), nullptr, "n1")), "invalid_argument");
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), "d\xC3", "n1")), "invalid_argument");
    // Envelope and keys are read first.
    EXPECT_EQ(codeOf(brivet_core_attestation_verify("x", keys.c_str(), nullptr, nullptr)), "invalid_envelope_json");
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), nullptr, nullptr, nullptr)), "invalid_keys");
    // Raw comparison: no trimming or case folding.
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), "D1", "n1")), "device_mismatch");
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), "d1", "n1 ")), "nonce_mismatch");
    EXPECT_EQ(codeOf(brivet_core_attestation_verify(env.c_str(), keys.c_str(), "d1", "")), "nonce_mismatch");
}

// The bridge's calls into the core library, with envelopes signed at test time.
#include "BrivetCore/BrivetCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "BridgeSigning.h"
#include "CoreErrorOf.h"

using brivet::Instant;
using brivet::JSONValue;
using brivet::PinnedKeys;
using brivet::BrivetCore::ClientState;
using brivet::BrivetCore::CoreError;
using brivet::BrivetCore::PolicyOutcome;
using bridge_test::Signer;
using bridge_test::coreErrorOf;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr Instant at2030 = Instant(std::chrono::sys_days{std::chrono::year{2030} / 1 / 1});

JSONValue::Object failureDetails(const char* code) { return {{"error", code}, {"ok", false}}; }

class BridgeCallsTest : public ::testing::Test {
protected:
    Signer policySigner{"policy-1"};
    Signer releaseSigner{"release-1"};
    PinnedKeys keys{{policySigner.pinned()}, {releaseSigner.pinned()}};

    static json committedPolicy(std::int64_t seq) {
        return {{"type", "device_policy"},
                {"v", 1},
                {"device_id", "d1"},
                {"installation_id", "i1"},
                {"policy_seq", seq},
                {"kind", "commitment"},
                {"commitment_id", "c1"},
                {"locked_until", "2030-01-01T00:00:00Z"},
                {"categories", {"ads", "malware"}},
                {"custom_rules", {{{"rule_type", "domain"}, {"value", "bad.example"}}}},
                {"blocklist_version", 7},
                {"offline_release_runtime_seconds", 86400},
                {"heartbeat_interval_seconds", 900}};
    }

    std::string releaseEnvelope(json payload) const { return releaseSigner.envelope(payload); }

    static json releasePayload() {
        return {{"type", "global_release"},
                {"v", 1},
                {"effective_at", "2030-01-01T01:00:00+01:00"},
                {"minimum_client_version", 3},
                {"reason", "service_shutdown"}};
    }

    static json attestationPayload() {
        return {{"type", "time_attestation"}, {"v", 1},          {"device_id", "d1"},
                {"nonce", "n1"},              {"policy_seq", 4}, {"server_time", "2030-06-01T12:00:00.750Z"}};
    }
};

TEST_F(BridgeCallsTest, PolicySequenceAppliesIgnoresAndRefuses) {
    const std::string payload = committedPolicy(1).dump();
    const std::string envelope = policySigner.envelopeOfBytes(payload);

    auto first = brivet::BrivetCore::applyPolicy(ClientState("d1", "i1"), envelope, keys);
    EXPECT_EQ(first.outcome, PolicyOutcome::applied);
    EXPECT_EQ(first.state.highestPolicySeq, 1);
    EXPECT_EQ(first.state.deviceId, "d1");
    EXPECT_EQ(first.state.policyBytes, bridge_test::base64url(payload));
    ASSERT_TRUE(first.state.policy);
    EXPECT_EQ(first.state.policy->at("blocklist_version").intValue(), 7);

    auto again = brivet::BrivetCore::applyPolicy(first.state, envelope, keys);
    EXPECT_EQ(again.outcome, PolicyOutcome::ignored);
    EXPECT_EQ(again.state, first.state);

    json resigned = committedPolicy(1);
    resigned["heartbeat_interval_seconds"] = 600;
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::applyPolicy(first.state, policySigner.envelope(resigned), keys); }),
              CoreError("conflicting_duplicate", failureDetails("conflicting_duplicate")));

    EXPECT_EQ(coreErrorOf([&] {
                  brivet::BrivetCore::applyPolicy(first.state, policySigner.envelope(committedPolicy(0)), keys);
              }),
              CoreError("rollback", failureDetails("rollback")));

    json weaker = committedPolicy(2);
    weaker["categories"] = {"malware"};
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::applyPolicy(first.state, policySigner.envelope(weaker), keys); })
                  .name,
              "weaker_without_release");

    json early = committedPolicy(2);
    early["release"] = {{"reason", "expired"}, {"server_time", "2029-12-31T23:59:59Z"}};
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::applyPolicy(first.state, policySigner.envelope(early), keys); })
                  .name,
              "release_too_early");
}

// A stored policy holding numbers goes back to the core as integers, so an
// equal successor is not mistaken for a weaker one.
TEST_F(BridgeCallsTest, StoredNumbersStayIntegersAcrossApplications) {
    auto first = brivet::BrivetCore::applyPolicy(ClientState("d1", "i1"), policySigner.envelope(committedPolicy(1)), keys);
    // The state survives a trip through its own JSON form as the client stores it.
    ClientState stored = json::parse(json(first.state).dump()).get<ClientState>();
    auto second = brivet::BrivetCore::applyPolicy(stored, policySigner.envelope(committedPolicy(2)), keys);
    EXPECT_EQ(second.outcome, PolicyOutcome::applied);
    EXPECT_EQ(second.state.highestPolicySeq, 2);
}

// Re-issuing identical content under the next sequence is applied, whatever
// kind of numbers the custom rules carry, also after the state went through
// its stored JSON form.
TEST_F(BridgeCallsTest, ReissuedIdenticalContentIsAppliedWithEveryNumberKind) {
    const std::string members =
        R"("kind":"commitment","commitment_id":"c1","locked_until":"2030-01-01T00:00:00Z","custom_rules":[)"
        R"({"rule_type":"domain","value":"a.example","weight":1.0},{"n":-0.0},{"n":1e2},)"
        R"({"n":9007199254740993},{"n":18446744073709551615}]})";
    auto payload = [&](int seq) {
        return R"({"type":"device_policy","v":1,"device_id":"d1","installation_id":"i1","policy_seq":)" +
               std::to_string(seq) + "," + members;
    };
    ClientState state("d1", "i1");
    for (int seq = 1; seq <= 3; ++seq) {
        auto applied = brivet::BrivetCore::applyPolicy(state, policySigner.envelopeOfBytes(payload(seq)), keys);
        EXPECT_EQ(applied.outcome, PolicyOutcome::applied) << seq;
        state = json::parse(json(applied.state).dump()).get<ClientState>();
    }
    ASSERT_TRUE(state.policy);
    const JSONValue::Array& rules = *state.policy->at("custom_rules").arrayValue();
    ASSERT_EQ(rules.size(), 5u);
    EXPECT_NE(rules[0].find("weight")->number()->real(), nullptr);
    EXPECT_EQ(rules[3].find("n")->intValue(), 9007199254740993LL);
    const std::string stored = json(state).dump();
    for (const char* written : {R"("weight":1.0)", R"("n":-0.0)", R"("n":100.0)", R"("n":9007199254740993)",
                                R"("n":18446744073709551615)"})
        EXPECT_NE(stored.find(written), std::string::npos) << written << " in " << stored;
    // The same content signed as integers is a different rule set.
    std::string integers = payload(4);
    integers.replace(integers.find("1.0}"), 3, "1");
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::applyPolicy(state, policySigner.envelopeOfBytes(integers), keys); })
                  .name,
              "weaker_without_release");
}

TEST_F(BridgeCallsTest, EnvelopesHoldingNulAreRefusedNotTruncated) {
    // Everything after the NUL would be cut off by a plain C string: the
    // valid envelope in front must not be accepted on its own.
    const std::string valid = policySigner.envelope(committedPolicy(1));
    const std::string withNul = valid + std::string("\0garbage", 8);
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::applyPolicy(ClientState("d1", "i1"), withNul, keys); }),
              CoreError("invalid_envelope_json", failureDetails("invalid_envelope_json")));

    const std::string release = releaseEnvelope(releasePayload()) + std::string("\0", 1);
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyRelease(release, keys, at2030, 3); }).name,
              "invalid_envelope_json");

    const std::string attestation = policySigner.envelope(attestationPayload()) + std::string("\0x", 2);
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyAttestation(attestation, keys, "d1", "n1"); }).name,
              "invalid_envelope_json");
}

TEST_F(BridgeCallsTest, ReleaseIsEffectiveFromItsInstant) {
    auto release = brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, at2030, 3);
    EXPECT_EQ(release, (brivet::BrivetCore::VerifiedRelease{"release-1", "2030-01-01T00:00:00Z", 3, "service_shutdown"}));

    // The fraction of a second is dropped, so just before the next second is still the same second.
    EXPECT_NO_THROW(brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, at2030 + 999999us, 3));

    CoreError early =
        coreErrorOf([&] { brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, at2030 - 1us, 3); });
    EXPECT_EQ(early.name, "not_effective_until");
    ASSERT_TRUE(early.details.count("effective_at"));
    EXPECT_EQ(early.details.at("effective_at").stringValue(), "2030-01-01T00:00:00Z");
    EXPECT_EQ(early.details.at("ok"), JSONValue(false));

    CoreError old = coreErrorOf([&] { brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, at2030, 2); });
    EXPECT_EQ(old.name, "client_too_old");
    EXPECT_EQ(old.details.at("minimum_client_version").intValue(), 3);

    EXPECT_EQ(coreErrorOf([&] {
                  brivet::BrivetCore::verifyRelease(policySigner.envelope(releasePayload()), keys, at2030, 3);
              }).name,
              "unknown_key");
}

TEST_F(BridgeCallsTest, TimesOutsideFourDigitYearsAreRefusedAsInvalidNow) {
    using namespace std::chrono;
    const Instant farFuture = Instant(sys_days{year{10000} / 1 / 1});
    const Instant beforeYearZero = Instant(sys_days{year{0} / 1 / 1}) - 1s;
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, farFuture, 3); })
                  .name,
              "invalid_now");
    EXPECT_EQ(coreErrorOf([&] {
                  brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, beforeYearZero, 3);
              }).name,
              "invalid_now");
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyRelease(releaseEnvelope(releasePayload()), keys, Instant::max(), 3); })
                  .name,
              "invalid_now");
}

TEST_F(BridgeCallsTest, AttestationDecodesAndRefusesNulArguments) {
    const std::string envelope = policySigner.envelope(attestationPayload());
    auto attestation = brivet::BrivetCore::verifyAttestation(envelope, keys, "d1", "n1");
    EXPECT_EQ(attestation, (brivet::BrivetCore::Attestation{"2030-06-01T12:00:00Z", 4, std::nullopt, "none"}));

    json committed = attestationPayload();
    committed["commitment_id"] = "c9";
    committed["commitment_status"] = "active";
    auto withCommitment = brivet::BrivetCore::verifyAttestation(policySigner.envelope(committed), keys, "d1", "n1");
    EXPECT_EQ(withCommitment.commitmentId, "c9");
    EXPECT_EQ(withCommitment.commitmentStatus, "active");

    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyAttestation(envelope, keys, "d1", "n2"); }).name,
              "nonce_mismatch");
    // A truncating bridge would compare only "n1" and "d1" and accept these.
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyAttestation(envelope, keys, "d1", std::string("n1\0x", 4)); }),
              CoreError("invalid_argument", failureDetails("invalid_argument")));
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyAttestation(envelope, keys, std::string("d1\0", 3), "n1"); })
                  .name,
              "invalid_argument");
    // The envelope is read before the arguments.
    EXPECT_EQ(coreErrorOf([&] { brivet::BrivetCore::verifyAttestation("not json", keys, std::string("d1\0", 3), "n1"); })
                  .name,
              "invalid_envelope_json");
}

TEST(BridgeDirectCallsTest, ClampAndVersion) {
    using brivet::BrivetCore::clampOfflineRuntime;
    EXPECT_EQ(clampOfflineRuntime(-5), 86400);
    EXPECT_EQ(clampOfflineRuntime(0), 86400);
    EXPECT_EQ(clampOfflineRuntime(86401), 86401);
    EXPECT_EQ(clampOfflineRuntime(2592001), 2592000);
    EXPECT_EQ(clampOfflineRuntime(std::numeric_limits<std::int64_t>::min()), 86400);
    EXPECT_EQ(clampOfflineRuntime(std::numeric_limits<std::int64_t>::max()), 2592000);
    EXPECT_EQ(brivet::BrivetCore::version(), "0.1.0");
}

}  // namespace

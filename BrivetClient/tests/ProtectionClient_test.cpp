// The protection client against the local device service over real HTTP.
#include "BrivetClient/ProtectionClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

#include "BrivetClient/HTTPTransport.h"
#include "keldra/DevService.h"

using namespace brivet;
using brivet::dev::DevService;
using brivet::dev::Endpoint;
using nlohmann::json;

namespace {

struct Harness {
    DevService service;
    std::shared_ptr<InMemoryStateStore> store = std::make_shared<InMemoryStateStore>();
    Instant now = RFC3339::fromUnixSeconds(1'900'000'000);  // 2030-03-17
    std::string nextNonce;
    std::unique_ptr<ProtectionClient> client;

    Harness() {
        service.acceptEnrollmentCode("CODE-1");
        build();
    }

    void build() {
        auto transport = std::make_shared<CurlTransport>();
        // The token source reads the identity of the client built below.
        auto api = std::make_shared<DeviceAPI>(
            DeviceAPIConfiguration{service.baseURL(), "1.2.3"}, transport,
            [this]() -> std::optional<std::string> {
                if (client && client->identity()) return client->identity()->deviceToken;
                return std::nullopt;
            });
        PinnedKeys keys = json::parse(service.pinnedKeysJSON()).get<PinnedKeys>();
        client = std::make_unique<ProtectionClient>(
            api, store, keys, "1.2.3", [this] { return now; },
            [this] { return nextNonce.empty() ? ProtectionClient::randomNonce() : nextNonce; });
    }

    static json committedPolicy(const std::string& lockedUntil, std::vector<std::string> categories) {
        return json{{"kind", "commitment"},
                    {"commitment_id", "c-1"},
                    {"locked_until", lockedUntil},
                    {"categories", categories},
                    {"custom_rules", json::array({{{"rule_type", "domain"}, {"value", "bad.example"}}})},
                    {"allow_rules", json::array()},
                    {"blocklist_version", 3},
                    {"offline_release_runtime_seconds", 86400},
                    {"heartbeat_interval_seconds", 900}};
    }
};


}  // namespace

TEST(ProtectionClient, EnrolRefreshAcknowledgeThen304RestartsTheOfflineCount) {
    Harness h;
    std::int64_t seq = h.service.setPolicy(Harness::committedPolicy("2030-01-01T00:00:00Z", {"ads", "malware"}));

    DeviceIdentity identity = h.client->enroll("CODE-1", "Test Machine");
    EXPECT_FALSE(identity.deviceId.empty());
    EXPECT_FALSE(identity.deviceToken.empty());
    EXPECT_EQ(identity.installationId.size(), 36u);
    EXPECT_EQ(h.store->saves, 2);  // once before the call, once after
    EXPECT_EQ(h.store->state.lastServerContact, RFC3339::string(h.now));
    auto enrolRequests = h.service.received(Endpoint::enroll);
    ASSERT_EQ(enrolRequests.size(), 1u);
    EXPECT_EQ(json::parse(enrolRequests[0].body)["platform"], "macos");

    // A fresh state fetches without a conditional header.
    EXPECT_EQ(h.client->refreshPolicy(), ProtectionClient::RefreshOutcome::applied(seq));
    auto fetches = h.service.received(Endpoint::policy);
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(fetches[0].headers.count("if-none-match"), 0u);
    EXPECT_EQ(fetches[0].headers.at("authorization"), "Bearer " + identity.deviceToken);
    EXPECT_EQ(h.service.counters().acknowledgements, 1);
    ASSERT_TRUE(h.client->effectivePolicy());
    EXPECT_TRUE(h.client->effectivePolicy()->committed);

    // Time passes past the lock end while offline; the count grows.
    h.client->recordRuntime(1000);
    h.client->recordRuntime(1600);
    EXPECT_EQ(h.store->state.offlineRelease.accumulatedSeconds, 600);

    // The second refresh is a 304, which counts as contact.
    h.now += std::chrono::seconds(60);
    EXPECT_EQ(h.client->refreshPolicy(), ProtectionClient::RefreshOutcome::unchanged());
    fetches = h.service.received(Endpoint::policy);
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_EQ(fetches[1].headers.at("if-none-match"), "\"" + std::to_string(seq) + "\"");
    EXPECT_EQ(h.store->state.offlineRelease, OfflineReleaseAccumulator{});
    EXPECT_EQ(h.store->state.lastServerContact, RFC3339::string(h.now));
    // The signed envelope is kept with the state, as the service sent it.
    const auto envelope = h.store->state.policyEnvelope;
    ASSERT_TRUE(envelope);
    EXPECT_EQ(json::parse(*envelope).value("key_id", ""), h.service.keyId(brivet::dev::KeyRole::policy));

    // A state of an older version has no envelope: the policy is fetched
    // whole once ("ignored", the same bytes), and the envelope kept.
    Json stored = h.store->state.toJSON();
    stored.erase("policyEnvelope");
    h.store->state = ProtectionState::fromJSON(stored);
    h.build();
    EXPECT_EQ(h.client->refreshPolicy(), ProtectionClient::RefreshOutcome::ignored());
    fetches = h.service.received(Endpoint::policy);
    ASSERT_EQ(fetches.size(), 3u);
    EXPECT_EQ(fetches[2].headers.count("if-none-match"), 0u);
    EXPECT_EQ(h.store->state.policyEnvelope, envelope);

    // Enrolling again keeps the installation and starts the policy state afresh.
    h.service.acceptEnrollmentCode("CODE-2");
    DeviceIdentity again = h.client->enroll("CODE-2", "Test Machine");
    EXPECT_EQ(again.installationId, identity.installationId);
    EXPECT_EQ(h.store->state.client->highestPolicySeq, 0);
    EXPECT_FALSE(h.store->state.policyEnvelope);
    EXPECT_FALSE(h.client->effectivePolicy());
}

TEST(ProtectionClient, RejectedPoliciesAreRecordedAndNotContact) {
    Harness h;
    h.service.setPolicyWithSequence(Harness::committedPolicy("2031-01-01T00:00:00Z", {"ads", "malware"}), 5);
    h.client->enroll("CODE-1", "m");
    ASSERT_EQ(h.client->refreshPolicy(), ProtectionClient::RefreshOutcome::applied(5));
    std::string contact = *h.store->state.lastServerContact;

    // A lower sequence is a rollback.
    h.now += std::chrono::seconds(10);
    h.service.setPolicyWithSequence(Harness::committedPolicy("2031-01-01T00:00:00Z", {"ads", "malware"}), 4);
    try {
        h.client->refreshPolicy();
        FAIL() << "rollback accepted";
    } catch (const PolicyRejected& rejected) {
        EXPECT_EQ(rejected.reason(), "rollback");
    }
    EXPECT_EQ(h.store->state.lastRejectedPolicy, "rollback");
    EXPECT_EQ(h.store->state.lastServerContact, contact);

    // Dropping a locked category under the commitment is a weakening.
    h.service.setPolicyWithSequence(Harness::committedPolicy("2031-01-01T00:00:00Z", {"ads"}), 6);
    try {
        h.client->refreshPolicy();
        FAIL() << "weakening accepted";
    } catch (const PolicyRejected& rejected) {
        EXPECT_EQ(rejected.reason(), "weaker_without_release");
    }
    EXPECT_EQ(h.store->state.client->highestPolicySeq, 5);

    // A stronger policy is applied and clears the rejection.
    h.service.setPolicyWithSequence(Harness::committedPolicy("2031-06-01T00:00:00Z", {"ads", "malware", "social"}), 7);
    EXPECT_EQ(h.client->refreshPolicy(), ProtectionClient::RefreshOutcome::applied(7));
    EXPECT_FALSE(h.store->state.lastRejectedPolicy);
}

TEST(ProtectionClient, NotEnrolledOperationsFailBeforeAnyRequest) {
    Harness h;
    MacCapabilities caps{"14.0", true, false, false, std::nullopt, std::nullopt};
    EXPECT_THROW(h.client->refreshPolicy(), APIError);
    EXPECT_THROW(h.client->attestTime(), APIError);
    EXPECT_THROW(h.client->heartbeat(caps), APIError);
    EXPECT_EQ(h.service.counters().requests, 0);

    HeartbeatFacts facts = h.client->heartbeatFacts(caps);
    EXPECT_EQ(facts.acknowledgedPolicySeq, 0);
    EXPECT_FALSE(facts.policyValid);
    ASSERT_TRUE(facts.revocations);
    EXPECT_EQ(*facts.revocations, HeartbeatFacts::Revocations{});
}

TEST(ProtectionClient, AttestationKeepsTheHighestTrustedTime) {
    Harness h;
    h.client->enroll("CODE-1", "m");
    auto serverTime = std::chrono::system_clock::time_point(std::chrono::seconds(1'900'000'500));
    h.service.setServerTime(serverTime);
    Instant attested = h.client->attestTime();
    EXPECT_EQ(RFC3339::unixSeconds(attested), 1'900'000'500);
    EXPECT_EQ(h.client->trustedTimeHighWater(), attested);

    // An earlier attested time is returned but does not lower the mark.
    h.service.setServerTime(serverTime - std::chrono::seconds(100));
    Instant earlier = h.client->attestTime();
    EXPECT_EQ(RFC3339::unixSeconds(earlier), 1'900'000'400);
    EXPECT_EQ(h.client->trustedTimeHighWater(), attested);

    // An attestation signed for another nonce is refused and changes nothing.
    ProtectionState before = h.store->state;
    h.nextNonce = "fixed-nonce";
    dev::Failure forged;
    forged.status = 200;
    forged.rawBody = h.service.signEnvelope(
        dev::KeyRole::policy,
        json{{"type", "time_attestation"}, {"v", 1}, {"device_id", h.client->identity()->deviceId},
             {"nonce", "other"}, {"server_time", "2030-03-17T00:00:00Z"}, {"policy_seq", 0}}
            .dump());
    forged.times = 1;
    h.service.failEndpoint(Endpoint::timeAttestation, forged);
    EXPECT_THROW(h.client->attestTime(), BrivetCore::CoreError);
    EXPECT_EQ(h.store->state, before);
}

TEST(ProtectionClient, GlobalReleaseDecisions) {
    Harness h;
    EXPECT_EQ(h.client->checkGlobalRelease(), ProtectionClient::ReleaseDecision::none());
    EXPECT_EQ(h.store->saves, 0);

    h.service.setGlobalRelease(json{{"reason", "service_shutdown"},
                                    {"effective_at", "2031-01-01T00:00:00Z"},
                                    {"minimum_client_version", 1}});
    EXPECT_EQ(h.client->checkGlobalRelease(), ProtectionClient::ReleaseDecision::deferred("2031-01-01T00:00:00Z"));
    EXPECT_FALSE(h.client->globallyReleased());

    h.service.setGlobalRelease(json{{"reason", "service_shutdown"},
                                    {"effective_at", "2029-01-01T00:00:00Z"},
                                    {"minimum_client_version", 1}});
    EXPECT_EQ(h.client->checkGlobalRelease(),
              ProtectionClient::ReleaseDecision::released("service_shutdown", "2029-01-01T00:00:00Z"));
    EXPECT_TRUE(h.client->globallyReleased());
    EXPECT_EQ(h.store->state.globalRelease->recordedAt, RFC3339::string(h.now));

    h.service.setGlobalRelease(json{{"reason", "service_shutdown"},
                                    {"effective_at", "2029-01-01T00:00:00Z"},
                                    {"minimum_client_version", 9}});
    EXPECT_EQ(h.client->checkGlobalRelease(), ProtectionClient::ReleaseDecision::invalid("client_too_old"));
    EXPECT_TRUE(h.client->globallyReleased());  // a recorded release stays
}

TEST(ProtectionClient, OfflineReleaseFiresOnceAtTheClampedRuntime) {
    Harness h;
    h.service.setPolicy(Harness::committedPolicy("2030-01-01T00:00:00Z", {"ads"}));
    h.client->enroll("CODE-1", "m");
    h.client->refreshPolicy();
    ASSERT_FALSE(h.client->recordRuntime(100));
    EXPECT_FALSE(h.client->recordRuntime(100 + 86399));
    EXPECT_TRUE(h.client->recordRuntime(100 + 86400));
    EXPECT_FALSE(h.client->recordRuntime(100 + 86500));
    ASSERT_TRUE(h.client->effectivePolicy());
    EXPECT_EQ(h.client->effectivePolicy()->kind, "released");
    EXPECT_FALSE(h.client->effectivePolicy()->committed);
    EXPECT_EQ(h.client->effectivePolicy()->categories, std::vector<std::string>{"ads"});

    // A new applied policy ends the offline release.
    h.service.setPolicy(Harness::committedPolicy("2031-01-01T00:00:00Z", {"ads"}));
    h.client->refreshPolicy();
    EXPECT_TRUE(h.client->effectivePolicy()->committed);
    EXPECT_FALSE(h.store->state.offlineReleasedAt);
}

TEST(ProtectionClient, HeartbeatAndFailedServiceCallsLeaveStateAlone) {
    Harness h;
    h.client->enroll("CODE-1", "m");
    MacCapabilities caps{"14.1", true, true, true, RFC3339::fromUnixSeconds(1'800'000'000), std::nullopt};
    HeartbeatResult result = h.client->heartbeat(caps);
    EXPECT_FALSE(h.client->needsPolicyRefresh(result));
    auto beats = h.service.received(Endpoint::heartbeat);
    ASSERT_EQ(beats.size(), 1u);
    json body = json::parse(beats[0].body);
    EXPECT_EQ(body["client_version"], "1.2.3");
    EXPECT_EQ(body["os_version"], "14.1");
    EXPECT_EQ(body["revocations"], json({{"vpn_revoked_at", RFC3339::string(*caps.filterRevokedAt)}}));

    h.service.setPolicy(json{{"categories", {"ads"}}});
    ProtectionState before = h.store->state;
    std::int64_t saves = h.store->saves;
    dev::Failure down;
    down.status = 503;
    down.code = "unavailable";
    down.message = "down";
    h.service.failEndpoint(Endpoint::any, down);
    EXPECT_THROW(h.client->heartbeat(caps), APIError);
    EXPECT_THROW(h.client->refreshPolicy(), APIError);
    EXPECT_THROW(h.client->attestTime(), APIError);
    EXPECT_EQ(h.store->state, before);
    EXPECT_EQ(h.store->saves, saves);
}

TEST(ProtectionClient, NoncesAreUrlSafeAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string nonce = ProtectionClient::randomNonce();
        ASSERT_EQ(nonce.size(), 43u);
        EXPECT_EQ(nonce.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 50u);
    std::string uuid = ProtectionClient::randomUUID();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid[14], '4');
}

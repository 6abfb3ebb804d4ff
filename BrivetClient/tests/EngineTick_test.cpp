// Engine ticks end to end against the local device service over real HTTP.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "EngineTestSupport.h"

using namespace enginetest;
using brivet::APIError;
using brivet::ProtectionClient;
using brivet::ProtectionEngine;
using brivet::dev::Endpoint;
using brivet::dev::Failure;
using Strings = std::vector<std::string>;

namespace {

Failure failure(int status, std::string code, std::optional<int> times = std::nullopt) {
    Failure f;
    f.status = status;
    f.code = std::move(code);
    f.message = "injected";
    f.times = times;
    return f;
}

class EngineTick : public EngineFixture {
protected:
    void servePolicy() {
        service.setBlocklist("ads", 3, rulesOf({"ads.example"}));
        service.setBlocklist("gambling", 3, rulesOf({"bet.example"}));
        service.setPolicy(json{{"kind", "blocking_only"},
                               {"categories", {"ads", "gambling"}},
                               {"custom_rules", json::array({{{"rule_type", "domain"}, {"value", "x.example"}}})},
                               {"blocklist_version", 3}});
    }

    // Every event the service accepted, summed per type and reason.
    std::int64_t acceptedCount(const std::string& type, const std::string& reason) const {
        std::int64_t total = 0;
        for (const auto& e : service.acceptedEvents())
            if (e["type"] == type && e["reason"] == reason) total += e["count"].get<std::int64_t>();
        return total;
    }
};

TEST_F(EngineTick, FirstTickWithServicePartlyFailingGivesOneLinePerStepInOrder) {
    enroll();
    servePolicy();
    service.failEndpoint(Endpoint::timeAttestation, failure(503, "unavailable"));
    service.failEndpoint(Endpoint::globalRelease, failure(500, "internal"));
    service.failEndpoint(Endpoint::heartbeat, failure(502, "bad_gateway"));
    service.failEndpoint(Endpoint::events, failure(429, "rate_limited"));
    filter->closedEvents = {blockEvent(0, 4)};

    auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"attestation: http 503 unavailable", "release: http 500 internal",
                                      "heartbeat: http 502 bad_gateway", "events: http 429 rate_limited"}));
    EXPECT_TRUE(report.enrolled);
    EXPECT_FALSE(report.attested);
    EXPECT_FALSE(report.globalRelease.has_value());
    EXPECT_EQ(report.refresh, ProtectionClient::RefreshOutcome::applied(1));
    EXPECT_FALSE(report.protectionState.has_value());
    EXPECT_TRUE(report.filterConfigured);
    EXPECT_TRUE(report.filterRunning);
    EXPECT_EQ(report.rulesPublished, 1);
    EXPECT_TRUE(report.missingCategories.empty());
    EXPECT_EQ(report.eventsSent, 0);
    EXPECT_FALSE(report.offlineReleaseFired);
    EXPECT_FALSE(engine->lastAttestation().has_value());
    EXPECT_FALSE(engine->lastReleaseCheck().has_value());
    EXPECT_EQ(engine->lastPolicyRefresh(), now);

    ASSERT_EQ(filter->published.size(), 1u);
    const FilterRules& rules = filter->published[0];
    EXPECT_EQ(rules.policySeq, 1);
    EXPECT_EQ(rules.categories, (Strings{"ads", "gambling"}));
    EXPECT_EQ(rules.generatedAt, "2026-03-01T12:00:00Z");
    EXPECT_EQ(rules.ruleSet.decide("www.bet.example").kind, brivet::HostDecision::Kind::block);
    EXPECT_EQ(rules.ruleSet.decide("x.example").kind, brivet::HostDecision::Kind::blockCustom);
    // The filter's events wait in the outbox.
    EXPECT_EQ(outbox->pending(), (std::vector<CoalescedEvent>{blockEvent(0, 4)}));

    // The service recovers: the failed steps run again at once, the refresh
    // is not due, nothing is published again and the queue drains.
    service.clearFailures();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_TRUE(report.attested);
    EXPECT_EQ(report.globalRelease, ProtectionClient::ReleaseDecision::none());
    EXPECT_FALSE(report.refresh.has_value());
    EXPECT_EQ(report.protectionState, "protected");
    EXPECT_FALSE(report.rulesPublished.has_value());
    EXPECT_EQ(report.eventsSent, 1);
    EXPECT_EQ(filter->published.size(), 1u);
    EXPECT_EQ(engine->lastAttestation(), now);
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_connection"), 4);

    // Nothing due and nothing queued: only the heartbeat reaches the service.
    service.clearReceived();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(service.received().size(), 1u);
    EXPECT_EQ(requestsTo(Endpoint::heartbeat), 1u);
}

TEST_F(EngineTick, UndecodableAndTransportFailuresUseTheirDescriptions) {
    enroll();
    servePolicy();
    Failure garbage;
    garbage.status = 200;
    garbage.rawBody = "not json";
    service.failEndpoint(Endpoint::heartbeat, garbage);
    Failure dropped = failure(500, "internal");
    dropped.dropConnection = true;
    service.failEndpoint(Endpoint::timeAttestation, dropped);

    auto report = tick();
    ASSERT_EQ(report.errors.size(), 2u);
    EXPECT_EQ(report.errors[0].rfind("attestation: transport ", 0), 0u) << report.errors[0];
    EXPECT_EQ(report.errors[1].rfind("heartbeat: decoding ", 0), 0u) << report.errors[1];
}

TEST_F(EngineTick, HeartbeatAnnouncingNewerSequenceRefreshesAgainInTheSameTick) {
    enroll();
    servePolicy();
    // While the first refresh is answered, the service moves on to sequence 2,
    // so the heartbeat that follows announces it.
    bool bumped = false;
    transport->after = [&](const brivet::HTTPRequest& request, brivet::HTTPResponse&) {
        if (!bumped && request.method == "GET" && request.url.find("/policy") != std::string::npos) {
            bumped = true;
            service.setPolicy(json{{"kind", "blocking_only"}, {"categories", {"ads"}}, {"blocklist_version", 3}});
        }
    };

    auto report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(requestsTo(Endpoint::policy), 2u);
    EXPECT_EQ(report.refresh, ProtectionClient::RefreshOutcome::applied(2));
    EXPECT_EQ(report.rulesPublished, 2);
    ASSERT_EQ(filter->published.size(), 1u);
    EXPECT_EQ(filter->published[0].categories, (Strings{"ads"}));

    // With the interval not passed and nothing announced, no refresh runs.
    advance(60);
    report = tick();
    EXPECT_FALSE(report.refresh.has_value());
    EXPECT_EQ(requestsTo(Endpoint::policy), 2u);

    // A newer policy announced later is fetched on the next heartbeat
    // although the interval has not passed.
    service.setPolicy(json{{"kind", "blocking_only"}, {"categories", {"gambling"}}, {"blocklist_version", 3}});
    advance(60);
    report = tick();
    EXPECT_EQ(report.refresh, ProtectionClient::RefreshOutcome::applied(3));
    EXPECT_EQ(report.rulesPublished, 3);

    // Each application was counted as an own event (one record per
    // sequence); they leave once their window has closed.
    advance(900);
    report = tick();
    EXPECT_EQ(report.eventsSent, 3);
    EXPECT_EQ(acceptedCount("policy_applied", "applied"), 3);
}

TEST_F(EngineTick, RejectedPolicyIsFetchedOncePerIntervalUnlessAHigherOneIsAnnounced) {
    enroll();
    servePolicy();
    ASSERT_TRUE(tick().errors.empty());
    // A policy for another device, announced with sequence 5.
    auto foreign = [&](std::int64_t seq) {
        json payload = {{"type", "device_policy"}, {"v", 1},           {"device_id", "someone-else"},
                        {"installation_id", "x"},  {"policy_seq", seq}, {"kind", "blocking_only"}};
        service.setRawPolicyEnvelope(service.signEnvelope(brivet::dev::KeyRole::policy, payload.dump()), seq);
    };
    foreign(5);
    service.clearReceived();

    // The heartbeat announces it: fetched and refused once, then left alone
    // on every tick of the interval.
    advance(60);
    auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"policy rejected: device_mismatch"}));
    EXPECT_EQ(engine->rejectedPolicySeq(), 5);
    for (int i = 0; i < 59; ++i) {
        advance(60);
        EXPECT_TRUE(tick().errors.empty());
    }
    EXPECT_EQ(requestsTo(Endpoint::policy), 1u);

    // The interval has passed: the timed refresh fetches it once more, and
    // the heartbeat of that tick does not.
    advance(60);
    EXPECT_EQ(tick().errors, (Strings{"policy rejected: device_mismatch"}));
    EXPECT_EQ(requestsTo(Endpoint::policy), 2u);
    advance(60);
    EXPECT_TRUE(tick().errors.empty());
    EXPECT_EQ(requestsTo(Endpoint::policy), 2u);
    EXPECT_EQ(client->effectivePolicy()->policySeq, 1);

    // A higher sequence is fetched at once.
    service.setPolicy(json{{"kind", "blocking_only"}, {"categories", {"ads"}}, {"blocklist_version", 3}});
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(requestsTo(Endpoint::policy), 3u);
    EXPECT_EQ(report.refresh->kind, ProtectionClient::RefreshOutcome::Kind::applied);
    EXPECT_FALSE(engine->rejectedPolicySeq().has_value());

    // One rejection event per fetch, not per tick.
    advance(900);
    engine->flushEvents();
    EXPECT_EQ(acceptedCount("policy_rejected", "device_mismatch"), 2);
    for (const auto& e : service.acceptedEvents())
        if (e["type"] == "policy_rejected") {
            EXPECT_EQ(e["policy_seq"], 1);
        }
}

TEST_F(EngineTick, RejectedFirstPolicyIsNotFetchedOnEveryTick) {
    enroll();
    // No policy stored yet; the only one on offer is for another device.
    json payload = {{"type", "device_policy"}, {"v", 1},         {"device_id", "someone-else"},
                    {"installation_id", "x"},  {"policy_seq", 7}, {"kind", "blocking_only"}};
    service.setRawPolicyEnvelope(service.signEnvelope(brivet::dev::KeyRole::policy, payload.dump()), 7);
    EXPECT_EQ(tick().errors, (Strings{"policy rejected: device_mismatch"}));
    EXPECT_EQ(engine->rejectedPolicySeq(), 7);  // named by the heartbeat of that tick
    for (int i = 0; i < 10; ++i) {
        advance(60);
        EXPECT_TRUE(tick().errors.empty());
    }
    EXPECT_EQ(requestsTo(Endpoint::policy), 1u);
    advance(3000);
    EXPECT_EQ(tick().errors, (Strings{"policy rejected: device_mismatch"}));
    EXPECT_EQ(requestsTo(Endpoint::policy), 2u);
    EXPECT_FALSE(client->effectivePolicy().has_value());
}

TEST_F(EngineTick, OfflineReleaseFiresExactlyAtTheClampedRuntime) {
    enroll();
    service.setBlocklist("ads", 3, rulesOf({"ads.example"}));
    // The lock ends ten minutes in; an hour of runtime is clamped to one day.
    service.setPolicy(json{{"kind", "commitment"},
                           {"commitment_id", "c1"},
                           {"locked_until", "2026-03-01T12:10:00Z"},
                           {"categories", {"ads"}},
                           {"blocklist_version", 3},
                           {"offline_release_runtime_seconds", 3600}});
    auto report = tick();
    ASSERT_TRUE(report.errors.empty()) << report.errors[0];
    ASSERT_TRUE(client->effectivePolicy()->committed);

    Failure down = failure(503, "unavailable");
    service.failEndpoint(Endpoint::any, down);
    const Strings offline{"attestation: http 503 unavailable", "release: http 503 unavailable",
                          "policy: http 503 unavailable", "heartbeat: http 503 unavailable"};
    engine->attestationInterval = 0;
    engine->releaseCheckInterval = 0;
    engine->policyRefreshInterval = 0;

    // Past the lock end: this reading is the reference, nothing counted yet.
    advance(700);
    report = tick();
    EXPECT_EQ(report.errors, offline);
    EXPECT_EQ(client->state().offlineRelease.accumulatedSeconds, 0);

    advance(86399);
    report = tick();
    EXPECT_FALSE(report.offlineReleaseFired);
    EXPECT_EQ(client->state().offlineRelease.accumulatedSeconds, 86399);
    EXPECT_EQ(client->effectivePolicy()->kind, "commitment");

    advance(1);
    report = tick();
    EXPECT_TRUE(report.offlineReleaseFired);
    Strings withEvents = offline;
    withEvents.push_back("events: http 503 unavailable");  // the closed policy_applied window
    EXPECT_EQ(report.errors, withEvents);
    const auto policy = client->effectivePolicy();
    EXPECT_EQ(policy->kind, "released");
    EXPECT_FALSE(policy->committed);
    EXPECT_EQ(policy->categories, (Strings{"ads"}));
    // The rules stay in force and are published again under the new kind,
    // from the cache although the service is down.
    EXPECT_EQ(report.rulesPublished, 1);
    ASSERT_EQ(filter->published.size(), 2u);
    EXPECT_EQ(filter->published[1].kind, "released");
    EXPECT_FALSE(filter->published[1].committed);
    EXPECT_TRUE(filter->published[1].missingCategories.empty());
    EXPECT_EQ(filter->published[1].ruleSet, filter->published[0].ruleSet);

    advance(60);
    report = tick();
    EXPECT_FALSE(report.offlineReleaseFired);
    EXPECT_FALSE(report.rulesPublished.has_value());
}

TEST_F(EngineTick, EventsGoOutInBatchesAndEachAnswerIsTreatedByItsKind) {
    enroll();
    servePolicy();
    ASSERT_TRUE(tick().errors.empty());
    std::vector<CoalescedEvent> queued;
    for (int i = 0; i < 250; ++i) queued.push_back(blockEvent(i));
    outbox->append(queued);
    service.clearReceived();

    // The second batch is answered 429.
    int eventRequests = 0;
    transport->after = [&](const brivet::HTTPRequest& request, brivet::HTTPResponse&) {
        if (request.url.find("/events") != std::string::npos && ++eventRequests == 1)
            service.failEndpoint(Endpoint::events, failure(429, "rate_limited", 1));
    };
    advance(60);
    auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"events: http 429 rate_limited"}));
    EXPECT_EQ(report.eventsSent, 100);
    EXPECT_EQ(eventBatchSizes(), (std::vector<std::size_t>{100, 100}));
    auto left = outbox->pending();
    ASSERT_EQ(left.size(), 150u);
    EXPECT_EQ(left.front(), queued[100]);

    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(report.eventsSent, 150);
    EXPECT_EQ(eventBatchSizes(), (std::vector<std::size_t>{100, 100, 100, 50}));
    EXPECT_TRUE(outbox->pending().empty());
    EXPECT_EQ(service.counters().eventsAccepted, 250);
    transport->after = nullptr;

    // A 200 answer that does not decode keeps the batch.
    outbox->append({blockEvent(300), blockEvent(301)});
    Failure garbage;
    garbage.status = 200;
    garbage.rawBody = "{\"accepted\":\"many\"}";
    garbage.times = 1;
    service.failEndpoint(Endpoint::events, garbage);
    advance(60);
    report = tick();
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_EQ(report.errors[0].rfind("events: decoding ", 0), 0u) << report.errors[0];
    EXPECT_EQ(report.eventsSent, 0);
    EXPECT_EQ(outbox->pending().size(), 2u);

    // A 5xx and a 408 keep it too; a 400 drops only the batch it answered.
    service.failEndpoint(Endpoint::events, failure(500, "internal", 1));
    advance(60);
    EXPECT_EQ(tick().errors, (Strings{"events: http 500 internal"}));
    EXPECT_EQ(outbox->pending().size(), 2u);
    service.failEndpoint(Endpoint::events, failure(408, "request_timeout", 1));
    advance(60);
    EXPECT_EQ(tick().errors, (Strings{"events: http 408 request_timeout"}));
    EXPECT_EQ(outbox->pending().size(), 2u);

    engine->eventBatchSize = 1;
    service.failEndpoint(Endpoint::events, failure(400, "invalid_request", 1));
    advance(60);
    report = tick();
    EXPECT_EQ(report.errors, (Strings{"events: http 400 invalid_request"}));
    EXPECT_EQ(report.eventsSent, 0);
    EXPECT_EQ(outbox->pending(), (std::vector<CoalescedEvent>{blockEvent(301)}));
    advance(60);
    EXPECT_EQ(tick().eventsSent, 1);
}

TEST_F(EngineTick, BatchSizeBelowOneSendsOneEventPerRequest) {
    enroll();
    servePolicy();
    ASSERT_TRUE(tick().errors.empty());
    outbox->append({blockEvent(0), blockEvent(1), blockEvent(2)});
    service.clearReceived();
    for (std::int64_t size : {std::int64_t{0}, std::int64_t{-5}, std::numeric_limits<std::int64_t>::min()}) {
        engine->eventBatchSize = size;
        advance(60);
        const auto report = tick();
        EXPECT_TRUE(report.errors.empty());
        EXPECT_EQ(report.eventsSent, size == 0 ? 3 : 0);
        if (size == 0) {
            EXPECT_EQ(eventBatchSizes(), (std::vector<std::size_t>{1, 1, 1}));
        }
    }
    engine->eventBatchSize = std::numeric_limits<std::int64_t>::max();
    outbox->append({blockEvent(3), blockEvent(4)});
    advance(60);
    EXPECT_EQ(tick().eventsSent, 2);
    EXPECT_EQ(eventBatchSizes().back(), 2u);
}

TEST_F(EngineTick, RulesWithAMissingCategoryArePublishedAgainThenTheCacheIsPruned) {
    enroll();
    service.setBlocklist("ads", 3, rulesOf({"ads.example"}));
    service.setPolicy(json{{"kind", "blocking_only"}, {"categories", {"ads", "gambling"}}, {"blocklist_version", 3}});
    // A list of an older version waits in the cache.
    service.setBlocklist("ads", 2, rulesOf({"old.example"}));
    cache->store(api->fetchBlocklist("ads", 2));
    const auto stale = cache->directory / brivet::FileBlocklistCache::fileName("ads", 2);
    ASSERT_TRUE(std::filesystem::exists(stale));

    auto report = tick();
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(report.rulesPublished, 1);
    EXPECT_EQ(report.missingCategories, (Strings{"gambling"}));
    EXPECT_TRUE(std::filesystem::exists(stale)) << "pruned while a category was missing";

    // Still missing: published again on every tick, still not pruned.
    advance(60);
    report = tick();
    EXPECT_EQ(report.rulesPublished, 1);
    EXPECT_EQ(report.missingCategories, (Strings{"gambling"}));
    EXPECT_EQ(filter->published.size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(stale));

    // While the filter does not run, nothing is published; the report still
    // names what the rules in force miss.
    filter->currentStatus->running = false;
    service.setBlocklist("gambling", 3, rulesOf({"bet.example"}));
    advance(60);
    report = tick();
    EXPECT_FALSE(report.rulesPublished.has_value());
    EXPECT_EQ(report.missingCategories, (Strings{"gambling"}));
    EXPECT_EQ(filter->published.size(), 2u);

    filter->currentStatus->running = true;
    advance(60);
    report = tick();
    EXPECT_EQ(report.rulesPublished, 1);
    EXPECT_TRUE(report.missingCategories.empty());
    EXPECT_EQ(filter->published.size(), 3u);
    EXPECT_TRUE(filter->published.back().isComplete());
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(cache->directory / brivet::FileBlocklistCache::fileName("gambling", 3)));

    // Complete and unchanged: no load, no publish, no blocklist request.
    const auto fetches = service.counters().blocklistFetches;
    advance(60);
    report = tick();
    EXPECT_FALSE(report.rulesPublished.has_value());
    EXPECT_TRUE(report.missingCategories.empty());
    EXPECT_EQ(filter->published.size(), 3u);
    EXPECT_EQ(service.counters().blocklistFetches, fetches);
}

TEST_F(EngineTick, FailedPublishIsOfferedAgainOnTheNextTick) {
    enroll();
    servePolicy();
    filter->publishFailure = "extension unreachable";
    auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"publish: extension unreachable"}));
    EXPECT_FALSE(report.rulesPublished.has_value());
    EXPECT_FALSE(engine->publishedRules().has_value());

    filter->publishFailure.reset();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(report.rulesPublished, 1);
    ASSERT_TRUE(engine->publishedRules().has_value());
    EXPECT_EQ(engine->publishedRules()->policySeq, 1);
}

TEST_F(EngineTick, FilterLossIsReportedWithItsFirstInstantAndClearedWhenBack) {
    enroll();
    servePolicy();
    host->configured = false;
    auto report = tick();
    EXPECT_FALSE(report.filterConfigured);
    EXPECT_FALSE(report.filterRunning);
    EXPECT_FALSE(engine->filterConfiguredOnce());
    EXPECT_FALSE(engine->filterLostAt().has_value());
    EXPECT_EQ(filter->statusCalls, 1) << "the filter is asked also when not configured";
    EXPECT_TRUE(filter->published.empty());

    host->configured = true;
    filter->currentStatus.reset();  // configured, but no status
    advance(60);
    report = tick();
    EXPECT_TRUE(report.filterConfigured);
    EXPECT_FALSE(report.filterRunning);
    EXPECT_TRUE(filter->published.empty());
    EXPECT_TRUE(engine->filterConfiguredOnce());

    host->configured = false;
    advance(60);
    const Instant lost = now;
    tick();
    EXPECT_EQ(engine->filterLostAt(), lost);
    advance(60);
    tick();
    EXPECT_EQ(engine->filterLostAt(), lost);
    auto beats = service.received(Endpoint::heartbeat);
    const json facts = json::parse(beats.back().body);
    EXPECT_EQ(facts["revocations"]["vpn_revoked_at"], brivet::RFC3339::string(lost));
    EXPECT_EQ(facts["vpn_active"], false);

    host->configured = true;
    filter->currentStatus = FilterStatus{true, 0, 0, std::nullopt, 0};
    advance(60);
    report = tick();
    EXPECT_FALSE(engine->filterLostAt().has_value());
    EXPECT_TRUE(report.filterRunning);
    EXPECT_EQ(report.rulesPublished, 1);
    beats = service.received(Endpoint::heartbeat);
    EXPECT_FALSE(json::parse(beats.back().body)["revocations"].contains("vpn_revoked_at"));
    EXPECT_EQ(json::parse(beats.back().body)["vpn_active"], true);

    // One event per tick in which protection was off, all in one window.
    EXPECT_EQ(engine->flushEvents(), 4);  // three reasons plus policy_applied
    EXPECT_EQ(acceptedCount("protection_disabled", "filter_not_installed"), 1);
    EXPECT_EQ(acceptedCount("protection_disabled", "filter_not_running"), 1);
    EXPECT_EQ(acceptedCount("protection_disabled", "filter_disabled"), 2);
    for (const auto& e : service.acceptedEvents())
        if (e["type"] == "protection_disabled") {
            EXPECT_EQ(e["policy_seq"], 1);
            EXPECT_FALSE(e.contains("category") && !e["category"].is_null());
        }
}

TEST_F(EngineTick, NotEnrolledTickDoesNothingButAccountRuntime) {
    filter->closedEvents = {blockEvent(0)};
    auto report = tick();
    ProtectionEngine::TickReport expected;
    expected.enrolled = false;
    EXPECT_EQ(report, expected);
    EXPECT_EQ(service.counters().requests, 0);
    EXPECT_EQ(filter->statusCalls, 0);
    EXPECT_EQ(filter->takeCalls, 0);
    EXPECT_EQ(host->configuredCalls, 0);
    EXPECT_EQ(client->state().offlineRelease.lastMonotonicSeconds, host->monotonic);

    // flushEvents does not look at enrolment; the service refuses the
    // unauthenticated batch with 401, which drops it.
    EXPECT_EQ(engine->flushEvents(), 0);
    EXPECT_EQ(filter->takeCalls, 1);
}

TEST_F(EngineTick, NoStoredPolicyRefreshesOnEveryTick) {
    enroll();
    service.clearPolicy();
    engine->policyRefreshInterval = 1e300;
    for (int i = 0; i < 3; ++i) {
        const auto report = tick();
        EXPECT_EQ(report.errors, (Strings{"policy: http 404 policy_not_found"}));
        advance(1);
    }
    EXPECT_EQ(requestsTo(Endpoint::policy), 3u);
    servePolicy();
    EXPECT_EQ(tick().refresh, ProtectionClient::RefreshOutcome::applied(1));
    advance(1);
    EXPECT_FALSE(tick().refresh.has_value());
    // Attestation and release check ran once in the engine's life.
    EXPECT_EQ(requestsTo(Endpoint::timeAttestation), 1u);
    EXPECT_EQ(requestsTo(Endpoint::globalRelease), 1u);
}

TEST_F(EngineTick, RestartLosesNoQueuedEventAndNoAppliedPolicy) {
    enroll();
    servePolicy();
    service.failEndpoint(Endpoint::events, failure(503, "unavailable"));
    filter->closedEvents = {blockEvent(0, 7), blockEvent(1, 2)};
    auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"events: http 503 unavailable"}));
    EXPECT_EQ(report.rulesPublished, 1);

    // The process dies. A new graph over the same directory and a new filter.
    filter = std::make_shared<MemoryFilter>();
    build();
    ASSERT_TRUE(client->effectivePolicy().has_value());
    EXPECT_EQ(client->effectivePolicy()->policySeq, 1);
    EXPECT_EQ(outbox->pending().size(), 2u);

    service.clearFailures();
    // Dies again after the service accepted a batch but before the answer
    // arrived: the batch stays queued.
    transport->after = [](const brivet::HTTPRequest& request, brivet::HTTPResponse&) {
        if (request.url.find("/events") != std::string::npos) throw APIError::transport("connection reset");
    };
    advance(60);
    report = tick();
    EXPECT_EQ(report.errors, (Strings{"events: transport connection reset"}));
    EXPECT_EQ(report.refresh, ProtectionClient::RefreshOutcome::unchanged());
    EXPECT_EQ(report.rulesPublished, 1) << "a new engine publishes the stored policy";
    EXPECT_EQ(service.counters().eventsAccepted, 2);

    filter = std::make_shared<MemoryFilter>();
    build();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(report.eventsSent, 2);
    EXPECT_TRUE(outbox->pending().empty());
    // Sent twice, counted once.
    EXPECT_EQ(service.counters().eventsDeduplicated, 2);
    EXPECT_EQ(service.counters().eventCountTotal, 9);
    EXPECT_EQ(filter->published.size(), 1u);
    EXPECT_EQ(filter->published[0].policySeq, 1);
}

TEST_F(EngineTick, EventsAreKeptWhenTheOutboxCannotBeWritten) {
    enroll();
    servePolicy();
    // A directory where the outbox file belongs: every read and write fails.
    std::filesystem::create_directories(outbox->url());
    host->configured = false;  // an own event on every tick
    filter->closedEvents = {blockEvent(0, 3)};

    auto report = tick();
    ASSERT_EQ(report.errors.size(), 2u);
    EXPECT_EQ(report.errors[0].rfind("events: ", 0), 0u) << report.errors[0];
    EXPECT_EQ(report.errors[1].rfind("outbox: ", 0), 0u) << report.errors[1];
    EXPECT_EQ(engine->unsavedEventCount(), 1);
    EXPECT_TRUE(filter->queued.empty());

    // The own window closes: its append fails too and it is kept as well.
    advance(900);
    report = tick();
    ASSERT_EQ(report.errors.size(), 3u);
    EXPECT_EQ(report.errors[0].rfind("events: ", 0), 0u);
    EXPECT_EQ(report.errors[1].rfind("outbox: ", 0), 0u);
    EXPECT_EQ(report.errors[2].rfind("outbox: ", 0), 0u);
    EXPECT_EQ(engine->unsavedEventCount(), 3);  // filter window, policy_applied, not_installed

    EXPECT_EQ(engine->flushEvents(), 0);
    EXPECT_EQ(engine->unsavedEventCount(), 4);  // the open window was drained and kept

    std::filesystem::remove_all(outbox->url());
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(engine->unsavedEventCount(), 0);
    // Only now is the filter told that its window is in the outbox.
    EXPECT_EQ(filter->queued, (std::vector<std::vector<CoalescedEvent>>{{blockEvent(0, 3)}}));
    EXPECT_EQ(report.eventsSent, 4);
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_connection"), 3);
    EXPECT_EQ(acceptedCount("policy_applied", "applied"), 1);
    EXPECT_EQ(acceptedCount("protection_disabled", "filter_not_installed"), 2);
}

// Fourteen blocks are durable in the filter's counts file; the disk is full
// when their window closes, so the outbox cannot take them; space comes back
// and a kill -9 follows before the next tick. The counts file kept the window
// until the outbox held it, so the next run delivers all fourteen. A kill -9
// between the outbox append and the counts file's update sends a window
// twice at worst, as the same record, which the service counts once.
TEST_F(EngineTick, AFullDiskAtAWindowsCloseLosesNoBlockCount) {
    namespace fs = std::filesystem;
    enroll();
    servePolicy();
    const fs::path data = group().containerURL;
    const fs::path atCrash = dir.path() / "at-crash";
    auto counting = std::make_shared<CountingFilter>(data / "events-pending.json", [this] { return now; });
    otherFilter = counting;
    build();
    ASSERT_TRUE(tick().errors.empty());
    // What is on disk at the crash is all the next run finds.
    auto diskAtCrash = [&] {
        fs::remove_all(atCrash);
        fs::copy(data, atCrash, fs::copy_options::recursive);
    };
    auto restartFromCrash = [&] {
        engine.reset();
        otherFilter.reset();
        counting.reset();
        fs::remove_all(data);
        fs::rename(atCrash, data);
        counting = std::make_shared<CountingFilter>(data / "events-pending.json", [this] { return now; });
        otherFilter = counting;
        build();
    };
    auto countsOnDisk = [&] {
        return brivet::JSONCoding::plainDecode<brivet::EventCoalescer>(keldra::test::readFile(data / "events-pending.json"))
            .pendingCount();
    };

    counting->block(14);
    ASSERT_TRUE(counting->counts.flush());
    fs::remove(outbox->url());
    fs::create_directories(outbox->url());  // the disk is full for the outbox
    advance(900);
    auto report = tick();
    ASSERT_FALSE(report.errors.empty());
    EXPECT_EQ(report.errors[0].rfind("events: ", 0), 0u) << report.errors[0];
    fs::remove(outbox->url());  // space comes back
    EXPECT_TRUE(counting->counts.flush());
    EXPECT_EQ(countsOnDisk(), 14);
    diskAtCrash();
    restartFromCrash();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_dns_query"), 14);
    EXPECT_EQ(countsOnDisk(), 0);

    // The crash comes right after the append, before the counts file lets go.
    counting->block(5);
    counting->beforeRemoval = [&] {
        diskAtCrash();
        // The process is gone: nothing after this point reaches the service.
        service.failEndpoint(Endpoint::events, failure(503, "unavailable"));
    };
    advance(900);
    tick();
    service.clearFailures();
    restartFromCrash();
    advance(60);
    report = tick();
    EXPECT_TRUE(report.errors.empty()) << report.errors[0];
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_dns_query"), 19);
    EXPECT_EQ(service.counters().eventsDeduplicated, 1);
    EXPECT_EQ(countsOnDisk(), 0);
    EXPECT_TRUE(outbox->pending().empty());
}

TEST_F(EngineTick, FilterEventsThatCannotBeTakenLeaveOneLine) {
    enroll();
    servePolicy();
    filter->takeFailure = "connection invalidated";
    const auto report = tick();
    EXPECT_EQ(report.errors, (Strings{"events: connection invalidated"}));
}

}  // namespace

namespace {

TEST_F(EngineTick, AbsurdClocksAndReadingsNeitherCrashNorOverflow) {
    enroll();
    servePolicy();
    ASSERT_TRUE(tick().errors.empty());
    engine->attestationInterval = 1e300;
    engine->releaseCheckInterval = -1e300;
    engine->policyRefreshInterval = std::nan("");
    filter->closedEvents = {blockEvent(0)};
    const Instant extremes[] = {Instant::max(), Instant::min(), Instant::max(),
                                *brivet::RFC3339::date("2026-03-01T12:05:00Z")};
    const std::int64_t readings[] = {std::numeric_limits<std::int64_t>::max(),
                                     std::numeric_limits<std::int64_t>::min(), 0, 5000};
    for (int i = 0; i < 4; ++i) {
        now = extremes[i];
        host->monotonic = readings[i];
        host->configured = i % 2 == 0;
        const auto report = tick();
        EXPECT_TRUE(report.enrolled);
        EXPECT_FALSE(report.attested);
        EXPECT_TRUE(report.globalRelease.has_value());  // a negative interval is always due
    }
    engine->flushEvents();
    // Whatever the clock said, the filter's window reached the service.
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_connection"), 1);
}

}  // namespace

namespace {

TEST_F(EngineTick, TwoHundredFiftyQueuedEventsGoOutAsThreeBatches) {
    enroll();
    servePolicy();
    std::vector<CoalescedEvent> queued;
    for (int i = 0; i < 250; ++i) queued.push_back(blockEvent(i, i + 1));
    outbox->append(queued);
    const auto report = tick();
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(report.eventsSent, 250);
    EXPECT_EQ(eventBatchSizes(), (std::vector<std::size_t>{100, 100, 50}));
    // In queue order, counts unchanged.
    const auto accepted = service.acceptedEvents();
    ASSERT_EQ(accepted.size(), 250u);
    EXPECT_EQ(accepted.front()["window_start"], queued.front().windowStart);
    EXPECT_EQ(accepted.back()["count"], 250);
    EXPECT_EQ(service.counters().eventCountTotal, 250 * 251 / 2);
}

TEST_F(EngineTick, StateThatCannotBeSavedGivesARuntimeLine) {
    // The state file's place is taken by a directory that cannot be replaced.
    std::filesystem::create_directories(group().stateURL() / "occupied");
    const auto report = tick();
    ASSERT_EQ(report.errors.size(), 1u);
    EXPECT_EQ(report.errors[0].rfind("runtime: ", 0), 0u) << report.errors[0];
    EXPECT_FALSE(report.enrolled);
    EXPECT_FALSE(report.offlineReleaseFired);
}

}  // namespace

// Drives the local device service over real HTTP and checks its answers,
// signatures, entity tags, failure injection and enrolment codes.

#include "keldra/DevService.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "keldra/TestFiles.h"

namespace {

using brivet::dev::DevService;
using brivet::dev::DevServiceError;
using brivet::dev::DevServiceOptions;
using brivet::dev::Endpoint;
using brivet::dev::Failure;
using brivet::dev::KeyRole;
using nlohmann::json;

const char* const kJSON = "application/json";

json heartbeatBody() {
    return json{{"client_version", "1.0"},        {"os_version", "Linux"},
                {"acknowledged_policy_seq", 0},   {"policy_valid", false},
                {"vpn_active", true},             {"usage_access_active", false},
                {"app_monitor_active", false},    {"accessibility_active", false},
                {"private_dns_mode", "unknown"},  {"integrity_state", "unavailable"},
                {"revocations", json::object()}};
}

class DevServiceTest : public ::testing::Test {
protected:
    DevServiceTest() : service(options()), client("127.0.0.1", service.port()) {}

    static DevServiceOptions options() {
        DevServiceOptions o;
        o.acceptCodes = {"CODE-1"};
        return o;
    }

    httplib::Result enroll(const std::string& code, const std::string& installation = "inst-1") {
        json body = {{"code", code}, {"platform", "macos"}, {"name", "Test Mac"},
                     {"installation_id", installation}};
        return client.Post("/api/v1/enrollments", body.dump(), kJSON);
    }

    // Enrols and remembers the device's identity.
    void enrollDevice() {
        auto res = enroll("CODE-1");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 201) << res->body;
        auto doc = json::parse(res->body);
        deviceId = doc["device_id"].get<std::string>();
        token = doc["device_token"].get<std::string>();
    }

    httplib::Headers auth(httplib::Headers extra = {}) {
        extra.emplace("Authorization", "Bearer " + token);
        return extra;
    }

    httplib::Result getPolicy(httplib::Headers extra = {}) {
        return client.Get("/api/v1/device/policy", auth(std::move(extra)));
    }

    httplib::Result post(const std::string& path, const json& body) {
        return client.Post(path.c_str(), auth(), body.dump(), kJSON);
    }

    static std::string errorCode(const httplib::Result& res) {
        auto doc = json::parse(res->body, nullptr, false);
        if (!doc.is_object() || !doc.contains("error")) return "<no error body>";
        return doc["error"]["code"].get<std::string>();
    }

    json verifiedPayload(const std::string& envelope, const std::string& list = "policy_keys") {
        auto payload = devtest::verifyEnvelope(envelope, service.pinnedKeysJSON(), list);
        if (!payload) {
            ADD_FAILURE() << "envelope does not verify: " << envelope;
            return json();
        }
        return json::parse(*payload);
    }

    DevService service;
    httplib::Client client;
    std::string deviceId;
    std::string token;
};

TEST_F(DevServiceTest, PublishesItsKeysAndEnvironment) {
    auto env = json::parse(service.environmentJSON());
    EXPECT_EQ(env["name"], "Keldra dev service");
    EXPECT_EQ(env["api_base_url"], service.baseURL());
    EXPECT_EQ(service.baseURL(), "http://127.0.0.1:" + std::to_string(service.port()));
    ASSERT_EQ(env["policy_keys"].size(), 1u);
    ASSERT_EQ(env["release_keys"].size(), 1u);
    EXPECT_EQ(env["policy_keys"][0]["id"], service.keyId(KeyRole::policy));
    EXPECT_EQ(env["release_keys"][0]["id"], service.keyId(KeyRole::release));
    EXPECT_NE(service.keyId(KeyRole::policy), service.keyId(KeyRole::release));
    EXPECT_NE(service.publicKey(KeyRole::policy), service.publicKey(KeyRole::release));
    for (const char* list : {"policy_keys", "release_keys"}) {
        std::string pub = env[list][0]["public"].get<std::string>();
        EXPECT_EQ(pub.find('='), std::string::npos);
        auto raw = devtest::b64urlDecode(pub);
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->size(), 32u);
    }
    auto pinned = json::parse(service.pinnedKeysJSON());
    EXPECT_EQ(pinned["policy_keys"], env["policy_keys"]);
    EXPECT_EQ(pinned["release_keys"], env["release_keys"]);

    {
        keldra::test::TempDir dir("devservice-env");
        service.writeEnvironmentFile(dir / "sub" / "Environment.json");
        EXPECT_EQ(json::parse(keldra::test::readFile(dir / "sub" / "Environment.json")), env);
        EXPECT_EQ(keldra::test::modeOf(dir / "sub" / "Environment.json"), 0644u);
    }

    // A signed envelope verifies against the published key of its role only.
    std::string env1 = service.signEnvelope(KeyRole::release, R"({"a":1})");
    EXPECT_EQ(devtest::verifyEnvelope(env1, service.pinnedKeysJSON(), "release_keys"),
              std::optional<std::string>(R"({"a":1})"));
    EXPECT_FALSE(devtest::verifyEnvelope(env1, service.pinnedKeysJSON(), "policy_keys"));
}

TEST_F(DevServiceTest, EnrolsOnlyWithAcceptedCodesAndWellFormedBodies) {
    auto bad = enroll("NOPE");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(errorCode(bad), "enrollment_code_invalid");

    service.setPolicy(json{{"kind", "blocking_only"}});
    auto first = enroll("CODE-1", "inst-a");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 201);
    auto doc = json::parse(first->body);
    EXPECT_TRUE(doc["device_id"].is_string());
    EXPECT_TRUE(doc["device_token"].is_string());
    EXPECT_EQ(doc["policy_seq"], 1);

    // Codes stay usable; each enrolment is a new device with a new token.
    auto second = enroll("CODE-1", "inst-a");
    ASSERT_TRUE(second);
    ASSERT_EQ(second->status, 201);
    EXPECT_NE(json::parse(second->body)["device_token"], doc["device_token"]);
    EXPECT_NE(json::parse(second->body)["device_id"], doc["device_id"]);

    service.revokeEnrollmentCode("CODE-1");
    EXPECT_EQ(enroll("CODE-1")->status, 400);
    service.acceptEnrollmentCode("CODE-2");
    EXPECT_EQ(enroll("CODE-2")->status, 201);

    // Missing or wrong-typed members, an unknown platform, a non-object body.
    json missing = {{"code", "CODE-2"}, {"platform", "macos"}, {"name", "x"}};
    EXPECT_EQ(client.Post("/api/v1/enrollments", missing.dump(), kJSON)->status, 400);
    json badPlatform = {{"code", "CODE-2"}, {"platform", "MacOS"}, {"name", "x"},
                        {"installation_id", "i"}};
    auto r = client.Post("/api/v1/enrollments", badPlatform.dump(), kJSON);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(errorCode(r), "invalid_request");
    EXPECT_EQ(client.Post("/api/v1/enrollments", "[1]", kJSON)->status, 400);
    EXPECT_EQ(client.Post("/api/v1/enrollments", "{", kJSON)->status, 400);

    auto c = service.counters();
    EXPECT_EQ(c.enrollments, 3);
    EXPECT_EQ(c.rejectedEnrollments, 2);
    auto devices = service.devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].installationId, "inst-a");
    EXPECT_EQ(devices[0].platform, "macos");
    EXPECT_EQ(devices[0].name, "Test Mac");
}

TEST_F(DevServiceTest, ServesSignedPoliciesWithEntityTagsAnd304) {
    enrollDevice();
    auto none = getPolicy();
    EXPECT_EQ(none->status, 404);
    EXPECT_EQ(errorCode(none), "policy_not_found");

    json policy = {{"kind", "commitment"}, {"commitment_id", "c1"},
                   {"categories", {"adult"}}, {"blocklist_version", 7},
                   {"policy_seq", 99}, {"device_id", "someone-else"}};
    EXPECT_EQ(service.setPolicy(policy), 1);
    EXPECT_EQ(service.setPolicy(policy), 2);
    EXPECT_EQ(service.currentPolicySeq(), 2);

    auto res = getPolicy();
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("ETag"), "\"2\"");
    json payload = verifiedPayload(res->body);
    EXPECT_EQ(payload["type"], "device_policy");
    EXPECT_EQ(payload["v"], 1);
    EXPECT_EQ(payload["device_id"], deviceId);
    EXPECT_EQ(payload["installation_id"], "inst-1");
    EXPECT_EQ(payload["policy_seq"], 2);
    EXPECT_EQ(payload["commitment_id"], "c1");
    EXPECT_EQ(payload["categories"], json({"adult"}));
    EXPECT_EQ(payload["blocklist_version"], 7);

    // The same policy is served byte for byte again (the client then ignores it).
    EXPECT_EQ(getPolicy()->body, res->body);

    auto notModified = getPolicy({{"If-None-Match", "\"2\""}});
    EXPECT_EQ(notModified->status, 304);
    EXPECT_TRUE(notModified->body.empty());
    EXPECT_EQ(notModified->get_header_value("ETag"), "\"2\"");
    EXPECT_EQ(getPolicy({{"If-None-Match", "W/\"2\""}})->status, 304);
    EXPECT_EQ(getPolicy({{"If-None-Match", "\"1\", \"2\""}})->status, 304);
    EXPECT_EQ(getPolicy({{"If-None-Match", "\"1\""}})->status, 200);
    EXPECT_EQ(getPolicy({{"If-None-Match", "2"}})->status, 200);  // not an entity tag
    EXPECT_EQ(getPolicy({{"If-None-Match", "\"22\""}})->status, 200);

    auto c = service.counters();
    EXPECT_EQ(c.policyFetches, 5);
    EXPECT_EQ(c.policyNotModified, 3);
}

TEST_F(DevServiceTest, ServesExplicitSequencesAndRawEnvelopes) {
    enrollDevice();
    service.setPolicy(json{{"kind", "blocking_only"}});
    service.setPolicy(json{{"kind", "blocking_only"}});

    // A rollback: sequence 1 after 2, also announced by heartbeats.
    service.setPolicyWithSequence(json{{"kind", "blocking_only"}}, 1);
    auto res = getPolicy({{"If-None-Match", "\"2\""}});
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(verifiedPayload(res->body)["policy_seq"], 1);
    EXPECT_EQ(json::parse(post("/api/v1/device/heartbeat", heartbeatBody())->body)["policy_seq"], 1);
    // The next assigned sequence is above every one served.
    EXPECT_EQ(service.setPolicy(json::object()), 3);

    service.setRawPolicyEnvelope("{\"not\":\"signed\"}");
    res = getPolicy({{"If-None-Match", "\"3\""}});
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "{\"not\":\"signed\"}");
    EXPECT_FALSE(res->has_header("ETag"));
    EXPECT_EQ(service.currentPolicySeq(), 3);

    service.setRawPolicyEnvelope("raw", 9);
    EXPECT_EQ(getPolicy({{"If-None-Match", "\"9\""}})->status, 304);
    EXPECT_EQ(getPolicy()->get_header_value("ETag"), "\"9\"");
    EXPECT_EQ(service.currentPolicySeq(), 9);

    service.clearPolicy();
    EXPECT_EQ(getPolicy()->status, 404);
}

TEST_F(DevServiceTest, ChecksTheDeviceTokenOnDeviceEndpointsOnly) {
    enrollDevice();
    service.setPolicy(json::object());
    const std::vector<std::pair<std::string, std::string>> deviceEndpoints = {
        {"GET", "/api/v1/device/policy"},
        {"POST", "/api/v1/device/policy/ack"},
        {"POST", "/api/v1/device/heartbeat"},
        {"POST", "/api/v1/device/events"},
        {"POST", "/api/v1/device/time-attestations"}};
    for (const auto& [method, path] : deviceEndpoints) {
        SCOPED_TRACE(path);
        for (const std::string& header : std::vector<std::string>{"", "Bearer wrong", "Basic " + token, token}) {
            httplib::Headers headers;
            if (!header.empty()) headers.emplace("Authorization", header);
            auto res = method == "GET" ? client.Get(path.c_str(), headers)
                                       : client.Post(path.c_str(), headers, "{}", kJSON);
            ASSERT_TRUE(res);
            EXPECT_EQ(res->status, 401) << header;
            EXPECT_EQ(errorCode(res), header.empty() ? "unauthorized" : "invalid_token");
        }
    }
    // Enrolment, blocklists and the release document need no token.
    EXPECT_EQ(client.Get("/.well-known/brivet/release.json")->status, 200);
    service.setBlocklist("adult", 1, json::array());
    EXPECT_EQ(client.Get("/api/v1/blocklists/adult/1")->status, 200);
    EXPECT_EQ(service.counters().unauthorized, 20);
}

TEST_F(DevServiceTest, AcknowledgementsAndHeartbeats) {
    enrollDevice();
    service.setPolicy(json::object());
    service.setServerTime(std::chrono::system_clock::time_point(std::chrono::seconds(1900000000)) +
                          std::chrono::milliseconds(750));
    service.setProtectionState("degraded");

    auto ack = post("/api/v1/device/policy/ack",
                    json{{"policy_seq", 1}, {"applied_at", "2030-01-01T00:00:00Z"}});
    EXPECT_EQ(ack->status, 200);
    EXPECT_EQ(post("/api/v1/device/policy/ack", json{{"policy_seq", "1"}, {"applied_at", "x"}})->status,
              400);
    EXPECT_EQ(post("/api/v1/device/policy/ack",
                   json{{"policy_seq", 1}, {"applied_at", "2030-01-01"}})->status,
              400);
    // Sequences outside the signed 64-bit range are refused, not wrapped.
    EXPECT_EQ(post("/api/v1/device/policy/ack",
                   json::parse(R"({"policy_seq":18446744073709551615,"applied_at":"2030-01-01T00:00:00Z"})"))
                  ->status,
              400);
    auto devices = service.devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].acknowledgedSeq, 1);
    EXPECT_EQ(devices[0].acknowledgedAt, "2030-01-01T00:00:00Z");

    auto hb = post("/api/v1/device/heartbeat", heartbeatBody());
    ASSERT_EQ(hb->status, 200);
    EXPECT_EQ(json::parse(hb->body),
              (json{{"policy_seq", 1}, {"server_time", "2030-03-17T17:46:40Z"},
                    {"protection_state", "degraded"}}));
    EXPECT_EQ(service.devices()[0].lastHeartbeat, heartbeatBody());

    // Keys written in camel case, a missing member or a wrong type are refused.
    json camel = heartbeatBody();
    camel.erase("client_version");
    camel["clientVersion"] = "1.0";
    EXPECT_EQ(post("/api/v1/device/heartbeat", camel)->status, 400);
    json wrong = heartbeatBody();
    wrong["policy_valid"] = "yes";
    EXPECT_EQ(post("/api/v1/device/heartbeat", wrong)->status, 400);
    json badRevocation = heartbeatBody();
    badRevocation["revocations"] = json{{"vpn_revoked_at", 5}};
    EXPECT_EQ(post("/api/v1/device/heartbeat", badRevocation)->status, 400);

    auto c = service.counters();
    EXPECT_EQ(c.acknowledgements, 1);
    EXPECT_EQ(c.heartbeats, 1);
}

TEST_F(DevServiceTest, CountsAndDeduplicatesEvents) {
    enrollDevice();
    json e1 = {{"type", "bypass_attempted"}, {"reason", "blocked_connection"},
               {"category", "adult"}, {"policy_seq", 3},
               {"window_start", "2030-01-01T00:00:00Z"}, {"window_end", "2030-01-01T00:15:00Z"},
               {"count", 4}};
    json e2 = e1;
    e2.erase("category");
    e2.erase("policy_seq");
    e2["count"] = 2;
    auto res = post("/api/v1/device/events", json{{"events", {e1, e2}}});
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body), (json{{"accepted", 2}, {"deduplicated", 0}}));

    // A resent event (same window and kind) is deduplicated.
    json e3 = e1;
    e3["window_start"] = "2030-01-01T00:15:00Z";
    res = post("/api/v1/device/events", json{{"events", {e1, e3}}});
    EXPECT_EQ(json::parse(res->body), (json{{"accepted", 1}, {"deduplicated", 1}}));

    // A malformed event refuses the whole batch; nothing of it is counted.
    json bad = e1;
    bad["count"] = "4";
    json fresh = e1;
    fresh["window_start"] = "2030-01-02T00:00:00Z";
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", {fresh, bad}}})->status, 400);
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", "none"}})->status, 400);
    json negative = fresh;
    negative["count"] = -1;
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", {negative}}})->status, 400);
    json huge = fresh;
    huge["count"] = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", {huge}}})->status, 400);
    // Counts near the limit saturate the total instead of overflowing it.
    json big1 = fresh, big2 = fresh;
    big1["count"] = std::numeric_limits<std::int64_t>::max();
    big1["window_start"] = "2031-01-01T00:00:00Z";
    big2["count"] = std::numeric_limits<std::int64_t>::max();
    big2["window_start"] = "2032-01-01T00:00:00Z";
    {
        DevService other(options());
        httplib::Client c2("127.0.0.1", other.port());
        auto r = c2.Post("/api/v1/enrollments",
                         json{{"code", "CODE-1"}, {"platform", "ios"}, {"name", "n"},
                              {"installation_id", "i"}}.dump(), kJSON);
        httplib::Headers h = {{"Authorization",
                               "Bearer " + json::parse(r->body)["device_token"].get<std::string>()}};
        EXPECT_EQ(c2.Post("/api/v1/device/events", h, json{{"events", {big1, big2}}}.dump(), kJSON)->status,
                  200);
        EXPECT_EQ(other.counters().eventCountTotal, std::numeric_limits<std::int64_t>::max());
    }
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", {1}}})->status, 400);

    auto empty = post("/api/v1/device/events", json{{"events", json::array()}});
    EXPECT_EQ(json::parse(empty->body), (json{{"accepted", 0}, {"deduplicated", 0}}));

    auto c = service.counters();
    EXPECT_EQ(c.eventBatches, 3);
    EXPECT_EQ(c.eventsAccepted, 3);
    EXPECT_EQ(c.eventsDeduplicated, 1);
    EXPECT_EQ(c.eventCountTotal, 10);
    auto events = service.acceptedEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], e1);
    EXPECT_EQ(events[1], e2);
    EXPECT_EQ(events[2], e3);
}

TEST_F(DevServiceTest, SignsTimeAttestationsOverTheCallersNonce) {
    enrollDevice();
    service.setServerTime(std::chrono::system_clock::time_point(std::chrono::seconds(1900000000)));
    auto res = post("/api/v1/device/time-attestations", json{{"nonce", "n-123"}});
    ASSERT_EQ(res->status, 200);
    json payload = verifiedPayload(res->body);
    EXPECT_EQ(payload, (json{{"type", "time_attestation"}, {"v", 1}, {"device_id", deviceId},
                             {"nonce", "n-123"}, {"server_time", "2030-03-17T17:46:40Z"},
                             {"policy_seq", 0}, {"commitment_status", "none"}}));
    EXPECT_FALSE(devtest::verifyEnvelope(res->body, service.pinnedKeysJSON(), "release_keys"));

    service.setPolicy(json{{"kind", "commitment"}, {"commitment_id", "c9"}});
    payload = verifiedPayload(post("/api/v1/device/time-attestations", json{{"nonce", "n-2"}})->body);
    EXPECT_EQ(payload["nonce"], "n-2");
    EXPECT_EQ(payload["policy_seq"], 1);
    EXPECT_EQ(payload["commitment_id"], "c9");
    EXPECT_EQ(payload["commitment_status"], "active");

    EXPECT_EQ(post("/api/v1/device/time-attestations", json{{"nonce", 5}})->status, 400);
    EXPECT_EQ(service.counters().timeAttestations, 2);
}

TEST_F(DevServiceTest, ServesBlocklistsByCategoryAndVersion) {
    json rules = {{{"rule_type", "domain"}, {"value", "bad.example"}}};
    json anyRules = {{{"rule_type", "domain_suffix"}, {"value", "any.example"}}};
    service.setBlocklist("adult", 7, rules);
    service.setBlocklist("gambling", std::nullopt, anyRules);
    service.setBlocklist("a/b", 1, rules);

    auto res = client.Get("/api/v1/blocklists/adult/7");
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body),
              (json{{"category", "adult"}, {"version", 7}, {"rules", rules}}));
    auto missing = client.Get("/api/v1/blocklists/adult/8");
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(errorCode(missing), "blocklist_not_found");
    EXPECT_EQ(json::parse(client.Get("/api/v1/blocklists/gambling/42")->body),
              (json{{"category", "gambling"}, {"version", 42}, {"rules", anyRules}}));

    // A percent-encoded category is one path segment, decoded; it never
    // reaches another endpoint.
    EXPECT_EQ(json::parse(client.Get("/api/v1/blocklists/a%2Fb/1")->body)["category"], "a/b");
    enrollDevice();
    service.setPolicy(json::object());
    auto sneaky = client.Get("/api/v1/blocklists/..%2Fdevice%2Fpolicy/1", auth());
    EXPECT_EQ(sneaky->status, 404);
    EXPECT_EQ(errorCode(sneaky), "blocklist_not_found");
    EXPECT_EQ(client.Get("/api/v1/blocklists/adult/x7")->status, 400);
    EXPECT_EQ(client.Get("/api/v1/blocklists/adult/7/more")->status, 404);

    service.setBlocklistDocument("social", json{{"category", "social"}, {"version", 3}, {"rules", rules}});
    EXPECT_EQ(client.Get("/api/v1/blocklists/social/3")->status, 200);
    EXPECT_THROW(service.setBlocklistDocument("social", json{{"category", "other"}, {"rules", rules}}),
                 DevServiceError);
    EXPECT_THROW(service.setBlocklistDocument("social", json{{"version", "3"}, {"rules", rules}}),
                 DevServiceError);
    service.clearBlocklists();
    EXPECT_EQ(client.Get("/api/v1/blocklists/adult/7")->status, 404);
    EXPECT_EQ(service.counters().blocklistFetches, 4);
}

TEST_F(DevServiceTest, ServesTheGlobalReleaseDocument) {
    auto none = client.Get("/.well-known/brivet/release.json");
    ASSERT_EQ(none->status, 200);
    EXPECT_EQ(json::parse(none->body), (json{{"release", nullptr}}));

    service.setGlobalRelease(json{{"effective_at", "2030-01-01T00:00:00Z"},
                                  {"minimum_client_version", 1},
                                  {"reason", "service_shutdown"}});
    auto doc = json::parse(client.Get("/.well-known/brivet/release.json")->body);
    ASSERT_TRUE(doc["release"].is_object());
    json payload = verifiedPayload(doc["release"].dump(), "release_keys");
    EXPECT_EQ(payload, (json{{"type", "global_release"}, {"v", 1},
                             {"effective_at", "2030-01-01T00:00:00Z"},
                             {"minimum_client_version", 1}, {"reason", "service_shutdown"}}));
    EXPECT_FALSE(devtest::verifyEnvelope(doc["release"].dump(), service.pinnedKeysJSON(), "policy_keys"));

    // Given members are kept, so a test can publish a document of a wrong kind.
    service.setGlobalRelease(json{{"type", "device_policy"}, {"v", 2}});
    payload = verifiedPayload(
        json::parse(client.Get("/.well-known/brivet/release.json")->body)["release"].dump(),
        "release_keys");
    EXPECT_EQ(payload["type"], "device_policy");
    EXPECT_EQ(payload["v"], 2);

    service.setRawGlobalReleaseDocument("[1,2]");
    EXPECT_EQ(client.Get("/.well-known/brivet/release.json")->body, "[1,2]");
    service.clearGlobalRelease();
    EXPECT_EQ(json::parse(client.Get("/.well-known/brivet/release.json")->body),
              (json{{"release", nullptr}}));
    EXPECT_EQ(service.counters().releaseFetches, 5);
}

TEST_F(DevServiceTest, InjectsFailuresForSomeRequestsOrUntilCleared) {
    enrollDevice();
    Failure limited;
    limited.status = 429;
    limited.code = "rate_limited";
    limited.message = "slow down";
    limited.times = 2;
    service.failEndpoint(Endpoint::heartbeat, limited);
    for (int i = 0; i < 2; ++i) {
        auto res = post("/api/v1/device/heartbeat", heartbeatBody());
        EXPECT_EQ(res->status, 429);
        EXPECT_EQ(json::parse(res->body),
                  (json{{"error", {{"code", "rate_limited"}, {"message", "slow down"}}}}));
    }
    EXPECT_EQ(post("/api/v1/device/heartbeat", heartbeatBody())->status, 200);
    EXPECT_EQ(service.counters().heartbeats, 1);

    // A raw body with a success status, e.g. an answer that does not decode.
    Failure raw;
    raw.status = 200;
    raw.rawBody = "not json";
    service.failEndpoint(Endpoint::events, raw);
    for (int i = 0; i < 3; ++i) {
        auto res = post("/api/v1/device/events", json{{"events", json::array()}});
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->body, "not json");
    }
    service.clearFailure(Endpoint::events);
    EXPECT_EQ(post("/api/v1/device/events", json{{"events", json::array()}})->body,
              R"({"accepted":0,"deduplicated":0})");

    // Every endpoint fails; a rule for one endpoint wins over it; no error
    // body without a code.
    Failure all;
    all.status = 503;
    service.failEndpoint(Endpoint::any, all);
    Failure teapot;
    teapot.status = 418;
    teapot.code = "teapot";
    service.failEndpoint(Endpoint::globalRelease, teapot);
    auto res = post("/api/v1/device/heartbeat", heartbeatBody());
    EXPECT_EQ(res->status, 503);
    EXPECT_TRUE(res->body.empty());
    EXPECT_EQ(enroll("CODE-1")->status, 503);
    EXPECT_EQ(errorCode(client.Get("/.well-known/brivet/release.json")), "teapot");
    service.clearFailures();
    EXPECT_EQ(post("/api/v1/device/heartbeat", heartbeatBody())->status, 200);

    // A reply dropped halfway reaches the client as a broken read.
    Failure drop;
    drop.status = 200;
    drop.rawBody = R"({"policy_seq":1,"server_time":"2030-01-01T00:00:00Z","protection_state":"x"})";
    drop.dropConnection = true;
    drop.times = 1;
    service.failEndpoint(Endpoint::heartbeat, drop);
    auto dropped = post("/api/v1/device/heartbeat", heartbeatBody());
    EXPECT_FALSE(dropped);
    EXPECT_EQ(post("/api/v1/device/heartbeat", heartbeatBody())->status, 200);

    EXPECT_THROW(service.failEndpoint(Endpoint::policy, Failure{42, "", "", {}, {}, false}),
                 DevServiceError);
    EXPECT_EQ(service.counters().injectedFailures, 2 + 3 + 3 + 1);
    // Failed requests are recorded with what was answered.
    auto hb = service.received(Endpoint::heartbeat);
    ASSERT_GE(hb.size(), 3u);
    EXPECT_EQ(hb[0].status, 429);
    EXPECT_EQ(hb[2].status, 200);
}

TEST_F(DevServiceTest, DelaysAnswersAndStopsWithoutWaitingThemOut) {
    service.delayEndpoint(Endpoint::globalRelease, std::chrono::milliseconds(300), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get("/.well-known/brivet/release.json")->status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get("/.well-known/brivet/release.json")->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    // A request held in a long delay does not hold up stopping the service.
    service.delayEndpoint(Endpoint::any, std::chrono::milliseconds::max());
    std::thread waiting([this] {
        httplib::Client other("127.0.0.1", service.port());
        other.Get("/.well-known/brivet/release.json");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    start = std::chrono::steady_clock::now();
    service.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    waiting.join();
    service.stop();  // a second stop is harmless
}

TEST_F(DevServiceTest, RecordsWhatItReceived) {
    service.setBlocklist("adult", 1, json::array());
    httplib::Headers headers = {{"X-Custom-Header", "Value"}, {"Authorization", "Bearer t"}};
    client.Get("/api/v1/blocklists/adult/1?x=%20y&z", headers);
    client.Post("/api/v1/device/heartbeat", headers, "{\"a\":1}", kJSON);
    client.Get("/nowhere");
    client.Get("/api/v1/enrollments");
    client.Get("/_dev/counters");  // control requests are not recorded

    auto got = service.received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].endpoint, Endpoint::blocklist);
    EXPECT_EQ(got[0].method, "GET");
    EXPECT_EQ(got[0].path, "/api/v1/blocklists/adult/1");
    EXPECT_EQ(got[0].query, "x=%20y&z");
    EXPECT_EQ(got[0].headers.at("x-custom-header"), "Value");
    EXPECT_EQ(got[0].headers.at("authorization"), "Bearer t");
    EXPECT_EQ(got[0].headers.count("remote_addr"), 0u);
    EXPECT_EQ(got[0].status, 200);
    EXPECT_EQ(got[1].endpoint, Endpoint::heartbeat);
    EXPECT_EQ(got[1].body, "{\"a\":1}");
    EXPECT_EQ(got[1].headers.at("content-type"), kJSON);
    EXPECT_EQ(got[1].status, 401);
    EXPECT_EQ(got[2].endpoint, Endpoint::unknown);
    EXPECT_EQ(got[2].status, 404);
    EXPECT_EQ(got[3].endpoint, Endpoint::enroll);
    EXPECT_EQ(got[3].status, 405);
    EXPECT_EQ(service.received(Endpoint::heartbeat).size(), 1u);
    EXPECT_EQ(service.counters().requests, 4);
    service.clearReceived();
    EXPECT_TRUE(service.received().empty());
}

TEST_F(DevServiceTest, StaysConsistentUnderConcurrentRequests) {
    enrollDevice();
    service.setPolicy(json::object());
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", service.port());
            for (int i = 0; i < 20; ++i) {
                httplib::Headers h = {{"Authorization", "Bearer " + token}};
                json e = {{"type", "t"}, {"reason", "r"}, {"window_start", std::to_string(t)},
                          {"window_end", std::to_string(i)}, {"count", 1}};
                auto a = c.Post("/api/v1/device/heartbeat", h, heartbeatBody().dump(), kJSON);
                auto b = c.Post("/api/v1/device/events", h, json{{"events", {e}}}.dump(), kJSON);
                if (i % 5 == 0) service.setPolicy(json::object());
                if (a && a->status == 200 && b && b->status == 200) ++ok;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 120);
    auto c = service.counters();
    EXPECT_EQ(c.heartbeats, 120);
    EXPECT_EQ(c.eventsAccepted, 120);
    EXPECT_EQ(service.currentPolicySeq(), 1 + 6 * 4);
    EXPECT_EQ(service.received().size(), 1u + 240u);
}

TEST(DevServiceKeys, KeysDirectoryKeepsKeysAcrossRestarts) {
    keldra::test::TempDir dir("devservice-keys");
    DevServiceOptions options;
    options.keysDir = dir / "keys";
    std::string pinned;
    {
        DevService first(options);
        pinned = first.pinnedKeysJSON();
    }
    for (const char* file : {"policy-key.json", "release-key.json"}) {
        EXPECT_EQ(keldra::test::modeOf(dir / "keys" / file), 0600u);
    }
    {
        DevService second(options);
        EXPECT_EQ(second.pinnedKeysJSON(), pinned);
    }
    DevService other;  // without a directory: fresh keys
    EXPECT_NE(other.pinnedKeysJSON(), pinned);

    // A damaged key file is an error, never silently replaced.
    const std::string damagedKey = "{\"id\":\"x\",\"private\":\"short\"}";
    keldra::test::writeFile(dir / "keys" / "release-key.json", damagedKey);
    EXPECT_THROW(DevService damaged(options), DevServiceError);
    EXPECT_EQ(keldra::test::readFile(dir / "keys" / "release-key.json"), damagedKey);
}

TEST(DevServiceBind, ReportsAnAddressInUse) {
    DevService first;
    DevServiceOptions options;
    options.port = first.port();
    EXPECT_THROW(DevService second(options), DevServiceError);
}

}  // namespace

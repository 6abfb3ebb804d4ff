#include "BrivetClient/DeviceAPI.h"

#include <gtest/gtest.h>

#include <deque>

using namespace brivet;

namespace {

// Records every request and answers from a queue of canned replies.
class RecordingTransport : public HTTPTransport {
public:
    HTTPResponse send(const HTTPRequest& request) override {
        requests.push_back(request);
        if (replies.empty()) throw APIError::transport("no reply queued");
        HTTPResponse r = replies.front();
        replies.pop_front();
        return r;
    }
    void reply(int status, std::string body = "", std::map<std::string, std::string> headers = {}) {
        replies.emplace_back(status, headers, std::move(body));
    }

    std::vector<HTTPRequest> requests;
    std::deque<HTTPResponse> replies;
};

struct Fixture : ::testing::Test {
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::optional<std::string> token = "tok-1";
    DeviceAPI api{DeviceAPIConfiguration{"https://svc.example:8443", "1.4.2"}, transport, [this] { return token; }};

    const HTTPRequest& last() const { return transport->requests.back(); }
    Json lastBody() const { return Json::parse(*last().body); }
};

using DeviceAPITest = Fixture;

}  // namespace

TEST_F(DeviceAPITest, FetchPolicySendsTheEntityTagAndStandardHeaders) {
    transport->reply(200, "{\"envelope\":1}", {{"ETag", "\"12\""}});
    const PolicyFetch fetched = api.fetchPolicy(12);
    EXPECT_EQ(fetched, PolicyFetch::makeEnvelope("{\"envelope\":1}", "\"12\""));

    const HTTPRequest& r = last();
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.url, "https://svc.example:8443/api/v1/device/policy");
    EXPECT_EQ(r.header("If-None-Match"), "\"12\"");
    EXPECT_EQ(r.header("Accept"), "application/json");
    EXPECT_EQ(r.header("User-Agent"), "Brivet-macOS/1.4.2");
    EXPECT_EQ(r.header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(r.header("Content-Type"), std::nullopt);
    EXPECT_EQ(r.body, std::nullopt);
    EXPECT_EQ(r.timeout, std::chrono::seconds(60));
    EXPECT_EQ(r.totalTimeout, std::chrono::minutes(15));

    transport->reply(200, "x");
    EXPECT_EQ(api.fetchPolicy(std::nullopt), PolicyFetch::makeEnvelope("x", std::nullopt));
    EXPECT_EQ(last().header("If-None-Match"), std::nullopt);
}

TEST_F(DeviceAPITest, NotModifiedOnlyForThePolicy) {
    transport->reply(304, "ignored body");
    EXPECT_TRUE(api.fetchPolicy(3).isNotModified());

    transport->reply(304, "");
    try {
        api.heartbeat(HeartbeatFacts{"1", "os", 0, true, false, false, false});
        FAIL();
    } catch (const APIError& e) {
        EXPECT_EQ(e, APIError::http(304, "http_304", ""));
    }
}

TEST_F(DeviceAPITest, TokenHandling) {
    token = "";
    transport->reply(200, "{}");
    api.fetchPolicy(std::nullopt);
    EXPECT_EQ(last().header("Authorization"), "Bearer ");

    token = std::nullopt;
    transport->reply(200, "{}");
    api.fetchPolicy(std::nullopt);
    EXPECT_EQ(last().header("Authorization"), std::nullopt);

    // Unauthenticated endpoints never carry the token.
    token = "secret";
    transport->reply(200, R"({"device_id":"d","device_token":"t","policy_seq":0})");
    api.enroll("CODE", Platform::macos, "My Mac", "inst");
    transport->reply(200, R"({"category":"ads","version":1,"rules":[]})");
    api.fetchBlocklist("ads", 1);
    transport->reply(200, R"({})");
    api.fetchGlobalRelease();
    for (const auto& r : transport->requests) {
        if (r.url.find("/device/") == std::string::npos) {
            EXPECT_EQ(r.header("Authorization"), std::nullopt) << r.url;
        }
    }
}

TEST_F(DeviceAPITest, EnrollmentBodyAndPathPrefix) {
    DeviceAPI prefixed{DeviceAPIConfiguration{"http://127.0.0.1:8080/prefix/dir/?q=1", "2"}, transport,
                       [] { return std::nullopt; }};
    transport->reply(201, R"({"device_id":"dev","device_token":"tok","policy_seq":4})");
    EXPECT_EQ(prefixed.enroll("ABC-123", Platform::macos, "Mac \"mini\"", "inst-9"),
              (EnrollmentResult{"dev", "tok", 4}));
    EXPECT_EQ(last().url, "http://127.0.0.1:8080/api/v1/enrollments");
    EXPECT_EQ(last().method, "POST");
    EXPECT_EQ(last().header("Content-Type"), "application/json");
    EXPECT_EQ(*last().body, R"({"code":"ABC-123","platform":"macos","name":"Mac \"mini\"","installation_id":"inst-9"})");
}

TEST_F(DeviceAPITest, RequestBodiesUseWireKeys) {
    transport->reply(200, "ignored, not JSON");
    api.acknowledgePolicy(12, Instant{std::chrono::microseconds{1740816309750000}});
    EXPECT_EQ(last().url, "https://svc.example:8443/api/v1/device/policy/ack");
    EXPECT_EQ(*last().body, R"({"policy_seq":12,"applied_at":"2025-03-01T08:05:09Z"})");

    transport->reply(200, R"({"policy_seq":5,"server_time":"t","protection_state":"protected"})");
    HeartbeatFacts facts{"1.4.2", "Debian 12", 4, true, false, false, true};
    EXPECT_EQ(api.heartbeat(facts), (HeartbeatResult{5, "t", "protected"}));
    EXPECT_EQ(last().url, "https://svc.example:8443/api/v1/device/heartbeat");
    EXPECT_EQ(*last().body, JSONCoding::encode(facts));

    transport->reply(200, R"({"accepted":1,"deduplicated":0})");
    const CoalescedEvent event{"policy_applied", "applied", std::nullopt, 3, "a", "b", 1};
    EXPECT_EQ(api.sendEvents({event}), (EventBatchResult{1, 0}));
    EXPECT_EQ(*last().body, R"({"events":[{"type":"policy_applied","reason":"applied","policy_seq":3,)"
                            R"("window_start":"a","window_end":"b","count":1}]})");

    transport->reply(200, "raw attestation bytes");
    EXPECT_EQ(api.requestTimeAttestation("n0nce"), "raw attestation bytes");
    EXPECT_EQ(last().url, "https://svc.example:8443/api/v1/device/time-attestations");
    EXPECT_EQ(*last().body, R"({"nonce":"n0nce"})");
}

TEST_F(DeviceAPITest, BlocklistCategoryIsPercentEncoded) {
    transport->reply(200, R"({"category":"ads","version":7,"rules":[{"rule_type":"domain","value":"x.example"}]})");
    EXPECT_EQ(api.fetchBlocklist("ads", 7).rules.size(), 1u);
    EXPECT_EQ(last().url, "https://svc.example:8443/api/v1/blocklists/ads/7");

    EXPECT_EQ(DeviceAPI::encodePathSegment("adult-content_v2.x~"), "adult-content_v2.x~");
    EXPECT_EQ(DeviceAPI::encodePathSegment("../device/policy"), "..%2Fdevice%2Fpolicy");
    EXPECT_EQ(DeviceAPI::encodePathSegment(".."), "%2E%2E");
    EXPECT_EQ(DeviceAPI::encodePathSegment("."), "%2E");
    EXPECT_EQ(DeviceAPI::encodePathSegment("a b?#%\xc3\xa9"), "a%20b%3F%23%25%C3%A9");

    transport->reply(200, R"({"category":"x","version":1,"rules":[]})");
    api.fetchBlocklist("../device/policy", -1);
    EXPECT_EQ(last().url, "https://svc.example:8443/api/v1/blocklists/..%2Fdevice%2Fpolicy/-1");
}

TEST_F(DeviceAPITest, ErrorStatusesUseTheErrorBodyWhenThereIsOne) {
    auto failure = [this](int status, const std::string& body) -> APIError {
        transport->reply(status, body);
        try {
            api.fetchBlocklist("ads", 1);
        } catch (const APIError& e) {
            return e;
        }
        ADD_FAILURE() << "no error";
        return APIError::notEnrolled();
    };
    EXPECT_EQ(failure(404, R"({"error":{"code":"not_found","message":"No such list"}})"),
              APIError::http(404, "not_found", "No such list"));
    EXPECT_EQ(failure(404, ""), APIError::http(404, "http_404", ""));
    EXPECT_EQ(failure(500, "<html>oops</html>"), APIError::http(500, "http_500", ""));
    EXPECT_EQ(failure(429, R"({"error":{"code":"slow_down"}})"), APIError::http(429, "http_429", ""));
    EXPECT_EQ(failure(199, ""), APIError::http(199, "http_199", ""));
    EXPECT_EQ(failure(300, ""), APIError::http(300, "http_300", ""));
    // Bytes that are not UTF-8 still give the service's texts, the stray
    // bytes kept as they came; outside the texts they spoil the body.
    EXPECT_EQ(failure(400, "{\"error\":{\"code\":\"bad\xff\",\"message\":\"Code \xff\xc3 \xc3\xbc \\u00e9\"}}"),
              APIError::http(400, "bad\xff", "Code \xff\xc3 \xc3\xbc \xc3\xa9"));
    EXPECT_EQ(failure(400, "{\"error\":{\"code\":\"c\",\"message\":\"m\"}}\xff"), APIError::http(400, "http_400", ""));
}

TEST_F(DeviceAPITest, MalformedAcceptedRepliesAreDecodingErrors) {
    const std::vector<std::string> bodies = {"", "not json", R"({"category":"ads","version":"1","rules":[]})",
                                             R"({"category":"ads","version":1})", std::string("{\"category\":\"\xff\"}"),
                                             std::string(10000, '[')};
    for (const auto& body : bodies) {
        transport->reply(200, body);
        try {
            api.fetchBlocklist("ads", 1);
            ADD_FAILURE() << body;
        } catch (const APIError& e) {
            EXPECT_EQ(e.kind(), APIError::Kind::decoding) << body.substr(0, 30);
        }
    }
    // Transport failures pass through unchanged.
    try {
        api.fetchPolicy(std::nullopt);
        FAIL();
    } catch (const APIError& e) {
        EXPECT_EQ(e, APIError::transport("no reply queued"));
    }
}

TEST_F(DeviceAPITest, GlobalReleaseDocument) {
    transport->reply(200, R"({"release":{"z":1,"a":{"y":"b","b":[true,null]}},"other":2})");
    EXPECT_EQ(api.fetchGlobalRelease(), R"({"a":{"b":[true,null],"y":"b"},"z":1})");
    EXPECT_EQ(last().url, "https://svc.example:8443/.well-known/brivet/release.json");
    EXPECT_EQ(last().method, "GET");

    transport->reply(200, R"({"release":null})");
    EXPECT_EQ(api.fetchGlobalRelease(), std::nullopt);
    transport->reply(200, R"({})");
    EXPECT_EQ(api.fetchGlobalRelease(), std::nullopt);
    transport->reply(200, R"({"release":[1]})");
    EXPECT_EQ(api.fetchGlobalRelease(), "[1]");

    auto decodingText = [this](const std::string& body) {
        transport->reply(200, body);
        try {
            api.fetchGlobalRelease();
        } catch (const APIError& e) {
            return e.description();
        }
        return std::string("no error");
    };
    EXPECT_EQ(decodingText(R"({"release":"text"})"), "decoding release is not a JSON object");
    EXPECT_EQ(decodingText(R"({"release":5})"), "decoding release is not a JSON object");
    EXPECT_EQ(decodingText(R"([{"release":{}}])"), "decoding release document is not a JSON object");
    EXPECT_EQ(decodingText("3"), "decoding release document is not a JSON object");
    EXPECT_EQ(decodingText("garbage"), "decoding release document is not a JSON object");

    transport->reply(404, "");
    EXPECT_THROW(api.fetchGlobalRelease(), APIError);
}

TEST_F(DeviceAPITest, UnencodableBodyFailsBeforeSending) {
    EXPECT_THROW(api.requestTimeAttestation(std::string("\xff")), EncodingError);
    EXPECT_TRUE(transport->requests.empty());
}

TEST(DeviceAPIResolve, KeepsSchemeHostAndPortOnly) {
    EXPECT_EQ(DeviceAPI::resolve("https://h.example", "/api/v1/x"), "https://h.example/api/v1/x");
    EXPECT_EQ(DeviceAPI::resolve("https://h.example/", "/api/v1/x"), "https://h.example/api/v1/x");
    EXPECT_EQ(DeviceAPI::resolve("http://[::1]:9000/base/path#frag", "/p"), "http://[::1]:9000/p");
    EXPECT_EQ(DeviceAPI::resolve("http://h:1?x=/y", "/p"), "http://h:1/p");
}

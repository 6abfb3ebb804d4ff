#include "BrivetClient/DeviceAPI.h"

#include <nlohmann/json.hpp>

namespace brivet {

DeviceAPI::DeviceAPI(DeviceAPIConfiguration configuration, std::shared_ptr<HTTPTransport> transport,
                     TokenSource token)
    : configuration_(std::move(configuration)), transport_(std::move(transport)), token_(std::move(token)) {}

std::string DeviceAPI::resolve(std::string_view baseURL, std::string_view path) {
    std::size_t authorityStart = 0;
    const std::size_t scheme = baseURL.find("://");
    if (scheme != std::string_view::npos) authorityStart = scheme + 3;
    std::size_t authorityEnd = baseURL.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string_view::npos) authorityEnd = baseURL.size();
    std::string out(baseURL.substr(0, authorityEnd));
    out.append(path);
    return out;
}

std::string DeviceAPI::encodePathSegment(std::string_view segment) {
    static const char* const kHex = "0123456789ABCDEF";
    const bool onlyDots = !segment.empty() && segment.find_first_not_of('.') == std::string_view::npos;
    std::string out;
    out.reserve(segment.size());
    for (char ch : segment) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '_' || c == '~' || (c == '.' && !onlyDots);
        if (unreserved) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

HTTPRequest DeviceAPI::request(std::string method, std::string_view path, std::optional<std::string> body,
                               bool authenticated) const {
    HTTPRequest req;
    req.method = std::move(method);
    req.url = resolve(configuration_.baseURL, path);
    req.timeout = std::chrono::seconds{60};
    req.totalTimeout = std::chrono::minutes{15};
    req.setHeader("Accept", "application/json");
    req.setHeader("User-Agent", "Brivet-macOS/" + configuration_.clientVersion);
    if (body) {
        req.body = std::move(body);
        req.setHeader("Content-Type", "application/json");
    }
    if (authenticated && token_) {
        if (std::optional<std::string> token = token_()) req.setHeader("Authorization", "Bearer " + *token);
    }
    return req;
}

HTTPResponse DeviceAPI::perform(const HTTPRequest& request, const std::set<int>& accepted) const {
    if (!transport_) throw APIError::transport("no transport");
    HTTPResponse response = transport_->send(request);
    if ((response.status >= 200 && response.status <= 299) || accepted.count(response.status) > 0) {
        return response;
    }
    if (std::optional<APIErrorBody> body = APIErrorBody::parse(response.body)) {
        throw APIError::http(response.status, body->code, body->message);
    }
    throw APIError::http(response.status, "http_" + std::to_string(response.status), "");
}

namespace {

template <class T>
T decodeReply(const HTTPResponse& response) {
    try {
        return JSONCoding::decode<T>(response.body);
    } catch (const DecodingError& e) {
        throw APIError::decoding(e.what());
    }
}

}  // namespace

EnrollmentResult DeviceAPI::enroll(const std::string& code, Platform platform, const std::string& name,
                                   const std::string& installationId) const {
    Json body = Json::object();
    body["code"] = code;
    body["platform"] = std::string(rawValue(platform));
    body["name"] = name;
    body["installationId"] = installationId;
    const HTTPRequest req = request("POST", "/api/v1/enrollments", JSONCoding::encode(body), false);
    return decodeReply<EnrollmentResult>(perform(req));
}

PolicyFetch DeviceAPI::fetchPolicy(std::optional<std::int64_t> ifNoneMatchSeq) const {
    HTTPRequest req = request("GET", "/api/v1/device/policy", std::nullopt, true);
    if (ifNoneMatchSeq) {
        // Built by appending: GCC 12 at -O3 warns on "\"" + a temporary.
        std::string tag(1, '"');
        tag += std::to_string(*ifNoneMatchSeq);
        tag += '"';
        req.setHeader("If-None-Match", std::move(tag));
    }
    HTTPResponse response = perform(req, {304});
    if (response.status == 304) return PolicyFetch::makeNotModified();
    return PolicyFetch::makeEnvelope(std::move(response.body), response.header("etag"));
}

void DeviceAPI::acknowledgePolicy(std::int64_t seq, Instant appliedAt) const {
    Json body = Json::object();
    body["policySeq"] = seq;
    body["appliedAt"] = RFC3339::string(appliedAt);
    perform(request("POST", "/api/v1/device/policy/ack", JSONCoding::encode(body), true));
}

HeartbeatResult DeviceAPI::heartbeat(const HeartbeatFacts& facts) const {
    const HTTPRequest req = request("POST", "/api/v1/device/heartbeat", JSONCoding::encode(facts), true);
    return decodeReply<HeartbeatResult>(perform(req));
}

EventBatchResult DeviceAPI::sendEvents(const std::vector<CoalescedEvent>& events) const {
    Json list = Json::array();
    for (const auto& event : events) list.push_back(event.toJSON());
    Json body = Json::object();
    body["events"] = std::move(list);
    const HTTPRequest req = request("POST", "/api/v1/device/events", JSONCoding::encode(body), true);
    return decodeReply<EventBatchResult>(perform(req));
}

std::string DeviceAPI::requestTimeAttestation(const std::string& nonce) const {
    Json body = Json::object();
    body["nonce"] = nonce;
    HTTPResponse response =
        perform(request("POST", "/api/v1/device/time-attestations", JSONCoding::encode(body), true));
    return std::move(response.body);
}

Blocklist DeviceAPI::fetchBlocklist(const std::string& category, std::int64_t version) const {
    const std::string path = "/api/v1/blocklists/" + encodePathSegment(category) + "/" + std::to_string(version);
    return decodeReply<Blocklist>(perform(request("GET", path, std::nullopt, false)));
}

std::optional<std::string> DeviceAPI::fetchGlobalRelease() const {
    const HTTPResponse response = perform(request("GET", "/.well-known/brivet/release.json", std::nullopt, false));
    Json document;
    try {
        document = JSONCoding::parse(response.body);
    } catch (const DecodingError&) {
        throw APIError::decoding("release document is not a JSON object");
    }
    if (!document.is_object()) throw APIError::decoding("release document is not a JSON object");
    const auto it = document.find("release");
    if (it == document.end() || it->is_null()) return std::nullopt;
    if (!it->is_object() && !it->is_array()) throw APIError::decoding("release is not a JSON object");
    // nlohmann::json keeps object keys sorted, so this is the compact sorted form.
    const nlohmann::json sorted = *it;
    try {
        return sorted.dump();
    } catch (const nlohmann::json::exception& e) {
        throw APIError::decoding(std::string("cannot serialise release: ") + e.what());
    }
}

}  // namespace brivet

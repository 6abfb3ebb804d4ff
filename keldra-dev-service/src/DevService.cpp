#include "keldra/DevService.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include <sys/socket.h>

#include <httplib.h>
#include <openssl/rand.h>

#include "BrivetClient/AtomicFile.h"
#include "SigningKey.h"

namespace brivet::dev {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxReceived = 10000;
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;
// Longer delays are cut to this; the wait's deadline must not overflow.
constexpr std::chrono::milliseconds kMaxDelay = std::chrono::hours(24);

std::chrono::milliseconds clampDelay(std::chrono::milliseconds delay) {
    return std::clamp(delay, std::chrono::milliseconds(0), kMaxDelay);
}

struct EndpointNameEntry {
    Endpoint endpoint;
    const char* name;
};
constexpr EndpointNameEntry kEndpointNames[] = {
    {Endpoint::enroll, "enroll"},
    {Endpoint::policy, "policy"},
    {Endpoint::policyAck, "policy_ack"},
    {Endpoint::heartbeat, "heartbeat"},
    {Endpoint::events, "events"},
    {Endpoint::timeAttestation, "time_attestation"},
    {Endpoint::blocklist, "blocklist"},
    {Endpoint::globalRelease, "global_release"},
    {Endpoint::unknown, "unknown"},
    {Endpoint::any, "any"},
};

std::string randomBytes(std::size_t n) {
    std::string out(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1)
        throw DevServiceError("the random source failed");
    return out;
}

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

std::string formatTime(std::chrono::system_clock::time_point tp) {
    std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(tp));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool looksLikeRFC3339(const std::string& text) {
    static const std::regex pattern(
        R"(\d{4}-\d{2}-\d{2}[Tt]\d{2}:\d{2}:\d{2}(\.\d+)?([Zz]|[+-]\d{2}:\d{2}))");
    return std::regex_match(text, pattern);
}

std::optional<std::int64_t> parseInt64(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

std::vector<std::string> splitPath(std::string_view path) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        out.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

void setJSON(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void setError(httplib::Response& res, int status, const std::string& code,
              const std::string& message) {
    setJSON(res, status, json{{"error", {{"code", code}, {"message", message}}}});
}

// Checks that `body` has `key` of the wanted kind; fills `problem` if not.
bool requireMember(const json& body, const char* key, json::value_t kind, std::string& problem,
                   bool optional = false) {
    auto it = body.find(key);
    if (it == body.end()) {
        if (optional) return true;
        problem = std::string("missing \"") + key + "\"";
        return false;
    }
    bool ok = false;
    switch (kind) {
        case json::value_t::string: ok = it->is_string(); break;
        case json::value_t::boolean: ok = it->is_boolean(); break;
        case json::value_t::number_integer:
            // Signed 64-bit only: a larger unsigned value would wrap.
            ok = it->is_number_integer() &&
                 (!it->is_number_unsigned() ||
                  it->get<std::uint64_t>() <=
                      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
            break;
        case json::value_t::object: ok = it->is_object(); break;
        case json::value_t::array: ok = it->is_array(); break;
        default: ok = false;
    }
    if (!ok) problem = std::string("\"") + key + "\" has the wrong type";
    return ok;
}

}  // namespace

std::string endpointName(Endpoint endpoint) {
    for (const auto& entry : kEndpointNames)
        if (entry.endpoint == endpoint) return entry.name;
    return "unknown";
}

std::optional<Endpoint> endpointFromName(std::string_view name) {
    for (const auto& entry : kEndpointNames)
        if (name == entry.name) return entry.endpoint;
    return std::nullopt;
}

struct DevService::Impl {
    struct Delay {
        std::chrono::milliseconds duration{0};
        std::optional<int> times;
    };
    struct Blocklists {
        std::map<std::int64_t, json> versions;
        std::optional<json> anyVersion;
    };
    enum class PolicyKind { none, object, raw };

    DevServiceOptions options;
    NamedKey policyKey;
    NamedKey releaseKey;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> listenEnded{false};
    int port = 0;

    mutable std::mutex mu;
    std::condition_variable wake;
    bool stopping = false;
    bool stopped = false;
    std::mutex stopMu;

    std::set<std::string> codes;
    std::vector<DeviceRecord> devices;
    std::map<std::string, std::size_t> deviceByToken;

    PolicyKind policyKind = PolicyKind::none;
    json policyObject;
    std::string policyRaw;
    std::optional<std::int64_t> policySeq;  // what is served and announced
    std::int64_t highestSeq = 0;            // highest sequence ever served
    std::int64_t announcedSeq = 0;          // what heartbeats answer

    std::map<std::string, Blocklists> blocklists;
    std::optional<std::string> releaseDocument;
    std::string protectionState = "protected";
    std::optional<std::chrono::system_clock::time_point> serverTime;

    std::map<Endpoint, Failure> failures;
    std::map<Endpoint, Delay> delays;

    std::deque<ReceivedRequest> receivedRequests;
    Counters counters;
    std::vector<json> events;
    std::set<std::string> eventKeys;

    Impl(DevServiceOptions opts)
        : options(std::move(opts)),
          policyKey(options.keysDir ? loadOrCreateKey(*options.keysDir, "policy-key.json", "dev-policy-")
                                    : makeNamedKey("dev-policy-")),
          releaseKey(options.keysDir
                         ? loadOrCreateKey(*options.keysDir, "release-key.json", "dev-release-")
                         : makeNamedKey("dev-release-")) {
        for (const auto& code : options.acceptCodes) codes.insert(code);
    }

    const NamedKey& key(KeyRole role) const {
        return role == KeyRole::policy ? policyKey : releaseKey;
    }

    std::chrono::system_clock::time_point now() const {
        return serverTime.value_or(std::chrono::system_clock::now());
    }

    std::string envelope(KeyRole role, std::string_view payload) const {
        const NamedKey& k = key(role);
        json env = {{"alg", "Ed25519"},
                    {"key_id", k.id},
                    {"payload_b64", base64urlEncode(payload)},
                    {"sig", base64urlEncode(k.key.sign(payload))}};
        return env.dump();
    }

    json keyList(KeyRole role) const {
        const NamedKey& k = key(role);
        return json::array({json{{"id", k.id}, {"public", base64urlEncode(k.key.publicKey())}}});
    }

    // ---- the policy ----------------------------------------------------

    void servePolicyObject(const json& policy, std::int64_t seq) {
        if (!policy.is_object()) throw DevServiceError("a policy must be a JSON object");
        policyKind = PolicyKind::object;
        policyObject = policy;
        policyRaw.clear();
        policySeq = seq;
        highestSeq = std::max(highestSeq, seq);
        announcedSeq = seq;
    }

    void setBlocklistLocked(const std::string& category, std::optional<std::int64_t> version,
                            const json& rules) {
        if (!rules.is_array()) throw DevServiceError("blocklist rules must be a JSON array");
        auto& lists = blocklists[category];
        if (version)
            lists.versions[*version] = rules;
        else
            lists.anyVersion = rules;
    }

    // A blocklist file: a list of rules (served for every version), or an
    // object with "rules", an optional "version" and an optional "category"
    // that must then name the same category.
    void setBlocklistDocumentLocked(const std::string& category, const json& doc) {
        if (doc.is_array()) {
            setBlocklistLocked(category, std::nullopt, doc);
            return;
        }
        if (!doc.is_object() || !doc.contains("rules") || !doc["rules"].is_array())
            throw DevServiceError("a blocklist is a list of rules or {\"version\":..,\"rules\":[..]}");
        std::optional<std::int64_t> version;
        if (doc.contains("version")) {
            if (!doc["version"].is_number_integer())
                throw DevServiceError("the blocklist \"version\" is not an integer");
            version = doc["version"].get<std::int64_t>();
        }
        if (doc.contains("category") && doc["category"] != category)
            throw DevServiceError("the blocklist names another category");
        setBlocklistLocked(category, version, doc["rules"]);
    }

    std::string releaseDocumentFor(const json& payload) const {
        if (!payload.is_object()) throw DevServiceError("a release payload must be a JSON object");
        json filled = payload;
        if (!filled.contains("type")) filled["type"] = "global_release";
        if (!filled.contains("v")) filled["v"] = 1;
        return R"({"release":)" + envelope(KeyRole::release, filled.dump()) + "}";
    }

    // ---- one API request -------------------------------------------------

    struct Route {
        Endpoint endpoint = Endpoint::unknown;
        const char* method = "";
        std::string category;       // blocklists, raw segment
        std::string versionText;    // blocklists
    };

    static Route route(const std::vector<std::string>& seg) {
        Route r;
        auto is = [&](std::initializer_list<const char*> parts) {
            if (seg.size() != parts.size() + 1 || !seg[0].empty()) return false;
            std::size_t i = 1;
            for (const char* p : parts)
                if (seg[i++] != p) return false;
            return true;
        };
        if (is({"api", "v1", "enrollments"})) {
            r.endpoint = Endpoint::enroll, r.method = "POST";
        } else if (is({"api", "v1", "device", "policy"})) {
            r.endpoint = Endpoint::policy, r.method = "GET";
        } else if (is({"api", "v1", "device", "policy", "ack"})) {
            r.endpoint = Endpoint::policyAck, r.method = "POST";
        } else if (is({"api", "v1", "device", "heartbeat"})) {
            r.endpoint = Endpoint::heartbeat, r.method = "POST";
        } else if (is({"api", "v1", "device", "events"})) {
            r.endpoint = Endpoint::events, r.method = "POST";
        } else if (is({"api", "v1", "device", "time-attestations"})) {
            r.endpoint = Endpoint::timeAttestation, r.method = "POST";
        } else if (is({".well-known", "brivet", "release.json"})) {
            r.endpoint = Endpoint::globalRelease, r.method = "GET";
        } else if (seg.size() == 6 && seg[0].empty() && seg[1] == "api" && seg[2] == "v1" &&
                   seg[3] == "blocklists") {
            r.endpoint = Endpoint::blocklist, r.method = "GET";
            r.category = seg[4];
            r.versionText = seg[5];
        }
        return r;
    }

    // Takes one use of the rule that applies to `endpoint`, if any.
    template <typename Rule>
    static std::optional<Rule> takeRule(std::map<Endpoint, Rule>& rules, Endpoint endpoint) {
        for (Endpoint candidate : {endpoint, Endpoint::any}) {
            auto it = rules.find(candidate);
            if (it == rules.end()) continue;
            Rule rule = it->second;
            if (it->second.times) {
                if (--*it->second.times <= 0) rules.erase(it);
            }
            return rule;
        }
        return std::nullopt;
    }

    static void applyFailure(httplib::Response& res, const Failure& failure) {
        res.status = failure.status;
        std::string body;
        if (failure.rawBody) {
            body = *failure.rawBody;
        } else if (!failure.code.empty()) {
            body = json{{"error", {{"code", failure.code}, {"message", failure.message}}}}.dump();
        }
        if (failure.dropConnection) {
            auto shared = std::make_shared<std::string>(body.empty() ? std::string("{}") : body);
            std::size_t half = shared->size() / 2;
            res.set_content_provider(
                shared->size(), "application/json",
                [shared, half](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset == 0 && half > 0) {
                        sink.write(shared->data(), half);
                        return true;
                    }
                    return false;  // aborts the reply: the connection is closed
                });
        } else if (!body.empty()) {
            res.set_content(body, "application/json");
        }
    }

    DeviceRecord* authenticate(const std::map<std::string, std::string>& headers,
                                     httplib::Response& res) {
        auto it = headers.find("authorization");
        if (it == headers.end()) {
            ++counters.unauthorized;
            res.set_header("WWW-Authenticate", "Bearer");
            setError(res, 401, "unauthorized", "a device token is required");
            return nullptr;
        }
        const std::string& value = it->second;
        std::string token;
        if (value.size() >= 7 && lower(value.substr(0, 7)) == "bearer ") token = value.substr(7);
        auto dev = value.size() >= 7 ? deviceByToken.find(token) : deviceByToken.end();
        if (dev == deviceByToken.end()) {
            ++counters.unauthorized;
            res.set_header("WWW-Authenticate", "Bearer error=\"invalid_token\"");
            setError(res, 401, "invalid_token", "the device token is not valid");
            return nullptr;
        }
        return &devices[dev->second];
    }

    static std::optional<json> parseBody(const std::string& body, httplib::Response& res) {
        json doc = json::parse(body, nullptr, false);
        if (doc.is_discarded() || !doc.is_object()) {
            setError(res, 400, "invalid_request", "the body is not a JSON object");
            return std::nullopt;
        }
        return doc;
    }

    void handleEnroll(const std::string& body, httplib::Response& res) {
        auto doc = parseBody(body, res);
        if (!doc) return;
        std::string problem;
        for (const char* key : {"code", "platform", "name", "installation_id"}) {
            if (!requireMember(*doc, key, json::value_t::string, problem)) {
                setError(res, 400, "invalid_request", problem);
                return;
            }
        }
        static const std::set<std::string> platforms = {"android", "windows", "ios", "macos"};
        std::string platform = (*doc)["platform"].get<std::string>();
        if (!platforms.count(platform)) {
            setError(res, 400, "invalid_request", "unknown platform \"" + platform + "\"");
            return;
        }
        if (!codes.count((*doc)["code"].get<std::string>())) {
            ++counters.rejectedEnrollments;
            setError(res, 400, "enrollment_code_invalid", "That enrollment code is not valid.");
            return;
        }
        DeviceRecord device;
        device.deviceId = "dev_" + hex(randomBytes(8));
        device.deviceToken = base64urlEncode(randomBytes(32));
        device.installationId = (*doc)["installation_id"].get<std::string>();
        device.name = (*doc)["name"].get<std::string>();
        device.platform = platform;
        deviceByToken[device.deviceToken] = devices.size();
        devices.push_back(device);
        ++counters.enrollments;
        setJSON(res, 201,
                json{{"device_id", device.deviceId},
                     {"device_token", device.deviceToken},
                     {"policy_seq", announcedSeq}});
    }

    static bool entityTagMatches(const std::string& header, std::int64_t seq) {
        const std::string wanted = "\"" + std::to_string(seq) + "\"";
        std::size_t start = 0;
        while (start <= header.size()) {
            std::size_t comma = header.find(',', start);
            if (comma == std::string::npos) comma = header.size();
            std::string tag = trim(std::string_view(header).substr(start, comma - start));
            if (tag.rfind("W/", 0) == 0) tag = tag.substr(2);
            if (tag == "*" || tag == wanted) return true;
            start = comma + 1;
        }
        return false;
    }

    void handlePolicy(const DeviceRecord& device, const std::map<std::string, std::string>& headers,
                      httplib::Response& res) {
        if (policyKind == PolicyKind::none) {
            setError(res, 404, "policy_not_found", "no policy is published for this device");
            return;
        }
        if (policySeq) {
            res.set_header("ETag", "\"" + std::to_string(*policySeq) + "\"");
            auto inm = headers.find("if-none-match");
            if (inm != headers.end() && entityTagMatches(inm->second, *policySeq)) {
                ++counters.policyNotModified;
                res.status = 304;
                return;
            }
        }
        ++counters.policyFetches;
        if (policyKind == PolicyKind::raw) {
            res.status = 200;
            res.set_content(policyRaw, "application/json");
            return;
        }
        json payload = policyObject;
        payload["type"] = "device_policy";
        payload["v"] = 1;
        payload["device_id"] = device.deviceId;
        payload["installation_id"] = device.installationId;
        payload["policy_seq"] = *policySeq;
        res.status = 200;
        res.set_content(envelope(KeyRole::policy, payload.dump()), "application/json");
    }

    void handleAck(DeviceRecord& device, const std::string& body, httplib::Response& res) {
        auto doc = parseBody(body, res);
        if (!doc) return;
        std::string problem;
        if (!requireMember(*doc, "policy_seq", json::value_t::number_integer, problem) ||
            !requireMember(*doc, "applied_at", json::value_t::string, problem)) {
            setError(res, 400, "invalid_request", problem);
            return;
        }
        std::string appliedAt = (*doc)["applied_at"].get<std::string>();
        if (!looksLikeRFC3339(appliedAt)) {
            setError(res, 400, "invalid_request", "\"applied_at\" is not an RFC 3339 time");
            return;
        }
        device.acknowledgedSeq = (*doc)["policy_seq"].get<std::int64_t>();
        device.acknowledgedAt = appliedAt;
        ++counters.acknowledgements;
        setJSON(res, 200, json{{"acknowledged_policy_seq", *device.acknowledgedSeq}});
    }

    void handleHeartbeat(DeviceRecord& device, const std::string& body, httplib::Response& res) {
        auto doc = parseBody(body, res);
        if (!doc) return;
        std::string problem;
        using V = json::value_t;
        const std::pair<const char*, V> required[] = {
            {"client_version", V::string},        {"os_version", V::string},
            {"acknowledged_policy_seq", V::number_integer},
            {"policy_valid", V::boolean},         {"vpn_active", V::boolean},
            {"usage_access_active", V::boolean},  {"app_monitor_active", V::boolean},
            {"accessibility_active", V::boolean}, {"private_dns_mode", V::string},
            {"integrity_state", V::string}};
        for (const auto& [key, kind] : required) {
            if (!requireMember(*doc, key, kind, problem)) {
                setError(res, 400, "invalid_request", problem);
                return;
            }
        }
        if (!requireMember(*doc, "integrity_checked_at", V::string, problem, true) ||
            !requireMember(*doc, "revocations", V::object, problem, true)) {
            setError(res, 400, "invalid_request", problem);
            return;
        }
        if (doc->contains("revocations")) {
            for (const auto& [key, value] : (*doc)["revocations"].items()) {
                if (!value.is_string()) {
                    setError(res, 400, "invalid_request", "revocation \"" + key + "\" is not a text");
                    return;
                }
            }
        }
        device.lastHeartbeat = *doc;
        ++counters.heartbeats;
        setJSON(res, 200,
                json{{"policy_seq", announcedSeq},
                     {"server_time", formatTime(now())},
                     {"protection_state", protectionState}});
    }

    void handleEvents(const DeviceRecord& device, const std::string& body, httplib::Response& res) {
        auto doc = parseBody(body, res);
        if (!doc) return;
        std::string problem;
        if (!requireMember(*doc, "events", json::value_t::array, problem)) {
            setError(res, 400, "invalid_request", problem);
            return;
        }
        using V = json::value_t;
        for (const auto& event : (*doc)["events"]) {
            bool ok = event.is_object() && requireMember(event, "type", V::string, problem) &&
                      requireMember(event, "reason", V::string, problem) &&
                      requireMember(event, "window_start", V::string, problem) &&
                      requireMember(event, "window_end", V::string, problem) &&
                      requireMember(event, "count", V::number_integer, problem) &&
                      requireMember(event, "category", V::string, problem, true) &&
                      requireMember(event, "policy_seq", V::number_integer, problem, true);
            if (ok && event["count"].get<std::int64_t>() < 0) {
                ok = false;
                problem = "\"count\" is negative";
            }
            if (!ok) {
                setError(res, 400, "invalid_request",
                         problem.empty() ? "an event is not an object" : "event: " + problem);
                return;
            }
        }
        std::int64_t accepted = 0, deduplicated = 0;
        for (const auto& event : (*doc)["events"]) {
            json key = {{"device", device.deviceId},
                        {"type", event["type"]},
                        {"reason", event["reason"]},
                        {"category", event.value("category", json())},
                        {"policy_seq", event.value("policy_seq", json())},
                        {"window_start", event["window_start"]},
                        {"window_end", event["window_end"]}};
            if (eventKeys.insert(key.dump()).second) {
                ++accepted;
                std::int64_t count = event["count"].get<std::int64_t>();
                counters.eventCountTotal =
                    count > std::numeric_limits<std::int64_t>::max() - counters.eventCountTotal
                        ? std::numeric_limits<std::int64_t>::max()
                        : counters.eventCountTotal + count;
                events.push_back(event);
            } else {
                ++deduplicated;
            }
        }
        ++counters.eventBatches;
        counters.eventsAccepted += accepted;
        counters.eventsDeduplicated += deduplicated;
        setJSON(res, 200, json{{"accepted", accepted}, {"deduplicated", deduplicated}});
    }

    void handleAttestation(const DeviceRecord& device, const std::string& body,
                           httplib::Response& res) {
        auto doc = parseBody(body, res);
        if (!doc) return;
        std::string problem;
        if (!requireMember(*doc, "nonce", json::value_t::string, problem)) {
            setError(res, 400, "invalid_request", problem);
            return;
        }
        json payload = {{"type", "time_attestation"},
                        {"v", 1},
                        {"device_id", device.deviceId},
                        {"nonce", (*doc)["nonce"]},
                        {"server_time", formatTime(now())},
                        {"policy_seq", announcedSeq},
                        {"commitment_status", "none"}};
        if (policyKind == PolicyKind::object) {
            auto kind = policyObject.find("kind");
            auto id = policyObject.find("commitment_id");
            if (kind != policyObject.end() && *kind == "commitment" && id != policyObject.end() &&
                id->is_string()) {
                payload["commitment_id"] = *id;
                payload["commitment_status"] = "active";
            }
        }
        ++counters.timeAttestations;
        res.status = 200;
        res.set_content(envelope(KeyRole::policy, payload.dump()), "application/json");
    }

    void handleBlocklist(const Route& r, httplib::Response& res) {
        auto category = percentDecode(r.category);
        auto version = parseInt64(r.versionText);
        if (!category || category->empty() || !version) {
            setError(res, 400, "invalid_request", "malformed blocklist path");
            return;
        }
        auto it = blocklists.find(*category);
        const json* rules = nullptr;
        if (it != blocklists.end()) {
            auto v = it->second.versions.find(*version);
            if (v != it->second.versions.end())
                rules = &v->second;
            else if (it->second.anyVersion)
                rules = &*it->second.anyVersion;
        }
        if (rules == nullptr) {
            setError(res, 404, "blocklist_not_found",
                     "no blocklist \"" + *category + "\" in version " + std::to_string(*version));
            return;
        }
        ++counters.blocklistFetches;
        setJSON(res, 200, json{{"category", *category}, {"version", *version}, {"rules", *rules}});
    }

    void handleRelease(httplib::Response& res) {
        ++counters.releaseFetches;
        res.status = 200;
        res.set_content(releaseDocument.value_or(R"({"release":null})"), "application/json");
    }

    // Waits out a delay; returns early when the service stops.
    void waitDelay(std::chrono::milliseconds duration) {
        std::unique_lock lock(mu);
        wake.wait_for(lock, duration, [&] { return stopping; });
    }

    void handleAPI(const httplib::Request& req, httplib::Response& res, const std::string& rawPath,
                   const std::string& query) {
        ReceivedRequest record;
        record.method = req.method;
        record.path = rawPath;
        record.query = query;
        record.body = req.body;
        for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT")
                continue;
            std::string key = lower(name);
            auto it = record.headers.find(key);
            if (it == record.headers.end())
                record.headers.emplace(key, value);
            else
                it->second += ", " + value;
        }
        Route r = route(splitPath(rawPath));
        record.endpoint = r.endpoint;

        std::optional<Delay> delay;
        {
            std::lock_guard lock(mu);
            ++counters.requests;
            delay = takeRule(delays, r.endpoint);
        }
        if (delay) waitDelay(delay->duration);

        std::lock_guard lock(mu);
        auto finish = [&] {
            record.status = res.status;
            receivedRequests.push_back(std::move(record));
            while (receivedRequests.size() > kMaxReceived) receivedRequests.pop_front();
        };
        if (auto failure = takeRule(failures, r.endpoint)) {
            ++counters.injectedFailures;
            applyFailure(res, *failure);
            finish();
            return;
        }
        if (r.endpoint == Endpoint::unknown) {
            setError(res, 404, "not_found", "no such endpoint");
            finish();
            return;
        }
        const bool methodOK = req.method == r.method || (req.method == "HEAD" && std::string(r.method) == "GET");
        if (!methodOK) {
            res.set_header("Allow", r.method);
            setError(res, 405, "method_not_allowed", "use " + std::string(r.method));
            finish();
            return;
        }
        switch (r.endpoint) {
            case Endpoint::enroll: handleEnroll(req.body, res); break;
            case Endpoint::blocklist: handleBlocklist(r, res); break;
            case Endpoint::globalRelease: handleRelease(res); break;
            default: {
                DeviceRecord* found = authenticate(record.headers, res);
                if (found == nullptr) break;
                DeviceRecord& device = *found;
                switch (r.endpoint) {
                    case Endpoint::policy: handlePolicy(device, record.headers, res); break;
                    case Endpoint::policyAck: handleAck(device, req.body, res); break;
                    case Endpoint::heartbeat: handleHeartbeat(device, req.body, res); break;
                    case Endpoint::events: handleEvents(device, req.body, res); break;
                    case Endpoint::timeAttestation: handleAttestation(device, req.body, res); break;
                    default: break;
                }
            }
        }
        finish();
    }

    void handleControl(const httplib::Request& req, httplib::Response& res,
                       const std::vector<std::string>& seg, const std::string& query);

    void handle(const httplib::Request& req, httplib::Response& res) {
        std::string target = req.target.empty() ? req.path : req.target;
        std::string rawPath = target, query;
        if (auto q = target.find('?'); q != std::string::npos) {
            rawPath = target.substr(0, q);
            query = target.substr(q + 1);
        }
        try {
            if (options.controlEndpoints && (rawPath == "/_dev" || rawPath.rfind("/_dev/", 0) == 0)) {
                handleControl(req, res, splitPath(rawPath), query);
            } else {
                handleAPI(req, res, rawPath, query);
            }
        } catch (const std::exception& e) {
            setError(res, 500, "internal_error", e.what());
        }
    }
};

// ---- control endpoints ------------------------------------------------------

namespace {

json requestToJSON(const ReceivedRequest& r) {
    return json{{"endpoint", endpointName(r.endpoint)},
                {"method", r.method},
                {"path", r.path},
                {"query", r.query},
                {"headers", r.headers},
                {"body", r.body},
                {"status", r.status}};
}

json countersToJSON(const Counters& c) {
    return json{{"requests", c.requests},
                {"injected_failures", c.injectedFailures},
                {"enrollments", c.enrollments},
                {"rejected_enrollments", c.rejectedEnrollments},
                {"policy_fetches", c.policyFetches},
                {"policy_not_modified", c.policyNotModified},
                {"acknowledgements", c.acknowledgements},
                {"heartbeats", c.heartbeats},
                {"event_batches", c.eventBatches},
                {"events_accepted", c.eventsAccepted},
                {"events_deduplicated", c.eventsDeduplicated},
                {"event_count_total", c.eventCountTotal},
                {"time_attestations", c.timeAttestations},
                {"blocklist_fetches", c.blocklistFetches},
                {"release_fetches", c.releaseFetches},
                {"unauthorized", c.unauthorized}};
}

json deviceToJSON(const DeviceRecord& d) {
    json out = {{"device_id", d.deviceId},
                {"installation_id", d.installationId},
                {"device_token", d.deviceToken},
                {"name", d.name},
                {"platform", d.platform},
                {"acknowledged_policy_seq", nullptr},
                {"acknowledged_at", nullptr},
                {"last_heartbeat", nullptr}};
    if (d.acknowledgedSeq) out["acknowledged_policy_seq"] = *d.acknowledgedSeq;
    if (d.acknowledgedAt) out["acknowledged_at"] = *d.acknowledgedAt;
    if (d.lastHeartbeat) out["last_heartbeat"] = *d.lastHeartbeat;
    return out;
}

std::optional<std::string> queryValue(const std::string& query, const std::string& name) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        if (amp == std::string::npos) amp = query.size();
        std::string_view pair = std::string_view(query).substr(start, amp - start);
        std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return percentDecode(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        start = amp + 1;
    }
    return std::nullopt;
}

}  // namespace

void DevService::Impl::handleControl(const httplib::Request& req, httplib::Response& res,
                                     const std::vector<std::string>& seg,
                                     const std::string& query) {
    // seg[0] is empty and seg[1] is "_dev".
    const std::string& m = req.method;
    const std::string what = seg.size() > 2 ? seg[2] : "";
    const std::string arg = seg.size() > 3 ? percentDecode(seg[3]).value_or("") : "";
    const bool hasArg = seg.size() > 3;
    if (seg.size() > 4) {
        setError(res, 404, "not_found", "no such control endpoint");
        return;
    }
    auto body = [&]() -> json {
        json doc = json::parse(req.body, nullptr, false);
        if (doc.is_discarded()) throw DevServiceError("the body is not JSON");
        return doc;
    };
    auto ok = [&](json extra = json::object()) {
        extra["ok"] = true;
        setJSON(res, 200, extra);
    };
    auto seqArg = [&]() -> std::optional<std::int64_t> {
        auto text = queryValue(query, "seq");
        if (!text) return std::nullopt;
        auto seq = parseInt64(*text);
        if (!seq) throw DevServiceError("seq is not an integer");
        return seq;
    };
    auto endpointArg = [&]() {
        auto endpoint = endpointFromName(arg);
        if (!endpoint) throw DevServiceError("unknown endpoint \"" + arg + "\"");
        return *endpoint;
    };

    try {
        std::lock_guard lock(mu);
        if (what == "environment" && m == "GET" && !hasArg) {
            json env = {{"name", options.name},
                        {"api_base_url", "http://" + options.host + ":" + std::to_string(port)},
                        {"policy_keys", keyList(KeyRole::policy)},
                        {"release_keys", keyList(KeyRole::release)}};
            setJSON(res, 200, env);
        } else if (what == "codes" && m == "POST" && !hasArg) {
            json doc = body();
            if (!doc.is_object() || !doc.contains("code") || !doc["code"].is_string())
                throw DevServiceError("expected {\"code\": text}");
            codes.insert(doc["code"].get<std::string>());
            ok();
        } else if (what == "codes" && m == "DELETE" && hasArg) {
            codes.erase(arg);
            ok();
        } else if (what == "policy" && m == "POST" && !hasArg) {
            json doc = body();
            auto seq = seqArg();
            std::int64_t assigned = seq ? *seq : highestSeq + 1;
            servePolicyObject(doc, assigned);
            ok({{"policy_seq", assigned}});
        } else if (what == "policy" && m == "POST" && arg == "raw") {
            policyKind = PolicyKind::raw;
            policyRaw = req.body;
            policySeq = seqArg();
            if (policySeq) {
                highestSeq = std::max(highestSeq, *policySeq);
                announcedSeq = *policySeq;
            }
            ok();
        } else if (what == "policy" && m == "DELETE" && !hasArg) {
            policyKind = PolicyKind::none;
            policySeq.reset();
            ok();
        } else if (what == "blocklists" && (m == "POST" || m == "PUT") && hasArg) {
            setBlocklistDocumentLocked(arg, body());
            ok();
        } else if (what == "blocklists" && m == "DELETE" && !hasArg) {
            blocklists.clear();
            ok();
        } else if (what == "release" && m == "POST" && !hasArg) {
            releaseDocument = releaseDocumentFor(body());
            ok();
        } else if (what == "release" && m == "POST" && arg == "raw") {
            releaseDocument = req.body;
            ok();
        } else if (what == "release" && m == "DELETE" && !hasArg) {
            releaseDocument.reset();
            ok();
        } else if (what == "protection-state" && m == "POST" && !hasArg) {
            json doc = body();
            if (!doc.is_object() || !doc.contains("state") || !doc["state"].is_string())
                throw DevServiceError("expected {\"state\": text}");
            protectionState = doc["state"].get<std::string>();
            ok();
        } else if (what == "fail" && m == "POST" && hasArg) {
            Endpoint endpoint = endpointArg();
            json doc = req.body.empty() ? json::object() : body();
            if (!doc.is_object()) throw DevServiceError("a failure is an object");
            Failure failure;
            failure.status = doc.value("status", 500);
            failure.code = doc.value("code", std::string());
            failure.message = doc.value("message", std::string());
            if (doc.contains("body") && doc["body"].is_string())
                failure.rawBody = doc["body"].get<std::string>();
            if (doc.contains("times") && doc["times"].is_number_integer())
                failure.times = doc["times"].get<int>();
            failure.dropConnection = doc.value("drop", false);
            if (failure.status < 100 || failure.status > 999)
                throw DevServiceError("status must be 100 to 999");
            failures[endpoint] = failure;
            ok();
        } else if (what == "fail" && m == "DELETE") {
            if (hasArg)
                failures.erase(endpointArg());
            else
                failures.clear();
            ok();
        } else if (what == "delay" && m == "POST" && hasArg) {
            Endpoint endpoint = endpointArg();
            json doc = body();
            if (!doc.is_object() || !doc.contains("ms") || !doc["ms"].is_number_integer())
                throw DevServiceError("expected {\"ms\": integer}");
            Delay delay{clampDelay(std::chrono::milliseconds(doc["ms"].get<std::int64_t>())),
                        std::nullopt};
            if (doc.contains("times") && doc["times"].is_number_integer())
                delay.times = doc["times"].get<int>();
            delays[endpoint] = delay;
            ok();
        } else if (what == "delay" && m == "DELETE") {
            if (hasArg)
                delays.erase(endpointArg());
            else
                delays.clear();
            ok();
        } else if (what == "requests" && m == "GET" && !hasArg) {
            auto only = queryValue(query, "endpoint");
            std::optional<Endpoint> filter;
            if (only) {
                filter = endpointFromName(*only);
                if (!filter) throw DevServiceError("unknown endpoint \"" + *only + "\"");
            }
            json list = json::array();
            for (const auto& r : receivedRequests)
                if (!filter || r.endpoint == *filter) list.push_back(requestToJSON(r));
            setJSON(res, 200, list);
        } else if (what == "requests" && m == "DELETE" && !hasArg) {
            receivedRequests.clear();
            ok();
        } else if (what == "counters" && m == "GET" && !hasArg) {
            json c = countersToJSON(counters);
            c["policy_seq"] = announcedSeq;
            setJSON(res, 200, c);
        } else if (what == "devices" && m == "GET" && !hasArg) {
            json list = json::array();
            for (const auto& d : devices) list.push_back(deviceToJSON(d));
            setJSON(res, 200, list);
        } else if (what == "events" && m == "GET" && !hasArg) {
            setJSON(res, 200, json(events));
        } else {
            setError(res, 404, "not_found", "no such control endpoint");
        }
    } catch (const DevServiceError& e) {
        setError(res, 400, "invalid_request", e.what());
    } catch (const nlohmann::json::exception& e) {
        setError(res, 400, "invalid_request", e.what());
    }
}

// ---- the public class ---------------------------------------------------------

DevService::DevService(DevServiceOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    Impl& impl = *impl_;
    impl.server.set_payload_max_length(kMaxBody);
    impl.server.set_keep_alive_timeout(2);
    impl.server.set_keep_alive_max_count(1000);
    // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, with
    // which a second service on a taken port would start and share its
    // requests instead of failing.
    impl.server.set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const char* anything = R"([\s\S]*)";
    auto handler = [&impl](const httplib::Request& req, httplib::Response& res) {
        impl.handle(req, res);
    };
    impl.server.Get(anything, handler);
    impl.server.Post(anything, handler);
    impl.server.Put(anything, handler);
    impl.server.Patch(anything, handler);
    impl.server.Delete(anything, handler);
    impl.server.Options(anything, handler);
    if (impl.options.log) {
        impl.server.set_logger([&impl](const httplib::Request& req, const httplib::Response& res) {
            impl.options.log(req.method + " " + (req.target.empty() ? req.path : req.target) +
                             " -> " + std::to_string(res.status));
        });
    }
    if (impl.options.port == 0) {
        impl.port = impl.server.bind_to_any_port(impl.options.host);
        if (impl.port <= 0)
            throw DevServiceError("cannot bind " + impl.options.host + " to a free port");
    } else {
        if (!impl.server.bind_to_port(impl.options.host, impl.options.port))
            throw DevServiceError("cannot bind " + impl.options.host + ":" +
                                  std::to_string(impl.options.port));
        impl.port = impl.options.port;
    }
    impl.thread = std::thread([&impl] {
        impl.server.listen_after_bind();
        impl.listenEnded = true;
    });
    // The server ignores stop() until its loop runs, so wait for the loop:
    // a service stopped right after it started would otherwise never stop.
    while (!impl.server.is_running() && !impl.listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

DevService::~DevService() {
    try {
        stop();
    } catch (...) {
    }
}

void DevService::stop() {
    std::lock_guard stopLock(impl_->stopMu);
    if (impl_->stopped) return;
    {
        std::lock_guard lock(impl_->mu);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->stopped = true;
}

int DevService::port() const { return impl_->port; }

std::string DevService::baseURL() const {
    return "http://" + impl_->options.host + ":" + std::to_string(impl_->port);
}

std::string DevService::keyId(KeyRole role) const { return impl_->key(role).id; }

std::string DevService::publicKey(KeyRole role) const {
    return base64urlEncode(impl_->key(role).key.publicKey());
}

std::string DevService::pinnedKeysJSON() const {
    return json{{"policy_keys", impl_->keyList(KeyRole::policy)},
                {"release_keys", impl_->keyList(KeyRole::release)}}
        .dump();
}

std::string DevService::environmentJSON() const {
    return json{{"name", impl_->options.name},
                {"api_base_url", baseURL()},
                {"policy_keys", impl_->keyList(KeyRole::policy)},
                {"release_keys", impl_->keyList(KeyRole::release)}}
        .dump(2) + "\n";
}

void DevService::writeEnvironmentFile(const std::filesystem::path& path) const {
    brivet::AtomicWriteOptions options;
    options.mode = 0644;  // public keys and an address: nothing secret
    brivet::atomicWrite(path, environmentJSON(), options);
}

std::string DevService::signEnvelope(KeyRole role, std::string_view payload) const {
    return impl_->envelope(role, payload);
}

void DevService::acceptEnrollmentCode(const std::string& code) {
    std::lock_guard lock(impl_->mu);
    impl_->codes.insert(code);
}

void DevService::revokeEnrollmentCode(const std::string& code) {
    std::lock_guard lock(impl_->mu);
    impl_->codes.erase(code);
}

std::int64_t DevService::setPolicy(const nlohmann::json& policy) {
    std::lock_guard lock(impl_->mu);
    std::int64_t seq = impl_->highestSeq + 1;
    impl_->servePolicyObject(policy, seq);
    return seq;
}

void DevService::setPolicyWithSequence(const nlohmann::json& policy, std::int64_t seq) {
    std::lock_guard lock(impl_->mu);
    impl_->servePolicyObject(policy, seq);
}

void DevService::setRawPolicyEnvelope(std::string bytes, std::optional<std::int64_t> seq) {
    std::lock_guard lock(impl_->mu);
    impl_->policyKind = Impl::PolicyKind::raw;
    impl_->policyRaw = std::move(bytes);
    impl_->policyObject = json();
    impl_->policySeq = seq;
    if (seq) {
        impl_->highestSeq = std::max(impl_->highestSeq, *seq);
        impl_->announcedSeq = *seq;
    }
}

void DevService::clearPolicy() {
    std::lock_guard lock(impl_->mu);
    impl_->policyKind = Impl::PolicyKind::none;
    impl_->policyObject = json();
    impl_->policyRaw.clear();
    impl_->policySeq.reset();
}

std::int64_t DevService::currentPolicySeq() const {
    std::lock_guard lock(impl_->mu);
    return impl_->announcedSeq;
}

void DevService::setBlocklist(const std::string& category, std::optional<std::int64_t> version,
                              const nlohmann::json& rules) {
    std::lock_guard lock(impl_->mu);
    impl_->setBlocklistLocked(category, version, rules);
}

void DevService::setBlocklistDocument(const std::string& category, const nlohmann::json& doc) {
    std::lock_guard lock(impl_->mu);
    impl_->setBlocklistDocumentLocked(category, doc);
}

void DevService::clearBlocklists() {
    std::lock_guard lock(impl_->mu);
    impl_->blocklists.clear();
}

void DevService::setGlobalRelease(const nlohmann::json& payload) {
    std::string doc = impl_->releaseDocumentFor(payload);
    std::lock_guard lock(impl_->mu);
    impl_->releaseDocument = std::move(doc);
}

void DevService::setRawGlobalReleaseDocument(std::string bytes) {
    std::lock_guard lock(impl_->mu);
    impl_->releaseDocument = std::move(bytes);
}

void DevService::clearGlobalRelease() {
    std::lock_guard lock(impl_->mu);
    impl_->releaseDocument.reset();
}

void DevService::setProtectionState(const std::string& state) {
    std::lock_guard lock(impl_->mu);
    impl_->protectionState = state;
}

void DevService::setServerTime(std::optional<std::chrono::system_clock::time_point> time) {
    std::lock_guard lock(impl_->mu);
    impl_->serverTime = time;
}

void DevService::failEndpoint(Endpoint endpoint, Failure failure) {
    if (failure.status < 100 || failure.status > 999)
        throw DevServiceError("an HTTP status has three digits");
    std::lock_guard lock(impl_->mu);
    if (failure.times && *failure.times <= 0) {
        impl_->failures.erase(endpoint);
        return;
    }
    impl_->failures[endpoint] = std::move(failure);
}

void DevService::clearFailure(Endpoint endpoint) {
    std::lock_guard lock(impl_->mu);
    impl_->failures.erase(endpoint);
}

void DevService::clearFailures() {
    std::lock_guard lock(impl_->mu);
    impl_->failures.clear();
}

void DevService::delayEndpoint(Endpoint endpoint, std::chrono::milliseconds delay,
                               std::optional<int> times) {
    std::lock_guard lock(impl_->mu);
    if (times && *times <= 0) {
        impl_->delays.erase(endpoint);
        return;
    }
    impl_->delays[endpoint] = Impl::Delay{clampDelay(delay), times};
}

void DevService::clearDelay(Endpoint endpoint) {
    std::lock_guard lock(impl_->mu);
    impl_->delays.erase(endpoint);
}

void DevService::clearDelays() {
    std::lock_guard lock(impl_->mu);
    impl_->delays.clear();
}

std::vector<ReceivedRequest> DevService::received() const {
    std::lock_guard lock(impl_->mu);
    return {impl_->receivedRequests.begin(), impl_->receivedRequests.end()};
}

std::vector<ReceivedRequest> DevService::received(Endpoint endpoint) const {
    std::lock_guard lock(impl_->mu);
    std::vector<ReceivedRequest> out;
    for (const auto& r : impl_->receivedRequests)
        if (r.endpoint == endpoint) out.push_back(r);
    return out;
}

void DevService::clearReceived() {
    std::lock_guard lock(impl_->mu);
    impl_->receivedRequests.clear();
}

Counters DevService::counters() const {
    std::lock_guard lock(impl_->mu);
    return impl_->counters;
}

std::vector<DeviceRecord> DevService::devices() const {
    std::lock_guard lock(impl_->mu);
    return impl_->devices;
}

std::vector<nlohmann::json> DevService::acceptedEvents() const {
    std::lock_guard lock(impl_->mu);
    return impl_->events;
}

}  // namespace brivet::dev

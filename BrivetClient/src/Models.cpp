#include "BrivetClient/Models.h"

#include "BrivetClient/UTF8.h"

namespace brivet {

using namespace JSONCoding;

namespace {

// While an error body with bytes that are not UTF-8 is parsed, each such
// byte stands in as a code point of the last private-use plane, U+10FF00
// plus the byte, and goes back to the byte in the texts taken from it. The
// texts then hold the service's bytes as they came; the screen and the log
// show the stray ones escaped.
constexpr std::uint32_t kStandInBase = 0x10FF00;

std::string withStandIns(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t start = at;
        std::uint32_t codePoint = 0;
        if (utf8::decode(bytes, at, codePoint)) {
            out.append(bytes.substr(start, at - start));
            continue;
        }
        // U+10FF00 to U+10FFFF in UTF-8: F4 8F, then BC to BF, then the
        // low six bits.
        const auto byte = static_cast<unsigned char>(bytes[at]);
        out += {'\xF4', '\x8F', static_cast<char>(0xBC | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
        ++at;
    }
    return out;
}

std::string withBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = at;
        std::uint32_t codePoint = 0;
        if (utf8::decode(text, at, codePoint) && codePoint >= kStandInBase) {
            out.push_back(static_cast<char>(codePoint - kStandInBase));
        } else {
            if (at == start) ++at;  // never the case for parsed text
            out.append(text.substr(start, at - start));
        }
    }
    return out;
}

}  // namespace

std::string_view rawValue(Platform platform) {
    switch (platform) {
    case Platform::android: return "android";
    case Platform::windows: return "windows";
    case Platform::ios: return "ios";
    case Platform::macos: return "macos";
    }
    return "macos";
}

std::optional<Platform> platformFromRawValue(std::string_view text) {
    for (Platform p : {Platform::android, Platform::windows, Platform::ios, Platform::macos}) {
        if (rawValue(p) == text) return p;
    }
    return std::nullopt;
}

// ---- EnrollmentResult

Json EnrollmentResult::toJSON() const {
    Json j = Json::object();
    j["deviceId"] = deviceId;
    j["deviceToken"] = deviceToken;
    j["policySeq"] = policySeq;
    return j;
}

EnrollmentResult EnrollmentResult::fromJSON(const Json& json) {
    requireObject(json, "enrollment result");
    return EnrollmentResult{requireString(json, "deviceId"), requireString(json, "deviceToken"),
                            requireInt64(json, "policySeq")};
}

// ---- HeartbeatFacts

Json HeartbeatFacts::Revocations::toJSON() const {
    Json j = Json::object();
    if (vpnRevokedAt) j["vpnRevokedAt"] = *vpnRevokedAt;
    if (usageAccessRevokedAt) j["usageAccessRevokedAt"] = *usageAccessRevokedAt;
    if (protectionRevokedAt) j["protectionRevokedAt"] = *protectionRevokedAt;
    return j;
}

HeartbeatFacts::Revocations HeartbeatFacts::Revocations::fromJSON(const Json& json) {
    requireObject(json, "revocations");
    return Revocations{optionalString(json, "vpnRevokedAt"), optionalString(json, "usageAccessRevokedAt"),
                       optionalString(json, "protectionRevokedAt")};
}

Json HeartbeatFacts::toJSON() const {
    Json j = Json::object();
    j["clientVersion"] = clientVersion;
    j["osVersion"] = osVersion;
    j["acknowledgedPolicySeq"] = acknowledgedPolicySeq;
    j["policyValid"] = policyValid;
    j["vpnActive"] = vpnActive;
    j["usageAccessActive"] = usageAccessActive;
    j["appMonitorActive"] = appMonitorActive;
    j["accessibilityActive"] = accessibilityActive;
    j["privateDnsMode"] = privateDnsMode;
    j["integrityState"] = integrityState;
    if (integrityCheckedAt) j["integrityCheckedAt"] = *integrityCheckedAt;
    if (revocations) j["revocations"] = revocations->toJSON();
    return j;
}

HeartbeatFacts HeartbeatFacts::fromJSON(const Json& json) {
    requireObject(json, "heartbeat");
    HeartbeatFacts f;
    f.clientVersion = requireString(json, "clientVersion");
    f.osVersion = requireString(json, "osVersion");
    f.acknowledgedPolicySeq = requireInt64(json, "acknowledgedPolicySeq");
    f.policyValid = requireBool(json, "policyValid");
    f.vpnActive = requireBool(json, "vpnActive");
    f.usageAccessActive = requireBool(json, "usageAccessActive");
    f.appMonitorActive = requireBool(json, "appMonitorActive");
    f.accessibilityActive = requireBool(json, "accessibilityActive");
    f.privateDnsMode = requireString(json, "privateDnsMode");
    f.integrityState = requireString(json, "integrityState");
    f.integrityCheckedAt = optionalString(json, "integrityCheckedAt");
    if (const Json* r = findMember(json, "revocations"); r != nullptr && !r->is_null()) {
        f.revocations = Revocations::fromJSON(*r);
    }
    return f;
}

// ---- HeartbeatResult

Json HeartbeatResult::toJSON() const {
    Json j = Json::object();
    j["policySeq"] = policySeq;
    j["serverTime"] = serverTime;
    j["protectionState"] = protectionState;
    return j;
}

HeartbeatResult HeartbeatResult::fromJSON(const Json& json) {
    requireObject(json, "heartbeat result");
    return HeartbeatResult{requireInt64(json, "policySeq"), requireString(json, "serverTime"),
                           requireString(json, "protectionState")};
}

// ---- CoalescedEvent

Json CoalescedEvent::toJSON() const {
    Json j = Json::object();
    j["type"] = type;
    j["reason"] = reason;
    if (category) j["category"] = *category;
    if (policySeq) j["policySeq"] = *policySeq;
    j["windowStart"] = windowStart;
    j["windowEnd"] = windowEnd;
    j["count"] = count;
    return j;
}

CoalescedEvent CoalescedEvent::fromJSON(const Json& json) {
    requireObject(json, "event");
    return CoalescedEvent{requireString(json, "type"),        requireString(json, "reason"),
                          optionalString(json, "category"),   optionalInt64(json, "policySeq"),
                          requireString(json, "windowStart"), requireString(json, "windowEnd"),
                          requireInt64(json, "count")};
}

// ---- EventBatchResult

Json EventBatchResult::toJSON() const {
    Json j = Json::object();
    j["accepted"] = accepted;
    j["deduplicated"] = deduplicated;
    return j;
}

EventBatchResult EventBatchResult::fromJSON(const Json& json) {
    requireObject(json, "event batch result");
    return EventBatchResult{requireInt64(json, "accepted"), requireInt64(json, "deduplicated")};
}

// ---- BlockRule, Blocklist

Json BlockRule::toJSON() const {
    Json j = Json::object();
    j["ruleType"] = ruleType;
    j["value"] = value;
    return j;
}

BlockRule BlockRule::fromJSON(const Json& json) {
    requireObject(json, "rule");
    return BlockRule{requireString(json, "ruleType"), requireString(json, "value")};
}

Json Blocklist::toJSON() const {
    Json j = Json::object();
    j["category"] = category;
    j["version"] = version;
    Json list = Json::array();
    for (const auto& rule : rules) list.push_back(rule.toJSON());
    j["rules"] = std::move(list);
    return j;
}

Blocklist Blocklist::fromJSON(const Json& json) {
    requireObject(json, "blocklist");
    Blocklist b;
    b.category = requireString(json, "category");
    b.version = requireInt64(json, "version");
    const Json& rules = requireArray(requireMember(json, "rules"), "\"rules\"");
    b.rules.reserve(rules.size());
    for (const auto& rule : rules) b.rules.push_back(BlockRule::fromJSON(rule));
    return b;
}

// ---- APIError

APIError::APIError(Kind kind, int status, std::string code, std::string message, std::string text)
    : kind_(kind), status_(status), code_(std::move(code)), message_(std::move(message)), text_(std::move(text)) {
    switch (kind_) {
    case Kind::http: description_ = "http " + std::to_string(status_) + " " + code_; break;
    case Kind::transport: description_ = "transport " + text_; break;
    case Kind::decoding: description_ = "decoding " + text_; break;
    case Kind::notEnrolled: description_ = "not enrolled"; break;
    }
}

APIError APIError::http(int status, std::string code, std::string message) {
    return APIError(Kind::http, status, std::move(code), std::move(message), {});
}

APIError APIError::transport(std::string text) { return APIError(Kind::transport, 0, {}, {}, std::move(text)); }

APIError APIError::decoding(std::string text) { return APIError(Kind::decoding, 0, {}, {}, std::move(text)); }

APIError APIError::notEnrolled() { return APIError(Kind::notEnrolled, 0, {}, {}, {}); }

bool APIError::operator==(const APIError& other) const noexcept {
    return kind_ == other.kind_ && status_ == other.status_ && code_ == other.code_ &&
           message_ == other.message_ && text_ == other.text_;
}

// ---- APIErrorBody

Json APIErrorBody::toJSON() const {
    Json inner = Json::object();
    inner["code"] = code;
    inner["message"] = message;
    Json j = Json::object();
    j["error"] = std::move(inner);
    return j;
}

APIErrorBody APIErrorBody::fromJSON(const Json& json) {
    requireObject(json, "error body");
    const Json& inner = requireObject(requireMember(json, "error"), "\"error\"");
    return APIErrorBody{requireString(inner, "code"), requireString(inner, "message")};
}

std::optional<APIErrorBody> APIErrorBody::parse(std::string_view body) {
    try {
        return plainDecode<APIErrorBody>(body);
    } catch (const DecodingError&) {
        if (utf8::isValid(body)) return std::nullopt;
    }
    // Not UTF-8: the service's code and message are still worth showing.
    try {
        APIErrorBody decoded = plainDecode<APIErrorBody>(withStandIns(body));
        return APIErrorBody{withBytes(decoded.code), withBytes(decoded.message)};
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

// ---- nlohmann adapters

void to_json(Json& json, const CoalescedEvent& event) { json = event.toJSON(); }
void from_json(const Json& json, CoalescedEvent& event) { event = CoalescedEvent::fromJSON(json); }
void to_json(Json& json, const BlockRule& rule) { json = rule.toJSON(); }
void from_json(const Json& json, BlockRule& rule) { rule = BlockRule::fromJSON(json); }

}  // namespace brivet

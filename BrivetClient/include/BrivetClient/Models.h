#pragma once
// The records exchanged with the device service, and its errors.
//
// Every record carries its camelCase field names in toJSON()/fromJSON(); the
// wire spelling (snake_case) is produced by JSONCoding::encode/decode, the file
// spelling by JSONCoding::plainEncode/plainDecode.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/RFC3339.h"

namespace brivet {

enum class Platform { android, windows, ios, macos };

std::string_view rawValue(Platform platform);
// Exact, case-sensitive match; any other text gives no value.
std::optional<Platform> platformFromRawValue(std::string_view text);

struct EnrollmentResult {
    std::string deviceId;
    std::string deviceToken;
    std::int64_t policySeq = 0;

    bool operator==(const EnrollmentResult&) const = default;
    Json toJSON() const;
    static EnrollmentResult fromJSON(const Json& json);
};

// The outcome of a policy fetch; never itself JSON.
struct PolicyFetch {
    enum class Kind { envelope, notModified };

    Kind kind = Kind::notModified;
    std::string body;                // envelope: the reply body, unchanged
    std::optional<std::string> etag; // envelope: the reply's entity tag

    static PolicyFetch makeEnvelope(std::string body, std::optional<std::string> etag) {
        return PolicyFetch{Kind::envelope, std::move(body), std::move(etag)};
    }
    static PolicyFetch makeNotModified() { return PolicyFetch{}; }
    bool isNotModified() const { return kind == Kind::notModified; }

    bool operator==(const PolicyFetch&) const = default;
};

struct HeartbeatFacts {
    struct Revocations {
        std::optional<std::string> vpnRevokedAt;
        std::optional<std::string> usageAccessRevokedAt;
        std::optional<std::string> protectionRevokedAt;

        bool operator==(const Revocations&) const = default;
        Json toJSON() const;
        static Revocations fromJSON(const Json& json);
    };

    HeartbeatFacts() = default;
    HeartbeatFacts(std::string clientVersion, std::string osVersion, std::int64_t acknowledgedPolicySeq,
                   bool policyValid, bool vpnActive, bool usageAccessActive, bool appMonitorActive,
                   bool accessibilityActive = false, std::string privateDnsMode = "unknown",
                   std::string integrityState = "unavailable",
                   std::optional<std::string> integrityCheckedAt = std::nullopt,
                   std::optional<Revocations> revocations = std::nullopt)
        : clientVersion(std::move(clientVersion)), osVersion(std::move(osVersion)),
          acknowledgedPolicySeq(acknowledgedPolicySeq), policyValid(policyValid), vpnActive(vpnActive),
          usageAccessActive(usageAccessActive), appMonitorActive(appMonitorActive),
          accessibilityActive(accessibilityActive), privateDnsMode(std::move(privateDnsMode)),
          integrityState(std::move(integrityState)), integrityCheckedAt(std::move(integrityCheckedAt)),
          revocations(std::move(revocations)) {}

    std::string clientVersion;
    std::string osVersion;
    std::int64_t acknowledgedPolicySeq = 0;
    bool policyValid = false;
    bool vpnActive = false;
    bool usageAccessActive = false;
    bool appMonitorActive = false;
    bool accessibilityActive = false;
    std::string privateDnsMode = "unknown";
    std::string integrityState = "unavailable";
    std::optional<std::string> integrityCheckedAt;
    std::optional<Revocations> revocations;

    bool operator==(const HeartbeatFacts&) const = default;
    Json toJSON() const;
    static HeartbeatFacts fromJSON(const Json& json);
};

struct HeartbeatResult {
    std::int64_t policySeq = 0;
    std::string serverTime;
    std::string protectionState;

    bool operator==(const HeartbeatResult&) const = default;
    Json toJSON() const;
    static HeartbeatResult fromJSON(const Json& json);
};

// One counted kind of event in one time window. Wire keys are snake_case
// (JSONCoding::encode/decode); our own files use the field names
// (JSONCoding::plainEncode/plainDecode).
struct CoalescedEvent {
    std::string type;
    std::string reason;
    std::optional<std::string> category;
    std::optional<std::int64_t> policySeq;
    std::string windowStart;  // RFC 3339 text
    std::string windowEnd;    // RFC 3339 text
    std::int64_t count = 0;

    bool operator==(const CoalescedEvent&) const = default;
    Json toJSON() const;
    static CoalescedEvent fromJSON(const Json& json);
};

struct EventBatchResult {
    std::int64_t accepted = 0;
    std::int64_t deduplicated = 0;

    bool operator==(const EventBatchResult&) const = default;
    Json toJSON() const;
    static EventBatchResult fromJSON(const Json& json);
};

// One rule of a blocklist or of the policy. "domain" and "domain_suffix" take
// effect; any other type is carried unchanged.
struct BlockRule {
    std::string ruleType;
    std::string value;

    bool operator==(const BlockRule&) const = default;
    Json toJSON() const;
    static BlockRule fromJSON(const Json& json);
};

struct Blocklist {
    std::string category;
    std::int64_t version = 0;
    std::vector<BlockRule> rules;

    bool operator==(const Blocklist&) const = default;
    Json toJSON() const;
    static Blocklist fromJSON(const Json& json);
};

// The error of every device-service operation.
class APIError : public std::exception {
public:
    enum class Kind { http, transport, decoding, notEnrolled };

    static APIError http(int status, std::string code, std::string message);
    static APIError transport(std::string text);
    static APIError decoding(std::string text);
    static APIError notEnrolled();

    Kind kind() const noexcept { return kind_; }
    int status() const noexcept { return status_; }               // http
    const std::string& code() const noexcept { return code_; }    // http
    const std::string& message() const noexcept { return message_; }  // http
    const std::string& text() const noexcept { return text_; }    // transport, decoding

    // "http <status> <code>", "transport <text>", "decoding <text>", "not enrolled".
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const APIError& other) const noexcept;

private:
    APIError(Kind kind, int status, std::string code, std::string message, std::string text);

    Kind kind_;
    int status_ = 0;
    std::string code_;
    std::string message_;
    std::string text_;
    std::string description_;
};

// Raised when the core library refuses a verified policy; `reason` is the
// core's error name (for example "rollback").
class PolicyRejected : public std::exception {
public:
    explicit PolicyRejected(std::string reason) : reason_(std::move(reason)) {}
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }
    bool operator==(const PolicyRejected& other) const noexcept { return reason_ == other.reason_; }

private:
    std::string reason_;
};

// What the service sends with an error status:
// {"error": {"code": "...", "message": "..."}}, read with the plain decoder.
struct APIErrorBody {
    std::string code;
    std::string message;

    bool operator==(const APIErrorBody&) const = default;
    Json toJSON() const;
    static APIErrorBody fromJSON(const Json& json);
    // No value when the body has any other shape. A body that is not
    // well-formed UTF-8 is still read: the texts keep the stray bytes as
    // they came (brivet::screenSafe() and brivet::logSafe() show them as
    // \xNN).
    static std::optional<APIErrorBody> parse(std::string_view body);
};

// Adapters so records can sit inside larger nlohmann documents (plain coding:
// field-name keys).
void to_json(Json& json, const CoalescedEvent& event);
void from_json(const Json& json, CoalescedEvent& event);
void to_json(Json& json, const BlockRule& rule);
void from_json(const Json& json, BlockRule& rule);

}  // namespace brivet

template <>
struct std::hash<brivet::BlockRule> {
    std::size_t operator()(const brivet::BlockRule& rule) const noexcept {
        std::size_t a = std::hash<std::string>{}(rule.ruleType);
        std::size_t b = std::hash<std::string>{}(rule.value);
        return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
    }
};

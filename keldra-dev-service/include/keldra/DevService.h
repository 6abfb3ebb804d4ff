#pragma once
// A local device service for tests and the demo.
//
// A real HTTP server on loopback that answers every request of the device
// service's API with its own Ed25519 keys: enrolment with the codes it was told
// to accept, signed policies with entity tags and 304, acknowledgements,
// heartbeats, events, time attestations bound to the caller's nonce,
// blocklists by category and version, and the global-release document. Tests
// drive it through this class in-process (every member is thread-safe), shell
// scripts through the control endpoints under "/_dev/" of the same server.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace brivet::dev {

// The endpoints of the service. `any` only names a failure or delay that
// applies to every endpoint (a specific rule wins over it).
enum class Endpoint {
    enroll,
    policy,
    policyAck,
    heartbeat,
    events,
    timeAttestation,
    blocklist,
    globalRelease,
    unknown,  // a path or method the service does not serve
    any,
};

// "enroll", "policy", "policy_ack", "heartbeat", "events",
// "time_attestation", "blocklist", "global_release", "unknown", "any".
std::string endpointName(Endpoint endpoint);
std::optional<Endpoint> endpointFromName(std::string_view name);

enum class KeyRole { policy, release };

class DevServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An injected failure: the endpoint answers `status` instead of its normal
// answer. The body is `rawBody` when given, else the service's error body
// {"error":{"code":..,"message":..}} when `code` is not empty, else empty.
struct Failure {
    int status = 500;
    std::string code;
    std::string message;
    std::optional<std::string> rawBody;
    // How many requests fail; none means until cleared.
    std::optional<int> times;
    // Announce the whole body, send only its first half and close the
    // connection: a reply dropped halfway.
    bool dropConnection = false;
};

struct ReceivedRequest {
    Endpoint endpoint = Endpoint::unknown;
    std::string method;
    std::string path;    // as sent, percent-encoding kept, without the query
    std::string query;   // the raw text after "?", empty when none
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
    int status = 0;      // what the service answered
};

struct Counters {
    std::int64_t requests = 0;           // every API request (not control)
    std::int64_t injectedFailures = 0;   // requests answered by a Failure
    std::int64_t enrollments = 0;
    std::int64_t rejectedEnrollments = 0;
    std::int64_t policyFetches = 0;      // answered 200 with an envelope
    std::int64_t policyNotModified = 0;  // answered 304
    std::int64_t acknowledgements = 0;
    std::int64_t heartbeats = 0;
    std::int64_t eventBatches = 0;
    std::int64_t eventsAccepted = 0;
    std::int64_t eventsDeduplicated = 0;
    std::int64_t eventCountTotal = 0;    // sum of "count" over accepted events
    std::int64_t timeAttestations = 0;
    std::int64_t blocklistFetches = 0;   // answered 200
    std::int64_t releaseFetches = 0;
    std::int64_t unauthorized = 0;       // refused for a missing or bad token
};

struct DeviceRecord {
    std::string deviceId;
    std::string installationId;
    std::string deviceToken;
    std::string name;
    std::string platform;
    std::optional<std::int64_t> acknowledgedSeq;
    std::optional<std::string> acknowledgedAt;
    std::optional<nlohmann::json> lastHeartbeat;
};

struct DevServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: an ephemeral port
    std::string name = "Keldra dev service";  // "name" of the environment file
    std::vector<std::string> acceptCodes;
    // When set, the keys are loaded from this directory, or created there
    // (0600 files) when absent, so that a restarted service keeps them.
    std::optional<std::filesystem::path> keysDir;
    bool controlEndpoints = true;
    // Called with one line per request (API and control) when set.
    std::function<void(const std::string&)> log;
};

class DevService {
public:
    // Binds and starts serving at once; throws DevServiceError when the
    // address cannot be bound or the keys cannot be loaded or created.
    explicit DevService(DevServiceOptions options = {});
    ~DevService();  // stops the server and waits for it
    DevService(const DevService&) = delete;
    DevService& operator=(const DevService&) = delete;

    int port() const;
    std::string baseURL() const;  // "http://127.0.0.1:<port>"

    // Keys and the client's environment.
    std::string keyId(KeyRole role) const;
    std::string publicKey(KeyRole role) const;  // base64url, 32 bytes
    // {"policy_keys":[{"id":..,"public":..}],"release_keys":[..]}
    std::string pinnedKeysJSON() const;
    // The environment file's document: "name", "api_base_url", both key lists.
    std::string environmentJSON() const;
    void writeEnvironmentFile(const std::filesystem::path& path) const;
    // A signed envelope {"alg","key_id","payload_b64","sig"} over exactly
    // these payload bytes, for tests that need hand-made documents.
    std::string signEnvelope(KeyRole role, std::string_view payload) const;

    // Enrolment codes.
    void acceptEnrollmentCode(const std::string& code);
    void revokeEnrollmentCode(const std::string& code);

    // The policy served to every enrolled device. The service fills "type",
    // "v", "device_id", "installation_id" and "policy_seq" into the object
    // and signs it for the asking device.
    // Assigns the next sequence (one above every sequence served so far).
    std::int64_t setPolicy(const nlohmann::json& policy);
    // Serves exactly this sequence, also a lower one (a rollback) or the
    // current one again (a conflicting duplicate).
    void setPolicyWithSequence(const nlohmann::json& policy, std::int64_t seq);
    // Serves these bytes as the policy answer. With a sequence, it is the
    // entity tag and what heartbeats announce; without one no entity tag is
    // sent, no 304 is given and heartbeats keep announcing the last sequence.
    void setRawPolicyEnvelope(std::string bytes, std::optional<std::int64_t> seq = std::nullopt);
    void clearPolicy();  // policy requests answer 404 "policy_not_found"
    std::int64_t currentPolicySeq() const;  // 0 when none was ever served

    // Blocklists. Without a version the list answers every version asked for
    // (with that version in the answer).
    void setBlocklist(const std::string& category, std::optional<std::int64_t> version,
                      const nlohmann::json& rules);
    // A blocklist file's document: a list of rules (every version), or
    // {"version": N, "rules": [..]} with an optional matching "category".
    void setBlocklistDocument(const std::string& category, const nlohmann::json& doc);
    void clearBlocklists();

    // The global release: the payload is signed with the release key ("type"
    // and "v" are filled in when absent) and served as {"release": envelope}.
    void setGlobalRelease(const nlohmann::json& payload);
    // Serves these bytes as the whole release document.
    void setRawGlobalReleaseDocument(std::string bytes);
    void clearGlobalRelease();  // answers {"release":null}

    // What heartbeats answer as "protection_state" ("protected" at start).
    void setProtectionState(const std::string& state);
    // Fixes the service's clock (heartbeats and attestations); none: real time.
    void setServerTime(std::optional<std::chrono::system_clock::time_point> time);

    // Failure and delay injection.
    void failEndpoint(Endpoint endpoint, Failure failure);
    void clearFailure(Endpoint endpoint);
    void clearFailures();
    void delayEndpoint(Endpoint endpoint, std::chrono::milliseconds delay,
                       std::optional<int> times = std::nullopt);
    void clearDelay(Endpoint endpoint);
    void clearDelays();

    // What the service received (API requests only, oldest first; the last
    // 10000 are kept) and what it counted.
    std::vector<ReceivedRequest> received() const;
    std::vector<ReceivedRequest> received(Endpoint endpoint) const;
    void clearReceived();
    Counters counters() const;
    std::vector<DeviceRecord> devices() const;
    // Every accepted event object as it arrived, oldest first.
    std::vector<nlohmann::json> acceptedEvents() const;

    // Stops serving; requests waiting in a delay are answered at once.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brivet::dev

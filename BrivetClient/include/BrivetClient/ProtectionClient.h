#pragma once
// The device's protocol layer with the device service.
//
// Owns the one live ProtectionState of a program and keeps it in step with a
// StateStore: every operation that changes the state saves it whole before it
// returns (a failed save is thrown, but the in-memory change stays and the
// next successful save writes it). Signed documents are verified by the core
// library against the program's pinned keys. Every successful exchange that
// proves the service reachable (policy fetch, 304 included, time attestation,
// heartbeat, enrolment) records the contact and restarts the offline-release
// count.
//
// Holds no lock: one caller at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/StateStore.h"
#include "BrivetCore/BrivetCore.h"

namespace brivet {

// What the engine reports of the host in a heartbeat.
struct MacCapabilities {
    std::string osVersion;
    bool filterActive = false;
    bool appMonitorPermitted = false;
    bool appMonitorRunning = false;
    std::optional<Instant> filterRevokedAt;
    std::optional<Instant> appMonitorRevokedAt;

    bool operator==(const MacCapabilities&) const = default;
};

// The system's random source could not deliver bytes for a nonce.
class RandomSourceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ProtectionClient final {
public:
    // Protocol version passed to release verification.
    static constexpr std::uint32_t protocolClientVersion = 1;

    struct ReleaseDecision {
        struct Released {
            std::string reason;
            std::string effectiveAt;
            bool operator==(const Released&) const = default;
        };
        struct Deferred {
            std::string effectiveAt;
            bool operator==(const Deferred&) const = default;
        };
        struct Invalid {
            std::string name;  // the core's error name
            bool operator==(const Invalid&) const = default;
        };
        struct None {
            bool operator==(const None&) const = default;
        };
        std::variant<Released, Deferred, Invalid, None> value;

        static ReleaseDecision released(std::string reason, std::string effectiveAt) {
            return {Released{std::move(reason), std::move(effectiveAt)}};
        }
        static ReleaseDecision deferred(std::string effectiveAt) { return {Deferred{std::move(effectiveAt)}}; }
        static ReleaseDecision invalid(std::string name) { return {Invalid{std::move(name)}}; }
        static ReleaseDecision none() { return {None{}}; }
        bool operator==(const ReleaseDecision&) const = default;
        // "released", "deferred", "invalid" or "none".
        std::string caseName() const;
    };

    struct RefreshOutcome {
        enum class Kind { applied, unchanged, ignored };
        Kind kind = Kind::unchanged;
        std::int64_t seq = 0;  // the new highest sequence when applied

        static RefreshOutcome applied(std::int64_t seq) { return {Kind::applied, seq}; }
        static RefreshOutcome unchanged() { return {Kind::unchanged, 0}; }
        static RefreshOutcome ignored() { return {Kind::ignored, 0}; }
        bool operator==(const RefreshOutcome&) const = default;
        // "applied", "unchanged" or "ignored".
        std::string caseName() const;
    };

    using Clock = std::function<Instant()>;
    using NonceGenerator = std::function<std::string()>;

    // Loads the state from the store; whatever load() throws is thrown here.
    ProtectionClient(std::shared_ptr<DeviceAPI> api, std::shared_ptr<StateStore> store, PinnedKeys keys,
                     std::string clientVersion, Clock clock = systemClock(),
                     NonceGenerator nonce = &ProtectionClient::randomNonce);

    DeviceIdentity enroll(const std::string& code, const std::string& name);
    RefreshOutcome refreshPolicy();
    Instant attestTime();
    ReleaseDecision checkGlobalRelease();
    HeartbeatResult heartbeat(const MacCapabilities& capabilities);
    HeartbeatFacts heartbeatFacts(const MacCapabilities& capabilities) const;
    // True when the offline release happened in this call.
    bool recordRuntime(std::int64_t monotonicSeconds);
    bool needsPolicyRefresh(const HeartbeatResult& result) const;

    std::optional<EffectivePolicy> effectivePolicy() const;
    std::optional<DeviceIdentity> identity() const { return state_.identity; }
    std::optional<Instant> trustedTimeHighWater() const;
    bool globallyReleased() const { return state_.globalRelease.has_value(); }

    const PinnedKeys& keys() const noexcept { return keys_; }
    ProtectionState state() const { return state_; }
    const std::string& clientVersion() const noexcept { return clientVersion_; }
    DeviceAPI& api() const noexcept { return *api_; }

    // 32 bytes of the kernel's random source in base64url without padding
    // (43 characters). Throws RandomSourceError when the source fails: a
    // predictable nonce would defeat the attestation.
    static std::string randomNonce();
    // A random version-4 UUID in lower-case 8-4-4-4-12 form.
    static std::string randomUUID();
    static Clock systemClock();

private:
    void recordContact();
    void save();

    std::shared_ptr<DeviceAPI> api_;
    std::shared_ptr<StateStore> store_;
    PinnedKeys keys_;
    std::string clientVersion_;
    Clock clock_;
    NonceGenerator nonceGenerator_;
    ProtectionState state_;
};

}  // namespace brivet

#pragma once
// Typed bridge over the core verification library's C interface.
//
// The free functions in brivet::BrivetCore turn typed values into the JSON
// texts the core library reads, call it, release its reply on every path,
// turn a failure reply into a thrown CoreError and decode a success reply
// into a typed result. The value types the client library stores and passes
// around (JSONValue, PinnedKeys, ClientState) are declared here too.
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrivetCore/Instant.h"

namespace brivet {

// A JSON number in the kind it was written in: an integer, held exactly
// (any signed or unsigned 64-bit value), or a number with a fraction or
// exponent, held as a double. Two numbers are equal when both kind and value
// are: 1 and 1.0 differ, as they do for the core library, which compares a
// policy against its successor.
class JSONNumber {
public:
    JSONNumber(double real) noexcept : value_(real) {}
    JSONNumber(std::int64_t integer) noexcept : value_(integer) {}
    // Values that fit int64 are held as int64, so each integer has one form.
    JSONNumber(std::uint64_t integer) noexcept {
        if (integer <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            value_ = static_cast<std::int64_t>(integer);
        } else {
            value_ = integer;
        }
    }

    bool isInteger() const noexcept { return !std::holds_alternative<double>(value_); }
    // The value as a double (rounded for integers beyond 2^53).
    double toDouble() const noexcept;
    const std::int64_t* int64() const noexcept { return std::get_if<std::int64_t>(&value_); }
    // Only integers above INT64_MAX are held here.
    const std::uint64_t* uint64() const noexcept { return std::get_if<std::uint64_t>(&value_); }
    const double* real() const noexcept { return std::get_if<double>(&value_); }

    bool operator==(const JSONNumber&) const = default;

private:
    std::variant<std::int64_t, std::uint64_t, double> value_;
};

// A JSON value: bool, number, string, array, object or null. Numbers keep
// their kind (see JSONNumber).
class JSONValue {
public:
    enum class Kind { boolean, number, string, array, object, null };
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;

    // Deepest nesting accepted when decoding; deeper documents are refused
    // instead of exhausting the stack.
    static constexpr int maxDepth = 512;

    JSONValue() noexcept : storage_(std::nullptr_t{}) {}
    JSONValue(std::nullptr_t) noexcept : storage_(std::nullptr_t{}) {}
    JSONValue(bool flag) noexcept : storage_(flag) {}
    JSONValue(double number) noexcept : storage_(JSONNumber(number)) {}
    JSONValue(JSONNumber number) noexcept : storage_(number) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    JSONValue(T number) noexcept : storage_(integerNumber(number)) {}
    JSONValue(std::string text) : storage_(std::move(text)) {}
    JSONValue(const char* text) : storage_(std::string(text)) {}
    JSONValue(std::string_view text) : storage_(std::string(text)) {}
    JSONValue(Array array) : storage_(std::move(array)) {}
    JSONValue(Object object) : storage_(std::move(object)) {}

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isNull() const noexcept { return kind() == Kind::null; }

    std::optional<bool> boolValue() const;
    // Any number as a double (rounded for integers beyond 2^53).
    std::optional<double> numberValue() const;
    const JSONNumber* number() const noexcept { return std::get_if<JSONNumber>(&storage_); }
    // The text of a string value, else none.
    std::optional<std::string> stringValue() const;
    // An integer that fits a signed 64-bit value, or a double that is
    // integral and exactly representable as one (86400.0 gives 86400), else
    // none.
    std::optional<std::int64_t> intValue() const;
    // Pointers into this value for the container cases, else nullptr.
    const Array* arrayValue() const noexcept { return std::get_if<Array>(&storage_); }
    const Object* objectValue() const noexcept { return std::get_if<Object>(&storage_); }
    Array* arrayValue() noexcept { return std::get_if<Array>(&storage_); }
    Object* objectValue() noexcept { return std::get_if<Object>(&storage_); }

    // Member lookup for object values: nullptr when this is not an object or
    // the member is absent.
    const JSONValue* find(const std::string& key) const;

    bool operator==(const JSONValue& other) const = default;

private:
    template <std::integral T>
    static JSONNumber integerNumber(T number) noexcept {
        if constexpr (std::is_signed_v<T>) {
            return JSONNumber(static_cast<std::int64_t>(number));
        } else {
            return JSONNumber(static_cast<std::uint64_t>(number));
        }
    }

    // The order of the alternatives matches Kind.
    std::variant<bool, JSONNumber, std::string, Array, Object, std::nullptr_t> storage_;
};

// Each value type codes to both nlohmann::json and nlohmann::ordered_json.
//
// Numbers are written in their kind: integers exactly ("7",
// "18446744073709551615"), doubles with a fraction or exponent ("7.0",
// "-0.0"), so a value read from the core is handed back as it was signed and
// compares equal to itself.
void to_json(nlohmann::json& json, const JSONValue& value);
// Throws BrivetCore::DecodingError for values nested deeper than maxDepth.
void from_json(const nlohmann::json& json, JSONValue& value);
void to_json(nlohmann::ordered_json& json, const JSONValue& value);
void from_json(const nlohmann::ordered_json& json, JSONValue& value);

// The trusted Ed25519 public keys: one list for policies and attestations,
// one for global releases.
struct PinnedKeys {
    struct Key {
        std::string id;                    // "id"
        std::string publicKey;             // "public": base64url of 32 bytes
        std::optional<std::string> state;  // "state": written only when present
        bool operator==(const Key&) const = default;
    };

    std::vector<Key> policyKeys;   // "policy_keys"
    std::vector<Key> releaseKeys;  // "release_keys"

    PinnedKeys() = default;
    PinnedKeys(std::vector<Key> policy, std::vector<Key> release)
        : policyKeys(std::move(policy)), releaseKeys(std::move(release)) {}
    bool operator==(const PinnedKeys&) const = default;
};

void to_json(nlohmann::json& json, const PinnedKeys::Key& key);
void from_json(const nlohmann::json& json, PinnedKeys::Key& key);
void to_json(nlohmann::ordered_json& json, const PinnedKeys::Key& key);
void from_json(const nlohmann::ordered_json& json, PinnedKeys::Key& key);
void to_json(nlohmann::json& json, const PinnedKeys& keys);
void from_json(const nlohmann::json& json, PinnedKeys& keys);
void to_json(nlohmann::ordered_json& json, const PinnedKeys& keys);
void from_json(const nlohmann::ordered_json& json, PinnedKeys& keys);

namespace BrivetCore {

// A typed reading of JSON that did not have the expected form.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A typed value that could not be written as JSON (for example a text that is
// not UTF-8).
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The failure the core library answered: `name` is its error code, or
// "core_returned_null" when it returned nothing, or "unknown" when its
// failure reply named no code. `details` is the whole failure reply as an
// object (empty when there was none or it was not an object).
class CoreError : public std::exception {
public:
    std::string name;
    JSONValue::Object details;

    CoreError(std::string name, JSONValue::Object details = {})
        : name(std::move(name)), details(std::move(details)) {}
    const char* what() const noexcept override { return name.c_str(); }
    bool operator==(const CoreError& other) const {
        return name == other.name && details == other.details;
    }
};

// The device's policy state as the core library reads and returns it.
struct ClientState {
    std::string deviceId;                     // "device_id"
    std::string installationId;               // "installation_id"
    std::int64_t highestPolicySeq = 0;        // "highest_policy_seq"
    std::optional<JSONValue::Object> policy;  // "policy"
    std::optional<std::string> policyBytes;   // "policy_bytes" (base64url)

    ClientState() = default;
    ClientState(std::string device, std::string installation)
        : deviceId(std::move(device)), installationId(std::move(installation)) {}
    bool operator==(const ClientState&) const = default;
};

// The first three keys are required; "policy" and "policy_bytes" are taken
// when present and not null, and written only when present.
void to_json(nlohmann::json& json, const ClientState& state);
void from_json(const nlohmann::json& json, ClientState& state);
void to_json(nlohmann::ordered_json& json, const ClientState& state);
void from_json(const nlohmann::ordered_json& json, ClientState& state);

enum class PolicyOutcome { applied, ignored };

std::string_view toString(PolicyOutcome outcome) noexcept;
std::optional<PolicyOutcome> policyOutcomeFromString(std::string_view text) noexcept;
void to_json(nlohmann::json& json, const PolicyOutcome& outcome);
void from_json(const nlohmann::json& json, PolicyOutcome& outcome);
void to_json(nlohmann::ordered_json& json, const PolicyOutcome& outcome);
void from_json(const nlohmann::ordered_json& json, PolicyOutcome& outcome);

// What applyPolicy returns: the state to store and whether it changed.
struct PolicyApplication {
    ClientState state;
    PolicyOutcome outcome = PolicyOutcome::applied;
    bool operator==(const PolicyApplication&) const = default;
};

// A verified global release.
struct VerifiedRelease {
    std::string keyId;                      // "key_id"
    std::string effectiveAt;                // "effective_at" (RFC 3339, UTC)
    std::int64_t minimumClientVersion = 0;  // "minimum_client_version"
    std::string reason;                     // "reason"
    bool operator==(const VerifiedRelease&) const = default;
};

void to_json(nlohmann::json& json, const VerifiedRelease& release);
void from_json(const nlohmann::json& json, VerifiedRelease& release);
void to_json(nlohmann::ordered_json& json, const VerifiedRelease& release);
void from_json(const nlohmann::ordered_json& json, VerifiedRelease& release);

// A verified time attestation.
struct Attestation {
    std::string serverTime;                   // "server_time" (RFC 3339, UTC)
    std::int64_t policySeq = 0;               // "policy_seq"
    std::optional<std::string> commitmentId;  // "commitment_id" (null: none)
    std::string commitmentStatus;             // "commitment_status"
    bool operator==(const Attestation&) const = default;
};

void to_json(nlohmann::json& json, const Attestation& attestation);
void from_json(const nlohmann::json& json, Attestation& attestation);
void to_json(nlohmann::ordered_json& json, const Attestation& attestation);
void from_json(const nlohmann::ordered_json& json, Attestation& attestation);

// The core library's version text.
std::string version();

// Applies a signed device-policy envelope to the state.
// Throws CoreError when the core refuses, EncodingError when the state or
// keys cannot be written, DecodingError when the reply cannot be read. An
// envelope holding a NUL byte is refused as "invalid_envelope_json" (after
// the state was read), never truncated.
PolicyApplication applyPolicy(const ClientState& state, std::string_view envelope, const PinnedKeys& keys);

// Verifies a global-release envelope against the release keys at `now`
// (passed to the core in UTC, whole seconds).
VerifiedRelease verifyRelease(std::string_view envelope, const PinnedKeys& keys, Instant now,
                              std::uint32_t clientVersion);

// Verifies a time-attestation envelope against the policy keys for this
// device and nonce. A device identifier or nonce holding a NUL byte is
// refused as "invalid_argument", never truncated.
Attestation verifyAttestation(std::string_view envelope, const PinnedKeys& keys, std::string_view deviceId,
                              std::string_view nonce);

// The offline-release runtime clamped to one to thirty days.
std::int64_t clampOfflineRuntime(std::int64_t seconds);

}  // namespace BrivetCore
}  // namespace brivet

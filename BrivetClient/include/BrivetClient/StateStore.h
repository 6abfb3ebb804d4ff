#pragma once
// The client's persisted state and the stores that load and save it.
//
// `ProtectionState` is everything the client keeps about one device between
// runs. `FileStateStore` keeps it as "state.json" (plain JSON, field names as
// keys) and the device token in a `TokenStore`, never in the file.
// `InMemoryStateStore` keeps it in memory.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/OfflineRelease.h"
#include "BrivetCore/BrivetCore.h"

namespace brivet {

struct DeviceIdentity {
    std::string deviceId;
    std::string installationId;
    std::string deviceToken;  // bearer token of authenticated service calls

    bool operator==(const DeviceIdentity&) const = default;
};

struct GlobalReleaseRecord {
    std::string keyId;        // the release key that signed it
    std::string reason;
    std::string effectiveAt;  // RFC 3339, from the release
    std::string recordedAt;   // RFC 3339, when the client recorded it

    bool operator==(const GlobalReleaseRecord&) const = default;
};

struct ProtectionState {
    std::optional<std::string> installationId;
    std::optional<DeviceIdentity> identity;
    std::optional<BrivetCore::ClientState> client;
    // The signed envelope of the policy in `client`, exactly as the service
    // sent it: the filter daemon enforces only what it can verify itself.
    // Absent in files of older versions; such a client fetches the policy
    // once more to have it.
    std::optional<std::string> policyEnvelope;
    std::optional<std::string> trustedTimeHighWater;  // RFC 3339
    std::optional<std::string> lastServerContact;     // RFC 3339
    std::optional<std::string> lastRejectedPolicy;    // core error name
    OfflineReleaseAccumulator offlineRelease;
    std::optional<std::string> offlineReleasedAt;     // RFC 3339
    std::optional<GlobalReleaseRecord> globalRelease;

    bool operator==(const ProtectionState&) const = default;

    // The "state.json" form: absent optionals are left out; "client" is in the
    // core library's own format. Throws EncodingError for texts that are not
    // UTF-8.
    Json toJSON() const;
    // Null members count as absent, unknown members are ignored;
    // "offlineRelease" is required. Throws DecodingError.
    static ProtectionState fromJSON(const Json& json);
};

class StateStore {
public:
    virtual ~StateStore() = default;
    virtual ProtectionState load() = 0;
    virtual void save(const ProtectionState& state) = 0;
};

// A state file that could not be read, decoded, encoded or written. Errors of
// the token store are passed on unchanged instead.
class StateFileError : public std::runtime_error {
public:
    enum class Kind { read, decode, encode, write };

    StateFileError(Kind kind, const std::filesystem::path& path, const std::string& reason);
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

class FileStateStore final : public StateStore {
public:
    // Creates nothing on disk. Without a token store the token is kept in the
    // file itself.
    FileStateStore(std::filesystem::path url, std::shared_ptr<TokenStore> tokenStore)
        : url(std::move(url)), tokenStore(std::move(tokenStore)) {}

    // A missing file gives the empty state. A file that cannot be read or
    // decoded fails (it is never replaced here). An identity whose token the
    // token store no longer has loads as not enrolled: identity and policy
    // state are dropped. Leftover temporary files of killed writers are
    // removed from the file's directory first.
    ProtectionState load() override;
    // Hands the token to the token store, then replaces the file atomically;
    // the file has mode 0600 from the moment it exists and carries
    // "deviceToken":"" when a token store holds the token.
    void save(const ProtectionState& state) override;

    const std::filesystem::path url;
    const std::shared_ptr<TokenStore> tokenStore;
};

class InMemoryStateStore final : public StateStore {
public:
    ProtectionState load() override { return state; }
    void save(const ProtectionState& newState) override {
        state = newState;
        ++saves;
    }

    ProtectionState state;
    std::int64_t saves = 0;
};

}  // namespace brivet

#include "BrivetClient/StateStore.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {
namespace {

using namespace JSONCoding;

const Json* presentMember(const Json& object, std::string_view key) {
    const Json* member = findMember(object, key);
    return (member == nullptr || member->is_null()) ? nullptr : member;
}

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
    const Json* member = presentMember(object, key);
    if (member == nullptr) return std::nullopt;
    return asString(*member, key);
}

void putIfPresent(Json& out, const char* key, const std::optional<std::string>& value) {
    if (value) out[key] = *value;
}

Json identityJSON(const DeviceIdentity& identity) {
    Json out = Json::object();
    out["deviceId"] = identity.deviceId;
    out["installationId"] = identity.installationId;
    out["deviceToken"] = identity.deviceToken;
    return out;
}

DeviceIdentity identityFromJSON(const Json& json) {
    requireObject(json, "identity");
    return DeviceIdentity{requireString(json, "deviceId"), requireString(json, "installationId"),
                          requireString(json, "deviceToken")};
}

Json releaseJSON(const GlobalReleaseRecord& record) {
    Json out = Json::object();
    out["keyId"] = record.keyId;
    out["reason"] = record.reason;
    out["effectiveAt"] = record.effectiveAt;
    out["recordedAt"] = record.recordedAt;
    return out;
}

GlobalReleaseRecord releaseFromJSON(const Json& json) {
    requireObject(json, "globalRelease");
    return GlobalReleaseRecord{requireString(json, "keyId"), requireString(json, "reason"),
                               requireString(json, "effectiveAt"), requireString(json, "recordedAt")};
}

Json clientJSON(const BrivetCore::ClientState& client) {
    Json out;
    to_json(out, client);
    return out;
}

BrivetCore::ClientState clientFromJSON(const Json& json) {
    requireObject(json, "client");
    try {
        BrivetCore::ClientState client;
        from_json(json, client);
        return client;
    } catch (const std::exception& e) {
        throw DecodingError(std::string("client: ") + e.what());
    }
}

}  // namespace

Json ProtectionState::toJSON() const {
    Json out = Json::object();
    putIfPresent(out, "installationId", installationId);
    if (identity) out["identity"] = identityJSON(*identity);
    if (client) out["client"] = clientJSON(*client);
    putIfPresent(out, "policyEnvelope", policyEnvelope);
    putIfPresent(out, "trustedTimeHighWater", trustedTimeHighWater);
    putIfPresent(out, "lastServerContact", lastServerContact);
    putIfPresent(out, "lastRejectedPolicy", lastRejectedPolicy);
    out["offlineRelease"] = offlineRelease.toJSON();
    putIfPresent(out, "offlineReleasedAt", offlineReleasedAt);
    if (globalRelease) out["globalRelease"] = releaseJSON(*globalRelease);
    return out;
}

ProtectionState ProtectionState::fromJSON(const Json& json) {
    requireObject(json, "state");
    ProtectionState state;
    state.installationId = stringMember(json, "installationId");
    if (const Json* identity = presentMember(json, "identity")) state.identity = identityFromJSON(*identity);
    if (const Json* client = presentMember(json, "client")) state.client = clientFromJSON(*client);
    state.policyEnvelope = stringMember(json, "policyEnvelope");
    state.trustedTimeHighWater = stringMember(json, "trustedTimeHighWater");
    state.lastServerContact = stringMember(json, "lastServerContact");
    state.lastRejectedPolicy = stringMember(json, "lastRejectedPolicy");
    const Json* offline = presentMember(json, "offlineRelease");
    if (offline == nullptr) throw DecodingError("missing key \"offlineRelease\"");
    state.offlineRelease = OfflineReleaseAccumulator::fromJSON(*offline);
    state.offlineReleasedAt = stringMember(json, "offlineReleasedAt");
    if (const Json* release = presentMember(json, "globalRelease")) {
        state.globalRelease = releaseFromJSON(*release);
    }
    return state;
}

namespace {

std::string kindWord(StateFileError::Kind kind) {
    switch (kind) {
    case StateFileError::Kind::read: return "cannot read";
    case StateFileError::Kind::decode: return "cannot decode";
    case StateFileError::Kind::encode: return "cannot encode";
    case StateFileError::Kind::write: return "cannot write";
    }
    return "cannot use";
}

}  // namespace

StateFileError::StateFileError(Kind kind, const std::filesystem::path& path, const std::string& reason)
    : std::runtime_error(kindWord(kind) + " state file " + path.string() + ": " + reason), kind_(kind) {}

ProtectionState FileStateStore::load() {
    // Temporary files of writers that were killed mid-write would stay for
    // ever: opening the store clears them out of its directory.
    removeStaleTemporaryFiles(url.parent_path().empty() ? std::filesystem::path(".") : url.parent_path());

    std::string text;
    try {
        if (!readRegularFile(url, text)) return ProtectionState{};
    } catch (const std::exception& e) {
        throw StateFileError(StateFileError::Kind::read, url, e.what());
    }

    ProtectionState state;
    try {
        state = ProtectionState::fromJSON(JSONCoding::parse(text));
    } catch (const std::exception& e) {
        throw StateFileError(StateFileError::Kind::decode, url, e.what());
    }

    if (state.identity && tokenStore) {
        if (std::optional<std::string> token = tokenStore->load()) {
            state.identity->deviceToken = std::move(*token);
        } else {
            // The token is gone: the device no longer counts as enrolled.
            state.identity.reset();
            state.client.reset();
            state.policyEnvelope.reset();
        }
    }
    return state;
}

void FileStateStore::save(const ProtectionState& state) {
    const bool tokenApart = state.identity.has_value() && tokenStore != nullptr;

    // Encoded before the token store is touched, so that a state that cannot
    // be written never replaces the stored token.
    std::string text;
    try {
        Json json = state.toJSON();
        if (tokenApart) json["identity"]["deviceToken"] = "";
        text = JSONCoding::plainEncode(json);
    } catch (const std::exception& e) {
        throw StateFileError(StateFileError::Kind::encode, url, e.what());
    }

    if (tokenApart) tokenStore->save(state.identity->deviceToken);

    try {
        // Parents are created (0700); the file is 0600 from its creation.
        atomicWrite(url, text);
    } catch (const std::exception& e) {
        throw StateFileError(StateFileError::Kind::write, url, e.what());
    }
}

}  // namespace brivet

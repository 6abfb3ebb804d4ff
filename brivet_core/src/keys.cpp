#include "keys.h"

#include <algorithm>
#include <cstring>

namespace brivet::core::keys {
namespace {

using json::Value;

bool isDuplicateAt(const std::vector<json::Duplicate>& duplicates, const std::vector<std::string>& path,
                   std::initializer_list<std::string_view> known) {
    for (const auto& d : duplicates) {
        if (d.path == path && std::find(known.begin(), known.end(), d.key) != known.end()) return true;
    }
    return false;
}

// One pinned key: an object {"id","public","state"?} or an array
// [id, public, state]. `path` locates it for the duplicate check.
std::optional<PinnedKey> readKey(const Value& v, const std::vector<json::Duplicate>& duplicates,
                                 const std::vector<std::string>& path) {
    const Value *id, *pub, *state;
    if (v.is_object()) {
        if (isDuplicateAt(duplicates, path, {"id", "public", "state"})) return std::nullopt;
        id = json::member(v, "id");
        pub = json::member(v, "public");
        state = json::member(v, "state");
    } else if (v.is_array() && v.size() == 3) {
        id = &v[0];
        pub = &v[1];
        state = &v[2];
    } else {
        return std::nullopt;
    }
    if (!json::text(id) || !json::text(pub)) return std::nullopt;
    PinnedKey key{*json::text(id), *json::text(pub), std::nullopt};
    if (state && !state->is_null()) {
        if (!state->is_string()) return std::nullopt;
        key.state = state->get<std::string>();
    }
    return key;
}

bool readList(const Value* list, const std::vector<json::Duplicate>& duplicates, const std::string& name,
              std::vector<PinnedKey>& out) {
    if (!list) return true;  // a missing list is empty
    if (!list->is_array()) return false;
    for (size_t i = 0; i < list->size(); ++i) {
        auto key = readKey((*list)[i], duplicates, {name, std::to_string(i)});
        if (!key) return false;
        out.push_back(std::move(*key));
    }
    return true;
}

}  // namespace

std::optional<PinnedKeys> read(const Value& document, const std::vector<json::Duplicate>& duplicates) {
    PinnedKeys keys;
    if (document.is_object()) {
        if (isDuplicateAt(duplicates, {}, {"policy_keys", "release_keys"})) return std::nullopt;
        if (!readList(json::member(document, "policy_keys"), duplicates, "policy_keys", keys.policyKeys) ||
            !readList(json::member(document, "release_keys"), duplicates, "release_keys", keys.releaseKeys))
            return std::nullopt;
        return keys;
    }
    if (document.is_array() && document.size() <= 2) {
        // [policy list, release list]; lists left off at the end are empty.
        const Value* policy = document.size() > 0 ? &document[0] : nullptr;
        const Value* release = document.size() > 1 ? &document[1] : nullptr;
        if (!readList(policy, duplicates, "0", keys.policyKeys) ||
            !readList(release, duplicates, "1", keys.releaseKeys))
            return std::nullopt;
        return keys;
    }
    return std::nullopt;
}

std::optional<ed25519::PublicKey> lookup(const std::vector<PinnedKey>& keys, std::string_view keyId) {
    auto it = std::find_if(keys.begin(), keys.end(), [&](const PinnedKey& k) { return k.id == keyId; });
    if (it == keys.end()) return std::nullopt;
    auto bytes = b64_decode(it->publicKey);
    if (!bytes || bytes->size() != 32) return std::nullopt;
    ed25519::PublicKey key;
    std::memcpy(key.data(), bytes->data(), key.size());
    if (!ed25519::isValidPoint(key)) return std::nullopt;
    return key;
}

}  // namespace brivet::core::keys

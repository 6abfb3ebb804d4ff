// The pinned-key document, key lookup and base64url.
#pragma once

#include "ed25519.h"
#include "json.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brivet::core::keys {

struct PinnedKey {
    std::string id;
    std::string publicKey;             // base64url, checked only on lookup
    std::optional<std::string> state;  // read and type-checked, never consulted
};

struct PinnedKeys {
    std::vector<PinnedKey> policyKeys;
    std::vector<PinnedKey> releaseKeys;
};

// Reads the key document from a parsed value, with the repeated keys that
// the parse reported. nullopt when the document is not valid.
std::optional<PinnedKeys> read(const json::Value& document, const std::vector<json::Duplicate>& duplicates);

// The verifying key of the first entry whose id equals `keyId` byte for
// byte; nullopt when there is none or its "public" is not base64url of a
// valid 32-byte compressed Edwards point. Later entries with the same id are
// never tried.
std::optional<ed25519::PublicKey> lookup(const std::vector<PinnedKey>& keys, std::string_view keyId);

// base64url (RFC 4648 section 5). Decoding accepts no padding, canonical
// padding or fewer "=" than canonical, and requires the unused low bits of
// the last character to be zero. Encoding writes no padding.
std::optional<std::vector<uint8_t>> b64_decode(std::string_view text);
std::string b64_encode(std::span<const uint8_t> bytes);

}  // namespace brivet::core::keys

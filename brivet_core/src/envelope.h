// The signed envelope shared by policies, releases and attestations.
#pragma once

#include "errors.h"
#include "json.h"
#include "keys.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace brivet::core::envelope {

struct Verified {
    std::string keyId;                  // copy of "key_id"
    std::vector<uint8_t> payloadBytes;  // exactly as decoded and signed
    json::Value payload;                // always an object
};

// Checks the envelope against `keys`. The failure is one of
// malformed_envelope, unknown_key, bad_encoding, bad_signature,
// payload_not_json, decided by the first step that fails.
std::variant<Verified, Code> verify(const json::Value& envelope, const std::vector<keys::PinnedKey>& keys);

// True when `value` is an integer (no fraction) equal to 1: the "v" check of
// every payload.
bool isVersionOne(const json::Value* value);

}  // namespace brivet::core::envelope

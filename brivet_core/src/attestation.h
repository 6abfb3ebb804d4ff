// Time attestations.
#pragma once

#include "envelope.h"
#include "json.h"

#include <string_view>

namespace brivet::core::attestation {

// The payload checks after the envelope was verified with the policy keys.
// Returns the whole reply object, success or failure.
json::Value verify(const envelope::Verified& verified, std::string_view deviceId, std::string_view nonce);

}  // namespace brivet::core::attestation

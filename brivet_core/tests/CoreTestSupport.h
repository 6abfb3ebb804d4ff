// Helpers for tests of the core library's C interface.
#pragma once

#include "TestSigning.h"
#include "brivet_core.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>

namespace brivet::testing {

// Takes ownership of a reply and returns its text ("<null>" for NULL).
inline std::string take(char* reply) {
    std::string text = reply ? reply : "<null>";
    brivet_core_string_free(reply);
    return text;
}

// The "error" member of a reply text, or "ok" for a success reply.
inline std::string codeOf(const std::string& replyText) {
    auto value = nlohmann::json::parse(replyText);
    if (value.at("ok").get<bool>()) return "ok";
    return value.at("error").get<std::string>();
}
inline std::string codeOf(char* reply) { return codeOf(take(reply)); }

// Every code a failure reply may carry.
inline const std::set<std::string> kFailureCodes = {
    "invalid_state",      "invalid_envelope_json", "invalid_keys",   "invalid_now",           "invalid_argument",
    "malformed_envelope", "unknown_key",           "bad_encoding",   "bad_signature",         "payload_not_json",
    "unknown_type",       "device_mismatch",       "rollback",       "conflicting_duplicate", "weaker_without_release",
    "release_too_early",  "not_effective_until",   "client_too_old", "malformed_certificate", "nonce_mismatch",
    "malformed_attestation"};

}  // namespace brivet::testing

// The reply vocabulary of the core library.
#pragma once

#include <cstdint>

namespace brivet::core {

enum class Code : uint8_t {
    invalid_state,
    invalid_envelope_json,
    invalid_keys,
    invalid_now,
    invalid_argument,
    // Envelope failures, in the order the envelope steps check them.
    malformed_envelope,
    unknown_key,
    bad_encoding,
    bad_signature,
    payload_not_json,
    // Policy failures continue the envelope list.
    unknown_type,
    device_mismatch,
    rollback,
    conflicting_duplicate,
    weaker_without_release,
    release_too_early,
    // Release and attestation failures.
    not_effective_until,
    client_too_old,
    malformed_certificate,
    nonce_mismatch,
    malformed_attestation,
    internal,
};

constexpr const char* codeText(Code code) {
    switch (code) {
        case Code::invalid_state: return "invalid_state";
        case Code::invalid_envelope_json: return "invalid_envelope_json";
        case Code::invalid_keys: return "invalid_keys";
        case Code::invalid_now: return "invalid_now";
        case Code::invalid_argument: return "invalid_argument";
        case Code::malformed_envelope: return "malformed_envelope";
        case Code::unknown_key: return "unknown_key";
        case Code::bad_encoding: return "bad_encoding";
        case Code::bad_signature: return "bad_signature";
        case Code::payload_not_json: return "payload_not_json";
        case Code::unknown_type: return "unknown_type";
        case Code::device_mismatch: return "device_mismatch";
        case Code::rollback: return "rollback";
        case Code::conflicting_duplicate: return "conflicting_duplicate";
        case Code::weaker_without_release: return "weaker_without_release";
        case Code::release_too_early: return "release_too_early";
        case Code::not_effective_until: return "not_effective_until";
        case Code::client_too_old: return "client_too_old";
        case Code::malformed_certificate: return "malformed_certificate";
        case Code::nonce_mismatch: return "nonce_mismatch";
        case Code::malformed_attestation: return "malformed_attestation";
        case Code::internal: return "internal";
    }
    return "internal";
}

}  // namespace brivet::core

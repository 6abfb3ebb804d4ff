#include "envelope.h"

#include <string_view>

namespace brivet::core::envelope {

std::variant<Verified, Code> verify(const json::Value& envelope, const std::vector<keys::PinnedKey>& keys) {
    if (!envelope.is_object()) return Code::malformed_envelope;
    const std::string* alg = json::text(json::member(envelope, "alg"));
    if (!alg || *alg != std::string_view("Ed25519")) return Code::malformed_envelope;
    const std::string* keyId = json::text(json::member(envelope, "key_id"));
    if (!keyId) return Code::malformed_envelope;
    const std::string* payloadB64 = json::text(json::member(envelope, "payload_b64"));
    if (!payloadB64) return Code::malformed_envelope;
    const std::string* sigB64 = json::text(json::member(envelope, "sig"));
    if (!sigB64) return Code::malformed_envelope;

    const auto key = keys::lookup(keys, *keyId);
    if (!key) return Code::unknown_key;

    auto payload = keys::b64_decode(*payloadB64);
    if (!payload) return Code::bad_encoding;
    const auto sig = keys::b64_decode(*sigB64);
    if (!sig) return Code::bad_encoding;
    if (sig->size() != 64) return Code::bad_signature;
    if (!ed25519::verify(*key, *payload, std::span<const uint8_t, 64>(sig->data(), 64)))
        return Code::bad_signature;

    auto parsed = json::parse(std::string_view(reinterpret_cast<const char*>(payload->data()), payload->size()));
    if (!parsed || !parsed->is_object()) return Code::payload_not_json;
    return Verified{*keyId, std::move(*payload), std::move(*parsed)};
}

bool isVersionOne(const json::Value* value) {
    const auto v = json::int64Of(value);
    return v && *v == 1;
}

}  // namespace brivet::core::envelope

#pragma once
// Helpers shared by the device-service tests: an independent base64url
// decoder and Ed25519 verification with OpenSSL against published keys.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace devtest {

inline std::optional<std::string> b64urlDecode(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
        else if (c == '+' || c == '/' || c == '=') return std::nullopt;
    }
    while (standard.size() % 4 != 0) standard += '=';
    std::string out(standard.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(standard.data()),
                            static_cast<int>(standard.size()));
    if (n < 0) return std::nullopt;
    std::size_t pad = 0;
    for (auto it = standard.rbegin(); it != standard.rend() && *it == '='; ++it) ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

inline bool ed25519Verify(std::string_view publicKey, std::string_view message,
                          std::string_view signature) {
    if (publicKey.size() != 32 || signature.size() != 64) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(publicKey.data()),
                                    publicKey.size()),
        &EVP_PKEY_free);
    if (!key) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

// Verifies a signed envelope against the key list ("policy_keys" or
// "release_keys") of a pinned-keys document and returns the payload bytes.
inline std::optional<std::string> verifyEnvelope(const std::string& envelopeText,
                                                 const std::string& pinnedKeys,
                                                 const std::string& list) {
    auto env = nlohmann::json::parse(envelopeText, nullptr, false);
    auto keys = nlohmann::json::parse(pinnedKeys, nullptr, false);
    if (!env.is_object() || env.value("alg", "") != "Ed25519") return std::nullopt;
    for (const auto& key : keys[list]) {
        if (key["id"] != env["key_id"]) continue;
        auto pub = b64urlDecode(key["public"].get<std::string>());
        auto payload = b64urlDecode(env["payload_b64"].get<std::string>());
        auto sig = b64urlDecode(env["sig"].get<std::string>());
        if (!pub || !payload || !sig) return std::nullopt;
        if (!ed25519Verify(*pub, *payload, *sig)) return std::nullopt;
        return payload;
    }
    return std::nullopt;
}

}  // namespace devtest

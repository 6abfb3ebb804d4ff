// Test-support signing for envelopes of the core library: Ed25519 key pairs
// generated at test time with OpenSSL, base64url without padding, and signed
// envelope texts. Header-only; link OpenSSL::Crypto.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brivet::testing {

struct EvpPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

// base64url (RFC 4648 section 5) without padding.
inline std::string b64url(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t v = byte(i) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        uint32_t v = (byte(i) << 16) | (byte(i + 1) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
    }
    return out;
}

inline std::string b64url(const std::vector<uint8_t>& bytes) {
    return b64url(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// An Ed25519 key pair for tests. `id` is the identifier envelopes name.
struct TestKey {
    std::string id;
    std::array<uint8_t, 32> seed{};
    std::array<uint8_t, 32> pub{};
    PkeyPtr pkey;

    std::string publicB64() const {
        return b64url(std::string_view(reinterpret_cast<const char*>(pub.data()), pub.size()));
    }
    // The pinned-key object {"id":...,"public":...}.
    std::string pinnedJson() const { return "{\"id\":\"" + id + "\",\"public\":\"" + publicB64() + "\"}"; }

    std::vector<uint8_t> sign(std::string_view message) const {
        std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree> ctx(EVP_MD_CTX_new());
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
            throw std::runtime_error("EVP_DigestSignInit failed");
        std::vector<uint8_t> sig(64);
        size_t len = sig.size();
        if (EVP_DigestSign(ctx.get(), sig.data(), &len,
                           reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
            len != 64)
            throw std::runtime_error("EVP_DigestSign failed");
        return sig;
    }
};

namespace detail {
inline TestKey finishKey(std::string id, PkeyPtr pkey) {
    if (!pkey) throw std::runtime_error("Ed25519 key creation failed");
    TestKey key;
    key.id = std::move(id);
    size_t len = key.seed.size();
    if (EVP_PKEY_get_raw_private_key(pkey.get(), key.seed.data(), &len) != 1 || len != 32)
        throw std::runtime_error("EVP_PKEY_get_raw_private_key failed");
    len = key.pub.size();
    if (EVP_PKEY_get_raw_public_key(pkey.get(), key.pub.data(), &len) != 1 || len != 32)
        throw std::runtime_error("EVP_PKEY_get_raw_public_key failed");
    key.pkey = std::move(pkey);
    return key;
}
}  // namespace detail

// A fresh random key pair.
inline TestKey generateKey(std::string id) {
    std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        throw std::runtime_error("Ed25519 key generation failed");
    return detail::finishKey(std::move(id), PkeyPtr(raw));
}

// A deterministic key pair from a 32-byte seed (for fixed fuzz seeds).
inline TestKey keyFromSeed(std::string id, const std::array<uint8_t, 32>& seed) {
    return detail::finishKey(std::move(id),
                             PkeyPtr(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size())));
}

// A signed envelope text over `payload`, naming `keyId` (the key's own id when empty).
inline std::string signedEnvelope(const TestKey& key, std::string_view payload, std::string keyId = {}) {
    if (keyId.empty()) keyId = key.id;
    return "{\"alg\":\"Ed25519\",\"key_id\":\"" + keyId + "\",\"payload_b64\":\"" + b64url(payload) +
           "\",\"sig\":\"" + b64url(key.sign(payload)) + "\"}";
}

// A key document {"policy_keys":[...],"release_keys":[...]}.
inline std::string keyDocument(const std::vector<const TestKey*>& policyKeys,
                               const std::vector<const TestKey*>& releaseKeys) {
    auto list = [](const std::vector<const TestKey*>& keys) {
        std::string out = "[";
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i) out += ',';
            out += keys[i]->pinnedJson();
        }
        return out + "]";
    };
    return "{\"policy_keys\":" + list(policyKeys) + ",\"release_keys\":" + list(releaseKeys) + "}";
}

}  // namespace brivet::testing

#pragma once
// Test helper: an Ed25519 key generated at test time that signs envelopes the
// way the device service does.
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "BrivetCore/BrivetCore.h"

namespace bridge_test {

inline std::string base64url(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) | std::uint8_t(bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t n = std::uint8_t(bytes[i]) << 16;
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
    } else if (rest == 2) {
        std::uint32_t n = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
    }
    return out;
}

class Signer {
public:
    explicit Signer(std::string id) : id_(std::move(id)), key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {
        if (!key_) throw std::runtime_error("Ed25519 key generation failed");
    }

    const std::string& id() const { return id_; }

    brivet::PinnedKeys::Key pinned() const {
        unsigned char raw[32];
        std::size_t length = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key_.get(), raw, &length) != 1 || length != 32) {
            throw std::runtime_error("cannot read public key");
        }
        return {id_, base64url(std::string_view(reinterpret_cast<char*>(raw), length)), std::nullopt};
    }

    std::string sign(std::string_view payload) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        unsigned char sig[64];
        std::size_t length = sizeof sig;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(ctx.get(), sig, &length, reinterpret_cast<const unsigned char*>(payload.data()),
                           payload.size()) != 1) {
            throw std::runtime_error("signing failed");
        }
        return std::string(reinterpret_cast<char*>(sig), length);
    }

    // The envelope text for these exact payload bytes.
    std::string envelopeOfBytes(std::string_view payload) const {
        nlohmann::json env = {{"alg", "Ed25519"},
                              {"key_id", id_},
                              {"payload_b64", base64url(payload)},
                              {"sig", base64url(sign(payload))}};
        return env.dump();
    }

    std::string envelope(const nlohmann::json& payload) const { return envelopeOfBytes(payload.dump()); }

private:
    struct Free {
        void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    };
    std::string id_;
    std::unique_ptr<EVP_PKEY, Free> key_;
};

}  // namespace bridge_test

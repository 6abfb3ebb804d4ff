#include "SigningKey.h"

#include <array>
#include <cstdio>

#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include "BrivetClient/AtomicFile.h"
#include "keldra/DevService.h"

namespace brivet::dev {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int alphabetIndex(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

std::string hexPrefix(std::string_view bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < count; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

std::string base64urlEncode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<std::string> base64urlDecode(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v = alphabetIndex(c);
        if (v < 0) return std::nullopt;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xff);
        }
    }
    if (bits > 0 && (buffer & ((1u << bits) - 1)) != 0) return std::nullopt;
    return out;
}

SigningKey SigningKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr) throw DevServiceError("cannot generate an Ed25519 key");
    return SigningKey(key);
}

SigningKey SigningKey::fromSeed(std::string_view seed) {
    if (seed.size() != 32) throw DevServiceError("an Ed25519 private key has 32 bytes");
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(seed.data()),
        seed.size());
    if (key == nullptr) throw DevServiceError("cannot load an Ed25519 private key");
    return SigningKey(key);
}

std::string SigningKey::seed() const {
    std::array<unsigned char, 32> buf{};
    std::size_t len = buf.size();
    if (EVP_PKEY_get_raw_private_key(key_.get(), buf.data(), &len) != 1 || len != 32)
        throw DevServiceError("cannot read the Ed25519 private key");
    return std::string(reinterpret_cast<const char*>(buf.data()), len);
}

std::string SigningKey::publicKey() const {
    std::array<unsigned char, 32> buf{};
    std::size_t len = buf.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), buf.data(), &len) != 1 || len != 32)
        throw DevServiceError("cannot read the Ed25519 public key");
    return std::string(reinterpret_cast<const char*>(buf.data()), len);
}

std::string SigningKey::sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1)
        throw DevServiceError("cannot start an Ed25519 signature");
    std::array<unsigned char, 64> sig{};
    std::size_t len = sig.size();
    if (EVP_DigestSign(ctx.get(), sig.data(), &len,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        len != 64)
        throw DevServiceError("cannot make an Ed25519 signature");
    return std::string(reinterpret_cast<const char*>(sig.data()), len);
}

namespace {

std::string keyIdFor(const std::string& prefix, const SigningKey& key) {
    std::string pub = key.publicKey();
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(pub.data()), pub.size(), digest.data());
    return prefix + hexPrefix(std::string_view(reinterpret_cast<const char*>(digest.data()),
                                               digest.size()),
                              4);
}

}  // namespace

NamedKey makeNamedKey(const std::string& prefix) {
    SigningKey key = SigningKey::generate();
    std::string id = keyIdFor(prefix, key);
    return NamedKey{std::move(id), std::move(key)};
}

NamedKey loadOrCreateKey(const std::filesystem::path& dir, const std::string& file,
                         const std::string& prefix) {
    const std::filesystem::path path = dir / file;
    std::string text;
    bool exists = false;
    try {
        exists = brivet::readWholeFile(path, text);
    } catch (const std::exception& e) {
        throw DevServiceError("cannot read key file " + path.string() + ": " + e.what());
    }
    if (exists) {
        auto doc = nlohmann::json::parse(text, nullptr, false);
        if (!doc.is_object() || !doc.contains("id") || !doc["id"].is_string() ||
            !doc.contains("private") || !doc["private"].is_string())
            throw DevServiceError("key file " + path.string() + " is not a key document");
        auto seed = base64urlDecode(doc["private"].get<std::string>());
        if (!seed || seed->size() != 32)
            throw DevServiceError("key file " + path.string() + " holds no 32-byte key");
        return NamedKey{doc["id"].get<std::string>(), SigningKey::fromSeed(*seed)};
    }
    NamedKey created = makeNamedKey(prefix);
    nlohmann::json doc = {{"id", created.id},
                          {"private", base64urlEncode(created.key.seed())},
                          {"public", base64urlEncode(created.key.publicKey())}};
    try {
        brivet::AtomicWriteOptions options;
        options.mode = 0600;
        brivet::atomicWrite(path, doc.dump() + "\n", options);
    } catch (const std::exception& e) {
        throw DevServiceError("cannot write key file " + path.string() + ": " + e.what());
    }
    return created;
}

}  // namespace brivet::dev

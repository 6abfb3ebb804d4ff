#pragma once
// Ed25519 signing keys of the local device service, and the base64url coding
// its documents use (URL-safe alphabet, written without padding).

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>

namespace brivet::dev {

std::string base64urlEncode(std::string_view bytes);
// Accepts input with or without "=" padding; none on any other character.
std::optional<std::string> base64urlDecode(std::string_view text);

class SigningKey {
public:
    static SigningKey generate();
    // From the 32-byte private seed; throws DevServiceError on failure.
    static SigningKey fromSeed(std::string_view seed);

    std::string seed() const;       // 32 bytes
    std::string publicKey() const;  // 32 bytes
    std::string sign(std::string_view message) const;  // 64 bytes

private:
    struct Free {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    explicit SigningKey(EVP_PKEY* key) : key_(key, Free{}) {}
    std::shared_ptr<EVP_PKEY> key_;
};

struct NamedKey {
    std::string id;
    SigningKey key;
};

// A fresh key whose identifier is `prefix` followed by a short fingerprint.
NamedKey makeNamedKey(const std::string& prefix);
// Loads `dir/file`, or creates the key and writes it there (mode 0600,
// atomically) when the file does not exist. A file that exists but cannot be
// read is an error, never silently replaced: clients pin the old key.
NamedKey loadOrCreateKey(const std::filesystem::path& dir, const std::string& file,
                         const std::string& prefix);

}  // namespace brivet::dev

#pragma once
// The proxy keeps the device token in a plain file of its data directory
// ("device-token", mode 0600), and hands it to the device-service client
// through a holder that is filled in once the protection client exists.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/ProtectionClient.h"

namespace brivet {

// A token file that cannot be read, written, protected or removed.
class TokenFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class FileTokenStore final : public TokenStore {
public:
    explicit FileTokenStore(std::filesystem::path url) : url(std::move(url)) {}

    // None when there is no file; else its text without surrounding white
    // space and line breaks (a blank file gives the empty text). Throws
    // TokenFileError when the file cannot be read or is not UTF-8.
    std::optional<std::string> load() override;
    // Replaces the file atomically with mode 0600. The directory must exist.
    // Throws TokenFileError.
    void save(const std::string& token) override;
    // Removes the file if there is one. Throws TokenFileError.
    void deleteToken() override;

    // `text` without the Unicode white space at both ends.
    static std::string_view trimWhitespace(std::string_view text);

    const std::filesystem::path url;
};

// Where the device-service client finds the protection client that is built
// after it. Holds the client weakly: the client owns the service client,
// whose token source reads this holder.
class TokenBox {
public:
    void setClient(const std::shared_ptr<ProtectionClient>& client);
    std::shared_ptr<ProtectionClient> client() const;

    // The device token of the held client's identity; none without a client
    // or without an identity.
    std::optional<std::string> token() const;

    // A token source for DeviceAPI that reads `box` on every request.
    static DeviceAPI::TokenSource tokenSource(std::shared_ptr<TokenBox> box);

private:
    mutable std::mutex mutex_;
    std::weak_ptr<ProtectionClient> client_;
};

}  // namespace brivet

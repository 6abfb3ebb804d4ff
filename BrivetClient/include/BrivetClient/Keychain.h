#pragma once
// Storage of the device token.
//
// `TokenStore` is the seam through which the state store keeps the bearer
// token out of "state.json". `InMemoryTokenStore` holds it for the life of the
// process; `KeychainTokenStore` keeps it as one generic-password item of a
// `Keychain`, a small interface shaped like the four keychain calls
// (copy-matching, update, add, delete) that answer with a status code.
// Two keychains exist: `InMemoryKeychain` (for tests; any status can be
// injected) and `FileKeychain` (one item per file in a private directory).

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/PlatformPaths.h"

namespace brivet {

// ---------------------------------------------------------------------------
// Token stores

class TokenStore {
public:
    virtual ~TokenStore() = default;
    // The stored token, or none when there is none.
    virtual std::optional<std::string> load() = 0;
    virtual void save(const std::string& token) = 0;
    // Removes the token; removing a missing token is not an error.
    virtual void deleteToken() = 0;
};

class InMemoryTokenStore final : public TokenStore {
public:
    explicit InMemoryTokenStore(std::optional<std::string> token = std::nullopt)
        : token(std::move(token)) {}

    std::optional<std::string> load() override { return token; }
    void save(const std::string& value) override { token = value; }
    void deleteToken() override { token.reset(); }

    std::optional<std::string> token;
};

// ---------------------------------------------------------------------------
// Keychain seam

// Status codes of keychain calls.
namespace KeychainStatus {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t itemNotFound = -25300;
inline constexpr std::int32_t duplicateItem = -25299;
inline constexpr std::int32_t decodeFailed = -26275;
// Reading or writing the keychain's storage failed.
inline constexpr std::int32_t ioFailed = -36;
}  // namespace KeychainStatus

// The attributes that identify one generic-password item.
struct KeychainQuery {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
    bool useDataProtection = false;

    bool operator==(const KeychainQuery&) const = default;
};

// When the item's data may be read; only set when an item is created.
enum class KeychainAccessibility {
    afterFirstUnlockThisDeviceOnly,
};

struct KeychainCopyResult {
    std::int32_t status = KeychainStatus::success;
    // The item's data; may be absent even with success.
    std::optional<std::string> data;

    bool operator==(const KeychainCopyResult&) const = default;
};

class Keychain {
public:
    virtual ~Keychain() = default;
    // The data of the one item matching the query.
    virtual KeychainCopyResult copyMatching(const KeychainQuery& query) = 0;
    // Replaces the data of the matching item; itemNotFound when there is none.
    virtual std::int32_t update(const KeychainQuery& query, std::string_view data) = 0;
    // Creates the item; duplicateItem when it exists already.
    virtual std::int32_t add(const KeychainQuery& query, std::string_view data,
                             KeychainAccessibility accessible) = 0;
    // Removes the matching item; itemNotFound when there is none.
    virtual std::int32_t deleteItem(const KeychainQuery& query) = 0;
};

// A keychain held in memory. Every call is recorded; a status injected for a
// call is answered instead of touching the items.
class InMemoryKeychain final : public Keychain {
public:
    enum class Call { copyMatching, update, add, deleteItem };

    struct RecordedCall {
        Call call;
        KeychainQuery query;
        std::optional<std::string> data;
        std::optional<KeychainAccessibility> accessible;

        bool operator==(const RecordedCall&) const = default;
    };

    KeychainCopyResult copyMatching(const KeychainQuery& query) override;
    std::int32_t update(const KeychainQuery& query, std::string_view data) override;
    std::int32_t add(const KeychainQuery& query, std::string_view data,
                     KeychainAccessibility accessible) override;
    std::int32_t deleteItem(const KeychainQuery& query) override;

    // Answer `status` for every later `call` until cleared with none.
    void injectStatus(Call call, std::optional<std::int32_t> status);
    // Puts an item as it is, also one without data or with arbitrary bytes.
    void putItem(const KeychainQuery& query, std::optional<std::string> data);
    std::size_t itemCount() const;
    std::vector<RecordedCall> calls() const;

private:
    std::optional<std::int32_t> injected(Call call) const;

    mutable std::mutex mutex_;
    std::vector<std::pair<KeychainQuery, std::optional<std::string>>> items_;
    std::map<Call, std::int32_t> injected_;
    std::vector<RecordedCall> calls_;
};

// A keychain on disk: one item per file in `directory`. The directory is
// created with mode 0700 (and tightened to it if it exists wider); each item
// file has mode 0600 and is replaced atomically. The file holds the item's
// data; the file name is built from service, account and access group.
// Storage failures answer KeychainStatus::ioFailed. Without a directory it is
// the user's keychain folder (platform::userKeychainDirectory()).
class FileKeychain final : public Keychain {
public:
    explicit FileKeychain(std::filesystem::path directory = platform::userKeychainDirectory());

    KeychainCopyResult copyMatching(const KeychainQuery& query) override;
    std::int32_t update(const KeychainQuery& query, std::string_view data) override;
    std::int32_t add(const KeychainQuery& query, std::string_view data,
                     KeychainAccessibility accessible) override;
    std::int32_t deleteItem(const KeychainQuery& query) override;

    const std::filesystem::path& directory() const { return directory_; }
    // The file that holds the item of a query.
    std::filesystem::path itemPath(const KeychainQuery& query) const;

private:
    std::int32_t write(const KeychainQuery& query, std::string_view data);

    std::filesystem::path directory_;
};

// ---------------------------------------------------------------------------
// Keychain token store

class KeychainError : public std::exception {
public:
    KeychainError(std::int32_t status, std::string operation);

    std::int32_t status() const noexcept { return status_; }
    // "load", "update", "add" or "delete".
    const std::string& operation() const noexcept { return operation_; }
    // The text for the status: "OSStatus " and the decimal status, as this
    // platform has no text of its own for keychain statuses.
    std::string message() const;
    const char* what() const noexcept override { return message_.c_str(); }

    bool operator==(const KeychainError& other) const {
        return status_ == other.status_ && operation_ == other.operation_;
    }

private:
    std::int32_t status_;
    std::string operation_;
    std::string message_;
};

class KeychainTokenStore final : public TokenStore {
public:
    KeychainTokenStore(std::shared_ptr<Keychain> keychain, std::string service,
                       std::string account, std::optional<std::string> accessGroup,
                       bool dataProtection);

    std::optional<std::string> load() override;
    void save(const std::string& token) override;
    void deleteToken() override;

    const std::string service;
    const std::string account;
    const std::optional<std::string> accessGroup;
    const bool dataProtection;

private:
    KeychainQuery baseQuery() const;

    std::shared_ptr<Keychain> keychain_;
};

}  // namespace brivet

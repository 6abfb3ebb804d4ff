#include "BrivetClient/Keychain.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/UTF8.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivet {
namespace {

// Keeps letters, digits, "-", "_" and "~"; everything else becomes %XX, so
// the result never contains "/" or "+" and never begins with ".".
std::string encodeComponent(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '~';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool makeDirectory0700(const std::filesystem::path& dir) {
    if (dir.empty()) return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!makeDirectory0700(dir.parent_path())) return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The item directory exists, is a directory and has mode 0700.
bool preparePrivateDirectory(const std::filesystem::path& dir) {
    if (!makeDirectory0700(dir)) return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// InMemoryKeychain

std::optional<std::int32_t> InMemoryKeychain::injected(Call call) const {
    auto it = injected_.find(call);
    if (it == injected_.end()) return std::nullopt;
    return it->second;
}

KeychainCopyResult InMemoryKeychain::copyMatching(const KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::copyMatching, query, std::nullopt, std::nullopt});
    if (auto status = injected(Call::copyMatching)) return {*status, std::nullopt};
    for (const auto& [q, data] : items_) {
        if (q == query) return {KeychainStatus::success, data};
    }
    return {KeychainStatus::itemNotFound, std::nullopt};
}

std::int32_t InMemoryKeychain::update(const KeychainQuery& query, std::string_view data) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::update, query, std::string(data), std::nullopt});
    if (auto status = injected(Call::update)) return *status;
    for (auto& [q, stored] : items_) {
        if (q == query) {
            stored = std::string(data);
            return KeychainStatus::success;
        }
    }
    return KeychainStatus::itemNotFound;
}

std::int32_t InMemoryKeychain::add(const KeychainQuery& query, std::string_view data,
                                   KeychainAccessibility accessible) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::add, query, std::string(data), accessible});
    if (auto status = injected(Call::add)) return *status;
    for (const auto& item : items_) {
        if (item.first == query) return KeychainStatus::duplicateItem;
    }
    items_.emplace_back(query, std::string(data));
    return KeychainStatus::success;
}

std::int32_t InMemoryKeychain::deleteItem(const KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::deleteItem, query, std::nullopt, std::nullopt});
    if (auto status = injected(Call::deleteItem)) return *status;
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const auto& item) { return item.first == query; });
    if (it == items_.end()) return KeychainStatus::itemNotFound;
    items_.erase(it);
    return KeychainStatus::success;
}

void InMemoryKeychain::injectStatus(Call call, std::optional<std::int32_t> status) {
    std::lock_guard lock(mutex_);
    if (status) injected_[call] = *status;
    else injected_.erase(call);
}

void InMemoryKeychain::putItem(const KeychainQuery& query, std::optional<std::string> data) {
    std::lock_guard lock(mutex_);
    for (auto& [q, stored] : items_) {
        if (q == query) {
            stored = std::move(data);
            return;
        }
    }
    items_.emplace_back(query, std::move(data));
}

std::size_t InMemoryKeychain::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::vector<InMemoryKeychain::RecordedCall> InMemoryKeychain::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

// ---------------------------------------------------------------------------
// FileKeychain

FileKeychain::FileKeychain(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path FileKeychain::itemPath(const KeychainQuery& query) const {
    // "+" never occurs inside an encoded component, so the name is unambiguous;
    // an access group (even an empty one) adds a third component.
    std::string name = encodeComponent(query.service) + "+" + encodeComponent(query.account);
    if (query.accessGroup) {
        // Appended piece by piece: "+" + a temporary trips a false overlap
        // warning of GCC 12 at -O3.
        name += '+';
        name += encodeComponent(*query.accessGroup);
    }
    return directory_ / name;
}

KeychainCopyResult FileKeychain::copyMatching(const KeychainQuery& query) {
    std::string data;
    try {
        if (!readWholeFile(itemPath(query), data)) return {KeychainStatus::itemNotFound, std::nullopt};
    } catch (const std::exception&) {
        return {KeychainStatus::ioFailed, std::nullopt};
    }
    return {KeychainStatus::success, std::move(data)};
}

std::int32_t FileKeychain::write(const KeychainQuery& query, std::string_view data) {
    if (!preparePrivateDirectory(directory_)) return KeychainStatus::ioFailed;
    AtomicWriteOptions options;
    options.mode = 0600;
    options.createDirectories = false;
    try {
        atomicWrite(itemPath(query), data, options);
    } catch (const std::exception&) {
        return KeychainStatus::ioFailed;
    }
    return KeychainStatus::success;
}

std::int32_t FileKeychain::update(const KeychainQuery& query, std::string_view data) {
    struct stat st {};
    if (::lstat(itemPath(query).c_str(), &st) != 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? KeychainStatus::itemNotFound
                                                     : KeychainStatus::ioFailed;
    }
    return write(query, data);
}

std::int32_t FileKeychain::add(const KeychainQuery& query, std::string_view data,
                               KeychainAccessibility /*accessible*/) {
    // The files are private to their owner from the start; there is no
    // further notion of accessibility to keep on this platform.
    struct stat st {};
    if (::lstat(itemPath(query).c_str(), &st) == 0) return KeychainStatus::duplicateItem;
    if (errno != ENOENT && errno != ENOTDIR) return KeychainStatus::ioFailed;
    return write(query, data);
}

std::int32_t FileKeychain::deleteItem(const KeychainQuery& query) {
    if (::unlink(itemPath(query).c_str()) != 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? KeychainStatus::itemNotFound
                                                     : KeychainStatus::ioFailed;
    }
    // Make the removal itself durable.
    int dfd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        const bool synced = ::fsync(dfd) == 0;
        ::close(dfd);
        if (!synced) return KeychainStatus::ioFailed;
    }
    return KeychainStatus::success;
}

// ---------------------------------------------------------------------------
// KeychainError and KeychainTokenStore

KeychainError::KeychainError(std::int32_t status, std::string operation)
    : status_(status), operation_(std::move(operation)) {
    message_ = message();
}

std::string KeychainError::message() const {
    return "OSStatus " + std::to_string(status_);
}

KeychainTokenStore::KeychainTokenStore(std::shared_ptr<Keychain> keychain, std::string service,
                                       std::string account,
                                       std::optional<std::string> accessGroup, bool dataProtection)
    : service(std::move(service)),
      account(std::move(account)),
      accessGroup(std::move(accessGroup)),
      dataProtection(dataProtection),
      keychain_(std::move(keychain)) {}

KeychainQuery KeychainTokenStore::baseQuery() const {
    return KeychainQuery{service, account, accessGroup, dataProtection};
}

std::optional<std::string> KeychainTokenStore::load() {
    KeychainCopyResult result = keychain_->copyMatching(baseQuery());
    if (result.status == KeychainStatus::itemNotFound) return std::nullopt;
    std::int32_t status = result.status;
    if (status == KeychainStatus::success) {
        if (result.data && utf8::isValid(*result.data)) return std::move(*result.data);
        status = KeychainStatus::decodeFailed;
    }
    throw KeychainError(status, "load");
}

void KeychainTokenStore::save(const std::string& token) {
    const KeychainQuery query = baseQuery();
    const std::int32_t updated = keychain_->update(query, token);
    if (updated == KeychainStatus::success) return;
    if (updated != KeychainStatus::itemNotFound) throw KeychainError(updated, "update");
    const std::int32_t added =
        keychain_->add(query, token, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
    if (added != KeychainStatus::success) throw KeychainError(added, "add");
}

void KeychainTokenStore::deleteToken() {
    const std::int32_t status = keychain_->deleteItem(baseQuery());
    if (status == KeychainStatus::success || status == KeychainStatus::itemNotFound) return;
    throw KeychainError(status, "delete");
}

}  // namespace brivet

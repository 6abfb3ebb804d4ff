#include "keldra-proxy/FileTokenStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/RegularFile.h"
#include "BrivetClient/UTF8.h"

namespace brivet {

namespace {

// Unicode White_Space, which includes the line breaks.
bool isWhitespace(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string describe(const std::string& what, const std::filesystem::path& path, int errnum) {
    return what + " " + path.string() + ": " + std::generic_category().message(errnum);
}

}  // namespace

std::string_view FileTokenStore::trimWhitespace(std::string_view text) {
    // Leading: decode forwards.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t next = start;
        std::uint32_t codePoint = 0;
        if (!utf8::decode(text, next, codePoint) || !isWhitespace(codePoint)) break;
        start = next;
    }
    // Trailing: step back to the start of each sequence.
    std::size_t end = text.size();
    while (end > start) {
        std::size_t begin = end - 1;
        while (begin > start && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) --begin;
        std::size_t next = begin;
        std::uint32_t codePoint = 0;
        if (!utf8::decode(text, next, codePoint) || next != end || !isWhitespace(codePoint)) break;
        end = begin;
    }
    return text.substr(start, end - start);
}

std::optional<std::string> FileTokenStore::load() {
    // Token copies left by a writer that was killed mid-write go first.
    removeStaleTemporaryFiles(url.parent_path().empty() ? std::filesystem::path(".") : url.parent_path());

    std::string bytes;
    try {
        if (!readRegularFile(url, bytes)) return std::nullopt;
    } catch (const std::exception& error) {
        throw TokenFileError(std::string("cannot read the device token: ") + error.what());
    }
    if (!utf8::isValid(bytes)) {
        throw TokenFileError("the device token in " + url.string() + " is not UTF-8 text");
    }
    return std::string(trimWhitespace(bytes));
}

void FileTokenStore::save(const std::string& token) {
    try {
        AtomicWriteOptions options;
        options.mode = 0600;
        options.createDirectories = false;
        atomicWrite(url, token, options);
    } catch (const std::exception& error) {
        throw TokenFileError(std::string("cannot save the device token: ") + error.what());
    }
    if (::chmod(url.c_str(), 0600) != 0) {
        throw TokenFileError(describe("cannot protect", url, errno));
    }
}

void FileTokenStore::deleteToken() {
    if (::unlink(url.c_str()) != 0 && errno != ENOENT) {
        throw TokenFileError(describe("cannot remove", url, errno));
    }
}

void TokenBox::setClient(const std::shared_ptr<ProtectionClient>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    client_ = client;
}

std::shared_ptr<ProtectionClient> TokenBox::client() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return client_.lock();
}

std::optional<std::string> TokenBox::token() const {
    const std::shared_ptr<ProtectionClient> held = client();
    if (!held) return std::nullopt;
    const std::optional<DeviceIdentity> identity = held->identity();
    if (!identity) return std::nullopt;
    return identity->deviceToken;
}

DeviceAPI::TokenSource TokenBox::tokenSource(std::shared_ptr<TokenBox> box) {
    return [box = std::move(box)]() -> std::optional<std::string> { return box ? box->token() : std::nullopt; };
}

}  // namespace brivet

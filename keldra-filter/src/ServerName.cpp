#include "keldra-filter/ServerName.h"

#include <algorithm>
#include <optional>

namespace keldra::filter::ServerName {
namespace {

constexpr std::uint8_t kHandshakeRecord = 0x16;
constexpr std::uint8_t kClientHello = 0x01;
constexpr std::uint16_t kServerNameExtension = 0x0000;
constexpr std::uint8_t kHostNameType = 0x00;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxMethodLength = 16;

// A bounds-checked reader over one buffer; any read past the end marks it
// failed and yields zeros.
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool failed() const { return failed_; }
    std::size_t remaining() const { return failed_ ? 0 : bytes_.size() - offset_; }

    std::uint32_t number(std::size_t width) {
        if (remaining() < width) {
            failed_ = true;
            return 0;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[offset_ + i];
        offset_ += width;
        return value;
    }

    std::span<const std::uint8_t> take(std::size_t count) {
        if (remaining() < count) {
            failed_ = true;
            return {};
        }
        auto part = bytes_.subspan(offset_, count);
        offset_ += count;
        return part;
    }

    // A vector with a length prefix of `width` bytes.
    std::span<const std::uint8_t> vector(std::size_t width) { return take(number(width)); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
    bool failed_ = false;
};

// Host names travel as printable ASCII; anything else is not a name we can
// decide on.
bool plausibleName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (unsigned char c : name) {
        if (c <= 0x20 || c >= 0x7f) return false;
    }
    return true;
}

ServerNameResult nameOrNone(std::string name) {
    if (!plausibleName(name)) return ServerNameResult::none();
    return ServerNameResult::found(std::move(name));
}

std::optional<std::string> serverNameExtension(std::span<const std::uint8_t> data) {
    Cursor list(data);
    Cursor names(list.vector(2));
    while (!names.failed() && names.remaining() > 0) {
        const auto type = names.number(1);
        const auto name = names.vector(2);
        if (names.failed()) return std::nullopt;
        if (type == kHostNameType) return std::string(name.begin(), name.end());
    }
    return std::nullopt;
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// "example.com:8080" -> "example.com"; "[::1]:80" -> "[::1]".
std::string_view withoutPort(std::string_view authority) {
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        return close == std::string_view::npos ? std::string_view() : authority.substr(0, close + 1);
    }
    return authority.substr(0, authority.find(':'));
}

}  // namespace

ServerNameResult readTLS(std::span<const std::uint8_t> stream) {
    if (stream.empty()) return ServerNameResult::needMore();
    if (stream[0] != kHandshakeRecord) return ServerNameResult::none();
    if (stream.size() >= 2 && stream[1] != 0x03) return ServerNameResult::none();
    if (stream.size() < tlsRecordHeader) return ServerNameResult::needMore();
    const std::size_t recordLength = (std::size_t{stream[3]} << 8) | stream[4];
    if (recordLength == 0 || recordLength > maxTLSRecord) return ServerNameResult::none();
    if (stream.size() < tlsRecordHeader + recordLength) return ServerNameResult::needMore();

    Cursor record(stream.subspan(tlsRecordHeader, recordLength));
    if (record.number(1) != kClientHello) return ServerNameResult::none();
    const std::size_t declared = record.number(3);
    if (record.failed()) return ServerNameResult::none();
    // A ClientHello longer than its first record is read as far as that
    // record goes: the name usually comes early among the extensions.
    Cursor hello(record.take(std::min(declared, record.remaining())));
    hello.take(2 + 32);   // legacy version, random
    hello.vector(1);      // session id
    hello.vector(2);      // cipher suites
    hello.vector(1);      // compression methods
    if (hello.failed() || hello.remaining() == 0) return ServerNameResult::none();
    const std::size_t extensionsLength = hello.number(2);
    Cursor extensions(hello.take(std::min(extensionsLength, hello.remaining())));
    while (!extensions.failed() && extensions.remaining() >= 4) {
        const auto type = extensions.number(2);
        const auto data = extensions.vector(2);
        if (extensions.failed()) break;
        if (type == kServerNameExtension) {
            auto name = serverNameExtension(data);
            if (!name) return ServerNameResult::none();
            return nameOrNone(std::move(*name));
        }
    }
    return ServerNameResult::none();
}

ServerNameResult readHTTP(std::string_view stream) {
    // The method: upper-case letters, then one blank.
    std::size_t method = 0;
    while (method < stream.size() && method <= kMaxMethodLength && isUpper(stream[method])) ++method;
    if (method == stream.size()) {
        return method <= kMaxMethodLength ? ServerNameResult::needMore() : ServerNameResult::none();
    }
    if (method == 0 || method > kMaxMethodLength || stream[method] != ' ') return ServerNameResult::none();

    const std::string_view head = stream.substr(0, std::min(stream.size(), maxHTTPHead));
    std::size_t lineStart = 0;
    bool requestLine = true;
    while (true) {
        const auto end = head.find('\n', lineStart);
        if (end == std::string_view::npos) {
            return stream.size() >= maxHTTPHead ? ServerNameResult::none() : ServerNameResult::needMore();
        }
        std::string_view line = head.substr(lineStart, end - lineStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lineStart = end + 1;
        if (requestLine) {
            requestLine = false;
            const auto version = line.rfind(' ');
            if (version == std::string_view::npos || line.substr(version + 1).substr(0, 5) != "HTTP/") {
                return ServerNameResult::none();
            }
            continue;
        }
        if (line.empty()) return ServerNameResult::none();  // end of the head, no Host
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (!equalsIgnoringCase(line.substr(0, colon), "host")) continue;
        const auto name = withoutPort(trimmed(line.substr(colon + 1)));
        return nameOrNone(std::string(name));
    }
}

ServerNameResult read(std::span<const std::uint8_t> stream) {
    if (stream.empty()) return ServerNameResult::needMore();
    if (stream[0] == kHandshakeRecord) return readTLS(stream);
    return readHTTP(std::string_view(reinterpret_cast<const char*>(stream.data()), stream.size()));
}

ServerNameResult read(std::string_view stream) {
    return read(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()));
}

}  // namespace keldra::filter::ServerName

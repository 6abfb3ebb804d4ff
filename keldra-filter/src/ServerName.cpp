#include "keldra-filter/ServerName.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace keldra::filter::ServerName {
namespace {

constexpr std::uint8_t kHandshakeRecord = 0x16;
constexpr std::uint8_t kClientHello = 0x01;
constexpr std::uint16_t kServerNameExtension = 0x0000;
constexpr std::uint8_t kHostNameType = 0x00;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxMethodLength = 16;

// A reader over the start of a structure of which only a prefix may have
// arrived. Reading past the structure's declared end makes it malformed;
// reading past the bytes at hand makes it short. Either state sticks, and a
// failed read yields zeros.
class Cursor {
public:
    enum class State { ok, shortOfBytes, malformed };

    // `bytes` are the bytes at hand; `end` is where the structure ends, which
    // may lie beyond them.
    Cursor(std::span<const std::uint8_t> bytes, std::size_t end) : bytes_(bytes.first(std::min(bytes.size(), end))), end_(end) {}

    State state() const { return state_; }
    bool ok() const { return state_ == State::ok; }
    bool atEnd() const { return ok() && offset_ == end_; }
    // Whether the whole structure is at hand.
    bool whole() const { return bytes_.size() == end_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    std::uint32_t number(std::size_t width) {
        if (!claim(width)) return 0;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[offset_ + i];
        offset_ += width;
        return value;
    }

    void skip(std::size_t count) {
        if (end_ - offset_ < count) {
            fail(State::malformed);
        } else {
            offset_ += count;
        }
    }

    // The next `count` bytes as a structure of their own; they may be only
    // partly at hand.
    Cursor part(std::size_t count) {
        if (!ok() || end_ - offset_ < count) {
            fail(State::malformed);
            return Cursor({}, 0, state_);
        }
        const std::size_t atHand = offset_ < bytes_.size() ? std::min(count, bytes_.size() - offset_) : 0;
        Cursor inner(bytes_.subspan(std::min(offset_, bytes_.size()), atHand), count);
        offset_ += count;
        return inner;
    }

    // A vector with a length prefix of `width` bytes.
    Cursor vector(std::size_t width) {
        const std::size_t length = number(width);
        if (!ok()) return Cursor({}, 0, state_);
        return part(length);
    }

private:
    Cursor(std::span<const std::uint8_t> bytes, std::size_t end, State state) : bytes_(bytes), end_(end), state_(state) {}

    bool claim(std::size_t width) {
        if (!ok()) return false;
        if (end_ - offset_ < width) {
            fail(State::malformed);
        } else if (offset_ + width > bytes_.size()) {
            fail(State::shortOfBytes);
        }
        return ok();
    }
    void fail(State state) {
        if (state_ == State::ok) state_ = state;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t end_ = 0;
    std::size_t offset_ = 0;
    State state_ = State::ok;
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

// The host_name entry of a whole server_name extension.
std::optional<std::string> serverNameExtension(std::span<const std::uint8_t> data) {
    Cursor extension(data, data.size());
    Cursor names = extension.vector(2);
    while (names.ok() && !names.atEnd()) {
        const auto type = names.number(1);
        const Cursor name = names.vector(2);
        if (!names.ok()) return std::nullopt;
        if (type == kHostNameType) return std::string(name.bytes().begin(), name.bytes().end());
    }
    return std::nullopt;
}

// The handshake bytes carried by the handshake records at the start of a
// stream, joined.
struct Handshake {
    std::vector<std::uint8_t> bytes;
    // Whether more of the stream could add to `bytes`: no other record came
    // in between and the bound was not reached.
    bool open = true;
};

Handshake joinHandshakeRecords(std::span<const std::uint8_t> stream) {
    Handshake handshake;
    std::size_t offset = 0;
    while (offset < stream.size()) {
        const auto record = stream.subspan(offset);
        // Another content type, or not TLS at all, ends the handshake data.
        if (record[0] != kHandshakeRecord || (record.size() >= 2 && record[1] != 0x03)) {
            handshake.open = false;
            break;
        }
        if (record.size() < tlsRecordHeader) break;
        const std::size_t length = (std::size_t{record[3]} << 8) | record[4];
        // Empty handshake records are never sent; longer ones than a record
        // may carry are not TLS.
        if (length == 0 || length > maxTLSRecord) {
            handshake.open = false;
            break;
        }
        const std::size_t atHand = std::min(length, record.size() - tlsRecordHeader);
        const std::size_t room = maxClientHello - handshake.bytes.size();
        const auto payload = record.subspan(tlsRecordHeader, std::min(atHand, room));
        handshake.bytes.insert(handshake.bytes.end(), payload.begin(), payload.end());
        if (handshake.bytes.size() >= maxClientHello) {
            handshake.open = false;
            break;
        }
        offset += tlsRecordHeader + length;
    }
    return handshake;
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
    if (stream.size() > maxTLSStream) stream = stream.first(maxTLSStream);
    if (stream.empty()) return ServerNameResult::needMore();
    if (stream[0] != kHandshakeRecord) return ServerNameResult::none();
    const Handshake handshake = joinHandshakeRecords(stream);
    // What is still missing can come only while the handshake data is open.
    const auto waitOrNone = [&] {
        return handshake.open && stream.size() < maxTLSStream ? ServerNameResult::needMore() : ServerNameResult::none();
    };

    Cursor message(handshake.bytes, std::numeric_limits<std::size_t>::max());
    const auto type = message.number(1);
    if (message.ok() && type != kClientHello) return ServerNameResult::none();
    Cursor hello = message.vector(3);
    hello.skip(2 + 32);   // legacy version, random
    hello.vector(1);      // session id
    hello.vector(2);      // cipher suites
    hello.vector(1);      // compression methods
    if (hello.atEnd()) return ServerNameResult::none();  // no extensions
    Cursor extensions = hello.vector(2);
    while (extensions.ok() && !extensions.atEnd()) {
        const auto extensionType = extensions.number(2);
        const Cursor data = extensions.vector(2);
        if (!extensions.ok()) break;
        if (extensionType != kServerNameExtension) continue;
        // The name counts only once the whole extension is here.
        if (!data.whole()) return waitOrNone();
        auto name = serverNameExtension(data.bytes());
        if (!name) return ServerNameResult::none();
        return nameOrNone(std::move(*name));
    }
    for (const Cursor* c : {&message, &hello, &extensions}) {
        if (c->state() == Cursor::State::malformed) return ServerNameResult::none();
        if (c->state() == Cursor::State::shortOfBytes) return waitOrNone();
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

#include "keldra-filter/ServerName.h"

#include "keldra-filter/Hpack.h"

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
constexpr std::size_t kMaxAsciiNameLength = 255;
// A name in UTF-8 may take up to four bytes for each character of its
// ASCII form.
constexpr std::size_t kMaxNameLength = 4 * kMaxAsciiNameLength;
constexpr std::size_t kMaxMethodLength = 16;
constexpr std::string_view kHTTP2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::size_t kHTTP2FrameHeader = 9;
constexpr std::uint8_t kFrameHeaders = 0x1;
constexpr std::uint8_t kFramePriority = 0x2;
constexpr std::uint8_t kFrameSettings = 0x4;
constexpr std::uint8_t kFramePing = 0x6;
constexpr std::uint8_t kFrameWindowUpdate = 0x8;
constexpr std::uint8_t kFrameContinuation = 0x9;
constexpr std::uint8_t kFlagEndHeaders = 0x4;
constexpr std::uint8_t kFlagPadded = 0x8;
constexpr std::uint8_t kFlagPriority = 0x20;

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

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is
// malformed (overlong, a surrogate, beyond U+10FFFF, or cut short).
std::size_t utf8Sequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        point = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        point = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        point = (point << 6) | (byte(i) & 0x3fu);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return 0;
    return length;
}

// Host names travel as ASCII, or from some clients as raw UTF-8, which the
// rule set decides like its ASCII form. Control characters, blanks and
// malformed UTF-8 are not a name we can decide on; nor is an IPv6 literal.
bool plausibleName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '[') return false;
    bool ascii = true;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (c <= 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        }
        ascii = false;
        const std::size_t length = utf8Sequence(name.substr(i));
        // C1 controls (U+0080 to U+009F) are no part of a name either.
        if (length == 0 || (c == 0xc2 && static_cast<unsigned char>(name[i + 1]) < 0xa0)) return false;
        i += length;
    }
    return !ascii || name.size() <= kMaxAsciiNameLength;
}

ServerNameResult nameOrNone(std::string_view name) {
    if (!plausibleName(name)) return ServerNameResult::none();
    return ServerNameResult::found(std::string(name));
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

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A Host value or URL authority: the host without its port. A value with
// blanks inside (two Host values folded together) is no name.
ServerNameResult hostOrNone(std::string_view authority) {
    authority = trimmed(authority);
    if (authority.find_first_of(" \t") != std::string_view::npos) return ServerNameResult::none();
    return nameOrNone(withoutPort(authority));
}

// The authority of an absolute-form request target ("http://user@host:80/a"
// gives "host:80"), or nullopt for any other form.
std::optional<std::string_view> absoluteFormAuthority(std::string_view target) {
    const auto separator = target.find("://");
    if (separator == std::string_view::npos || separator == 0) return std::nullopt;
    for (std::size_t i = 0; i < separator; ++i) {
        const char c = target[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return std::nullopt;
    }
    std::string_view authority = target.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    return authority;
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
        return nameOrNone(*name);
    }
    for (const Cursor* c : {&message, &hello, &extensions}) {
        if (c->state() == Cursor::State::malformed) return ServerNameResult::none();
        if (c->state() == Cursor::State::shortOfBytes) return waitOrNone();
    }
    return ServerNameResult::none();
}

ServerNameResult readHTTP(std::string_view stream) {
    if (stream.size() < kHTTP2Preface.size() ? kHTTP2Preface.starts_with(stream) : stream.starts_with(kHTTP2Preface)) {
        return readHTTP2(stream);
    }
    const std::string_view head = stream.substr(0, std::min(stream.size(), maxHTTPHead));
    const auto waitOrNone = [&] {
        return stream.size() < maxHTTPHead ? ServerNameResult::needMore() : ServerNameResult::none();
    };

    // Servers skip empty lines before the request line.
    std::size_t start = 0;
    while (start < head.size() && (head[start] == '\n' || head[start] == '\r')) {
        if (head[start] == '\r' && start + 1 < head.size() && head[start + 1] != '\n') return ServerNameResult::none();
        ++start;
    }

    // The method: upper-case letters, then one blank.
    std::size_t method = start;
    while (method < head.size() && method - start <= kMaxMethodLength && isUpper(head[method])) ++method;
    if (method == head.size()) {
        return method - start <= kMaxMethodLength ? waitOrNone() : ServerNameResult::none();
    }
    if (method == start || method - start > kMaxMethodLength || head[method] != ' ') return ServerNameResult::none();

    const auto requestEnd = head.find('\n', method);
    if (requestEnd == std::string_view::npos) return waitOrNone();
    std::string_view requestLine = head.substr(method + 1, requestEnd - method - 1);
    if (!requestLine.empty() && requestLine.back() == '\r') requestLine.remove_suffix(1);
    const auto version = requestLine.rfind(' ');
    if (version == std::string_view::npos || requestLine.substr(version + 1).substr(0, 5) != "HTTP/") {
        return ServerNameResult::none();
    }
    // A request for an absolute URL names its host there, and servers take
    // it over any Host header.
    if (auto authority = absoluteFormAuthority(requestLine.substr(0, version))) return hostOrNone(*authority);

    // The first Host header decides. Its value is final only once the next
    // line has begun without a blank: a line folded onto it continues it.
    std::optional<std::string> host;
    for (std::size_t lineStart = requestEnd + 1;;) {
        const auto end = head.find('\n', lineStart);
        if (end == std::string_view::npos) {
            if (host && lineStart < head.size() && !isBlank(head[lineStart])) return hostOrNone(*host);
            return waitOrNone();
        }
        std::string_view line = head.substr(lineStart, end - lineStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lineStart = end + 1;
        if (!line.empty() && isBlank(line.front())) {
            if (host) {
                *host += ' ';
                *host += trimmed(line);
            }
            continue;
        }
        if (host) return hostOrNone(*host);
        if (line.empty()) return ServerNameResult::none();  // end of the head, no Host
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (equalsIgnoringCase(line.substr(0, colon), "host")) host = std::string(trimmed(line.substr(colon + 1)));
    }
}

ServerNameResult readHTTP2(std::string_view text) {
    const std::span<const std::uint8_t> all(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto stream = all.first(std::min(all.size(), maxHTTP2Start));
    const auto waitOrNone = [&] {
        return all.size() < maxHTTP2Start ? ServerNameResult::needMore() : ServerNameResult::none();
    };
    if (stream.size() < kHTTP2Preface.size()) return waitOrNone();

    // Frames up to the first request's whole header block: HEADERS, then
    // CONTINUATION frames of the same stream until one ends the headers.
    std::vector<std::uint8_t> block;
    std::optional<std::uint32_t> headersStream;
    for (std::size_t at = kHTTP2Preface.size();;) {
        if (stream.size() - at < kHTTP2FrameHeader) return waitOrNone();
        const auto header = stream.subspan(at, kHTTP2FrameHeader);
        const std::size_t length = std::size_t{header[0]} << 16 | std::size_t{header[1]} << 8 | header[2];
        const std::uint8_t type = header[3];
        const std::uint8_t flags = header[4];
        const std::uint32_t streamId =
            (std::uint32_t{header[5]} << 24 | std::uint32_t{header[6]} << 16 | std::uint32_t{header[7]} << 8 | header[8]) &
            0x7fffffffu;
        if (stream.size() - at - kHTTP2FrameHeader < length) return waitOrNone();
        auto payload = stream.subspan(at + kHTTP2FrameHeader, length);
        at += kHTTP2FrameHeader + length;

        if (headersStream) {
            // Nothing may come between the frames of one header block.
            if (type != kFrameContinuation || streamId != *headersStream) return ServerNameResult::none();
        } else if (type == kFrameHeaders) {
            if (streamId == 0) return ServerNameResult::none();
            std::size_t padding = 0;
            if (flags & kFlagPadded) {
                if (payload.empty()) return ServerNameResult::none();
                padding = payload[0];
                payload = payload.subspan(1);
            }
            if (flags & kFlagPriority) {
                if (payload.size() < 5) return ServerNameResult::none();
                payload = payload.subspan(5);
            }
            if (padding > payload.size()) return ServerNameResult::none();
            payload = payload.first(payload.size() - padding);
            headersStream = streamId;
        } else if (type == kFrameSettings || type == kFrameWindowUpdate || type == kFramePriority ||
                   type == kFramePing || type > kFrameContinuation) {
            continue;  // connection set-up, and frame types to be ignored
        } else {
            return ServerNameResult::none();  // data, a reset or a goaway before any request
        }
        block.insert(block.end(), payload.begin(), payload.end());
        if (!(flags & kFlagEndHeaders)) continue;

        const auto fields = hpack::decodeHeaderBlock(block);
        if (!fields) return ServerNameResult::none();
        // The :authority names the host; a request without one may carry Host.
        for (const auto* wanted : {":authority", "host"}) {
            for (const auto& field : *fields) {
                if (field.name == wanted) return hostOrNone(field.value);
            }
        }
        return ServerNameResult::none();
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

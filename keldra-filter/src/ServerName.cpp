#include "keldra-filter/ServerName.h"

#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/UTF8.h"
#include "keldra-filter/Hpack.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace keldra::filter {
using namespace ServerName;
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

// Host names travel as ASCII, or from some clients as raw UTF-8, which the
// rule set decides like its ASCII form. Control characters, blanks and
// malformed UTF-8 are not a name we can decide on.
bool plausibleName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    bool ascii = true;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (c <= 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        }
        ascii = false;
        // C1 controls (U+0080 to U+009F) are no part of a name either.
        std::uint32_t point = 0;
        if (!brivet::utf8::decode(name, i, point) || point < 0xa0) return false;
    }
    return !ascii || name.size() <= kMaxAsciiNameLength;
}

using Protocol = ServerNameResult::Protocol;

// The host_name entries of a whole server_name extension, added to `names`;
// false when the extension is malformed or a name is no host.
bool serverNames(std::span<const std::uint8_t> data, std::vector<std::string>& names) {
    Cursor extension(data, data.size());
    Cursor list = extension.vector(2);
    if (!extension.atEnd()) return false;
    while (list.ok() && !list.atEnd()) {
        const auto type = list.number(1);
        const Cursor name = list.vector(2);
        if (!list.ok()) return false;
        // Servers take no other type of name.
        if (type != kHostNameType) return false;
        std::string text(name.bytes().begin(), name.bytes().end());
        if (!plausibleName(text)) return false;
        names.push_back(std::move(text));
    }
    return list.ok();
}

// Reads a ClientHello, `whole` or cut at the bound of what is reassembled.
ServerNameResult clientHello(std::span<const std::uint8_t> bytes, bool whole) {
    // Past the bytes of a cut message lies more of it, not its end.
    Cursor message(bytes, whole ? bytes.size() : std::numeric_limits<std::size_t>::max());
    message.number(1);  // the type, a ClientHello
    Cursor hello = message.vector(3);
    hello.skip(2 + 32);   // legacy version, random
    hello.vector(1);      // session id
    hello.vector(2);      // cipher suites
    hello.vector(1);      // compression methods
    if (hello.atEnd()) return ServerNameResult::none();  // no extensions
    Cursor extensions = hello.vector(2);
    std::vector<std::string> names;
    bool cut = false;
    while (extensions.ok() && !extensions.atEnd()) {
        const auto type = extensions.number(2);
        const Cursor data = extensions.vector(2);
        if (!extensions.ok()) break;
        if (type != kServerNameExtension) continue;
        if (!data.whole()) {
            cut = true;
            break;
        }
        if (!serverNames(data.bytes(), names)) return ServerNameResult::unreadable(Protocol::tls, std::move(names));
    }
    for (const Cursor* c : {&message, &hello, &extensions}) {
        if (c->state() == Cursor::State::malformed) return ServerNameResult::unreadable(Protocol::tls, std::move(names));
        if (c->state() == Cursor::State::shortOfBytes) cut = true;
    }
    // A message too long to read whole counts by the names read before the
    // bound; without one it cannot be read.
    if (cut && names.empty()) return ServerNameResult::unreadable(Protocol::tls);
    if (names.empty()) return ServerNameResult::none();
    return ServerNameResult::found(std::move(names));
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }
// What a lenient server splits a request line at: blanks, tabs and the
// other white space of Latin-1 but the line end (NEL and the no-break space
// among them).
bool isSeparator(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == ' ' || (c >= '\t' && c <= '\r' && c != '\n') || (c >= 0x1c && c <= 0x1f) || byte == 0x85 ||
           byte == 0xa0;
}
// What servers skip before the request line: empty lines, and the white
// space a split drops.
bool isLeading(char c) { return c == '\n' || isSeparator(c); }
bool isMethodCharacter(char c) { return isUpper(c) || c == '-' || c == '_'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Adds the host of a Host value or URL authority to `names`, without
// userinfo and port ("user@example.com:8080" gives "example.com"). An
// empty value or an IPv6 literal adds nothing; false when the value cannot be a
// host (blanks inside, say, from two values folded together).
bool addHost(std::string_view authority, std::vector<std::string>& names) {
    authority = trimmed(authority);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (authority.empty()) return true;
    if (authority.front() == '[') return authority.find(']') != std::string_view::npos;
    const auto host = authority.substr(0, authority.find(':'));
    if (host.empty()) return true;
    if (!plausibleName(host)) return false;
    names.emplace_back(host);
    return true;
}

// The authority of an absolute-form request target ("http://user@host:80/a"
// gives "user@host:80"), or nullopt for any other form.
std::optional<std::string_view> absoluteFormAuthority(std::string_view target) {
    const auto separator = target.find("://");
    if (separator == std::string_view::npos || separator == 0) return std::nullopt;
    for (std::size_t i = 0; i < separator; ++i) {
        const char c = target[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) return std::nullopt;
    }
    const std::string_view authority = target.substr(separator + 3);
    return authority.substr(0, authority.find_first_of("/?#"));
}

// The words of a request line, split at runs of separators.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < line.size();) {
        while (i < line.size() && isSeparator(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isSeparator(line[i])) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool beginsAsTLS(std::span<const std::uint8_t> stream) {
    // A handshake record, or another record type with a TLS version.
    return stream[0] == kHandshakeRecord || (stream[0] >= 0x14 && stream[0] <= 0x18 && stream[1] == 0x03);
}

}  // namespace

const ServerNameResult& StartReader::feed(std::span<const std::uint8_t> stream) {
    if (result_.kind != ServerNameResult::Kind::needMore || stream.empty()) return result_;
    if (mode_ == Mode::undecided) {
        const std::string_view text(reinterpret_cast<const char*>(stream.data()), stream.size());
        if (stream[0] >= 0x14 && stream[0] <= 0x18 && stream[0] != kHandshakeRecord && stream.size() < 2) {
            return result_;
        }
        if (beginsAsTLS(stream)) {
            mode_ = Mode::tls;
        } else if (text.size() < kHTTP2Preface.size() && kHTTP2Preface.starts_with(text)) {
            return result_;
        } else {
            mode_ = text.starts_with(kHTTP2Preface) ? Mode::http2 : Mode::http;
            if (mode_ == Mode::http2) at_ = kHTTP2Preface.size();
        }
    }
    switch (mode_) {
    case Mode::tls: result_ = feedTLS(stream); break;
    case Mode::http:
        result_ = feedHTTP(std::string_view(reinterpret_cast<const char*>(stream.data()), stream.size()));
        break;
    case Mode::http2: result_ = feedHTTP2(stream); break;
    case Mode::undecided: break;
    }
    return result_;
}

ServerNameResult StartReader::feedTLS(std::span<const std::uint8_t> stream) {
    const auto unreadable = [] { return ServerNameResult::unreadable(Protocol::tls); };
    if (stream.size() > maxTLSStream) stream = stream.first(maxTLSStream);
    // The usual start: the whole ClientHello in its first record, read
    // where it lies.
    if (at_ == 0 && stream.size() >= tlsRecordHeader + 4 && stream[0] == kHandshakeRecord && stream[1] == 0x03 &&
        stream[tlsRecordHeader] == kClientHello) {
        const std::size_t record = (std::size_t{stream[3]} << 8) | stream[4];
        const std::size_t declared = 4 + (std::size_t{stream[6]} << 16 | std::size_t{stream[7]} << 8 | stream[8]);
        if (record <= maxTLSRecord && declared <= record && stream.size() >= tlsRecordHeader + declared) {
            examined_ += tlsRecordHeader + declared;
            return clientHello(stream.subspan(tlsRecordHeader, declared), true);
        }
    }
    while (at_ < stream.size()) {
        if (recordLeft_ == 0) {
            // The next record header. Another content type, or not TLS at
            // all, before the ClientHello is whole: the hello cannot be read.
            const auto header = stream.subspan(at_);
            if (header[0] != kHandshakeRecord || (header.size() >= 2 && header[1] != 0x03)) return unreadable();
            if (header.size() < tlsRecordHeader) break;
            recordLeft_ = (std::size_t{header[3]} << 8) | header[4];
            if (recordLeft_ > maxTLSRecord) return unreadable();
            at_ += tlsRecordHeader;
            examined_ += tlsRecordHeader;
            // Empty records are skipped, as servers skip them.
            continue;
        }
        const std::size_t take =
            std::min({recordLeft_, stream.size() - at_, maxClientHello - handshake_.size()});
        handshake_.insert(handshake_.end(), stream.begin() + static_cast<std::ptrdiff_t>(at_),
                          stream.begin() + static_cast<std::ptrdiff_t>(at_ + take));
        at_ += take;
        recordLeft_ -= take;
        examined_ += take;
        if (handshake_.size() < 4) continue;
        if (handshake_[0] != kClientHello) return unreadable();
        const std::size_t declared =
            4 + (std::size_t{handshake_[1]} << 16 | std::size_t{handshake_[2]} << 8 | handshake_[3]);
        const std::size_t needed = std::min(declared, maxClientHello);
        if (handshake_.size() >= needed) {
            return clientHello(std::span<const std::uint8_t>(handshake_).first(needed), declared <= maxClientHello);
        }
    }
    return stream.size() < maxTLSStream ? ServerNameResult::needMore() : unreadable();
}

void StartReader::endHost() {
    if (!host_) return;
    if (!addHost(*host_, names_)) faulty_ = true;
    host_.reset();
}

ServerNameResult StartReader::headEnd() {
    endHost();
    if (faulty_) return ServerNameResult::unreadable(Protocol::http, std::move(names_));
    if (names_.empty()) return ServerNameResult::none();
    return ServerNameResult::found(std::move(names_));
}

ServerNameResult StartReader::feedHTTP(std::string_view stream) {
    const std::string_view head = stream.substr(0, std::min(stream.size(), maxHTTPHead));
    // Short of the head's end: wait, or past the bound, it cannot be read.
    const auto waitOrUnreadable = [&] {
        if (stream.size() < maxHTTPHead) return ServerNameResult::needMore();
        endHost();
        return ServerNameResult::unreadable(Protocol::http, std::move(names_));
    };
    // The next line end from where the last look stopped.
    const auto lineEnd = [&]() -> std::optional<std::size_t> {
        const auto end = head.find('\n', at_);
        examined_ += (end == std::string_view::npos ? head.size() : end + 1) - at_;
        if (end == std::string_view::npos) {
            at_ = head.size();
            return std::nullopt;
        }
        at_ = end + 1;
        return end;
    };

    if (phase_ == Phase::leading) {
        while (at_ < head.size() && isLeading(head[at_])) ++at_;
        examined_ = at_;
        if (at_ == head.size()) return waitOrUnreadable();
        // Anything but a method is another protocol.
        if (!isUpper(head[at_])) return ServerNameResult::none();
        lineStart_ = at_;
        phase_ = Phase::method;
    }
    if (phase_ == Phase::method) {
        while (at_ < head.size() && at_ - lineStart_ <= kMaxMethodLength && isMethodCharacter(head[at_])) ++at_;
        examined_ = at_;
        if (at_ - lineStart_ > kMaxMethodLength) return ServerNameResult::none();
        if (at_ == head.size()) return waitOrUnreadable();
        if (!isSeparator(head[at_]) && head[at_] != '\n') return ServerNameResult::none();
        phase_ = Phase::requestLine;
    }
    if (phase_ == Phase::requestLine) {
        const auto end = lineEnd();
        if (!end) return waitOrUnreadable();
        const auto parts = words(head.substr(lineStart_, *end - lineStart_));
        lineStart_ = at_;
        if (parts.size() == 2 || parts.size() == 3) {
            // A request for an absolute URL names its host there.
            if (auto authority = absoluteFormAuthority(parts[1]); authority && !addHost(*authority, names_)) {
                faulty_ = true;
            }
        }
        // A simple request (a method and a target, no version) has no
        // headers to some servers, while others read headers after it:
        // where its head ends cannot be told.
        if (parts.size() != 3 || !parts[2].starts_with("HTTP/")) {
            return ServerNameResult::unreadable(Protocol::http, std::move(names_));
        }
        phase_ = Phase::headers;
    }
    // Every Host header counts. A value is whole only once the next line
    // has begun without a blank: a line folded onto it continues it.
    for (;;) {
        const auto end = lineEnd();
        if (!end) return waitOrUnreadable();
        std::string_view line = head.substr(lineStart_, *end - lineStart_);
        lineStart_ = at_;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Some servers end a header line at a lone CR, others keep it in
        // the value.
        if (line.find('\r') != std::string_view::npos) faulty_ = true;
        if (!line.empty() && isBlank(line.front())) {
            if (const auto more = trimmed(line); host_ && !more.empty()) {
                *host_ += ' ';
                *host_ += more;
            }
            continue;
        }
        endHost();
        if (line.empty()) return headEnd();
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && brivet::equalsIgnoringCase(trimmed(line.substr(0, colon)), "host")) {
            host_ = std::string(trimmed(line.substr(colon + 1)));
        }
    }
}

ServerNameResult StartReader::feedHTTP2(std::span<const std::uint8_t> all) {
    const auto stream = all.first(std::min(all.size(), maxHTTP2Start));
    const auto unreadable = [this] { return ServerNameResult::unreadable(Protocol::http, std::move(names_)); };
    const auto waitOrUnreadable = [&] {
        return all.size() < maxHTTP2Start ? ServerNameResult::needMore() : unreadable();
    };

    // Frames up to the first request's whole header block: HEADERS, then
    // CONTINUATION frames of the same stream until one ends the headers.
    for (;;) {
        if (stream.size() - at_ < kHTTP2FrameHeader) return waitOrUnreadable();
        const auto header = stream.subspan(at_, kHTTP2FrameHeader);
        const std::size_t length = std::size_t{header[0]} << 16 | std::size_t{header[1]} << 8 | header[2];
        const std::uint8_t type = header[3];
        const std::uint8_t flags = header[4];
        const std::uint32_t streamId =
            (std::uint32_t{header[5]} << 24 | std::uint32_t{header[6]} << 16 | std::uint32_t{header[7]} << 8 | header[8]) &
            0x7fffffffu;
        if (stream.size() - at_ - kHTTP2FrameHeader < length) return waitOrUnreadable();
        auto payload = stream.subspan(at_ + kHTTP2FrameHeader, length);
        at_ += kHTTP2FrameHeader + length;
        examined_ += kHTTP2FrameHeader;

        if (headersStream_) {
            // Nothing may come between the frames of one header block.
            if (type != kFrameContinuation || streamId != *headersStream_) return unreadable();
        } else if (type == kFrameHeaders) {
            if (streamId == 0) return unreadable();
            std::size_t padding = 0;
            if (flags & kFlagPadded) {
                if (payload.empty()) return unreadable();
                padding = payload[0];
                payload = payload.subspan(1);
            }
            if (flags & kFlagPriority) {
                if (payload.size() < 5) return unreadable();
                payload = payload.subspan(5);
            }
            if (padding > payload.size()) return unreadable();
            payload = payload.first(payload.size() - padding);
            headersStream_ = streamId;
        } else if (type == kFrameSettings || type == kFrameWindowUpdate || type == kFramePriority ||
                   type == kFramePing || type > kFrameContinuation) {
            continue;  // connection set-up, and frame types to be ignored
        } else {
            return unreadable();  // data, a reset or a goaway before any request
        }
        block_.insert(block_.end(), payload.begin(), payload.end());
        examined_ += payload.size();
        if (!(flags & kFlagEndHeaders)) continue;

        const auto fields = hpack::decodeHeaderBlock(block_);
        if (!fields) return unreadable();
        // Both the :authority and any host field name the host.
        for (const auto& field : *fields) {
            if ((field.name == ":authority" || field.name == "host") && !addHost(field.value, names_)) faulty_ = true;
        }
        return headEnd();
    }
}

namespace ServerName {

ServerNameResult read(std::span<const std::uint8_t> stream) { return StartReader().feed(stream); }

ServerNameResult read(std::string_view stream) {
    return read(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size()));
}

}  // namespace ServerName
}  // namespace keldra::filter

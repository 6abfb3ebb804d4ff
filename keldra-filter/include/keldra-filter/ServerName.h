#pragma once
// Reads the server names a new TCP flow is for from the first bytes its
// client sends, as the receiving server reads them: the server_name entries
// of a TLS ClientHello (empty records skipped), the hosts of an HTTP/1.x
// request head (its absolute URL and every Host header), or the :authority
// and host fields of an HTTP/2 request sent with prior knowledge.
//
// A start either yields the names it carries (one blocked name blocks the
// connection: servers disagree on which name wins), or carries none (another
// protocol, or a request without a name), or began as TLS or as an HTTP
// request but cannot be read as one. It never reads outside the span and
// never asks for more than a 16 KiB ClientHello, 16 KiB of HTTP request
// head or 64 KiB of HTTP/2 start.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keldra::filter {

struct ServerNameResult {
    enum class Kind { needMore, found, none, unreadable };
    // What an unreadable start began as.
    enum class Protocol { other, tls, http };

    Kind kind = Kind::needMore;
    // Every name the start carries, in the order sent: letter case kept, a
    // port and userinfo cut off; ASCII or well-formed UTF-8. An IPv6
    // literal is no name. An unreadable start keeps the names read before
    // the fault.
    std::vector<std::string> names;
    Protocol protocol = Protocol::other;

    static ServerNameResult needMore() { return {}; }
    static ServerNameResult none() { return {Kind::none, {}, Protocol::other}; }
    static ServerNameResult found(std::string name) { return {Kind::found, {std::move(name)}, Protocol::other}; }
    static ServerNameResult found(std::vector<std::string> names) {
        return {Kind::found, std::move(names), Protocol::other};
    }
    static ServerNameResult unreadable(Protocol protocol, std::vector<std::string> names = {}) {
        return {Kind::unreadable, std::move(names), protocol};
    }

    bool operator==(const ServerNameResult&) const = default;
};

namespace ServerName {

// The largest TLS record payload (2^14 bytes).
inline constexpr std::size_t maxTLSRecord = 16384;
// The TLS record header in front of each record.
inline constexpr std::size_t tlsRecordHeader = 5;
// The longest ClientHello (handshake message, its 4-byte header included)
// that is reassembled; a name beyond it is not read.
inline constexpr std::size_t maxClientHello = 16384;
// The most stream bytes such a ClientHello can take: split into records of
// one byte each, every byte comes with a record header.
inline constexpr std::size_t maxTLSStream = maxClientHello * (tlsRecordHeader + 1);
// The longest HTTP request head (request line and headers) that is read.
inline constexpr std::size_t maxHTTPHead = 16384;
// The longest start of an HTTP/2 stream (client preface, connection set-up
// frames, the first request's header block) that is read.
inline constexpr std::size_t maxHTTP2Start = 65536;
// The most bytes of a stream's start that the reader ever needs.
inline constexpr std::size_t maxNeeded = std::max({maxTLSStream, maxHTTPHead, maxHTTP2Start});

// The whole reading of one start at once.
ServerNameResult read(std::span<const std::uint8_t> stream);
ServerNameResult read(std::string_view stream);

}  // namespace ServerName

// Reads one connection's start as it grows, packet by packet, and keeps
// what it has read: each call looks only at the bytes that came since the
// last, so reading a start costs in all what reading it once does.
class StartReader {
public:
    // `stream` is the contiguous start so far; earlier calls saw a prefix of
    // it. Once a call gives anything but needMore, every later one gives the
    // same. The result lives as long as the reader.
    const ServerNameResult& feed(std::span<const std::uint8_t> stream);

    // The stream bytes looked at so far, a measure of the work done.
    std::size_t bytesRead() const noexcept { return examined_; }

private:
    enum class Mode { undecided, tls, http, http2 };
    enum class Phase { leading, method, requestLine, headers };

    ServerNameResult feedTLS(std::span<const std::uint8_t> stream);
    ServerNameResult feedHTTP(std::string_view stream);
    ServerNameResult feedHTTP2(std::span<const std::uint8_t> stream);
    ServerNameResult headEnd();
    void endHost();

    Mode mode_ = Mode::undecided;
    ServerNameResult result_;
    std::size_t examined_ = 0;
    std::size_t at_ = 0;  // the next stream byte to look at
    std::vector<std::string> names_;
    bool faulty_ = false;  // a name that is no host was seen
    // TLS: handshake bytes still to come in the current record, and the
    // handshake data joined so far.
    std::size_t recordLeft_ = 0;
    std::vector<std::uint8_t> handshake_;
    // HTTP/1: where the current line starts, and a Host value that a
    // folded line may still continue.
    Phase phase_ = Phase::leading;
    std::size_t lineStart_ = 0;
    std::optional<std::string> host_;
    // HTTP/2: the header block of the first request so far.
    std::vector<std::uint8_t> block_;
    std::optional<std::uint32_t> headersStream_;
};

}  // namespace keldra::filter

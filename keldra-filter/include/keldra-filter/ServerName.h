#pragma once
// Reads the server name a new TCP flow is for from the first bytes its client
// sends: the server_name extension of a TLS ClientHello, the host of an
// HTTP/1.x request (its absolute URL, else its Host header), or the
// :authority of an HTTP/2 request sent with prior knowledge.
//
// The reader is a pure function of the bytes seen so far (the contiguous
// start of the client's stream). It says whether it found a name, whether the
// bytes can never yield one, or whether it needs more of the stream. It never
// reads outside the span and never asks for more than the first TLS record
// (at most 16 KiB of handshake data) or 16 KiB of HTTP request head.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace keldra::filter {

struct ServerNameResult {
    enum class Kind { needMore, found, none };

    Kind kind = Kind::needMore;
    // The name as sent (found only): letter case kept, an HTTP port and
    // userinfo cut off; ASCII or well-formed UTF-8. An IPv6 literal is no
    // name.
    std::string name;

    static ServerNameResult needMore() { return {Kind::needMore, {}}; }
    static ServerNameResult none() { return {Kind::none, {}}; }
    static ServerNameResult found(std::string name) { return {Kind::found, std::move(name)}; }

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

ServerNameResult read(std::span<const std::uint8_t> stream);
ServerNameResult read(std::string_view stream);

// The TLS path alone (handshake records holding a ClientHello).
ServerNameResult readTLS(std::span<const std::uint8_t> stream);
// The HTTP path alone (a request line, then header lines; or the HTTP/2
// client preface).
ServerNameResult readHTTP(std::string_view stream);
// HTTP/2 with prior knowledge: the client preface, then frames.
ServerNameResult readHTTP2(std::string_view stream);

}  // namespace ServerName
}  // namespace keldra::filter

#pragma once
// Builders of the bytes the content filter sees: TLS ClientHellos with their
// extensions in any order, and IPv4/IPv6 TCP packets around a payload.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keldra::filter::test {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline Bytes extension(std::uint16_t type, const Bytes& data) {
    Bytes out;
    put16(out, type);
    put16(out, data.size());
    append(out, data);
    return out;
}

inline Bytes serverNameExtension(std::string_view name) {
    Bytes entry{0x00};
    put16(entry, name.size());
    entry.insert(entry.end(), name.begin(), name.end());
    Bytes list;
    put16(list, entry.size());
    append(list, entry);
    return extension(0x0000, list);
}

// A ClientHello in one TLS record; `extensions` in the order given.
inline Bytes clientHello(const std::vector<Bytes>& extensions) {
    Bytes body{0x03, 0x03};
    body.insert(body.end(), 32, 0xab);      // random
    body.push_back(32);                      // session id
    body.insert(body.end(), 32, 0x11);
    put16(body, 4);                          // cipher suites
    append(body, {0x13, 0x01, 0x13, 0x02});
    append(body, {0x01, 0x00});              // compression: null
    Bytes all;
    for (const auto& e : extensions) append(all, e);
    put16(body, all.size());
    append(body, all);
    Bytes handshake{0x01, static_cast<std::uint8_t>(body.size() >> 16)};
    put16(handshake, body.size());
    append(handshake, body);
    Bytes record{0x16, 0x03, 0x01};
    put16(record, handshake.size());
    append(record, handshake);
    return record;
}

// A ClientHello for `name` with a padding extension of `padding` bytes put
// before the server name, so that the name comes late in a large record.
inline Bytes clientHelloFor(std::string_view name, std::size_t padding = 0) {
    std::vector<Bytes> extensions;
    extensions.push_back(extension(0x002b, {0x02, 0x03, 0x04}));  // supported versions
    if (padding > 0) extensions.push_back(extension(0x0015, Bytes(padding, 0)));
    extensions.push_back(serverNameExtension(name));
    return clientHello(extensions);
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct Endpoints {
    int family = 4;
    std::uint16_t sourcePort = 40000;
    std::uint16_t destinationPort = 443;
};

// An IP packet holding one TCP segment (its checksum left 0). Flags: 0x02
// SYN, 0x01 FIN, 0x04 RST, 0x18 PSH|ACK, 0x10 ACK.
inline Bytes tcpPacket(const Endpoints& e, std::uint32_t sequence, const Bytes& payload,
                       std::uint8_t flags = 0x18) {
    Bytes tcp;
    put16(tcp, e.sourcePort);
    put16(tcp, e.destinationPort);
    for (int shift = 24; shift >= 0; shift -= 8) tcp.push_back(static_cast<std::uint8_t>(sequence >> shift));
    tcp.insert(tcp.end(), 4, 0);    // ack
    tcp.push_back(0x50);            // data offset 5
    tcp.push_back(flags);
    put16(tcp, 65535);
    tcp.insert(tcp.end(), 4, 0);    // checksum, urgent
    append(tcp, payload);
    Bytes ip;
    if (e.family == 4) {
        ip = {0x45, 0x00};
        put16(ip, 20 + tcp.size());
        ip.insert(ip.end(), {0, 0, 0x40, 0, 64, 6, 0, 0, 10, 0, 0, 1, 93, 184, 216, 34});
    } else {
        ip = {0x60, 0, 0, 0};
        put16(ip, tcp.size());
        ip.push_back(6);
        ip.push_back(64);
        Bytes source(16, 0), destination(16, 0);
        source[0] = 0xfd; source[15] = 1;
        destination[0] = 0x20; destination[1] = 0x01; destination[2] = 0x0d; destination[3] = 0xb8; destination[15] = 2;
        append(ip, source);
        append(ip, destination);
    }
    append(ip, tcp);
    return ip;
}

// `packet` (as tcpPacket builds it) with its TCP checksum filled in.
inline Bytes withChecksum(Bytes packet) {
    const bool v4 = (packet[0] >> 4) == 4;
    const std::size_t header = v4 ? std::size_t{packet[0] & 0x0fu} * 4 : 40;
    const std::size_t addresses = v4 ? 12 : 8, addressBytes = v4 ? 8 : 32;
    std::uint32_t sum = 6 + static_cast<std::uint32_t>(packet.size() - header);
    const auto word = [&](std::size_t at) { return std::uint32_t{packet[at]} << 8 | packet[at + 1]; };
    for (std::size_t i = 0; i < addressBytes; i += 2) sum += word(addresses + i);
    packet[header + 16] = packet[header + 17] = 0;
    for (std::size_t i = header; i + 1 < packet.size(); i += 2) sum += word(i);
    if ((packet.size() - header) % 2 != 0) sum += std::uint32_t{packet.back()} << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    packet[header + 16] = static_cast<std::uint8_t>(~sum >> 8);
    packet[header + 17] = static_cast<std::uint8_t>(~sum);
    return packet;
}

// The handshake bytes of `records` (handshake records only) resplit into
// records of at most `size` bytes each.
inline Bytes inRecordsOf(const Bytes& records, std::size_t size) {
    Bytes handshake;
    for (std::size_t at = 0; at + 5 <= records.size();) {
        const std::size_t length = std::size_t{records[at + 3]} << 8 | records[at + 4];
        handshake.insert(handshake.end(), records.begin() + static_cast<std::ptrdiff_t>(at + 5),
                         records.begin() + static_cast<std::ptrdiff_t>(at + 5 + length));
        at += 5 + length;
    }
    Bytes out;
    for (std::size_t at = 0; at < handshake.size(); at += size) {
        const std::size_t length = std::min(size, handshake.size() - at);
        append(out, {0x16, 0x03, 0x01});
        put16(out, length);
        out.insert(out.end(), handshake.begin() + static_cast<std::ptrdiff_t>(at),
                   handshake.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    return out;
}

}  // namespace keldra::filter::test

#include "keldra-filter/Packet.h"

#include <algorithm>

namespace keldra::filter {
namespace {

constexpr std::uint8_t kTCP = 6;
constexpr std::size_t kIPv4Header = 20;
constexpr std::size_t kIPv6Header = 40;
constexpr std::size_t kTCPHeader = 20;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::optional<TCPSegment> parseTCP(std::span<const std::uint8_t> tcp, TCPSegment segment) {
    if (tcp.size() < kTCPHeader) return std::nullopt;
    const std::size_t headerLength = std::size_t{static_cast<std::uint8_t>(tcp[12] >> 4)} * 4;
    if (headerLength < kTCPHeader || headerLength > tcp.size()) return std::nullopt;
    segment.sourcePort = be16(&tcp[0]);
    segment.destinationPort = be16(&tcp[2]);
    segment.sequence = be32(&tcp[4]);
    const std::uint8_t flags = tcp[13];
    segment.fin = (flags & 0x01) != 0;
    segment.syn = (flags & 0x02) != 0;
    segment.rst = (flags & 0x04) != 0;
    segment.ack = (flags & 0x10) != 0;
    segment.urg = (flags & 0x20) != 0;
    segment.segment = tcp;
    segment.payload = tcp.subspan(headerLength);
    return segment;
}

std::optional<TCPSegment> parseIPv4(std::span<const std::uint8_t> packet) {
    if (packet.size() < kIPv4Header) return std::nullopt;
    const std::size_t headerLength = std::size_t{static_cast<std::uint8_t>(packet[0] & 0x0f)} * 4;
    const std::size_t total = be16(&packet[2]);
    if (headerLength < kIPv4Header || total < headerLength || headerLength > packet.size()) return std::nullopt;
    if (packet[9] != kTCP) return std::nullopt;
    if ((be16(&packet[6]) & 0x1fff) != 0) return std::nullopt;  // not the first fragment
    TCPSegment segment;
    segment.family = 4;
    std::copy(&packet[12], &packet[16], segment.source.begin());
    std::copy(&packet[16], &packet[20], segment.destination.begin());
    // A segmentation-offloaded packet may say 0 or less than it holds.
    const std::size_t end = total > headerLength && total <= packet.size() ? total : packet.size();
    return parseTCP(packet.subspan(headerLength, end - headerLength), segment);
}

std::optional<TCPSegment> parseIPv6(std::span<const std::uint8_t> packet) {
    if (packet.size() < kIPv6Header) return std::nullopt;
    TCPSegment segment;
    segment.family = 6;
    std::copy(&packet[8], &packet[24], segment.source.begin());
    std::copy(&packet[24], &packet[40], segment.destination.begin());
    const std::size_t payloadLength = be16(&packet[4]);
    std::size_t end = payloadLength > 0 && kIPv6Header + payloadLength <= packet.size()
                          ? kIPv6Header + payloadLength : packet.size();
    std::uint8_t next = packet[6];
    std::size_t offset = kIPv6Header;
    for (int hops = 0; hops < 8; ++hops) {
        if (next == kTCP) return parseTCP(packet.subspan(offset, end - offset), segment);
        if (offset + 8 > end) return std::nullopt;
        switch (next) {
        case 0:   // hop-by-hop options
        case 43:  // routing
        case 60:  // destination options
            next = packet[offset];
            offset += (std::size_t{packet[offset + 1]} + 1) * 8;
            break;
        case 44:  // fragment
            if ((be16(&packet[offset + 2]) & 0xfff8) != 0) return std::nullopt;
            next = packet[offset];
            offset += 8;
            break;
        default:
            return std::nullopt;
        }
        if (offset > end) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool TCPSegment::checksumValid() const noexcept {
    // One's complement sum of 16-bit words: the pseudo-header (addresses,
    // protocol, segment length), then the segment with its checksum field;
    // a valid segment sums to all ones.
    std::uint64_t sum = 0;
    const std::size_t addressLength = family == 4 ? 4 : 16;
    for (std::size_t i = 0; i < addressLength; i += 2) {
        sum += be16(&source[i]);
        sum += be16(&destination[i]);
    }
    sum += kTCP;
    sum += segment.size();
    const std::size_t even = segment.size() & ~std::size_t{1};
    for (std::size_t i = 0; i < even; i += 2) sum += be16(&segment[i]);
    if (segment.size() != even) sum += std::uint32_t{segment[even]} << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

std::optional<TCPSegment> parseTCPPacket(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return std::nullopt;
    switch (packet[0] >> 4) {
    case 4: return parseIPv4(packet);
    case 6: return parseIPv6(packet);
    default: return std::nullopt;
    }
}

}  // namespace keldra::filter

#pragma once
// The parts of an outbound IPv4 or IPv6 packet that the content filter needs:
// the TCP endpoints, the sequence number, the flags, the payload and the
// checksum.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace keldra::filter {

struct TCPSegment {
    int family = 4;  // 4 or 6
    // Addresses in network order; an IPv4 address fills the first 4 bytes.
    std::array<std::uint8_t, 16> source{};
    std::array<std::uint8_t, 16> destination{};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequence = 0;
    bool syn = false;
    bool fin = false;
    bool rst = false;
    bool ack = false;
    bool urg = false;  // the urgent pointer is in force
    // Point into the packet given to parseTCPPacket: the whole segment
    // (header included) and its payload.
    std::span<const std::uint8_t> segment;
    std::span<const std::uint8_t> payload;

    // The TCP checksum over the pseudo-header and the segment holds.
    bool checksumValid() const noexcept;
};

// The TCP segment of an IP packet, or nothing for anything else: other
// protocols, truncated headers, and IP fragments other than the first.
std::optional<TCPSegment> parseTCPPacket(std::span<const std::uint8_t> packet);

}  // namespace keldra::filter

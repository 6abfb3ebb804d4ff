#pragma once
// The parts of an outbound IPv4 or IPv6 packet that the content filter needs:
// the TCP endpoints, the sequence number, the flags and the payload.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
    // Points into the packet given to parseTCPPacket.
    std::span<const std::uint8_t> payload;

    std::string destinationText() const;
};

// The TCP segment of an IP packet, or nothing for anything else: other
// protocols, truncated headers, and IP fragments other than the first.
std::optional<TCPSegment> parseTCPPacket(std::span<const std::uint8_t> packet);

}  // namespace keldra::filter

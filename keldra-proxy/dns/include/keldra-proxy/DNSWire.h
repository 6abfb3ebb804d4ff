#pragma once
// Small pieces of DNS on the wire shared by the listener, the forwarder and
// the upstream attempt: the transports, TCP framing, and the key that ties a
// reply (or a looping query) to the query it belongs to.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace brivet {

using DNSBytes = std::vector<std::uint8_t>;

// The transport a query arrived on, and the one it is forwarded on.
enum class DNSTransport { udp, tcp };

// Largest DNS message: what a two-byte TCP length can announce.
constexpr std::size_t kMaxDNSMessage = 65535;

// A message behind its two-byte big-endian length, as DNS over TCP sends it.
DNSBytes dnsFramed(std::span<const std::uint8_t> message);

// The first question as raw wire data: the name's labels with ASCII letters
// folded to lower case, its type and its class. Replies carry the question
// they answer written the same way, so the key compares both.
struct DNSQuestionKey {
    std::string name;  // length-prefixed labels, lower-cased, without the root byte
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;

    bool operator==(const DNSQuestionKey&) const = default;
    auto operator<=>(const DNSQuestionKey&) const = default;

    // The first question of any message (query or reply), or nothing when
    // the header counts none or it is not fully written without compression.
    static std::optional<DNSQuestionKey> of(std::span<const std::uint8_t> message);
};

// What a reply must repeat of the query it answers: the ID, and the first
// question when the query has one that can be read.
class DNSQueryKey {
public:
    // Nothing for a message too short to hold a header.
    static std::optional<DNSQueryKey> of(std::span<const std::uint8_t> query);

    std::uint16_t id() const noexcept { return id_; }
    const std::optional<DNSQuestionKey>& question() const noexcept { return question_; }

    // True when `reply` carries this query's ID and, when the query has a
    // readable question, the same question without regard to letter case.
    bool answeredBy(std::span<const std::uint8_t> reply) const;

private:
    std::uint16_t id_ = 0;
    std::optional<DNSQuestionKey> question_;
};

}  // namespace brivet

#pragma once
// The content filter's per-flow logic, free of any packet queue. It sees the
// outbound TCP packets with payload of connections not yet decided, and
// answers each at once:
//
// - A packet on a connection it has not seen that does not begin a TLS
//   ClientHello or an HTTP request head (a connection picked up mid-stream,
//   one open before the filter started) is allowed.
// - The leading pieces of a ClientHello or request head pass unmarked while
//   a copy is kept (at most ServerName::maxNeeded bytes), so a client's
//   later small writes are never held back by packets waiting in the queue.
//   The server cannot answer a ClientHello or request head it has only
//   partly received.
// - The packet that completes the server name decides the connection:
//   allowed, or blocked (that packet is refused and the client reset).
// - A blocked connection stays blocked by address and port for as long as a
//   client may resend, independent of the kernel's tracking entry.
// - A new connection on a port pair used before (a client may reuse one at
//   once) is read afresh: the chain tells which connections began with a
//   SYN it saw, and the start of such a connection's stream at another
//   sequence number than the decided one is a new start.
// - A connection whose start stays incomplete for the hold time, or that is
//   pushed out of a full table, is blocked rather than let through unread.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <span>
#include <unordered_map>
#include <vector>

#include "BrivetClient/FlowFilter.h"
#include "keldra-filter/Packet.h"

namespace keldra::filter {

// What to do with one queued packet.
enum class PacketAction {
    pass,   // let it go unmarked; the connection is not decided yet
    allow,  // the connection is allowed: let it go and stop queueing it
    block,  // the connection is blocked: refuse the packet and reset it
};

class FlowTracker {
public:
    using Clock = std::chrono::steady_clock;
    // Called once per connection that has a readable name; drop blocks it.
    using Decide = std::function<brivet::FlowAction(const brivet::FlowDescription&)>;

    struct Limits {
        // Undecided connections tracked at once; when a new one needs room,
        // the one idle longest is blocked.
        std::size_t maxFlows = 4096;
        // How long an undecided connection may send nothing new before it
        // is blocked.
        std::chrono::milliseconds holdTimeout{5000};
        // How long an allow is remembered for packets already queued.
        std::chrono::milliseconds decisionMemory{10000};
        // How long, and how many, blocked connections are remembered (a
        // client may resend for about 15 minutes).
        std::chrono::milliseconds blockedMemory{std::chrono::minutes(16)};
        std::size_t maxBlocked = 65536;
        // The bytes kept of all undecided starts together; past it, the
        // connections idle longest are blocked.
        std::size_t maxBufferedBytes = 64u << 20;
    };

    explicit FlowTracker(Decide decide) : FlowTracker(std::move(decide), Limits{}) {}
    FlowTracker(Decide decide, Limits limits);

    // The verdict for one packet (an IPv4 or IPv6 packet). `fresh`: its
    // connection began with a SYN while the chain stood (see
    // FirewallMarks::fresh); a connection picked up mid-stream is not fresh.
    PacketAction onPacket(std::span<const std::uint8_t> packet, Clock::time_point now, bool fresh = false);

    // Blocks the connections idle past the hold time and forgets old
    // decisions, oldest first.
    void expire(Clock::time_point now);

    // Forgets everything (at shutdown).
    void clear();

    std::size_t undecidedFlows() const noexcept { return flows_.size(); }
    std::size_t blockedFlows() const noexcept { return blocked_.size(); }
    std::size_t bufferedBytes() const noexcept { return bufferedBytes_; }

private:
    struct Key {
        int family = 4;
        std::array<std::uint8_t, 16> source{};
        std::array<std::uint8_t, 16> destination{};
        std::uint16_t sourcePort = 0;
        std::uint16_t destinationPort = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };
    struct Flow {
        std::uint32_t base = 0;                 // sequence number of the stream's first byte
        std::vector<std::uint8_t> stream;       // the contiguous start
        std::map<std::uint32_t, std::vector<std::uint8_t>> ahead;  // pieces past a gap, by offset
        std::size_t bytes = 0;                  // kept in `stream` and `ahead`
        Clock::time_point lastActive;
        std::list<Key>::iterator age;
    };
    // A decision kept for a port pair: its serial number, and the sequence
    // number its stream started at.
    struct Remembered {
        std::uint64_t serial = 0;
        std::uint32_t base = 0;
    };
    // Decisions in the order they were taken; an entry is current while its
    // map entry carries the same serial number.
    struct Dated {
        Key key;
        Clock::time_point at;
        std::uint64_t serial = 0;
    };

    void addPiece(Flow& flow, std::uint32_t sequence, std::span<const std::uint8_t> payload);
    void dropFlow(const Key& key);
    PacketAction decideStart(const Key& key, const TCPSegment& segment, std::span<const std::uint8_t> stream);
    PacketAction finish(Key key, PacketAction action, Clock::time_point now, std::uint32_t base);
    void remember(const Key& key, PacketAction action, Clock::time_point now, std::uint32_t base);
    const Remembered* remembered(const Key& key) const;
    void forget(const Key& key);

    Decide decide_;
    Limits limits_;
    std::unordered_map<Key, Flow, KeyHash> flows_;
    std::list<Key> ages_;  // least recently active first
    std::size_t bufferedBytes_ = 0;
    std::uint64_t serial_ = 0;
    std::unordered_map<Key, Remembered, KeyHash> allowed_;
    std::deque<Dated> allowedOrder_;
    std::unordered_map<Key, Remembered, KeyHash> blocked_;
    std::deque<Dated> blockedOrder_;
};

}  // namespace keldra::filter

#pragma once
// The content filter's per-flow logic, free of any packet queue. It sees the
// SYNs of new outbound connections and the outbound TCP packets with payload
// of connections not yet decided, and answers each at once:
//
// - A SYN opens a connection: it tells where the connection's stream starts
//   (the byte after the SYN's sequence number). What was known of an earlier
//   connection on the same port pair no longer applies.
// - The bytes at the start of an opened connection's stream are always read
//   before it is allowed. The leading pieces of a ClientHello or request
//   head pass unmarked while a copy is kept (at most ServerName::maxNeeded
//   bytes), so a client's later small writes are never held back by packets
//   waiting in the queue; so does a piece that comes past a gap (its start
//   was dropped at a full queue, say): the server's TCP hands nothing on to
//   its program before the start has arrived, and the start is read here
//   first. The server cannot answer a ClientHello or request head it has
//   only partly received.
// - The packet that completes the start decides the connection: allowed
//   (another protocol at once, without a hold), or blocked (that packet is
//   refused and the client reset). One blocked name among those the start
//   carries blocks it. On port 443 a start that begins as TLS but cannot be
//   read is blocked, and so is one on port 80 that begins as an HTTP
//   request but cannot be read.
// - A connection to port 80 or 443 whose start carries a segment with URG
//   set is blocked: the server's TCP takes the urgent byte out of the
//   stream, unless the server keeps it inline, so what the server reads
//   cannot be known here.
// - A segment its server would throw away is never taken as stream bytes:
//   one whose TCP checksum is wrong (checked where the kernel has filled it
//   in), and one without ACK that is not a SYN.
// - A connection whose SYN a reader of the queue saw (the chain marks it
//   fresh), but whose start is not known here, is blocked: its SYN was read
//   by an earlier daemon, or it waited longer than the memory of opened
//   connections lasts. It is never let through unread.
// - A connection picked up mid-stream (open before the filter started, or
//   begun while no reader bound the queue) is read when its first packet
//   begins a ClientHello or request head, and allowed otherwise.
// - A blocked connection stays blocked by address and port for as long as a
//   client may resend, independent of the kernel's tracking entry.
// - A connection whose start stays incomplete for the hold time, or that is
//   pushed out of a full table, is blocked rather than let through unread.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "BrivetClient/FlowFilter.h"
#include "keldra-filter/Packet.h"
#include "keldra-filter/ServerName.h"

namespace keldra::filter {

// What to do with one queued packet.
enum class PacketAction {
    pass,    // let it go unmarked; the connection is not decided yet
    opened,  // a SYN that was read: let it go, its connection marked fresh
    allow,   // the connection is allowed: let it go and stop queueing it
    block,   // the connection is blocked: refuse the packet and reset it
};

// Decides a connection by the name its start carries.
class FlowDecider {
public:
    virtual ~FlowDecider() = default;
    virtual brivet::FlowAction decide(const brivet::FlowDescription& flow) = 0;
};

// What the kernel tells of a queued packet besides its bytes.
struct PacketContext {
    // Its connection began with a SYN that a reader of the queue saw (see
    // FirewallMarks::fresh).
    bool fresh = false;
    // The kernel filled in its TCP checksum, so the checksum is checked (a
    // local packet handed over before segmentation has none yet).
    bool checksumFilled = false;
};

class FlowTracker {
public:
    using Clock = std::chrono::steady_clock;

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
        // How long, and how many, opened connections that have sent nothing
        // yet are remembered; one forgotten is blocked when it sends.
        std::chrono::milliseconds openedMemory{std::chrono::minutes(30)};
        std::size_t maxOpened = 131072;
    };

    explicit FlowTracker(FlowDecider& decider) : FlowTracker(decider, Limits{}) {}
    FlowTracker(FlowDecider& decider, Limits limits);
    ~FlowTracker();

    FlowTracker(const FlowTracker&) = delete;
    FlowTracker& operator=(const FlowTracker&) = delete;

    // The verdict for one packet (an IPv4 or IPv6 packet).
    PacketAction onPacket(std::span<const std::uint8_t> packet, Clock::time_point now, PacketContext context = {});

    // Blocks the connections idle past the hold time and forgets old
    // decisions, oldest first.
    void expire(Clock::time_point now);

    // Forgets everything (at shutdown).
    void clear();

    std::size_t undecidedFlows() const noexcept { return ages_.size(); }
    std::size_t blockedFlows() const noexcept { return counts_[static_cast<std::size_t>(Stage::blocked)]; }
    std::size_t openedFlows() const noexcept { return counts_[static_cast<std::size_t>(Stage::opened)]; }
    std::size_t bufferedBytes() const noexcept { return bufferedBytes_; }

private:
    struct Key {
        // Addresses as words in network byte order; IPv4 fills the first
        // four bytes of the first word.
        std::array<std::uint64_t, 2> source{};
        std::array<std::uint64_t, 2> destination{};
        std::uint32_t ports = 0;  // source << 16 | destination
        std::uint32_t family = 4;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };
    enum class Stage : std::uint8_t { opened, reading, allowed, blocked };
    // The start of a stream being read.
    struct Reading {
        std::vector<std::uint8_t> stream;       // the contiguous start
        std::map<std::uint32_t, std::vector<std::uint8_t>> ahead;  // pieces past a gap, by offset
        std::size_t bytes = 0;                  // kept in `stream` and `ahead`
        StartReader reader;                     // what was read of `stream`
        Clock::time_point lastActive;
        std::list<Key>::iterator age;
    };
    struct Entry {
        Stage stage = Stage::opened;
        std::uint32_t base = 0;    // sequence number of the stream's first byte
        std::uint64_t serial = 0;  // of its place in its stage's order
        bool midStream = false;    // picked up without its SYN
        std::unique_ptr<Reading> reading;
    };
    using Table = std::unordered_map<Key, Entry, KeyHash>;
    // Entries in the order they took their stage; one is current while the
    // entry still carries the same serial number.
    struct Dated {
        Key key;
        Clock::time_point at;
        std::uint64_t serial = 0;
    };

    static Key keyOf(const TCPSegment& segment) noexcept;
    void addPiece(Reading& reading, std::uint32_t offset, std::span<const std::uint8_t> payload);
    PacketAction decideStart(const Key& key, bool midStream, StartReader& reader, std::span<const std::uint8_t> stream);
    PacketAction startReading(Table::iterator entry, const TCPSegment& segment, Clock::time_point now);
    PacketAction read(Table::iterator entry, const TCPSegment& segment, Clock::time_point now);
    // Puts an entry in a stage and in that stage's order; returns `action`.
    PacketAction settle(Table::iterator entry, Stage stage, Clock::time_point now);
    PacketAction finish(Table::iterator entry, PacketAction action, Clock::time_point now);
    void stopReading(Entry& entry);
    void erase(Table::iterator entry);
    void trim(Stage stage, std::size_t limit);
    std::deque<Dated>& order(Stage stage) { return orders_[static_cast<std::size_t>(stage)]; }

    FlowDecider& decider_;
    Limits limits_;
    Table table_;
    std::list<Key> ages_;  // connections being read, least recently active first
    std::size_t bufferedBytes_ = 0;
    std::uint64_t serial_ = 0;
    std::array<std::deque<Dated>, 4> orders_;  // by stage; the reading stage uses ages_
    std::array<std::size_t, 4> counts_{};      // entries by stage
};

}  // namespace keldra::filter

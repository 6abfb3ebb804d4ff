#pragma once
// The content filter's per-flow logic, free of any packet queue: it takes the
// outbound packets of new TCP flows, holds each flow's data packets until the
// server name can be read from the start of its stream (a whole first TLS
// record, or an HTTP request head), asks for the flow's verdict once, and
// answers every held packet with it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
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
    pass,   // let it go; the flow is not decided (no data yet)
    allow,  // the flow is allowed: let it go and stop queueing the flow
    block,  // the flow is blocked: drop it and reset the flow
};

struct PacketVerdict {
    std::uint32_t packetId = 0;
    PacketAction action = PacketAction::pass;

    bool operator==(const PacketVerdict&) const = default;
};

class FlowTracker {
public:
    using Clock = std::chrono::steady_clock;
    // Called once per flow that has a readable name; drop blocks the flow.
    using Decide = std::function<brivet::FlowAction(const brivet::FlowDescription&)>;

    struct Limits {
        // Flows held at once; the oldest is let go when a new one needs room.
        std::size_t maxFlows = 4096;
        // How long a flow's packets are held waiting for the rest of its
        // first record or request head; then it is let go without a name.
        std::chrono::milliseconds holdTimeout{3000};
        // How long a decision is remembered for packets already queued.
        std::chrono::milliseconds decisionMemory{10000};
    };

    explicit FlowTracker(Decide decide) : FlowTracker(std::move(decide), Limits{}) {}
    FlowTracker(Decide decide, Limits limits);

    // The verdicts that can be given now: none while the packet is held.
    std::vector<PacketVerdict> onPacket(std::uint32_t packetId, std::span<const std::uint8_t> packet,
                                        Clock::time_point now);

    // Lets go of the flows held too long, and forgets old decisions.
    std::vector<PacketVerdict> expire(Clock::time_point now);

    // Lets go of every held flow (at shutdown).
    std::vector<PacketVerdict> releaseAll();

    std::size_t heldFlows() const noexcept { return flows_.size(); }
    std::size_t heldPackets() const noexcept;

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
        std::uint32_t base = 0;  // sequence number of the stream's first byte
        std::map<std::uint32_t, std::vector<std::uint8_t>> segments;  // by offset from base
        std::vector<std::uint32_t> held;
        Clock::time_point firstHeld;
        std::list<Key>::iterator age;
    };
    struct Decision {
        PacketAction action;
        Clock::time_point at;
    };

    std::vector<std::uint8_t> contiguousStart(const Flow& flow) const;
    PacketAction decideFlow(const Key& key, const TCPSegment& segment, const Flow& flow, bool final);
    std::vector<PacketVerdict> finish(Key key, PacketAction action, Clock::time_point now);

    Decide decide_;
    Limits limits_;
    std::unordered_map<Key, Flow, KeyHash> flows_;
    std::list<Key> ages_;  // oldest first
    std::unordered_map<Key, Decision, KeyHash> decided_;
};

}  // namespace keldra::filter

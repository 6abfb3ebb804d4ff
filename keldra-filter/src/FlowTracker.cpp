#include "keldra-filter/FlowTracker.h"

#include "keldra-filter/ServerName.h"

#include <algorithm>

namespace keldra::filter {
namespace {

// Offsets this far past the start are not part of the start of the stream:
// they belong to data sent before the first byte we saw (a retransmission
// that wrapped below the base).
constexpr std::uint32_t kFarOffset = 1u << 30;

}  // namespace

std::size_t FlowTracker::KeyHash::operator()(const Key& key) const noexcept {
    std::size_t hash = static_cast<std::size_t>(key.family) * 1000003u;
    for (auto b : key.source) hash = hash * 131 + b;
    for (auto b : key.destination) hash = hash * 131 + b;
    return hash * 65599 + (std::size_t{key.sourcePort} << 16 | key.destinationPort);
}

FlowTracker::FlowTracker(Decide decide, Limits limits) : decide_(std::move(decide)), limits_(limits) {}

std::size_t FlowTracker::heldPackets() const noexcept {
    std::size_t count = 0;
    for (const auto& [key, flow] : flows_) count += flow.held.size();
    return count;
}

std::vector<std::uint8_t> FlowTracker::contiguousStart(const Flow& flow) const {
    std::vector<std::uint8_t> stream;
    for (const auto& [offset, bytes] : flow.segments) {
        if (offset > stream.size()) break;  // a gap
        const std::size_t skip = stream.size() - offset;
        if (skip < bytes.size()) stream.insert(stream.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end());
        if (stream.size() >= ServerName::maxNeeded) break;
    }
    if (stream.size() > ServerName::maxNeeded) stream.resize(ServerName::maxNeeded);
    return stream;
}

PacketAction FlowTracker::decideFlow(const Key& key, const TCPSegment& segment, const Flow& flow, bool final) {
    const auto stream = contiguousStart(flow);
    auto result = ServerName::read(std::span<const std::uint8_t>(stream));
    if (result.kind == ServerNameResult::Kind::needMore) {
        if (!final && stream.size() < ServerName::maxNeeded) return PacketAction::pass;  // keep holding
        result = ServerNameResult::none();
    }
    if (result.kind == ServerNameResult::Kind::none) return PacketAction::allow;
    brivet::FlowDescription description;
    description.remoteHostname = result.name;
    description.remoteAddress = segment.destinationText();
    description.remotePort = key.destinationPort;
    description.direction = brivet::FlowDescription::Direction::outbound;
    return decide_(description) == brivet::FlowAction::drop ? PacketAction::block : PacketAction::allow;
}

std::vector<PacketVerdict> FlowTracker::finish(Key key, PacketAction action, Clock::time_point now) {
    // `key` is a copy: it may name the age list entry erased below.
    std::vector<PacketVerdict> verdicts;
    auto found = flows_.find(key);
    if (found != flows_.end()) {
        for (auto id : found->second.held) verdicts.push_back({id, action});
        ages_.erase(found->second.age);
        flows_.erase(found);
    }
    decided_[key] = Decision{action, now};
    return verdicts;
}

std::vector<PacketVerdict> FlowTracker::onPacket(std::uint32_t packetId, std::span<const std::uint8_t> packet,
                                                 Clock::time_point now) {
    const auto segment = parseTCPPacket(packet);
    if (!segment) return {{packetId, PacketAction::pass}};
    const Key key{segment->family, segment->source, segment->destination, segment->sourcePort,
                  segment->destinationPort};

    if (auto known = decided_.find(key); known != decided_.end()) {
        if (!segment->syn) return {{packetId, known->second.action}};
        decided_.erase(known);  // a new flow on a reused port pair
    }

    auto found = flows_.find(key);
    if (segment->payload.empty()) {
        if (found == flows_.end() || !(segment->fin || segment->rst)) return {{packetId, PacketAction::pass}};
        // The client gave up on the start of its stream: decide on what came.
        const auto action = decideFlow(key, *segment, found->second, true);
        auto verdicts = finish(key, action, now);
        verdicts.push_back({packetId, action});
        return verdicts;
    }

    std::vector<PacketVerdict> verdicts;
    if (found == flows_.end()) {
        if (flows_.size() >= limits_.maxFlows && !ages_.empty()) {
            auto evicted = finish(ages_.front(), PacketAction::allow, now);
            verdicts.insert(verdicts.end(), evicted.begin(), evicted.end());
        }
        Flow flow;
        flow.base = segment->sequence;
        flow.firstHeld = now;
        ages_.push_back(key);
        flow.age = std::prev(ages_.end());
        found = flows_.emplace(key, std::move(flow)).first;
    }
    Flow& flow = found->second;
    const std::uint32_t offset = segment->sequence - flow.base;
    if (offset < kFarOffset && offset < ServerName::maxNeeded) {
        const std::size_t length = std::min<std::size_t>(segment->payload.size(), ServerName::maxNeeded - offset);
        auto& stored = flow.segments[offset];
        if (stored.size() < length) stored.assign(segment->payload.begin(), segment->payload.begin() + static_cast<std::ptrdiff_t>(length));
    }
    flow.held.push_back(packetId);

    const auto action = decideFlow(key, *segment, flow, false);
    if (action == PacketAction::pass) return verdicts;  // still held
    auto decided = finish(key, action, now);
    verdicts.insert(verdicts.end(), decided.begin(), decided.end());
    return verdicts;
}

std::vector<PacketVerdict> FlowTracker::expire(Clock::time_point now) {
    std::vector<PacketVerdict> verdicts;
    while (!ages_.empty()) {
        const Key key = ages_.front();
        const Flow& flow = flows_.at(key);
        if (now - flow.firstHeld < limits_.holdTimeout) break;
        // Without the rest of its start the flow has no readable name.
        auto released = finish(key, PacketAction::allow, now);
        verdicts.insert(verdicts.end(), released.begin(), released.end());
    }
    std::erase_if(decided_, [&](const auto& entry) { return now - entry.second.at >= limits_.decisionMemory; });
    return verdicts;
}

std::vector<PacketVerdict> FlowTracker::releaseAll() {
    std::vector<PacketVerdict> verdicts;
    for (const auto& [key, flow] : flows_) {
        for (auto id : flow.held) verdicts.push_back({id, PacketAction::pass});
    }
    flows_.clear();
    ages_.clear();
    decided_.clear();
    return verdicts;
}

}  // namespace keldra::filter

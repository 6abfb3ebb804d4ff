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

void FlowTracker::addPiece(Flow& flow, std::uint32_t sequence, std::span<const std::uint8_t> payload) {
    const std::size_t before = flow.bytes;
    const std::uint32_t offset = sequence - flow.base;
    if (offset < kFarOffset && offset < ServerName::maxNeeded) {
        const std::size_t length = std::min<std::size_t>(payload.size(), ServerName::maxNeeded - offset);
        const auto piece = payload.first(length);
        const auto extend = [&flow](std::size_t at, std::span<const std::uint8_t> bytes) {
            const std::size_t skip = flow.stream.size() - at;
            if (skip >= bytes.size()) return;
            flow.stream.insert(flow.stream.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end());
            flow.bytes += bytes.size() - skip;
        };
        if (offset > flow.stream.size()) {
            auto& stored = flow.ahead[offset];
            if (stored.size() < piece.size()) {
                flow.bytes += piece.size() - stored.size();
                stored.assign(piece.begin(), piece.end());
            }
        } else {
            extend(offset, piece);
            // Pieces that came ahead of a gap the new one filled.
            while (!flow.ahead.empty() && flow.ahead.begin()->first <= flow.stream.size()) {
                auto first = flow.ahead.begin();
                flow.bytes -= first->second.size();
                extend(first->first, first->second);
                flow.ahead.erase(first);
            }
        }
    }
    bufferedBytes_ = bufferedBytes_ - before + flow.bytes;
}

PacketAction FlowTracker::decideStart(const Key& key, const TCPSegment& segment, std::span<const std::uint8_t> stream) {
    auto result = ServerName::read(stream);
    if (result.kind == ServerNameResult::Kind::needMore) {
        if (stream.size() < ServerName::maxNeeded) return PacketAction::pass;
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

void FlowTracker::remember(const Key& key, PacketAction action, Clock::time_point now, std::uint32_t base) {
    const std::uint64_t serial = ++serial_;
    if (action == PacketAction::block) {
        allowed_.erase(key);
        blocked_[key] = Remembered{serial, base};
        blockedOrder_.push_back({key, now, serial});
        // Bounded: the oldest block is forgotten first.
        while (blocked_.size() > limits_.maxBlocked && !blockedOrder_.empty()) {
            const auto& oldest = blockedOrder_.front();
            if (auto found = blocked_.find(oldest.key); found != blocked_.end() && found->second.serial == oldest.serial) {
                blocked_.erase(found);
            }
            blockedOrder_.pop_front();
        }
    } else if (action == PacketAction::allow) {
        allowed_[key] = Remembered{serial, base};
        allowedOrder_.push_back({key, now, serial});
    }
}

void FlowTracker::dropFlow(const Key& key) {
    if (auto found = flows_.find(key); found != flows_.end()) {
        bufferedBytes_ -= found->second.bytes;
        ages_.erase(found->second.age);
        flows_.erase(found);
    }
}

void FlowTracker::forget(const Key& key) {
    allowed_.erase(key);
    blocked_.erase(key);
    dropFlow(key);
}

PacketAction FlowTracker::finish(Key key, PacketAction action, Clock::time_point now, std::uint32_t base) {
    // `key` is a copy: it may name the age list entry dropped here.
    dropFlow(key);
    remember(key, action, now, base);
    return action;
}

const FlowTracker::Remembered* FlowTracker::remembered(const Key& key) const {
    if (auto found = blocked_.find(key); found != blocked_.end()) return &found->second;
    if (auto found = allowed_.find(key); found != allowed_.end()) return &found->second;
    return nullptr;
}

PacketAction FlowTracker::onPacket(std::span<const std::uint8_t> packet, Clock::time_point now, bool fresh) {
    const auto segment = parseTCPPacket(packet);
    if (!segment) return PacketAction::pass;
    const Key key{segment->family, segment->source, segment->destination, segment->sourcePort,
                  segment->destinationPort};

    // A SYN opens a new connection on this port pair: what was known of an
    // earlier one no longer applies.
    if (segment->syn) forget(key);
    // Data on a SYN (Fast Open) starts after the SYN's own sequence number.
    const std::uint32_t sequence = segment->sequence + (segment->syn ? 1u : 0u);
    auto found = flows_.find(key);
    if (fresh && found == flows_.end() && !segment->payload.empty()) {
        // A connection that began with a SYN the chain saw, whose packet
        // begins a ClientHello or request head at another sequence number
        // than the decided stream on this port pair, is a new connection on
        // a reused port pair (its SYN never reached us: only packets with
        // payload are queued). What was decided for the earlier one does
        // not apply. A resend after the kernel forgot a blocked connection
        // is picked up mid-stream, so it is never fresh.
        const Remembered* known = remembered(key);
        if (known != nullptr && known->base != sequence &&
            ServerName::read(segment->payload).kind != ServerNameResult::Kind::none) {
            forget(key);
        }
    }
    if (blocked_.contains(key)) return PacketAction::block;
    if (allowed_.contains(key)) return PacketAction::allow;

    if (segment->payload.empty()) {
        // The client gave up on the start of its stream: nothing more to read.
        if (found != flows_.end() && (segment->fin || segment->rst)) {
            return finish(key, PacketAction::allow, now, found->second.base);
        }
        return PacketAction::pass;
    }

    if (found == flows_.end()) {
        const auto action = decideStart(key, *segment, segment->payload);
        // Not the start of a ClientHello or request head: a connection
        // picked up mid-stream, or another protocol.
        if (action != PacketAction::pass) return finish(key, action, now, sequence);
        if (flows_.size() >= limits_.maxFlows && !ages_.empty()) {
            const Key oldest = ages_.front();
            finish(oldest, PacketAction::block, now, flows_.at(oldest).base);
        }
        Flow flow;
        flow.base = sequence;
        ages_.push_back(key);
        flow.age = std::prev(ages_.end());
        found = flows_.emplace(key, std::move(flow)).first;
    }
    Flow& flow = found->second;
    const std::size_t before = flow.bytes;
    addPiece(flow, sequence, segment->payload);
    if (flow.bytes != before || before == 0) {
        flow.lastActive = now;
        ages_.splice(ages_.end(), ages_, flow.age);
    }
    const auto action = decideStart(key, *segment, flow.stream);
    if (action != PacketAction::pass) return finish(key, action, now, flow.base);
    // Too much kept at once: the connections idle longest make room.
    while (bufferedBytes_ > limits_.maxBufferedBytes && ages_.front() != key) {
        finish(ages_.front(), PacketAction::block, now, flows_.at(ages_.front()).base);
    }
    return action;
}

void FlowTracker::expire(Clock::time_point now) {
    while (!ages_.empty()) {
        const Key key = ages_.front();
        if (now - flows_.at(key).lastActive < limits_.holdTimeout) break;
        // The rest of its start never came: it is not let through unread.
        finish(key, PacketAction::block, now, flows_.at(key).base);
    }
    const auto drop = [now](std::deque<Dated>& order, std::unordered_map<Key, Remembered, KeyHash>& map,
                            std::chrono::milliseconds memory) {
        while (!order.empty() && now - order.front().at >= memory) {
            const auto& oldest = order.front();
            if (auto found = map.find(oldest.key); found != map.end() && found->second.serial == oldest.serial) {
                map.erase(found);
            }
            order.pop_front();
        }
    };
    drop(allowedOrder_, allowed_, limits_.decisionMemory);
    drop(blockedOrder_, blocked_, limits_.blockedMemory);
}

void FlowTracker::clear() {
    bufferedBytes_ = 0;
    flows_.clear();
    ages_.clear();
    allowed_.clear();
    allowedOrder_.clear();
    blocked_.clear();
    blockedOrder_.clear();
}

}  // namespace keldra::filter

#include "keldra-filter/FlowTracker.h"

#include "keldra-filter/ServerName.h"

#include <algorithm>
#include <cstring>

namespace keldra::filter {
namespace {

// Offsets this far past the start are not part of the start of the stream:
// they belong to data sent before the first byte we saw (a retransmission
// that wrapped below the base).
constexpr std::uint32_t kFarOffset = 1u << 30;

constexpr std::uint64_t mix(std::uint64_t value) noexcept {
    value ^= value >> 32;
    value *= 0xd6e8feb86659fd93ull;
    value ^= value >> 32;
    return value;
}

}  // namespace

std::size_t FlowTracker::KeyHash::operator()(const Key& key) const noexcept {
    // The words folded with distinct odd multipliers, then mixed once.
    std::uint64_t hash = key.source[0] * 0x9e3779b97f4a7c15ull;
    hash ^= key.source[1] * 0xc2b2ae3d27d4eb4full;
    hash ^= key.destination[0] * 0x165667b19e3779f9ull;
    hash ^= key.destination[1] * 0x27d4eb2f165667c5ull;
    hash ^= (std::uint64_t{key.ports} << 8 | key.family) * 0x85ebca77c2b2ae63ull;
    return static_cast<std::size_t>(mix(hash));
}

FlowTracker::Key FlowTracker::keyOf(const TCPSegment& segment) noexcept {
    Key key;
    std::memcpy(key.source.data(), segment.source.data(), sizeof key.source);
    std::memcpy(key.destination.data(), segment.destination.data(), sizeof key.destination);
    key.ports = std::uint32_t{segment.sourcePort} << 16 | segment.destinationPort;
    key.family = static_cast<std::uint32_t>(segment.family);
    return key;
}

FlowTracker::FlowTracker(FlowDecider& decider, Limits limits) : decider_(decider), limits_(limits) {}

FlowTracker::~FlowTracker() = default;

void FlowTracker::addPiece(Reading& reading, std::uint32_t offset, std::span<const std::uint8_t> payload) {
    const std::size_t before = reading.bytes;
    if (offset < kFarOffset && offset < ServerName::maxNeeded) {
        const std::size_t length = std::min<std::size_t>(payload.size(), ServerName::maxNeeded - offset);
        const auto piece = payload.first(length);
        const auto extend = [&reading](std::size_t at, std::span<const std::uint8_t> bytes) {
            const std::size_t skip = reading.stream.size() - at;
            if (skip >= bytes.size()) return;
            reading.stream.insert(reading.stream.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end());
            reading.bytes += bytes.size() - skip;
        };
        if (offset > reading.stream.size()) {
            auto& stored = reading.ahead[offset];
            if (stored.size() < piece.size()) {
                reading.bytes += piece.size() - stored.size();
                stored.assign(piece.begin(), piece.end());
            }
        } else {
            extend(offset, piece);
            // Pieces that came ahead of a gap the new one filled.
            while (!reading.ahead.empty() && reading.ahead.begin()->first <= reading.stream.size()) {
                auto first = reading.ahead.begin();
                reading.bytes -= first->second.size();
                extend(first->first, first->second);
                reading.ahead.erase(first);
            }
        }
    }
    bufferedBytes_ = bufferedBytes_ - before + reading.bytes;
}

PacketAction FlowTracker::decideStart(const Key& key, bool midStream, StartReader& reader,
                                      std::span<const std::uint8_t> stream) {
    using Kind = ServerNameResult::Kind;
    using Protocol = ServerNameResult::Protocol;
    const auto& result = reader.feed(stream);
    const std::uint16_t port = static_cast<std::uint16_t>(key.ports & 0xffff);
    bool unreadable = result.kind == Kind::unreadable &&
                      ((port == 443 && result.protocol == Protocol::tls) || (port == 80 && result.protocol == Protocol::http));
    if (result.kind == Kind::needMore) {
        if (stream.size() < ServerName::maxNeeded) return PacketAction::pass;
        unreadable = port == 443 || port == 80;
    }
    brivet::FlowDescription description;
    description.remotePort = port;
    description.direction = brivet::FlowDescription::Direction::outbound;
    for (const auto& name : result.names) {
        description.remoteHostname = name;
        if (decider_.decide(description) == brivet::FlowAction::drop) return PacketAction::block;
    }
    // What the filter cannot read it does not let through, unless the
    // connection was picked up mid-stream (its first bytes seen here are no
    // start at all).
    if (unreadable && !midStream) return PacketAction::block;
    // Another protocol, or a start without a name: nothing to decide by.
    return PacketAction::allow;
}

void FlowTracker::stopReading(Entry& entry) {
    if (!entry.reading) return;
    bufferedBytes_ -= entry.reading->bytes;
    ages_.erase(entry.reading->age);
    entry.reading.reset();
}

void FlowTracker::erase(Table::iterator entry) {
    stopReading(entry->second);
    --counts_[static_cast<std::size_t>(entry->second.stage)];
    table_.erase(entry);
}

void FlowTracker::trim(Stage stage, std::size_t limit) {
    auto& dated = order(stage);
    while (counts_[static_cast<std::size_t>(stage)] > limit && !dated.empty()) {
        const auto& oldest = dated.front();
        if (auto found = table_.find(oldest.key); found != table_.end() && found->second.serial == oldest.serial) {
            erase(found);
        }
        dated.pop_front();
    }
}

PacketAction FlowTracker::settle(Table::iterator entry, Stage stage, Clock::time_point now) {
    Entry& e = entry->second;
    stopReading(e);
    --counts_[static_cast<std::size_t>(e.stage)];
    ++counts_[static_cast<std::size_t>(stage)];
    e.stage = stage;
    e.serial = ++serial_;
    if (stage != Stage::reading) {
        auto& dated = order(stage);
        dated.push_back({entry->first, now, e.serial});
        // Entries that moved on stay behind in the order until they are old;
        // past twice the live ones, they go at once (the opened order would
        // otherwise hold every SYN of its whole memory).
        if (dated.size() > 2 * counts_[static_cast<std::size_t>(stage)] + 4096) {
            std::erase_if(dated, [this](const Dated& d) {
                const auto found = table_.find(d.key);
                return found == table_.end() || found->second.serial != d.serial;
            });
        }
    }
    switch (stage) {
    case Stage::opened: return PacketAction::opened;
    case Stage::reading: return PacketAction::pass;
    case Stage::allowed: return PacketAction::allow;
    case Stage::blocked: break;
    }
    // Bounded: the oldest block is forgotten first.
    trim(Stage::blocked, limits_.maxBlocked);
    return PacketAction::block;
}

PacketAction FlowTracker::finish(Table::iterator entry, PacketAction action, Clock::time_point now) {
    return settle(entry, action == PacketAction::block ? Stage::blocked : Stage::allowed, now);
}

PacketAction FlowTracker::startReading(Table::iterator entry, const TCPSegment& segment, Clock::time_point now) {
    Entry& e = entry->second;
    StartReader reader;
    const bool atStart = segment.sequence + (segment.syn ? 1u : 0u) == e.base;
    if (atStart) {
        // The common case: the whole start in the first packet.
        const auto action = decideStart(entry->first, e.midStream, reader, segment.payload);
        if (action != PacketAction::pass) return finish(entry, action, now);
    }
    if (ages_.size() >= limits_.maxFlows && !ages_.empty()) {
        finish(table_.find(ages_.front()), PacketAction::block, now);
    }
    settle(entry, Stage::reading, now);
    e.reading = std::make_unique<Reading>();
    // What was read of the first packet is the start of the stream kept.
    if (atStart) e.reading->reader = std::move(reader);
    ages_.push_back(entry->first);
    e.reading->age = std::prev(ages_.end());
    return read(entry, segment, now);
}

PacketAction FlowTracker::read(Table::iterator entry, const TCPSegment& segment, Clock::time_point now) {
    Entry& e = entry->second;
    Reading& reading = *e.reading;
    // Data on a SYN (Fast Open) starts after the SYN's own sequence number.
    const std::uint32_t offset = segment.sequence + (segment.syn ? 1u : 0u) - e.base;
    const std::size_t before = reading.bytes;
    addPiece(reading, offset, segment.payload);
    if (reading.bytes != before || before == 0) {
        reading.lastActive = now;
        ages_.splice(ages_.end(), ages_, reading.age);
    }
    const auto action = decideStart(entry->first, e.midStream, reading.reader, reading.stream);
    if (action != PacketAction::pass) return finish(entry, action, now);
    // Too much kept at once: the connections idle longest make room.
    while (bufferedBytes_ > limits_.maxBufferedBytes && ages_.front() != entry->first) {
        finish(table_.find(ages_.front()), PacketAction::block, now);
    }
    return PacketAction::pass;
}

PacketAction FlowTracker::onPacket(std::span<const std::uint8_t> packet, Clock::time_point now, PacketContext context) {
    const auto segment = parseTCPPacket(packet);
    if (!segment) return PacketAction::pass;
    // What the server's TCP throws away is no part of the stream: a wrong
    // checksum, or a segment without ACK other than a SYN (and no reset:
    // a reset ends the connection, and its bytes are not delivered).
    if (context.checksumFilled && !segment->checksumValid()) return PacketAction::pass;
    if (!segment->syn && !segment->ack) return PacketAction::pass;
    if (segment->rst) return PacketAction::pass;
    const Key key = keyOf(*segment);
    const bool urgent = segment->urg && (segment->destinationPort == 80 || segment->destinationPort == 443);

    if (segment->syn) {
        if (segment->ack) return PacketAction::pass;  // an answer, not an opening
        // A new connection on this port pair: what was known of an earlier
        // one no longer applies, and its stream starts after the SYN.
        auto [entry, created] = table_.try_emplace(key);
        if (created) ++counts_[static_cast<std::size_t>(Stage::opened)];
        entry->second.base = segment->sequence + 1;
        entry->second.midStream = false;
        settle(entry, Stage::opened, now);
        // Bounded: the connection opened longest ago is forgotten first
        // (and blocked if it ever sends).
        trim(Stage::opened, std::max<std::size_t>(limits_.maxOpened, 1));
        if (urgent) return settle(entry, Stage::blocked, now);
        if (segment->payload.empty()) return PacketAction::opened;
        const auto action = startReading(entry, *segment, now);
        return action == PacketAction::pass ? PacketAction::opened : action;
    }

    auto entry = table_.find(key);
    if (entry == table_.end()) {
        if (segment->payload.empty()) return PacketAction::pass;
        auto created = table_.try_emplace(key).first;
        ++counts_[static_cast<std::size_t>(Stage::opened)];
        // Its SYN was seen, but where its stream starts is not known here:
        // never let it through unread.
        if (context.fresh || urgent) return settle(created, Stage::blocked, now);
        // Picked up mid-stream: read when this packet begins a ClientHello
        // or request head, else let go.
        created->second.base = segment->sequence;
        created->second.midStream = true;
        return startReading(created, *segment, now);
    }

    switch (entry->second.stage) {
    case Stage::blocked: return PacketAction::block;
    case Stage::allowed: return PacketAction::allow;
    case Stage::opened:
        if (urgent) return settle(entry, Stage::blocked, now);
        if (segment->payload.empty()) return PacketAction::pass;
        return startReading(entry, *segment, now);
    case Stage::reading: break;
    }
    // Urgent data in the start: what the server reads cannot be known.
    if (urgent) return finish(entry, PacketAction::block, now);
    // A FIN alone decides nothing: a start cut short stays unread, and is
    // blocked at the hold time.
    if (segment->payload.empty()) return PacketAction::pass;
    return read(entry, *segment, now);
}

void FlowTracker::expire(Clock::time_point now) {
    while (!ages_.empty()) {
        auto entry = table_.find(ages_.front());
        if (now - entry->second.reading->lastActive < limits_.holdTimeout) break;
        // The rest of its start never came: it is not let through unread.
        finish(entry, PacketAction::block, now);
    }
    const auto drop = [this, now](Stage stage, std::chrono::milliseconds memory) {
        auto& dated = order(stage);
        while (!dated.empty() && now - dated.front().at >= memory) {
            const auto& oldest = dated.front();
            if (auto found = table_.find(oldest.key); found != table_.end() && found->second.serial == oldest.serial) {
                erase(found);
            }
            dated.pop_front();
        }
    };
    drop(Stage::allowed, limits_.decisionMemory);
    drop(Stage::blocked, limits_.blockedMemory);
    drop(Stage::opened, limits_.openedMemory);
}

void FlowTracker::clear() {
    bufferedBytes_ = 0;
    table_.clear();
    ages_.clear();
    for (auto& dated : orders_) dated.clear();
    counts_ = {};
}

}  // namespace keldra::filter

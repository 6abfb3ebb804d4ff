#include "BrivetClient/Events.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <tuple>
#include <utility>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t out;
    if (__builtin_add_overflow(a, b, &out)) return b > 0 ? kMax : kMin;
    return out;
}

void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Adds to the count of a key; repeated keys in a decoded document and runaway
// counts must not overflow.
void addCount(EventCoalescer::Counts& counts, EventCoalescer::Key key, std::int64_t amount) {
    auto [it, inserted] = counts.try_emplace(std::move(key), 0);
    it->second = saturatingAdd(it->second, amount);
}

}  // namespace

// ---- EventCoalescer::Key

Json EventCoalescer::Key::toJSON() const {
    Json j = Json::object();
    j["type"] = type;
    j["reason"] = reason;
    if (category) j["category"] = *category;
    if (policySeq) j["policySeq"] = *policySeq;
    j["windowStart"] = windowStart;
    return j;
}

EventCoalescer::Key EventCoalescer::Key::fromJSON(const Json& json) {
    using namespace JSONCoding;
    requireObject(json, "event key");
    Key key;
    key.type = requireString(json, "type");
    key.reason = requireString(json, "reason");
    key.category = optionalString(json, "category");
    key.policySeq = optionalInt64(json, "policySeq");
    key.windowStart = requireInt64(json, "windowStart");
    return key;
}

std::size_t EventCoalescer::KeyHash::operator()(const Key& key) const noexcept {
    std::size_t seed = std::hash<std::string>{}(key.type);
    hashCombine(seed, std::hash<std::string>{}(key.reason));
    hashCombine(seed, key.category ? std::hash<std::string>{}(*key.category) + 1 : 0);
    hashCombine(seed, key.policySeq ? std::hash<std::int64_t>{}(*key.policySeq) + 1 : 0);
    hashCombine(seed, std::hash<std::int64_t>{}(key.windowStart));
    return seed;
}

// ---- EventCoalescer

std::int64_t EventCoalescer::windowStartFor(Instant at) {
    const std::int64_t seconds = RFC3339::unixSeconds(at);
    // C++ division truncates toward zero, so instants before 1970 share the
    // window that starts at the next multiple of 900 towards zero.
    return (seconds / windowSeconds) * windowSeconds;
}

void EventCoalescer::record(std::string_view type, std::string_view reason,
                            std::optional<std::string> category,
                            std::optional<std::int64_t> policySeq, Instant at) {
    Key key{std::string(type), std::string(reason), std::move(category), policySeq, windowStartFor(at)};
    addCount(counts, std::move(key), 1);
}

void EventCoalescer::recordBlock(const HostDecision& decision, std::int64_t policySeq, Instant at) {
    switch (decision.kind) {
    case HostDecision::Kind::block:
        record("bypass_attempted", "blocked_connection", decision.category, policySeq, at);
        break;
    case HostDecision::Kind::blockCustom:
        record("bypass_attempted", "blocked_custom_rule", std::nullopt, policySeq, at);
        break;
    case HostDecision::Kind::allow:
    case HostDecision::Kind::pass:
        break;
    }
}

std::vector<CoalescedEvent> EventCoalescer::take(Instant now, bool all) {
    const std::int64_t n = RFC3339::unixSeconds(now);
    std::vector<CoalescedEvent> out;
    for (auto it = counts.begin(); it != counts.end();) {
        const Key& key = it->first;
        // windowStart comes from decoded documents too, so its end is
        // computed without overflow: a window ending past the largest value
        // never closes by time.
        const std::int64_t windowEnd = saturatingAdd(key.windowStart, windowSeconds);
        const bool closed = key.windowStart <= kMax - windowSeconds && windowEnd <= n;
        if (!all && !closed) {
            ++it;
            continue;
        }
        out.push_back(CoalescedEvent{key.type, key.reason, key.category, key.policySeq,
                                     RFC3339::string(RFC3339::fromUnixSeconds(key.windowStart)),
                                     RFC3339::string(RFC3339::fromUnixSeconds(windowEnd)), it->second});
        it = counts.erase(it);
    }
    // The policy sequence is the last tie-breaker so that the order is
    // deterministic even for events that differ only there.
    std::sort(out.begin(), out.end(), [](const CoalescedEvent& a, const CoalescedEvent& b) {
        static const std::string none;
        return std::forward_as_tuple(a.windowStart, a.type, a.reason, a.category ? *a.category : none, a.policySeq) <
               std::forward_as_tuple(b.windowStart, b.type, b.reason, b.category ? *b.category : none, b.policySeq);
    });
    return out;
}

std::int64_t EventCoalescer::pendingCount() const {
    std::int64_t sum = 0;
    // Only a damaged document holds a negative count; it adds nothing, so the
    // sum does not depend on the map's order.
    for (const auto& [key, count] : counts) sum = saturatingAdd(sum, std::max<std::int64_t>(count, 0));
    return sum;
}

Json EventCoalescer::toJSON() const {
    Json list = Json::array();
    for (const auto& [key, count] : counts) {
        list.push_back(key.toJSON());
        list.push_back(count);
    }
    Json j = Json::object();
    j["counts"] = std::move(list);
    return j;
}

EventCoalescer EventCoalescer::fromJSON(const Json& json) {
    using namespace JSONCoding;
    requireObject(json, "event coalescer");
    const Json& list = requireArray(requireMember(json, "counts"), "counts");
    if (list.size() % 2 != 0) throw DecodingError("\"counts\" does not alternate keys and counts");
    EventCoalescer out;
    for (std::size_t i = 0; i < list.size(); i += 2) {
        Key key = Key::fromJSON(list[i]);
        const std::int64_t count = asInt64(list[i + 1], "count");
        addCount(out.counts, std::move(key), count);
    }
    return out;
}

// ---- EventOutbox

EventOutbox::EventOutbox(std::filesystem::path url, Log log) : url_(std::move(url)), log_(std::move(log)) {}

std::vector<CoalescedEvent> EventOutbox::read() const {
    if (!swept_) {
        swept_ = true;
        const std::filesystem::path dir = url_.parent_path();
        removeStaleTemporaryFiles(dir.empty() ? std::filesystem::path(".") : dir);
    }
    std::string bytes;
    try {
        if (!readRegularFile(url_, bytes)) return {};
    } catch (const std::exception& e) {
        throw EventOutboxError(std::string("cannot read event outbox: ") + e.what());
    }
    try {
        const Json tree = JSONCoding::parse(bytes);
        const Json& list = JSONCoding::requireArray(tree, "event outbox");
        std::vector<CoalescedEvent> events;
        events.reserve(list.size());
        for (const Json& item : list) events.push_back(CoalescedEvent::fromJSON(item));
        return events;
    } catch (const DecodingError& error) {
        // Left in place it would make every later operation fail and strand
        // every event after it. Kept aside for inspection; the queue starts
        // anew.
        const SetAside set = setAsideDamaged(url_, "the event outbox", error.what());
        if (!set.moved) throw EventOutboxError(set.line);
        if (log_) log_(logSafe(set.line));
        return {};
    }
}

void EventOutbox::write(const std::vector<CoalescedEvent>& events) const {
    std::string bytes;
    try {
        Json list = Json::array();
        for (const auto& event : events) list.push_back(event.toJSON());
        bytes = JSONCoding::plainEncode(list);
    } catch (const std::exception& e) {
        throw EventOutboxError(std::string("cannot encode event outbox: ") + e.what());
    }
    try {
        // Creates missing folders, writes a 0600 temporary file, syncs it and
        // renames it over the previous outbox. Once it returns the new list
        // is in place, even when the folder could not be synced afterwards:
        // reporting a failure then would make the caller append the same
        // events again.
        atomicWrite(url_, bytes);
    } catch (const AtomicWriteError& e) {
        throw EventOutboxError(std::string("cannot write event outbox: ") + e.what());
    }
}

std::vector<CoalescedEvent> EventOutbox::pending() const {
    std::lock_guard lock(mutex_);
    return read();
}

void EventOutbox::append(const std::vector<CoalescedEvent>& events) {
    if (events.empty()) return;
    std::lock_guard lock(mutex_);
    auto list = read();
    list.insert(list.end(), events.begin(), events.end());
    write(list);
}

void EventOutbox::removeFirst(std::int64_t count) {
    std::lock_guard lock(mutex_);
    auto list = read();
    const auto drop = static_cast<std::size_t>(
        std::clamp<std::int64_t>(count, 0, static_cast<std::int64_t>(list.size())));
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(drop));
    write(list);
}

}  // namespace brivet

#pragma once
// Event coalescing and the durable event outbox.
//
// Events are never sent one by one: EventCoalescer counts them per kind in
// fixed 900-second windows aligned to the Unix epoch and hands out closed
// windows as CoalescedEvent records. EventOutbox is the queue of such records
// on disk between their creation and their acceptance by the device service.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSet.h"

namespace brivet {

// Counts of events per kind and window. A plain value without locking: its
// owner serialises access.
class EventCoalescer {
public:
    static constexpr std::int64_t windowSeconds = 900;

    struct Key {
        std::string type;
        std::string reason;
        std::optional<std::string> category;
        std::optional<std::int64_t> policySeq;
        std::int64_t windowStart = 0;  // Unix seconds

        bool operator==(const Key&) const = default;
        // Plain coding: "type", "reason", "category", "policySeq",
        // "windowStart"; the optionals are left out when absent.
        Json toJSON() const;
        static Key fromJSON(const Json& json);
    };

    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };

    using Counts = std::unordered_map<Key, std::int64_t, KeyHash>;

    // Number of events per key. Counts saturate instead of overflowing.
    Counts counts;

    EventCoalescer() = default;

    // The start of the window holding `at`: its whole Unix seconds (floored)
    // divided by 900 with truncation toward zero, times 900.
    static std::int64_t windowStartFor(Instant at);

    void record(std::string_view type, std::string_view reason,
                std::optional<std::string> category, std::optional<std::int64_t> policySeq,
                Instant at);

    // A category block counts as "bypass_attempted"/"blocked_connection" with
    // the category, a custom block as "bypass_attempted"/"blocked_custom_rule"
    // without one; allow and pass record nothing.
    void recordBlock(const HostDecision& decision, std::int64_t policySeq, Instant at);

    // Removes and returns the windows that have closed by `now`
    // (windowStart + 900 <= now in whole seconds), or every window when `all`.
    // Sorted by window start, type, reason and category (absent sorts as "").
    std::vector<CoalescedEvent> take(Instant now, bool all);

    bool isEmpty() const { return counts.empty(); }
    // The sum of all counts, saturating; negative counts add nothing.
    std::int64_t pendingCount() const;

    bool operator==(const EventCoalescer&) const = default;

    // {"counts": [key1, count1, key2, count2, ...]} in no particular order.
    // A key that appears twice has its counts added.
    Json toJSON() const;
    static EventCoalescer fromJSON(const Json& json);
};

// Any failure of the outbox: reading, decoding, encoding or writing its file.
class EventOutboxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The durable queue of coalesced events: a JSON array of CoalescedEvent in
// plain coding, first element sent first. Every operation reads and rewrites
// the whole file under the outbox's own lock, so it is atomic with respect to
// the other operations on the same object (not across objects or processes).
class EventOutbox {
public:
    using Log = std::function<void(const std::string&)>;

    // Stores the location; touches no file. `log` gets one line for every
    // file that is moved aside.
    explicit EventOutbox(std::filesystem::path url, Log log = nullptr);

    EventOutbox(const EventOutbox&) = delete;
    EventOutbox& operator=(const EventOutbox&) = delete;

    const std::filesystem::path& url() const noexcept { return url_; }

    // Every operation reads the whole file first. A file that does not decode
    // is moved aside to "<name>.bad" (".bad.1", ... when taken) and the queue
    // starts empty; a file that cannot be read fails the operation. The first
    // operation also removes temporary files that killed writers left in the
    // folder.

    // The queued events; empty when there is no file. Throws EventOutboxError.
    std::vector<CoalescedEvent> pending() const;

    // Adds the events at the end. An empty list touches no file.
    void append(const std::vector<CoalescedEvent>& events);

    // Drops the first min(count, queued) events (a negative count drops
    // none) and rewrites the file, also when nothing was dropped.
    void removeFirst(std::int64_t count);

private:
    std::vector<CoalescedEvent> read() const;
    void write(const std::vector<CoalescedEvent>& events) const;

    std::filesystem::path url_;
    Log log_;
    mutable std::mutex mutex_;
    mutable bool swept_ = false;  // leftover temporary files removed once
};

}  // namespace brivet

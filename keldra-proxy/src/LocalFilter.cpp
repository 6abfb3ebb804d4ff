#include "keldra-proxy/LocalFilter.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {

namespace {

std::optional<FilterRules> loadRules(const std::filesystem::path& url, const LocalFilter::Log& log) {
    try {
        std::string text;
        if (!readRegularFile(url, text)) return std::nullopt;
        return FilterRules::decode(text);
    } catch (const NotRegularFileError& error) {
        if (log) log(std::string("ignoring the saved filter rules: ") + error.what());
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<EventCoalescer> loadEvents(const std::filesystem::path& url, const LocalFilter::Log& log) {
    try {
        std::string text;
        if (!readRegularFile(url, text)) return std::nullopt;
        return JSONCoding::plainDecode<EventCoalescer>(text);
    } catch (const NotRegularFileError& error) {
        if (log) log(std::string("ignoring the pending events: ") + error.what());
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The filters alive in this process, for a stop signal's last write.
std::mutex& liveFiltersMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<LocalFilter*>& liveFilters() {
    static std::vector<LocalFilter*> filters;
    return filters;
}

}  // namespace

LocalFilter::Clock LocalFilter::systemClock() {
    return [] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); };
}

LocalFilter::LocalFilter(const AppGroup& group, Clock clock, Log log, std::chrono::milliseconds eventsWriteDelay)
    : rulesStore_(group.containerURL / rulesFileName),
      eventsURL_(group.containerURL / eventsFileName),
      clock_(clock ? std::move(clock) : systemClock()),
      log_(std::move(log)),
      eventsWriteDelay_(eventsWriteDelay) {
    if (auto stored = loadRules(rulesStore_.url(), log_)) rules_ = std::move(*stored);
    // Reading a large rules document leaves much freed memory behind.
    ::malloc_trim(0);
    if (auto stored = loadEvents(eventsURL_, log_)) events_ = std::move(*stored);
    writer_ = std::thread([this] { writerLoop(); });
    std::lock_guard<std::mutex> live(liveFiltersMutex());
    liveFilters().push_back(this);
}

LocalFilter::~LocalFilter() {
    {
        std::lock_guard<std::mutex> live(liveFiltersMutex());
        auto& filters = liveFilters();
        filters.erase(std::remove(filters.begin(), filters.end(), this), filters.end());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    writerWake_.notify_all();
    writer_.join();
    flushEvents();
}

void LocalFilter::flushAllEvents() {
    std::lock_guard<std::mutex> live(liveFiltersMutex());
    for (LocalFilter* filter : liveFilters()) filter->flushEvents();
}

void LocalFilter::flushEvents() { writeLatest(true); }

void LocalFilter::writerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    // After a failed write (a full or read-only folder) the counts are tried
    // again on their own, sooner at first, so they reach the file once space
    // comes back even when no block and no tick follows.
    std::chrono::milliseconds retryIn{0};
    for (;;) {
        auto due = [this] { return writePending_ || stopping_; };
        if (retryIn.count() > 0) {
            writerWake_.wait_for(lock, retryIn, due);
        } else {
            writerWake_.wait(lock, due);
        }
        if (stopping_) return;
        // Gather the rest of a burst; a stop cuts the wait short and the
        // destructor writes what is left.
        if (writerWake_.wait_for(lock, eventsWriteDelay_, [this] { return stopping_; })) return;
        lock.unlock();
        const bool written = writeLatest(false);
        lock.lock();
        if (written) {
            retryIn = std::chrono::milliseconds(0);
        } else {
            retryIn = std::clamp(retryIn * 2, kEventsRetryFirst, kEventsRetryLongest);
        }
    }
}

bool LocalFilter::writeLatest(bool durable) {
    std::lock_guard<std::mutex> writing(writeMutex_);
    EventCoalescer snapshot;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writePending_ = false;
        generation = eventsGeneration_;
        if (generation == writtenGeneration_) return true;
        snapshot = events_;
    }
    return writeEvents(snapshot, generation, durable);
}

HostDecision LocalFilter::decide(const DNSQuestion& question) {
    std::lock_guard<std::mutex> lock(mutex_);
    HostDecision decision = DNSMessage::decision(question, rules_.ruleSet);
    switch (decision.kind) {
    case HostDecision::Kind::block:
        events_.record("bypass_attempted", "blocked_dns_query", decision.category, rules_.policySeq, clock_());
        break;
    case HostDecision::Kind::blockCustom:
        events_.record("bypass_attempted", "blocked_custom_rule", std::nullopt, rules_.policySeq, clock_());
        break;
    case HostDecision::Kind::allow:
    case HostDecision::Kind::pass:
        return decision;
    }
    ++eventsGeneration_;
    // Only the first change after a write wakes the writer.
    if (!writePending_) {
        writePending_ = true;
        writerWake_.notify_one();
    }
    return decision;
}

std::optional<FilterStatus> LocalFilter::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentStatus();
}

FilterStatus LocalFilter::currentStatus() const {
    FilterStatus status;
    status.running = startedAt_.has_value();
    status.policySeq = rules_.policySeq;
    status.blocklistVersion = rules_.blocklistVersion;
    if (startedAt_) status.startedAt = RFC3339::string(*startedAt_);
    status.pendingEvents = events_.pendingCount();
    return status;
}

void LocalFilter::publish(const FilterRules& rules) {
    std::lock_guard<std::mutex> saving(saveMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (rules.policySeq < rules_.policySeq) {
            throw LocalFilterError(1, "policy_seq " + std::to_string(rules.policySeq) + " is below the " +
                                          std::to_string(rules_.policySeq) + " in force");
        }
        rules_ = rules;
    }
    try {
        rulesStore_.save(rules);
    } catch (const std::exception&) {
        // The rules are in force in memory; a later run starts from the older
        // file and is brought forward by the engine's next publish.
    }
    // The encoded document was as large as the rules; give its pages back.
    ::malloc_trim(0);
}

std::vector<CoalescedEvent> LocalFilter::takeEvents() {
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::vector<CoalescedEvent> taken;
    EventCoalescer snapshot;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            taken = events_.take(clock_(), false);
        } catch (const std::exception&) {
            taken.clear();
        }
        if (!taken.empty()) ++eventsGeneration_;
        generation = eventsGeneration_;
        // Nothing handed over and the file holds the latest counts already.
        if (generation == writtenGeneration_) return taken;
        writePending_ = false;
        snapshot = events_;
    }
    // Durable here: a file that came back with windows already handed over
    // would send them twice. Counts whose earlier write failed are written
    // here too, so every tick brings the file up to date.
    if (!writeEvents(snapshot, generation, true)) {
        // Left to the writer to try again, as after a failed write of its own.
        std::lock_guard<std::mutex> lock(mutex_);
        writePending_ = true;
        writerWake_.notify_one();
    }
    return taken;
}

void LocalFilter::markStarted(Instant at) {
    std::lock_guard<std::mutex> lock(mutex_);
    startedAt_ = at;
}

std::int64_t LocalFilter::policySeq() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.policySeq;
}

void LocalFilter::resetRules() {
    std::lock_guard<std::mutex> saving(saveMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rules_ = FilterRules::empty();
    }
    rulesStore_.save(FilterRules::empty());
}

bool LocalFilter::resetRulesForIdentity(const std::optional<std::string>& previousDeviceId,
                                        const std::string& enrolledDeviceId) {
    if (previousDeviceId && *previousDeviceId == enrolledDeviceId) return false;
    resetRules();
    return true;
}

bool LocalFilter::writeEvents(const EventCoalescer& snapshot, std::uint64_t generation, bool durable) {
    try {
        AtomicWriteOptions options;
        options.durable = durable;
        options.createDirectories = false;
        // The rename replaces whatever is at the name; it never writes
        // through a symlink.
        atomicWrite(eventsURL_, JSONCoding::plainEncode(snapshot), options);
        writtenGeneration_ = generation;
        if (writeFailing_ && log_) log_("the pending block counts are saved again");
        writeFailing_ = false;
        return true;
    } catch (const std::exception& error) {
        // The counts stay in memory and are written again: by the writer
        // shortly, and at the latest when the engine next takes events.
        if (!writeFailing_ && log_) log_("cannot save the pending block counts: " + logSafe(error.what()));
        writeFailing_ = true;
        return false;
    }
}

}  // namespace brivet

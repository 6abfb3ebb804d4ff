#pragma once
// The proxy's in-process filter: the engine publishes rules into it and takes
// its block events out of it; the DNS listener asks it about every query.
//
// One mutex guards the rules in force and the start time. The rules live on disk in "filter-rules.json" and the counted
// events in "events-pending.json" of the data directory, so that a restart
// resumes where the last run stopped.
//
// The block counts live in a PendingCounts: a blocked query only counts in
// memory, and its writer thread puts the latest counts on disk durably
// shortly after, so the DNS thread never waits for a file. Closed windows
// are handed to the engine once they are durable, and stay in
// "events-pending.json" until the engine says they are in its outbox: a full
// disk or a crash between the two never loses them. A kill -9 loses at most
// the counts of the last write window.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/PendingCounts.h"
#include "BrivetClient/RFC3339.h"
#include "keldra-proxy/DNSProxy.h"

namespace brivet {

// The filter's refusal of rules older than those in force.
class LocalFilterError : public std::runtime_error {
public:
    LocalFilterError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}

    static constexpr const char* domain = "brivet-dev-proxy";
    // 1: the published rules' policy sequence is below the one in force.
    int code() const noexcept { return code_; }

private:
    int code_;
};

class LocalFilter final : public FilterControl, public DNSFilter {
public:
    using Clock = std::function<Instant()>;
    using Log = std::function<void(const std::string&)>;

    // How long the writer gathers changes before it writes the counts: the
    // same as in the daemon.
    static constexpr std::chrono::milliseconds kEventsWriteDelay = CountsWriterTiming{}.gather;

    static constexpr const char* rulesFileName = "filter-rules.json";
    static constexpr const char* eventsFileName = "events-pending.json";

    // Resumes from the rules and events files in the group's container when
    // they can be read; anything else leaves empty rules or no events. A
    // file that is no regular file (a symlink, a FIFO...) or too large is
    // never read. A file that cannot be used is moved aside ("<name>.bad"),
    // with one line to `log`. Never fails and creates nothing else. `clock` stamps the block events and decides which
    // event windows have closed. `eventsFile` stands in for the events file's
    // writes (tests).
    explicit LocalFilter(const AppGroup& group, Clock clock = systemClock(), Log log = nullptr,
                         std::chrono::milliseconds eventsWriteDelay = kEventsWriteDelay,
                         std::unique_ptr<CountsFile> eventsFile = nullptr);
    // Stops the writer and writes the latest counts durably.
    ~LocalFilter() override;

    LocalFilter(const LocalFilter&) = delete;
    LocalFilter& operator=(const LocalFilter&) = delete;

    // DNSFilter: classes other than IN and ANY pass without a look at the
    // rules. A block is counted as a "bypass_attempted" event; the writer
    // puts it in the events file shortly after.
    HostDecision decide(const DNSQuestion& question) override;

    // FilterControl.
    // Always a status: running once the listener has started.
    std::optional<FilterStatus> status() override;
    // Puts rules in force unless their policy sequence is below the one in
    // force (an equal sequence replaces them); throws LocalFilterError code 1
    // then. A failure to save the rules file is not reported: the rules are in
    // force in memory and the engine publishes them again after a restart.
    void publish(const FilterRules& rules) override;
    // The event windows that have closed and were not handed over yet,
    // durable in the events file first (written now when the writer is
    // behind; nothing is handed over when that fails). They stay in the file
    // until eventsQueued. Never throws.
    std::vector<CoalescedEvent> takeEvents() override;
    // The engine has the windows in its outbox: they leave the events file.
    void eventsQueued(const std::vector<CoalescedEvent>& events) override;

    // Writes the latest counts now and durably, when they changed since the
    // last write. A failed write keeps them in memory for the next try.
    void flushEvents();
    // flushEvents() on every filter alive in the process: for a stop signal.
    static void flushAllEvents();

    // Records when the DNS listener started; from then on the filter reports
    // itself running.
    void markStarted(Instant at);

    // The rules file was read at start (it was there and could be used).
    bool hasSavedRules() const noexcept { return hasSavedRules_; }

    // The policy sequence of the rules in force; 0 before any rules.
    std::int64_t policySeq();

    // Drops the rules in force and saves the empty rules in their place. For a
    // device that enrolled anew: its policies start again at a low sequence,
    // which the rules of the previous identity would refuse. Throws
    // FilterRulesStoreError when the empty rules cannot be saved (the rules in
    // memory are dropped regardless).
    void resetRules();

    // Resets the rules when an enrolment gave the device another identity
    // than the one it had (or it had none). Returns whether it reset them;
    // throws as resetRules() does.
    bool resetRulesForIdentity(const std::optional<std::string>& previousDeviceId,
                               const std::string& enrolledDeviceId);

    const std::filesystem::path& rulesURL() const noexcept { return rulesStore_.url(); }
    const std::filesystem::path& eventsURL() const noexcept { return eventsURL_; }

    static Clock systemClock();

private:
    // The caller holds mutex_.
    FilterStatus currentStatus() const;

    // Guards the rules in force and the start time.
    std::mutex mutex_;
    // Set while rules_ is initialised, so declared before it.
    bool hasSavedRules_ = false;
    FilterRules rules_;
    std::optional<Instant> startedAt_;
    // Serialises the saves of the rules file, which run outside mutex_ so that
    // writing a large rules document never holds up DNS answers.
    std::mutex saveMutex_;
    const FilterRulesStore rulesStore_;
    const std::filesystem::path eventsURL_;
    const Clock clock_;
    const Log log_;
    // The block counts and their writer; guarded on their own.
    PendingCounts events_;
};

}  // namespace brivet

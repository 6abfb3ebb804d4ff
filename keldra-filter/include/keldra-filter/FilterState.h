#pragma once
// What the daemon holds between the app's calls and its two providers: the
// rules in force, the counted block events and the start time.
//
// Both live in root-only files of the daemon's state folder, so that after a
// restart of the daemon or the machine the last rules are enforced before
// the app ever calls, and no counted block is lost:
//   filter-rules.json     the rules in force (written before a publish is
//                         accepted)
//   events-pending.json   the block counts (brivet::PendingCounts): written
//                         durably by a writer thread shortly after each
//                         block (a burst of blocks makes one write), never on
//                         the packet path; a failed write is tried again
//                         after 1 s, doubling to a minute; counts are durable
//                         before they are handed to the app

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "BrivetClient/Engine.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/FlowFilter.h"
#include "BrivetClient/PendingCounts.h"
#include "BrivetClient/RFC3339.h"

namespace keldra::filter {

// Where the block counts are kept: a seam so that tests can stall or fail
// the writes.
using EventsFile = brivet::CountsFile;

class FilterState {
public:
    using Clock = std::function<brivet::Instant()>;
    using Log = std::function<void(const std::string&)>;
    using WriterTiming = brivet::CountsWriterTiming;

    static constexpr const char* rulesFileName = "filter-rules.json";
    static constexpr const char* eventsFileName = "events-pending.json";

    // Creates the state folder (0700, root-only) when missing and resumes
    // from its files. A rules file that cannot be read is logged once and
    // moved aside (brivet::moveAside), never silently taken as no rules.
    // `events` defaults to the durable file in the state folder. `log` gets
    // one line when writing the counts starts failing and one when it works
    // again.
    explicit FilterState(std::filesystem::path stateFolder, Clock clock = {}, std::unique_ptr<EventsFile> events = {},
                         WriterTiming timing = {}, Log log = {});
    // Stops the writer after a last write of what is not on disk yet.
    ~FilterState();

    FilterState(const FilterState&) = delete;
    FilterState& operator=(const FilterState&) = delete;

    // Puts the rules in force (derived by SignedPolicy, never a caller's),
    // saving them first. They are in force even when the save fails; the
    // reason is returned then.
    std::optional<std::string> enforce(const brivet::FilterRules& rules);

    // The rules file was damaged at start: it was logged and moved aside,
    // and empty rules hold until the verified policy's are put in force.
    bool rulesDamaged() const;

    // The rules in force (a copy that shares the compiled table).
    brivet::FilterRules rules() const;

    // Decides a DNS question's name and a flow's name; a block is counted
    // ("blocked_dns_query" or "blocked_connection" for a category,
    // "blocked_custom_rule" for a custom rule) and handed to the writer.
    // Never waits for the disk.
    brivet::HostDecision decideQuery(const std::string& name, std::uint16_t qclass);
    brivet::FlowAction decideFlow(const brivet::FlowDescription& flow);

    // The closed windows, without removing them. Every count returned is
    // durable on disk first (written now if the writer has not yet); when
    // that write fails, nothing is returned.
    std::vector<brivet::CoalescedEvent> closedEvents();
    // Removes handed-over windows (as returned by closedEvents) and rewrites
    // the file durably. Returns false when the file could not be written:
    // the windows are not handed over again by this process, the writer
    // brings the file up to date, and a crash before that hands them over
    // again after the restart rather than losing them.
    bool removeHandedOver(const std::vector<brivet::CoalescedEvent>& events);

    brivet::FilterStatus status(bool running) const;
    std::int64_t policySeq() const;

    // Clears the rules in force and their file (SignedPolicy::reset clears
    // the verified policy state).
    static void resetRules(const std::filesystem::path& stateFolder);

    const std::filesystem::path& folder() const noexcept { return folder_; }

private:
    std::filesystem::path folder_;
    Clock clock_;
    // Guards the rules in force.
    mutable std::mutex mutex_;
    std::mutex publishing_;
    brivet::FilterRules rules_;
    bool rulesDamaged_ = false;
    brivet::Instant startedAt_;
    // The block counts and their writer; guarded on their own.
    brivet::PendingCounts events_;
};

}  // namespace keldra::filter

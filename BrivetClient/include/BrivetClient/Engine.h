#pragma once
// The engine's seams to its host: the filter it feeds and the machine it runs
// on. Both programs plug their own implementations into the same engine.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/HostFacts.h"  // monotonicClockSeconds()
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSetLoader.h"

namespace brivet {

// What a filter reports about itself. The engine reads only `running`; the
// other fields are for the programs that show or pass the status on.
struct FilterStatus {
    bool running = false;
    std::int64_t policySeq = 0;
    std::int64_t blocklistVersion = 0;
    std::optional<std::string> startedAt;
    std::int64_t pendingEvents = 0;

    bool operator==(const FilterStatus&) const = default;

    // JSON form (plain coding): the field names as keys; "startedAt" is left
    // out when absent. Members with other names are ignored when decoding;
    // a missing or mistyped required member throws DecodingError.
    Json toJSON() const;
    static FilterStatus fromJSON(const Json& json);
};

// The filter that the engine feeds. Implemented by reference types that the
// engine holds for its whole life; the engine calls one operation at a time,
// so an implementation shared with other threads guards its own state.
// Failures are exceptions of any type.
class FilterControl {
public:
    virtual ~FilterControl() = default;

    // The filter's current status, or none when it cannot be obtained (which
    // counts as not running). Asked once per tick.
    virtual std::optional<FilterStatus> status() = 0;

    // Puts the complete rules document in force. Returning means the filter
    // holds these rules; a throw leaves the engine's published rules as they
    // were, so they are offered again on the next tick.
    virtual void publish(const FilterRules& rules) = 0;

    // Hands over the filter's closed event windows; the filter does not hand
    // them over again. A throw means nothing was handed over.
    virtual std::vector<CoalescedEvent> takeEvents() = 0;

    // Says that windows handed over by takeEvents are now in the outbox. A
    // filter that keeps handed-over windows on disk until then lets go of
    // them now; a crash before this call makes such a filter hand them over
    // again after a restart (the same records, which the service
    // deduplicates), so no count is lost between filter and outbox. A filter
    // that let go at hand-over does nothing. Should not throw; a throw is
    // ignored.
    virtual void eventsQueued(const std::vector<CoalescedEvent>& events) = 0;

protected:
    FilterControl() = default;
    FilterControl(const FilterControl&) = default;
    FilterControl& operator=(const FilterControl&) = default;
};

// The machine the engine runs on.
class HostEnvironment {
public:
    virtual ~HostEnvironment() = default;

    // Operating-system version text for the heartbeat.
    virtual std::string osVersion() const = 0;

    // Whole seconds of a clock the user cannot set and that only advances
    // while the host runs; a lower value than before means the machine
    // restarted. monotonicClockSeconds() below is the usual source.
    virtual std::int64_t monotonicSeconds() const = 0;

    // Whether the host's filter is in place. Never fails.
    virtual bool filterConfigured() = 0;

    // Whether the host's app-launch monitor runs.
    virtual bool appMonitorRunning() const = 0;

protected:
    HostEnvironment() = default;
    HostEnvironment(const HostEnvironment&) = default;
    HostEnvironment& operator=(const HostEnvironment&) = default;
};

// The periodic driver of the client library. One tick() is one pass of device
// upkeep in a fixed order: offline-release runtime, time attestation, global
// release check, policy refresh, capability report and heartbeat, rule
// publication, event delivery. A tick never fails as a whole: each failing
// step adds one line to the report's errors and the tick goes on.
//
// The engine owns no timer or thread and holds no lock: one caller drives it,
// and tick() and flushEvents() never run at the same time on one engine.
// Everything but the collaborators lives in memory only; a new engine starts
// unattested, unchecked and unpublished.
class ProtectionEngine final {
public:
    using Clock = std::function<Instant()>;

    // What one tick did.
    struct TickReport {
        // False only when the client has no device identity.
        bool enrolled = true;
        // A time attestation succeeded in this tick.
        bool attested = false;
        // This tick's global-release check, when one ran and succeeded.
        std::optional<ProtectionClient::ReleaseDecision> globalRelease;
        // The outcome of the tick's last successful policy refresh.
        std::optional<ProtectionClient::RefreshOutcome> refresh;
        // The heartbeat answer's protection state.
        std::optional<std::string> protectionState;
        bool filterConfigured = false;
        // Configured and reporting itself running.
        bool filterRunning = false;
        // Policy sequence of the rules published in this tick.
        std::optional<std::int64_t> rulesPublished;
        // Categories without a blocklist in the rules in force.
        std::vector<std::string> missingCategories;
        // Events accepted by the service and removed from the outbox.
        std::int64_t eventsSent = 0;
        // Runtime accounting ended the commitment in this tick.
        bool offlineReleaseFired = false;
        // One line per failed step, in step order.
        std::vector<std::string> errors;

        bool operator==(const TickReport&) const = default;
    };

    // `cache`, when given, is pruned to the policy's blocklist version after
    // every publish in which no category was missing.
    ProtectionEngine(std::shared_ptr<ProtectionClient> client, RuleSetLoader loader,
                     std::shared_ptr<FilterControl> filter, std::shared_ptr<EventOutbox> outbox,
                     std::shared_ptr<HostEnvironment> environment,
                     std::shared_ptr<FileBlocklistCache> cache = nullptr,
                     Clock clock = ProtectionClient::systemClock());

    ProtectionEngine(const ProtectionEngine&) = delete;
    ProtectionEngine& operator=(const ProtectionEngine&) = delete;

    // One pass of upkeep. Never throws for a failing step.
    TickReport tick();

    // Moves every counted event of the engine, open windows included, to the
    // outbox and delivers the outbox. Returns the number of events sent; 0
    // when the events could not be written to the outbox. Errors are dropped.
    std::int64_t flushEvents();

    // The report text of an error: "http <status> <code>",
    // "transport <text>", "decoding <text>", "not enrolled" for service
    // errors, else the exception's what().
    static std::string describe(const std::exception_ptr& error);

    const std::shared_ptr<ProtectionClient> client;
    const std::shared_ptr<EventOutbox> outbox;

    // Seconds between steps, compared only (never waited on): zero or less
    // runs the step on every tick, not-a-number never by time.
    double attestationInterval = 86400;
    double releaseCheckInterval = 86400;
    double policyRefreshInterval = 3600;
    // Events per request; anything below 1 counts as 1.
    std::int64_t eventBatchSize = 100;

    const std::optional<Instant>& lastAttestation() const noexcept { return lastAttestation_; }
    const std::optional<Instant>& lastReleaseCheck() const noexcept { return lastReleaseCheck_; }
    const std::optional<Instant>& lastPolicyRefresh() const noexcept { return lastPolicyRefresh_; }
    const std::optional<std::int64_t>& rejectedPolicySeq() const noexcept { return rejectedSeq_; }
    const std::optional<FilterRules>& publishedRules() const noexcept { return publishedRules_; }
    bool filterConfiguredOnce() const noexcept { return filterConfiguredOnce_; }
    const std::optional<Instant>& filterLostAt() const noexcept { return filterLostAt_; }

    // Events that were taken from the filter or drained from the engine's
    // own windows but could not be written to the outbox yet; they are
    // written first at the next delivery.
    std::int64_t unsavedEventCount() const noexcept;

    // True when `stored` is unset or at least `interval` seconds lie between
    // it and `now` (computed in double seconds, so no instant can overflow).
    static bool isDue(const std::optional<Instant>& stored, double interval, Instant now) noexcept;

private:
    // `announced`: the sequence the heartbeat announced when it asked for
    // this refresh; none for the timed refresh.
    void refreshStep(TickReport& report, Instant now, std::optional<std::int64_t> announced = std::nullopt);
    // A policy was rejected less than policyRefreshInterval ago.
    bool rejectionHolds(Instant now) const noexcept;
    MacCapabilities capabilitiesStep(TickReport& report, Instant now);
    void publishStep(TickReport& report, Instant now);
    void deliverEvents(TickReport& report, Instant now);
    std::optional<std::int64_t> storedHighestSeq() const;
    // Appends the events held back earlier plus `more` and returns what it
    // appended; on failure keeps them all held back and rethrows.
    std::vector<CoalescedEvent> saveToOutbox(std::vector<CoalescedEvent>& heldBack, std::vector<CoalescedEvent> more);
    // Appends the filter's windows held back plus `more`; once they are in
    // the outbox, tells the filter. Rethrows the append's failure.
    void saveFilterEvents(std::vector<CoalescedEvent> more);

    const RuleSetLoader loader_;
    const std::shared_ptr<FilterControl> filter_;
    const std::shared_ptr<HostEnvironment> environment_;
    const std::shared_ptr<FileBlocklistCache> cache_;
    const Clock clock_;

    std::optional<Instant> lastAttestation_;
    std::optional<Instant> lastReleaseCheck_;
    std::optional<Instant> lastPolicyRefresh_;
    std::optional<FilterRules> publishedRules_;
    bool filterConfiguredOnce_ = false;
    std::optional<Instant> filterLostAt_;
    // The last rejected policy: when, and the sequence the service announced
    // for it (unknown until a heartbeat names it when the timed refresh was
    // the one rejected). Cleared by any successful refresh.
    std::optional<Instant> rejectedAt_;
    std::optional<std::int64_t> rejectedSeq_;
    EventCoalescer events_;
    // Held back after a failed append to the outbox, oldest first.
    std::vector<CoalescedEvent> unsavedFilterEvents_;
    std::vector<CoalescedEvent> unsavedOwnEvents_;
};

using TickReport = ProtectionEngine::TickReport;

}  // namespace brivet

#pragma once
// The engine's seams to its host: the filter it feeds and the machine it runs
// on. Both programs plug their own implementations into the same engine.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/FilterRules.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Models.h"

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

    // Hands over, and removes from the filter, its closed event windows. A
    // throw means nothing was handed over.
    virtual std::vector<CoalescedEvent> takeEvents() = 0;

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

// Whole seconds of CLOCK_MONOTONIC: it cannot be set by the user and stops
// while the machine sleeps; it starts again from a low value after a reboot.
std::int64_t monotonicClockSeconds();

}  // namespace brivet

#pragma once
// The engine's seams to its host: the filter it feeds and the machine it runs
// on. Both programs plug their own implementations into the same engine.

#include <cstdint>
#include <optional>
#include <string>

#include "BrivetClient/JSONCoding.h"

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

// Whole seconds of CLOCK_MONOTONIC: it cannot be set by the user and stops
// while the machine sleeps; it starts again from a low value after a reboot.
std::int64_t monotonicClockSeconds();

}  // namespace brivet

#pragma once
// Offline-release accounting: running time of the host's monotonic clock that
// elapses while the wall clock is at or past the lock end, counted since the
// last contact with the service. Persisted inside the protection state.
#include <cstdint>
#include <optional>

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/RFC3339.h"

namespace brivet {

struct OfflineReleaseAccumulator {
    std::int64_t accumulatedSeconds = 0;
    // The monotonic reading of the previous call of record().
    std::optional<std::int64_t> lastMonotonicSeconds;

    // Count 0, no previous reading. Called after every proven contact with
    // the service.
    void reset();

    // Counts the step since the previous reading when there is one, the
    // reading did not go backwards, a lock end is given and the wall clock is
    // at or past it. A step that would overflow the count (only possible with
    // a damaged state) is not counted. The reading always becomes the new
    // reference.
    void record(std::int64_t monotonicSeconds, Instant localNow, std::optional<Instant> lockedUntil);

    // Whether the count has reached the runtime, clamped to one to thirty days.
    bool due(std::int64_t offlineReleaseRuntimeSeconds) const;

    bool operator==(const OfflineReleaseAccumulator&) const = default;

    // {"accumulatedSeconds":N} plus "lastMonotonicSeconds" when present;
    // "accumulatedSeconds" is required when decoding (DecodingError).
    Json toJSON() const;
    static OfflineReleaseAccumulator fromJSON(const Json& json);
};

void to_json(Json& json, const OfflineReleaseAccumulator& accumulator);
void from_json(const Json& json, OfflineReleaseAccumulator& accumulator);

}  // namespace brivet

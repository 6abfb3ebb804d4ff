#include "BrivetClient/OfflineRelease.h"

#include "BrivetCore/BrivetCore.h"

namespace brivet {

void OfflineReleaseAccumulator::reset() {
    accumulatedSeconds = 0;
    lastMonotonicSeconds.reset();
}

void OfflineReleaseAccumulator::record(std::int64_t monotonicSeconds, Instant localNow,
                                       std::optional<Instant> lockedUntil) {
    const std::optional<std::int64_t> previous = lastMonotonicSeconds;
    lastMonotonicSeconds = monotonicSeconds;
    if (!previous || monotonicSeconds < *previous) return;  // first reading, or the host restarted
    if (!lockedUntil || localNow < *lockedUntil) return;     // nothing counts before the lock end

    // Readings far apart (a damaged state file) could overflow the step or
    // the count; such a step is not counted.
    std::int64_t step = 0;
    std::int64_t total = 0;
    if (__builtin_sub_overflow(monotonicSeconds, *previous, &step)) return;
    if (__builtin_add_overflow(accumulatedSeconds, step, &total)) return;
    accumulatedSeconds = total;
}

bool OfflineReleaseAccumulator::due(std::int64_t offlineReleaseRuntimeSeconds) const {
    return accumulatedSeconds >= BrivetCore::clampOfflineRuntime(offlineReleaseRuntimeSeconds);
}

Json OfflineReleaseAccumulator::toJSON() const {
    Json j = Json::object();
    j["accumulatedSeconds"] = accumulatedSeconds;
    if (lastMonotonicSeconds) j["lastMonotonicSeconds"] = *lastMonotonicSeconds;
    return j;
}

OfflineReleaseAccumulator OfflineReleaseAccumulator::fromJSON(const Json& json) {
    JSONCoding::requireObject(json, "offlineRelease");
    OfflineReleaseAccumulator accumulator;
    accumulator.accumulatedSeconds = JSONCoding::requireInt64(json, "accumulatedSeconds");
    accumulator.lastMonotonicSeconds = JSONCoding::optionalInt64(json, "lastMonotonicSeconds");
    return accumulator;
}

void to_json(Json& json, const OfflineReleaseAccumulator& accumulator) { json = accumulator.toJSON(); }

void from_json(const Json& json, OfflineReleaseAccumulator& accumulator) {
    accumulator = OfflineReleaseAccumulator::fromJSON(json);
}

}  // namespace brivet

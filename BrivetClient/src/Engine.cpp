#include "BrivetClient/Engine.h"

#include <ctime>

namespace brivet {

Json FilterStatus::toJSON() const {
    Json j = Json::object();
    j["running"] = running;
    j["policySeq"] = policySeq;
    j["blocklistVersion"] = blocklistVersion;
    if (startedAt) j["startedAt"] = *startedAt;
    j["pendingEvents"] = pendingEvents;
    return j;
}

FilterStatus FilterStatus::fromJSON(const Json& json) {
    using namespace JSONCoding;
    requireObject(json, "filter status");
    FilterStatus out;
    out.running = requireBool(json, "running");
    out.policySeq = requireInt64(json, "policySeq");
    out.blocklistVersion = requireInt64(json, "blocklistVersion");
    out.startedAt = optionalString(json, "startedAt");
    out.pendingEvents = requireInt64(json, "pendingEvents");
    return out;
}

std::int64_t monotonicClockSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

}  // namespace brivet

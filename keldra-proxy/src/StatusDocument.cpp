#include "keldra-proxy/StatusDocument.h"

#include <exception>

#include "BrivetClient/AtomicFile.h"
#include "keldra-proxy/DevHost.h"
#include "keldra-proxy/LocalFilter.h"

namespace brivet {

StatusFile StatusFile::make(const TickReport& report, const ProtectionClient& client, LocalFilter& filter,
                            const DevHost& host, std::int64_t blocked, std::int64_t answered, Instant now) {
    return make(report, client.identity(), client.effectivePolicy(), filter.policySeq(), host.dnsPointsHere(),
                blocked, answered, now);
}

StatusFile StatusFile::make(const TickReport& report, const std::optional<DeviceIdentity>& identity,
                            const std::optional<EffectivePolicy>& policy, std::int64_t policySeq,
                            std::optional<bool> dnsPointsHere, std::int64_t blocked, std::int64_t answered,
                            Instant now) {
    StatusFile status;
    status.enrolled = identity.has_value();
    if (identity) status.deviceId = identity->deviceId;
    status.state = report.protectionState;
    status.filterRunning = report.filterRunning;
    status.dnsAsserted = dnsPointsHere;
    status.policySeq = policySeq;
    if (policy) {
        status.committed = policy->committed;
        status.lockedUntil = policy->lockedUntil;
        status.categories = policy->categories;
    }
    status.blocked = blocked;
    status.answered = answered;
    status.lastTickAt = RFC3339::string(now);
    status.errors = report.errors;
    return status;
}

nlohmann::json StatusFile::toJSON() const {
    nlohmann::json json = nlohmann::json::object();
    json["version"] = version;
    json["enrolled"] = enrolled;
    if (deviceId) json["deviceId"] = *deviceId;
    if (state) json["state"] = *state;
    json["filterRunning"] = filterRunning;
    if (dnsAsserted) json["dnsAsserted"] = *dnsAsserted;
    json["policySeq"] = policySeq;
    json["committed"] = committed;
    if (lockedUntil) json["lockedUntil"] = *lockedUntil;
    json["categories"] = categories;
    json["blocked"] = blocked;
    json["answered"] = answered;
    json["lastTickAt"] = lastTickAt;
    json["errors"] = errors;
    return json;
}

std::string StatusFile::encode() const {
    // An error text can carry bytes from anywhere; replacing them keeps the
    // document current instead of dropping every later write.
    return toJSON().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void StatusFile::write(const std::filesystem::path& target) const noexcept {
    try {
        AtomicWriteOptions options;
        options.mode = 0644;
        options.createDirectories = false;
        atomicWrite(target, encode(), options);
    } catch (const std::exception&) {
        // The previous document stays; the loop goes on.
    }
}

}  // namespace brivet

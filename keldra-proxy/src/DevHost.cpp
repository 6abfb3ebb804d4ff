#include "keldra-proxy/DevHost.h"

#include "BrivetClient/HostFacts.h"

namespace brivet {

std::string DevHost::versionFromRelease(std::string_view release) { return brivet::versionFromRelease(release); }

std::string DevHost::osVersion() const { return kernelVersion(); }

std::int64_t DevHost::monotonicSeconds() const { return monotonicClockSeconds(); }

bool DevHost::filterConfigured() {
    std::lock_guard<std::mutex> lock(mutex_);
    return listening_ && dnsPointsHere_.value_or(true);
}

void DevHost::setListening(bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = value;
}

bool DevHost::listening() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listening_;
}

void DevHost::setDNSPointsHere(std::optional<bool> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    dnsPointsHere_ = value;
}

std::optional<bool> DevHost::dnsPointsHere() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dnsPointsHere_;
}

}  // namespace brivet

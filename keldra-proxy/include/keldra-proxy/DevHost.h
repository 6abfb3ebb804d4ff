#pragma once
// The machine as the proxy's engine sees it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "BrivetClient/Engine.h"

namespace brivet {

class DevHost final : public HostEnvironment {
public:
    DevHost() = default;

    // The kernel's release as major.minor.patch in decimal ("6.1.0" for
    // "6.1.0-18-amd64", "5.15.0" for "5.15"); "0.0.0" when it cannot be read.
    std::string osVersion() const override;
    // Whole seconds of the monotonic clock.
    std::int64_t monotonicSeconds() const override;
    // The listener runs and the last DNS-settings check, if any, found the
    // settings pointing here.
    bool filterConfigured() override;
    // The proxy has no app-launch monitor.
    bool appMonitorRunning() const override { return false; }

    // Set once the DNS listener runs.
    void setListening(bool value);
    bool listening() const;
    // The result of the last DNS-settings check; only set with --assert-dns.
    void setDNSPointsHere(std::optional<bool> value);
    std::optional<bool> dnsPointsHere() const;

    // Up to three leading decimal numbers of a release text, missing ones
    // written as 0.
    static std::string versionFromRelease(std::string_view release);

private:
    mutable std::mutex mutex_;
    bool listening_ = false;
    std::optional<bool> dnsPointsHere_;
};

}  // namespace brivet

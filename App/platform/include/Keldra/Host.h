#pragma once
// The machine as the app's engine sees it, and the app-launch monitor.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "BrivetClient/Engine.h"
#include "Keldra/FilterInstaller.h"
#include "Keldra/SystemBus.h"

namespace keldra {

// Counts application launches while started. `running` is true while the
// bus registration holds: false until the bus has answered, while there is
// no bus, and from a lost connection until it is registered again.
// Thread-safe: launches arrive on the bus thread.
class AppLaunchMonitor {
public:
    explicit AppLaunchMonitor(std::shared_ptr<SystemBus> bus);
    ~AppLaunchMonitor();
    AppLaunchMonitor(const AppLaunchMonitor&) = delete;
    AppLaunchMonitor& operator=(const AppLaunchMonitor&) = delete;

    // Registers once; a second start() before stop() does nothing.
    void start();
    // Ends the registration; the count is kept.
    void stop();
    bool running() const;
    // Launches seen while registered; never reset.
    std::int64_t launchesObserved() const noexcept { return launches_->load(); }

private:
    const std::shared_ptr<SystemBus> bus_;
    // Shared with the handler, so a late launch after the monitor is gone
    // touches nothing freed.
    const std::shared_ptr<std::atomic<std::int64_t>> launches_ = std::make_shared<std::atomic<std::int64_t>>(0);
    mutable std::mutex mutex_;
    BusSubscription token_;
};

// osVersion: the kernel release as major.minor.patch; monotonicSeconds:
// whole seconds of CLOCK_MONOTONIC (stops while the machine sleeps);
// filterConfigured: the installer's isFilterEnabled(), asked afresh;
// appMonitorRunning: the monitor's running().
class LinuxHost final : public brivet::HostEnvironment {
public:
    LinuxHost(std::shared_ptr<FilterInstaller> installer, std::shared_ptr<AppLaunchMonitor> launches);

    std::string osVersion() const override;
    std::int64_t monotonicSeconds() const override;
    bool filterConfigured() override;
    bool appMonitorRunning() const override;

    const std::shared_ptr<FilterInstaller> installer;
    const std::shared_ptr<AppLaunchMonitor> launches;
};

}  // namespace keldra

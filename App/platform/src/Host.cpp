#include "Keldra/Host.h"

#include "BrivetClient/HostFacts.h"

namespace keldra {

AppLaunchMonitor::AppLaunchMonitor(std::shared_ptr<SystemBus> bus) : bus_(std::move(bus)) {}

AppLaunchMonitor::~AppLaunchMonitor() { stop(); }

void AppLaunchMonitor::start() {
    std::lock_guard lock(mutex_);
    if (token_.active() || !bus_) return;
    token_ = bus_->subscribeLaunches([launches = launches_](const std::string&) { ++*launches; });
}

void AppLaunchMonitor::stop() {
    BusSubscription ending;
    {
        std::lock_guard lock(mutex_);
        ending = std::move(token_);
    }
    // Ended outside the lock: it waits for a handler that may be running.
    ending.cancel();
}

bool AppLaunchMonitor::running() const {
    std::lock_guard lock(mutex_);
    return token_.registered();
}

LinuxHost::LinuxHost(std::shared_ptr<FilterInstaller> installer, std::shared_ptr<AppLaunchMonitor> launches)
    : installer(std::move(installer)), launches(std::move(launches)) {}

std::string LinuxHost::osVersion() const { return brivet::kernelVersion(); }

std::int64_t LinuxHost::monotonicSeconds() const { return brivet::monotonicClockSeconds(); }

bool LinuxHost::filterConfigured() { return installer != nullptr && installer->isFilterEnabled(); }

bool LinuxHost::appMonitorRunning() const { return launches != nullptr && launches->running(); }

}  // namespace keldra

// The launch monitor, the host adapter and the bus seam's fake.
#include <gtest/gtest.h>

#include <regex>

#include "BrivetClient/HostFacts.h"
#include "Keldra/Host.h"

namespace {

using keldra::AppLaunchMonitor;
using keldra::FakeSystemBus;

TEST(LaunchUnits, OnlyApplicationUnitsCount) {
    for (const char* yes : {"app-firefox.scope", "app-gnome-org.gnome.Terminal-1234.scope",
                            "app-flatpak-org.x.Y@12.service", "app-a@b.service", "app-x.service",
                            "app-org.gnome.Terminal-1234.service"}) {
        EXPECT_TRUE(keldra::isAppLaunchUnit(yes)) << yes;
    }
    for (const char* no : {"app-.scope", "app-.service", "app-@x.service", "app-x@.service", "session-3.scope",
                           "apps-x.scope", "app-x.scope.d", "dbus.service", ""}) {
        EXPECT_FALSE(keldra::isAppLaunchUnit(no)) << no;
    }
}

TEST(LaunchMonitor, CountsOnlyWhileStartedAndOnce) {
    auto bus = std::make_shared<FakeSystemBus>();
    auto monitor = std::make_shared<AppLaunchMonitor>(bus);
    auto host = std::make_unique<keldra::LinuxHost>(nullptr, monitor);
    EXPECT_FALSE(host->appMonitorRunning());
    bus->launch("app-a.scope");
    EXPECT_EQ(monitor->launchesObserved(), 0);

    monitor->start();
    monitor->start();  // registers once
    EXPECT_TRUE(host->appMonitorRunning());
    EXPECT_EQ(bus->activeSubscriptions(), 1u);
    bus->launch("app-a.scope");
    bus->launch("user@1000.service");  // not an application
    bus->launch("app-b@x.service");
    bus->launch("app-org.example.Viewer.service");  // desktops name some launches so
    EXPECT_EQ(monitor->launchesObserved(), 3);

    monitor->stop();
    EXPECT_FALSE(host->appMonitorRunning());
    bus->launch("app-c.scope");
    EXPECT_EQ(monitor->launchesObserved(), 3);  // kept across a stop
    monitor->start();
    bus->launch("app-c.scope");
    EXPECT_EQ(monitor->launchesObserved(), 4);

    host.reset();
    monitor.reset();  // gone: its registration with it
    EXPECT_EQ(bus->activeSubscriptions(), 0u);
    bus->launch("app-d.scope");
}

TEST(LaunchMonitor, NoBusMeansNotRunningAndNoFailure) {
    auto monitor = std::make_shared<AppLaunchMonitor>(std::make_shared<FakeSystemBus>(false));
    monitor->start();
    EXPECT_FALSE(monitor->running());
    // The real bus at an address nobody serves.
    keldra::SdBusSystemBus::Addresses nowhere{"unix:path=/nonexistent/keldra-bus", "unix:path=/nonexistent/keldra-bus"};
    auto real = std::make_shared<keldra::SdBusSystemBus>(nowhere);
    AppLaunchMonitor realMonitor(real);
    realMonitor.start();
    EXPECT_FALSE(realMonitor.running());
    EXPECT_FALSE(real->subscribeWake([] {}).registered());
}

TEST(Host, FactsAndFilterState) {
    auto store = std::make_shared<keldra::FakeNetworkConfigurationStore>();
    auto installer = std::make_shared<keldra::FilterInstaller>(
        "io.tolvane.brivet.filter", std::make_shared<keldra::FakeActivationBackend>(), store);
    keldra::LinuxHost host(installer, std::make_shared<AppLaunchMonitor>(std::make_shared<FakeSystemBus>()));
    EXPECT_TRUE(std::regex_match(host.osVersion(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
    EXPECT_EQ(host.osVersion(), brivet::kernelVersion());
    auto before = brivet::monotonicClockSeconds();
    EXPECT_GE(host.monotonicSeconds(), before);

    EXPECT_FALSE(host.filterConfigured());
    installer->enableFilter();
    EXPECT_TRUE(host.filterConfigured());  // asked afresh
    store->failContentFilterLoad("gone");
    EXPECT_FALSE(host.filterConfigured());
}

}  // namespace

#include "keldra-proxy/DevHost.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <regex>

namespace {

using brivet::DevHost;

TEST(DevHostTest, VersionIsThreeDecimalNumbers) {
    EXPECT_EQ(DevHost::versionFromRelease("6.1.0-18-amd64"), "6.1.0");
    EXPECT_EQ(DevHost::versionFromRelease("13.6.1"), "13.6.1");
    EXPECT_EQ(DevHost::versionFromRelease("5.15"), "5.15.0");
    EXPECT_EQ(DevHost::versionFromRelease("6.8.0+rpt-rpi"), "6.8.0");
    EXPECT_EQ(DevHost::versionFromRelease("4.19.07.1"), "4.19.7");
    EXPECT_EQ(DevHost::versionFromRelease("6"), "6.0.0");
    EXPECT_EQ(DevHost::versionFromRelease("6."), "6.0.0");
    EXPECT_EQ(DevHost::versionFromRelease("unknown"), "0.0.0");
    EXPECT_EQ(DevHost::versionFromRelease(""), "0.0.0");

    DevHost host;
    EXPECT_TRUE(std::regex_match(host.osVersion(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
    struct utsname name {};
    ASSERT_EQ(::uname(&name), 0);
    EXPECT_EQ(host.osVersion(), DevHost::versionFromRelease(name.release));
}

TEST(DevHostTest, FilterConfiguredFollowsListenerAndDNSCheck) {
    DevHost host;
    EXPECT_FALSE(host.filterConfigured());
    host.setDNSPointsHere(true);
    EXPECT_FALSE(host.filterConfigured());  // never without the listener

    host.setDNSPointsHere(std::nullopt);
    host.setListening(true);
    EXPECT_TRUE(host.filterConfigured());  // no check made
    host.setDNSPointsHere(false);
    EXPECT_FALSE(host.filterConfigured());  // the settings had changed
    host.setDNSPointsHere(true);
    EXPECT_TRUE(host.filterConfigured());
    EXPECT_FALSE(host.appMonitorRunning());
}

}  // namespace

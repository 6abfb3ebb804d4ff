// The app's FilterInstaller over the real helper: activation, the two
// configurations saved through the helper and read back by the app and by
// the daemon alike.
#include <gtest/gtest.h>

#include "Keldra/SystemActivation.h"
#include "NamespaceLab.h"
#include "keldra-filter/Configurations.h"

namespace keldra::filter {
namespace {

using keldra::test::readFile;
using keldra::test::writeFile;
namespace fs = std::filesystem;

struct ActivationFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        ::setenv("KELDRA_SYSTEM_ROOT", root.c_str(), 1);
        fs::create_directories(root / "run/systemd/system");
        fs::create_directories(bin);
        writeFile(bin / "systemctl", "#!/bin/sh\nexit 0\n");
        fs::permissions(bin / "systemctl", fs::perms(0755));
        ::setenv("PATH", (bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
        const auto extension = bundle / "Contents/Library/SystemExtensions/io.tolvane.brivet.filter.systemextension/Contents/bin";
        fs::create_directories(extension);
        fs::copy_file(KELDRA_FILTER_PATH, extension / "keldra-filter");
        for (auto path = bundle; path != "/tmp"; path = path.parent_path()) fs::permissions(path, fs::perms(0755));
        fs::permissions(root, fs::perms(0755));
        for (auto& entry : fs::recursive_directory_iterator(bundle)) fs::permissions(entry.path(), fs::perms(0755));
    }

    FilterInstaller installer(std::shared_ptr<AdministratorRunner> runner) {
        return FilterInstaller("io.tolvane.brivet.filter",
                               std::make_shared<HelperActivationBackend>(bundle, runner, KELDRA_HELPER_PATH),
                               std::make_shared<FileNetworkConfigurationStore>(
                                   configurations, std::make_shared<HelperConfigurationWriter>(runner, KELDRA_HELPER_PATH)));
    }

    keldra::test::TempDir scratch{"keldra-activation"};
    fs::path root = scratch / "root";
    fs::path bin = scratch / "bin";
    // The app where the build installs it, under the scratch root.
    fs::path bundle = root / fs::path(KELDRA_INSTALLED_APP_BUNDLE).relative_path();
    fs::path configurations = root / "etc/keldra/network-configurations.json";
};

TEST_F(ActivationFixture, InstallsEnablesBothConfigurationsAndTheDaemonReadsThemAsTheAppDoes) {
    auto filter = installer(std::make_shared<PkexecRunner>(std::nullopt, true));
    EXPECT_EQ(filter.activate(), FilterInstaller::Outcome::installed());
    EXPECT_TRUE(fs::exists(root / "usr/local/lib/keldra/io.tolvane.brivet.filter.systemextension/Contents/bin/keldra-filter"));
    EXPECT_FALSE(filter.isFilterEnabled());
    filter.enableFilter();
    filter.enableDNSProxy();
    EXPECT_TRUE(filter.isFilterEnabled());
    EXPECT_TRUE(filter.isDNSProxyEnabled());
    EXPECT_EQ(readSwitchesFile(configurations, "io.tolvane.brivet.filter"), (ProviderSwitches{true, true}));
    EXPECT_EQ(readSwitchesFile(configurations, "com.example.other"), (ProviderSwitches{true, false}));
}

TEST_F(ActivationFixture, RefusalsAndADismissedPromptComeBackAsFailures) {
    // A stand-in pkexec whose prompt the user dismisses.
    writeFile(bin / "pkexec", "#!/bin/sh\necho 'Request dismissed' >&2\nexit 126\n");
    fs::permissions(bin / "pkexec", fs::perms(0755));
    auto dismissed = installer(std::make_shared<PkexecRunner>(bin.string(), false));
    EXPECT_EQ(dismissed.activate(), FilterInstaller::Outcome::failed("Cancelled."));
    EXPECT_THROW(dismissed.enableFilter(), ConfigurationError);

    // A bundle a user could have changed is refused by the helper itself.
    ASSERT_EQ(::chown(bundle.c_str(), 65534, 65534), 0);
    auto refused = installer(std::make_shared<PkexecRunner>(std::nullopt, true));
    const auto outcome = refused.activate();
    EXPECT_EQ(outcome.value, FilterInstaller::Outcome::Case::failed);
    EXPECT_NE(outcome.message.find("is not installed by root"), std::string::npos) << outcome.message;

    // So is a root-owned copy of the app anywhere but its install location.
    ASSERT_EQ(::chown(bundle.c_str(), 0, 0), 0);
    const auto copy = scratch / "Keldra.app";
    fs::copy(bundle, copy, fs::copy_options::recursive);
    const auto elsewhere = FilterInstaller("io.tolvane.brivet.filter",
                                           std::make_shared<HelperActivationBackend>(
                                               copy, std::make_shared<PkexecRunner>(std::nullopt, true), KELDRA_HELPER_PATH),
                                           std::make_shared<FakeNetworkConfigurationStore>())
                               .activate();
    EXPECT_EQ(elsewhere, FilterInstaller::Outcome::failed("keldra-helper only activates the app installed at " +
                                                          bundle.string() + ", not " + copy.string()));
    EXPECT_FALSE(fs::exists(root / "usr/local/lib/keldra"));

    auto missing = FilterInstaller("io.tolvane.brivet.filter",
                                   std::make_shared<HelperActivationBackend>(
                                       bundle, std::make_shared<PkexecRunner>(std::nullopt, true), scratch / "no-helper"),
                                   std::make_shared<FakeNetworkConfigurationStore>());
    EXPECT_EQ(missing.activate().message, "the system helper is not installed at " + (scratch / "no-helper").string());
}

}  // namespace
}  // namespace keldra::filter

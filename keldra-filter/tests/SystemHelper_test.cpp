// The activation helper against a scratch root, with a stand-in systemctl
// that records its calls.
#include <signal.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "BrivetClient/AtomicFile.h"

#include "NamespaceLab.h"
#include "keldra-filter/Command.h"
#include "keldra-filter/SystemHelper.h"

namespace keldra::filter {
namespace {

using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;
namespace fs = std::filesystem;

struct HelperFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        for (auto path = scratch.path(); path != "/tmp"; path = path.parent_path()) fs::permissions(path, fs::perms(0755));
        fs::create_directories(bin);
        writeFile(bin / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (scratch / "systemctl.calls").string() + "'\n");
        fs::permissions(bin / "systemctl", fs::perms(0755));
        makeBundle("1");
    }
    void TearDown() override {
        std::string pid;
        if (::geteuid() == 0 && brivet::readWholeFile(root / "run/keldra/keldra-filter.pid", pid)) {
            ::kill(std::atoi(pid.c_str()), SIGKILL);
        }
    }

    void makeBundle(const std::string& version) {
        const auto extension = bundle / "Contents/Library/SystemExtensions/io.tolvane.brivet.filter.systemextension/Contents";
        fs::create_directories(extension / "bin");
        writeFile(bundle / "Contents/Info.json", R"({"BRIVET_FILTER_BUNDLE_ID":"io.tolvane.brivet.filter"})");
        writeFile(extension / "Info.json",
                  R"({"CFBundleIdentifier":"io.tolvane.brivet.filter","NetworkExtension":{"NEMachServiceName":"/run/keldra/filter.sock"}})");
        writeFile(extension / "version", version);
        fs::copy_file(KELDRA_FILTER_PATH, extension / "bin/keldra-filter", fs::copy_options::overwrite_existing);
        for (auto& entry : fs::recursive_directory_iterator(bundle)) {
            fs::permissions(entry.path(), entry.is_directory() ? fs::perms(0755) : fs::perms(0755));
        }
        fs::permissions(bundle, fs::perms(0755));
    }

    CommandResult helper(std::vector<std::string> arguments) {
        std::vector<std::string> words{"env", "KELDRA_SYSTEM_ROOT=" + root.string(),
                                       "PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin", KELDRA_HELPER_PATH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return runCommand(words);
    }

    keldra::test::TempDir scratch{"keldra-helper"};
    fs::path root = scratch / "root";
    fs::path bin = scratch / "bin";
    fs::path bundle = scratch / "opt/Keldra.app";
    fs::path installed = root / "usr/local/lib/keldra/io.tolvane.brivet.filter.systemextension";
};

TEST_F(HelperFixture, ActivationUnderSystemdWritesEnablesAndRestartsTheUnitAndReplacesAnyCopy) {
    fs::create_directories(root / "run/systemd/system");
    auto result = helper({"activate", bundle.string()});
    ASSERT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(readFile(installed / "Contents/version"), "1");
    EXPECT_EQ(modeOf(installed / "Contents/bin/keldra-filter"), 0755u);
    EXPECT_EQ(readFile(root / "etc/systemd/system/keldra-filter.service"),
              filterUnit("/usr/local/lib/keldra/io.tolvane.brivet.filter.systemextension/Contents/bin/keldra-filter"));
    EXPECT_EQ(readFile(scratch / "systemctl.calls"),
              "daemon-reload\nenable keldra-filter.service\nrestart keldra-filter.service\n");
    EXPECT_EQ(modeOf(root / "var/lib/keldra-filter"), 0700u);
    EXPECT_EQ(readFile(root / "var/lib/keldra-filter/installation.json"), "{\"appBundle\":\"" + bundle.string() + "\"}");

    // An older copy in the app replaces the newer one installed.
    makeBundle("0");
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0);
    EXPECT_EQ(readFile(installed / "Contents/version"), "0");

    writeFile(bin / "systemctl", "#!/bin/sh\necho 'unit masked' >&2\nexit 1\n");
    result = helper({"activate", bundle.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError, "systemctl daemon-reload failed: unit masked\n");
}

TEST_F(HelperFixture, WithoutSystemdTheDaemonIsStartedDirectlyAndReplacedOnTheNextActivation) {
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(root / "run/keldra/filter.sock"); }));
    const std::string first = readFile(root / "run/keldra/keldra-filter.pid");
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0) << readFile(root / "var/log/keldra-filter.log");
    ASSERT_TRUE(test::waitFor([&] {
        const auto now = readFile(root / "run/keldra/keldra-filter.pid");
        return !now.empty() && now != first;
    }));
    EXPECT_NE(::kill(std::atoi(first.c_str()), 0), 0);  // the first one is gone
    EXPECT_FALSE(fs::exists(scratch / "systemctl.calls"));
}

TEST_F(HelperFixture, BundlesARootlessUserCouldHaveWrittenAreRefused) {
    EXPECT_NE(helper({"activate", "opt/Keldra.app"}).standardError.find("absolute path"), std::string::npos);
    EXPECT_NE(helper({"activate", (scratch / "nowhere.app").string()}).status, 0);
    ASSERT_EQ(::chown((scratch / "opt").c_str(), 65534, 65534), 0);
    const auto result = helper({"activate", bundle.string()});
    EXPECT_NE(result.standardError.find("is not installed by root"), std::string::npos) << result.standardError;
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_NE(helper({"frobnicate"}).standardError.find("usage"), std::string::npos);
}

TEST_F(HelperFixture, ConfigurationsAreWrittenReadableByAllAndNeverSwitchedOffHere) {
    const std::string on = R"({"contentFilter":{"enabled":true,"localizedDescription":"Keldra","provider":{"filterSockets":true,"filterPackets":false}},"dnsProxy":{"enabled":true,"localizedDescription":"Keldra DNS","provider":{"providerBundleIdentifier":"io.tolvane.brivet.filter","serverAddress":"Keldra"}}})";
    const std::string filterOnly = R"({"contentFilter":{"enabled":true,"provider":{}},"dnsProxy":{"enabled":false}})";
    const auto file = root / "etc/keldra/network-configurations.json";
    ASSERT_EQ(helper({"save-configurations", filterOnly}).status, 0);
    EXPECT_EQ(modeOf(file), 0644u);
    ASSERT_EQ(helper({"save-configurations", on}).status, 0);
    EXPECT_EQ(nlohmann::json::parse(readFile(file)), nlohmann::json::parse(on));

    EXPECT_EQ(helper({"save-configurations", filterOnly}).standardError,
              "the DNS proxy is on and cannot be switched off or pointed elsewhere here\n");
    std::string elsewhere = on;
    elsewhere.replace(elsewhere.find("io.tolvane.brivet.filter"), 24, "com.example.other");
    EXPECT_NE(helper({"save-configurations", elsewhere}).status, 0);
    EXPECT_EQ(helper({"save-configurations", R"({"dnsProxy":)" + nlohmann::json::parse(on)["dnsProxy"].dump() + "}"}).standardError,
              "the content filter is on and cannot be switched off here\n");
    EXPECT_NE(helper({"save-configurations", "$(reboot)"}).status, 0);
    EXPECT_EQ(nlohmann::json::parse(readFile(file)), nlohmann::json::parse(on));
}

}  // namespace
}  // namespace keldra::filter

// The activation helper against a scratch root, with a stand-in systemctl
// that records its calls.
#include <signal.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "BrivetClient/AtomicFile.h"

#include "NamespaceLab.h"
#include "keldra-filter/Command.h"
#include "keldra-filter/Configurations.h"
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
    static fs::path installedPlace() { return fs::path(KELDRA_INSTALLED_APP_BUNDLE).relative_path(); }
    void TearDown() override {
        std::string pid;
        if (::geteuid() == 0 && brivet::readWholeFile(root / "run/keldra/keldra-filter.pid", pid)) {
            ::kill(std::atoi(pid.c_str()), SIGKILL);
        }
    }

    void makeBundle(const std::string& version) { makeBundleAt(bundle, version); }
    void makeBundleAt(const fs::path& bundle, const std::string& version) {
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
        for (auto path = bundle; path != scratch.path(); path = path.parent_path()) fs::permissions(path, fs::perms(0755));
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
    // The app where the build installs it, under the scratch root.
    fs::path bundle = root / installedPlace();
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

    // The same copy again: the running daemon is left as it is.
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0);
    EXPECT_EQ(readFile(scratch / "systemctl.calls"),
              "daemon-reload\nenable keldra-filter.service\nrestart keldra-filter.service\n"
              "daemon-reload\nenable keldra-filter.service\nstart keldra-filter.service\n");

    // An older copy in the app replaces the newer one installed.
    makeBundle("0");
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0);
    EXPECT_EQ(readFile(installed / "Contents/version"), "0");
    EXPECT_TRUE(readFile(scratch / "systemctl.calls").ends_with("restart keldra-filter.service\n"));

    // systemctl's own words reach the app as they are (it escapes them where
    // it shows them).
    writeFile(bin / "systemctl", "#!/bin/sh\necho 'unit masked' >&2\nexit 1\n");
    result = helper({"activate", bundle.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError, "systemctl daemon-reload failed: unit masked\n");
    writeFile(bin / "systemctl",
              "#!/bin/sh\n[ \"$1\" = start ] || exit 0\nprintf 'Job failed.\\nSee \\\\journal\\033[0m\\n' >&2\nexit 1\n");
    result = helper({"activate", bundle.string()});
    EXPECT_EQ(result.standardError, "systemctl start failed: Job failed.\nSee \\journal\033[0m\n");
}

TEST_F(HelperFixture, WithoutSystemdTheDaemonIsStartedDirectlyAndReplacedByAnotherCopy) {
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(root / "run/keldra/filter.sock"); }));
    const std::string first = readFile(root / "run/keldra/keldra-filter.pid");
    // The same copy again leaves the daemon running.
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0) << readFile(root / "var/log/keldra-filter.log");
    EXPECT_EQ(readFile(root / "run/keldra/keldra-filter.pid"), first);
    EXPECT_EQ(::kill(std::atoi(first.c_str()), 0), 0);

    makeBundle("2");
    ASSERT_EQ(helper({"activate", bundle.string()}).status, 0) << readFile(root / "var/log/keldra-filter.log");
    EXPECT_EQ(readFile(installed / "Contents/version"), "2");
    ASSERT_TRUE(test::waitFor([&] {
        const auto now = readFile(root / "run/keldra/keldra-filter.pid");
        return !now.empty() && now != first;
    }));
    // The first one has ended by then (a zombie until its new parent reaps it).
    const auto stat = readFile("/proc/" + std::to_string(std::atoi(first.c_str())) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
    EXPECT_FALSE(fs::exists(scratch / "systemctl.calls"));
}

TEST_F(HelperFixture, BundlesARootlessUserCouldHaveWrittenAreRefused) {
    EXPECT_NE(helper({"activate", installedPlace().string()}).standardError.find("only activates the app installed at"),
              std::string::npos);
    EXPECT_NE(helper({"activate", (scratch / "nowhere.app").string()}).status, 0);
    ASSERT_EQ(::chown(bundle.parent_path().c_str(), 65534, 65534), 0);
    const auto result = helper({"activate", bundle.string()});
    EXPECT_NE(result.standardError.find("is not installed by root"), std::string::npos) << result.standardError;
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_NE(helper({"frobnicate"}).standardError.find("usage"), std::string::npos);
}

TEST_F(HelperFixture, OnlyTheAppAtTheInstallLocationIsActivatedEvenWhenAnotherIsOwnedByRoot) {
    // A user's file system image (every file owned by uid 0), mounted as
    // desktop disk managers do, holding their own "app".
    const auto image = scratch / "media/user/image/Keldra.app";
    makeBundleAt(image, "user's own");
    const auto result = helper({"activate", image.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError,
              "keldra-helper only activates the app installed at " + bundle.string() + ", not " + image.string() + "\n");
    EXPECT_FALSE(fs::exists(installed));
    EXPECT_FALSE(fs::exists(root / "var/lib/keldra-filter/installation.json"));

    // Its path in other spellings is the same refusal, and the path given
    // comes back as it was (the app escapes it where it shows it).
    EXPECT_EQ(helper({"activate", bundle.string() + "/../Keldra.app.evil"}).status, 1);
    EXPECT_EQ(helper({"activate", "/x\nkeldra-helper: \\activated"}).standardError,
              "keldra-helper only activates the app installed at " + bundle.string() +
                  ", not /x\nkeldra-helper: \\activated\n");

    // The installed app's own path, with a trailing slash or a dot, is taken,
    // and what runs is always copied from there.
    fs::create_directories(root / "run/systemd/system");
    ASSERT_EQ(helper({"activate", bundle.string() + "/."}).status, 0);
    EXPECT_EQ(readFile(installed / "Contents/version"), "1");
    EXPECT_EQ(readFile(root / "var/lib/keldra-filter/installation.json"), "{\"appBundle\":\"" + bundle.string() + "\"}");

    // A folder above it that others may write is refused.
    fs::permissions(bundle.parent_path(), fs::perms(0775));
    EXPECT_NE(helper({"activate", bundle.string()}).standardError.find("is not installed by root"), std::string::npos);
    fs::permissions(bundle.parent_path(), fs::perms(0755));
    fs::permissions(bundle / "Contents/Library", fs::perms(0777));
    EXPECT_NE(helper({"activate", bundle.string()}).status, 0);
}

TEST_F(HelperFixture, TargetsAUserCouldSwapAreRefusedBeforeAnythingIsWritten) {
    // A world-writable folder above the place of the program run as root.
    fs::create_directories(root / "usr/local/lib");
    fs::permissions(root / "usr/local/lib", fs::perms(0777));
    auto result = helper({"activate", bundle.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.standardError.find(root.string() + "/usr/local/lib is writable by group or others"),
              std::string::npos)
        << result.standardError;
    EXPECT_FALSE(fs::exists(root / "usr/local/lib/keldra"));
    fs::permissions(root / "usr/local/lib", fs::perms(0755));

    // A folder a user owns.
    fs::create_directories(root / "var/lib");
    ASSERT_EQ(::chown((root / "var/lib").c_str(), 65534, 65534), 0);
    EXPECT_NE(helper({"activate", bundle.string()}).standardError.find("/var/lib does not belong to root"),
              std::string::npos);
    ASSERT_EQ(::chown((root / "var/lib").c_str(), 0, 0), 0);

    // A symbolic link planted at each target is never followed.
    const auto elsewhere = scratch / "elsewhere";
    fs::create_directories(elsewhere);
    for (const auto& target : {root / "usr/local/lib/keldra", root / "var/lib/keldra-filter/installation.json",
                               root / "etc/systemd/system/keldra-filter.service", root / "run/keldra/keldra-filter.pid",
                               root / "var/log/keldra-filter.log", root / "etc/keldra/network-configurations.json"}) {
        fs::create_directories(target.parent_path());
        fs::create_symlink(elsewhere, target);
        result = target.filename() == "network-configurations.json"
                     ? helper({"save-configurations", R"({"contentFilter":{"enabled":true,"provider":{}}})"})
                     : helper({"activate", bundle.string()});
        EXPECT_EQ(result.status, 1) << target;
        EXPECT_NE(result.standardError.find(target.string() + " is a symbolic link"), std::string::npos)
            << result.standardError;
        EXPECT_TRUE(fs::is_empty(elsewhere));
        fs::remove(target);
    }
    EXPECT_FALSE(fs::exists(root / "usr/local/lib/keldra"));
    EXPECT_FALSE(fs::exists(scratch / "systemctl.calls"));
}

TEST_F(HelperFixture, ConfigurationsAreWrittenReadableByAllAndNeverSwitchedOffHere) {
    const std::string on = R"({"contentFilter":{"enabled":true,"localizedDescription":"Keldra","provider":{"filterSockets":true,"filterPackets":false}},"dnsProxy":{"enabled":true,"localizedDescription":"Keldra DNS","provider":{"providerBundleIdentifier":"io.tolvane.brivet.filter","serverAddress":"Keldra"}}})";
    const std::string filterOnly = R"({"contentFilter":{"enabled":true,"provider":{}},"dnsProxy":{"enabled":false}})";
    const auto file = root / "etc/keldra/network-configurations.json";
    ASSERT_EQ(helper({"save-configurations", filterOnly}).status, 0);
    EXPECT_EQ(modeOf(file), 0644u);
    ASSERT_EQ(helper({"save-configurations", on}).status, 0);
    EXPECT_EQ(readFile(file), nlohmann::json::parse(on).dump() + "\n");  // compact

    // Documents over the limits are refused before anything is read.
    std::string deep = R"({"contentFilter":{"enabled":true,"provider":{}},"dnsProxy":)" +
                       nlohmann::json::parse(on)["dnsProxy"].dump() + R"(,"x":)";
    deep += std::string(16000, '[') + std::string(16000, ']') + "}";
    std::string large = on;
    large.insert(large.find("Keldra DNS"), std::string(64 * 1024, ' '));
    EXPECT_EQ(helper({"save-configurations", deep}).standardError, "the configurations nest deeper than 32 levels\n");
    EXPECT_EQ(helper({"save-configurations", large}).standardError,
              "the configurations are " + std::to_string(large.size()) + " bytes, more than the 65536 they may take\n");

    EXPECT_EQ(helper({"save-configurations", filterOnly}).standardError,
              "the DNS proxy is on and cannot be switched off or pointed elsewhere here\n");
    std::string elsewhere = on;
    elsewhere.replace(elsewhere.find("io.tolvane.brivet.filter"), 24, "com.example.other");
    EXPECT_NE(helper({"save-configurations", elsewhere}).status, 0);
    EXPECT_EQ(helper({"save-configurations", R"({"dnsProxy":)" + nlohmann::json::parse(on)["dnsProxy"].dump() + "}"}).standardError,
              "the content filter is on and cannot be switched off here\n");
    EXPECT_NE(helper({"save-configurations", "$(reboot)"}).status, 0);
    EXPECT_EQ(nlohmann::json::parse(readFile(file)), nlohmann::json::parse(on));
    // Nor when the app's Info names another extension from a file a user
    // could write.
    const auto info = bundle / "Contents/Info.json";
    const auto ownInfo = readFile(info);
    writeFile(info, R"({"BRIVET_FILTER_BUNDLE_ID":"com.example.other"})");
    ASSERT_EQ(::chown(info.c_str(), 65534, 65534), 0);
    EXPECT_EQ(helper({"save-configurations", filterOnly}).standardError,
              "the DNS proxy is on and cannot be switched off or pointed elsewhere here\n");
    ASSERT_EQ(::unlink(info.c_str()), 0);
    writeFile(info, ownInfo);

    // A DNS proxy that names another extension is off, as the daemon reads
    // it: the app switches its own on.
    writeFile(file, elsewhere);
    EXPECT_EQ(helper({"save-configurations", on}).standardError, "");
}

TEST(ConfigurationsReader, AFileOverTheLimitsIsLoggedOnceAndKeepsTheConfigurationInForceAcrossRestarts) {
    keldra::test::TempDir folder("keldra-configurations");
    const auto file = folder / "network-configurations.json";
    std::vector<std::string> lines;
    const auto kept = folder / "state/configurations-in-force.json";
    const auto log = [&](const std::string& line) { lines.push_back(line); };
    ConfigurationsReader reader(file, "io.tolvane.brivet.filter", log, kept);
    const std::string filterOn = R"({"contentFilter":{"enabled":true,"provider":{}}})";
    struct Row {
        std::string document;
        std::optional<ProviderSwitches> read;
        std::size_t lines;  // logged by then
    };
    const std::string large = R"({"contentFilter":{"enabled":false,"provider":{}},"x":")" + std::string(64 * 1024, 'x') + "\"}";
    const std::string deep = R"({"contentFilter":{"enabled":false},"x":)" + std::string(33, '[') + std::string(33, ']') + "}";
    for (const Row& row : {Row{filterOn, ProviderSwitches{true, false}, 0}, Row{large, std::nullopt, 1},
                           Row{large, std::nullopt, 1}, Row{deep, std::nullopt, 2}, Row{deep, std::nullopt, 2},
                           Row{filterOn, ProviderSwitches{true, false}, 2}, Row{large, std::nullopt, 3}}) {
        writeFile(file, row.document);
        EXPECT_EQ(reader.read(), row.read) << row.document.substr(0, 60);
        EXPECT_EQ(lines.size(), row.lines) << row.document.substr(0, 60);
    }
    // A restart over the file it cannot use starts from what was in force.
    ConfigurationsReader restarted(file, "io.tolvane.brivet.filter", log, kept);
    EXPECT_EQ(restarted.read(), (ProviderSwitches{true, false}));
    EXPECT_EQ(restarted.read(), std::nullopt);
    EXPECT_EQ(modeOf(kept), 0600u);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "configurations not read: " + file.string() +
                            " is larger than 65536 bytes; the configuration in force is kept");
    EXPECT_EQ(lines[1], "configurations not read: the configurations nest deeper than 32 levels; the configuration in "
                        "force is kept");
}

}  // namespace
}  // namespace keldra::filter

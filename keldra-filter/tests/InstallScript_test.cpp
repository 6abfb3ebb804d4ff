// install.sh run by a real /bin/sh against a scratch root, with stand-ins
// for keldra-proxy (recording its arguments) and systemctl (recording its
// calls).
#include <gtest/gtest.h>

#include "NamespaceLab.h"
#include "keldra-filter/Command.h"

namespace keldra::filter {
namespace {

using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;
namespace fs = std::filesystem;
using Call = std::vector<std::string>;

struct InstallFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "install.sh runs as root";
        fs::create_directories(resources);
        fs::create_directories(bin);
        writeFile(resources / "keldra-proxy",
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done >> '" + (scratch / "proxy.calls").string() +
                      "'\nprintf '\\1' >> '" + (scratch / "proxy.calls").string() + "'\n"
                      "if [ -f '" + (scratch / "fail").string() + "' ]; then echo 'enrollment code expired' >&2; exit 127; fi\n");
        writeFile(resources / "keldra-networksetup", "#!/bin/sh\n");
        writeFile(resources / "Environment.json", "{}");
        writeFile(bin / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (scratch / "systemctl.calls").string() + "'\n");
        for (const auto& file : {resources / "keldra-proxy", resources / "keldra-networksetup", bin / "systemctl"}) {
            fs::permissions(file, fs::perms(0755));
        }
    }

    CommandResult install(const std::string& code, const std::string& name) {
        return runCommand({"env", "KELDRA_SYSTEM_ROOT=" + root.string(),
                           "PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin", "/bin/sh", KELDRA_INSTALL_SCRIPT,
                           resources.string(), code, name});
    }

    std::vector<Call> proxyCalls() {
        test::waitFor([&] { return fs::exists(scratch / "proxy.calls"); }, std::chrono::milliseconds(2000));
        std::vector<Call> calls;
        Call current;
        std::string word;
        for (char c : readFile(scratch / "proxy.calls")) {
            if (c == '\0') {
                current.push_back(word);
                word.clear();
            } else if (c == '\1') {
                calls.push_back(current);
                current.clear();
            } else {
                word += c;
            }
        }
        return calls;
    }

    keldra::test::TempDir scratch{"keldra-install"};
    fs::path root = scratch / "root";
    fs::path resources = scratch / "Keldra.app/Contents/Resources";
    fs::path bin = scratch / "bin";
    std::string libexec = (root / "usr/local/libexec/keldra").string();
};

TEST_F(InstallFixture, HostileCodesAndNamesReachKeldraProxyUnchangedAndTheUnitIsStarted) {
    fs::create_directories(root / "run/systemd/system");
    const std::string code = "-x'\"\\$(touch /tmp/pwned)`id`%n\nsecond line";
    const std::string name = "--help Kid's \"Mac\" $HOME %h\t\\";
    const auto result = install(code, name);
    ASSERT_EQ(result.status, 0) << result.standardError;

    const auto calls = proxyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (Call{"--env", libexec + "/Environment.json", "--dir", (root / "var/lib/keldra").string(),
                              "--enroll", code, "--name", name, "--once"}));
    EXPECT_FALSE(fs::exists("/tmp/pwned"));

    const auto unit = readFile(root / "etc/systemd/system/keldra-proxy.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/local/libexec/keldra/keldra-proxy --env /usr/local/libexec/keldra/Environment.json "
                        "--dir /var/lib/keldra --assert-dns --listen 127.0.0.1:53\n"),
              std::string::npos)
        << unit;
    EXPECT_EQ(unit.find("second line"), std::string::npos);
    EXPECT_EQ(readFile(scratch / "systemctl.calls"),
              "daemon-reload\nenable keldra-proxy.service\nrestart keldra-proxy.service\n");
    EXPECT_EQ(modeOf(root / "var/lib/keldra"), 0755u);
    EXPECT_EQ(modeOf(libexec + "/keldra-proxy"), 0755u);
    EXPECT_EQ(modeOf(libexec + "/keldra-networksetup"), 0755u);
    EXPECT_EQ(modeOf(libexec + "/Environment.json"), 0644u);
}

TEST_F(InstallFixture, ARepairKeepsTheEnrolmentAndRestartsTheProxyWithoutSystemd) {
    ASSERT_EQ(install("", "Mac").status, 0);
    ASSERT_TRUE(test::waitFor([&] { return proxyCalls().size() == 1; }));
    EXPECT_EQ(proxyCalls()[0], (Call{"--env", libexec + "/Environment.json", "--dir", (root / "var/lib/keldra").string(),
                                     "--assert-dns", "--listen", "127.0.0.1:53"}));
    EXPECT_TRUE(fs::exists(root / "run/keldra-proxy.pid"));
    EXPECT_FALSE(fs::exists(scratch / "systemctl.calls"));
    EXPECT_FALSE(fs::exists(root / "etc/systemd/system/keldra-proxy.service"));
}

TEST_F(InstallFixture, FailuresExitOneWithTheirReason) {
    writeFile(scratch / "fail", "");
    auto result = install("CODE", "Mac");
    EXPECT_EQ(result.status, 1);  // the proxy's own 127 is not passed on
    EXPECT_EQ(result.standardError, "Enrolment failed: enrollment code expired\n");

    fs::remove(resources / "keldra-networksetup");
    result = install("CODE", "Mac");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError, "This copy of the app is missing keldra-networksetup.\n");

    result = runCommand({"/bin/sh", KELDRA_INSTALL_SCRIPT, resources.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError, "usage: install.sh RESOURCES CODE NAME\n");
}

}  // namespace
}  // namespace keldra::filter

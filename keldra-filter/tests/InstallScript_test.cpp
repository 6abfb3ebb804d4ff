// install.sh run by a real /bin/sh against a scratch root, with stand-ins
// for keldra-proxy (recording its arguments) and systemctl (recording its
// calls).
#include <grp.h>
#include <sys/stat.h>

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

    CommandResult install(const std::string& code, const std::string& name, mode_t umaskValue = 022) {
        // The script inherits the umask of whoever starts it.
        const mode_t before = ::umask(umaskValue);
        auto result = runCommand({"env", "KELDRA_SYSTEM_ROOT=" + root.string(),
                           "PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin", "/bin/sh", KELDRA_INSTALL_SCRIPT,
                           resources.string(), code, name});
        ::umask(before);
        return result;
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
    // The unit is the app's sign that the service is installed, and records
    // what was started.
    const auto unit = readFile(root / "etc/systemd/system/keldra-proxy.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/local/libexec/keldra/keldra-proxy --env /usr/local/libexec/keldra/Environment.json "
                        "--dir /var/lib/keldra --assert-dns --listen 127.0.0.1:53\n"),
              std::string::npos)
        << unit;
    EXPECT_EQ(unit.rfind("# Started directly, without systemd: its process id is in /run/keldra-proxy.pid", 0), 0u) << unit;
}

TEST_F(InstallFixture, UnderUmaskZeroEveryFolderAndFileGetsItsOwnMode) {
    for (const bool systemd : {true, false}) {
        SCOPED_TRACE(systemd ? "with systemd" : "without systemd");
        fs::remove_all(root);
        if (systemd) fs::create_directories(root / "run/systemd/system");
        const auto result = install("", "Mac", 0);
        ASSERT_EQ(result.status, 0) << result.standardError;
        for (const auto& folder : {"", "usr", "usr/local", "usr/local/libexec", "usr/local/libexec/keldra", "var",
                                   "var/lib", "var/lib/keldra", "etc", "etc/systemd", "etc/systemd/system"}) {
            EXPECT_EQ(modeOf(root / folder), 0755u) << folder;
        }
        EXPECT_EQ(modeOf(libexec + "/keldra-proxy"), 0755u);
        EXPECT_EQ(modeOf(libexec + "/keldra-networksetup"), 0755u);
        EXPECT_EQ(modeOf(libexec + "/Environment.json"), 0644u);
        EXPECT_EQ(modeOf(root / "etc/systemd/system/keldra-proxy.service"), 0644u);
        if (!systemd) {
            ASSERT_TRUE(test::waitFor([&] { return fs::exists(root / "run/keldra-proxy.pid"); }));
            EXPECT_EQ(modeOf(root / "run"), 0755u);
            EXPECT_EQ(modeOf(root / "var/log"), 0755u);
            EXPECT_EQ(modeOf(root / "run/keldra-proxy.pid"), 0644u);
            EXPECT_EQ(modeOf(root / "var/log/keldra-proxy.log"), 0640u);
        }
    }
}

TEST_F(InstallFixture, PlacesAUserCouldSwapAreRefusedBeforeAnythingIsWritten) {
    fs::create_directories(root / "run/systemd/system");
    const auto nothingChanged = [&](const std::string& what) {
        EXPECT_FALSE(fs::exists(scratch / "proxy.calls")) << what;
        EXPECT_FALSE(fs::exists(scratch / "systemctl.calls")) << what;
        EXPECT_FALSE(fs::exists(libexec + "/keldra-proxy")) << what;
        EXPECT_FALSE(fs::exists(root / "etc/systemd/system/keldra-proxy.service")) << what;
    };

    // A folder above a target that others may write.
    fs::create_directories(root / "usr/local/libexec");
    fs::permissions(root / "usr/local/libexec", fs::perms(0777));
    auto result = install("CODE", "Mac");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardError, "cannot write " + libexec + ": " + (root / "usr/local/libexec").string() +
                                        " is writable by group or others, so a user other than root could swap what "
                                        "is installed there\n");
    nothingChanged("world-writable libexec");
    fs::permissions(root / "usr/local/libexec", fs::perms(0755));

    fs::create_directories(root / "var/log");
    fs::permissions(root / "var/log", fs::perms(0775));
    result = install("CODE", "Mac");
    EXPECT_NE(result.standardError.find("/var/log is writable by group or others"), std::string::npos) << result.standardError;
    nothingChanged("group-writable log folder");
    fs::permissions(root / "var/log", fs::perms(0755));

    ASSERT_EQ(::chown((root / "usr/local").c_str(), 65534, 65534), 0);
    EXPECT_NE(install("CODE", "Mac").standardError.find("/usr/local does not belong to root"), std::string::npos);
    nothingChanged("user-owned /usr/local");

    // Debian's /usr/local for the group staff is refused on purpose, and the
    // message says why.
    const group* staff = ::getgrnam("staff");
    ASSERT_EQ(::chown((root / "usr/local").c_str(), 0, staff ? staff->gr_gid : 50), 0);
    ASSERT_EQ(::chmod((root / "usr/local").c_str(), 02775), 0);
    fs::create_directories(root / "etc");
    writeFile(root / "etc/staff-group-for-usr-local", "");
    result = install("CODE", "Mac");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.standardError.find("/usr/local is writable by group or others"), std::string::npos);
    EXPECT_NE(result.standardError.find("members of staff could swap the program"), std::string::npos)
        << result.standardError;
    nothingChanged("staff-writable /usr/local");
    ASSERT_EQ(::chmod((root / "usr/local").c_str(), 0755), 0);
    ASSERT_EQ(::chown((root / "usr/local").c_str(), 0, 0), 0);
    fs::remove(root / "etc/staff-group-for-usr-local");

    // A symbolic link planted at any target is never followed.
    const auto elsewhere = scratch / "elsewhere";
    fs::create_directories(elsewhere);
    for (const std::string& target : {libexec, libexec + "/keldra-proxy", libexec + "/keldra-networksetup",
                                     libexec + "/Environment.json", libexec + "/libbrivet_core.so",
                                     (root / "var/lib/keldra").string(),
                                     (root / "etc/systemd/system/keldra-proxy.service").string(),
                                     (root / "run/keldra-proxy.pid").string(), (root / "var/log/keldra-proxy.log").string()}) {
        fs::create_directories(fs::path(target).parent_path());
        fs::create_symlink(elsewhere, target);
        result = install("CODE", "Mac");
        EXPECT_EQ(result.status, 1) << target;
        EXPECT_NE(result.standardError.find("cannot write " + target + ": " + target + " is a symbolic link"),
                  std::string::npos)
            << result.standardError;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << target;
        EXPECT_FALSE(fs::exists(scratch / "proxy.calls")) << target;
        EXPECT_FALSE(fs::exists(scratch / "systemctl.calls")) << target;
        fs::remove(target);
    }

    // A linked folder above the targets is followed only to check where it
    // leads: a user's folder there is refused.
    fs::remove_all(root / "var/lib");
    fs::create_directories(scratch / "users-lib");
    ASSERT_EQ(::chown((scratch / "users-lib").c_str(), 65534, 65534), 0);
    fs::create_symlink(scratch / "users-lib", root / "var/lib");
    EXPECT_NE(install("CODE", "Mac").standardError.find("users-lib does not belong to root"), std::string::npos);
    EXPECT_FALSE(fs::exists(scratch / "users-lib/keldra"));

    // Once the places are sound, the same install succeeds.
    fs::remove(root / "var/lib");
    result = install("CODE", "Mac");
    EXPECT_EQ(result.status, 0) << result.standardError;
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

// install.sh run by a real /bin/sh against a scratch root, in a network
// namespace of its own, with stand-ins for keldra-proxy (recording its
// arguments; as a service it serves 127.0.0.1:53 by echoing each datagram),
// keldra-networksetup (a resolver file in the scratch folder), systemctl
// (recording its calls, starting the unit's command) and journalctl.
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "NamespaceLab.h"
#include "keldra-filter/Command.h"

namespace keldra::filter {
namespace {

using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;
namespace fs = std::filesystem;
using Call = std::vector<std::string>;

// Replaces every "@NAME@" in `text` by its value.
std::string filled(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        for (std::size_t at; (at = text.find("@" + name + "@")) != std::string::npos;) {
            text.replace(at, name.size() + 2, value);
        }
    }
    return text;
}

struct InstallFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "install.sh runs as root";
        if (!lab.skipReason().empty()) GTEST_SKIP() << lab.skipReason();
        fs::create_directories(resources);
        fs::create_directories(bin);
        const std::vector<std::pair<std::string, std::string>> places{
            {"SCRATCH", scratch.path().string()}, {"ROOT", root.string()}};
        writeFile(resources / "keldra-proxy", filled(R"(#!/bin/sh
for a in "$@"; do printf '%s\0' "$a"; done >> @SCRATCH@/proxy.calls
printf '\1' >> @SCRATCH@/proxy.calls
if [ -f @SCRATCH@/fail ]; then echo 'enrollment code expired' >&2; exit 127; fi
for a in "$@"; do [ "$a" = --once ] && exit 0; done
echo "server test at http://127.0.0.1"
echo "$$" >> @SCRATCH@/served.pids
exec perl -MIO::Socket::INET -e '
$SIG{$_} = sub { exit 1 } for qw(HUP INT TERM);
my $socket = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 53, Proto => "udp")
    or do { print "cannot listen on 127.0.0.1:53: $!\n"; exit 1 };
while (1) { my $from = $socket->recv(my $query, 512); $socket->send($query, 0, $from) if $from; }' "$0"
)", places));
        writeFile(resources / "keldra-networksetup", filled(R"(#!/bin/sh
case "$1" in
-getdnsservers) sed -n 's/^nameserver //p' @SCRATCH@/resolv.conf 2>/dev/null ;;
-setdnsservers) shift 2; : > @SCRATCH@/resolv.conf; for s in "$@"; do echo "nameserver $s" >> @SCRATCH@/resolv.conf; done ;;
esac
)", places));
        writeFile(resources / "Environment.json", "{}");
        writeFile(bin / "systemctl", filled(R"(#!/bin/sh
unit=$(cat @SCRATCH@/unit.pid 2>/dev/null)
if [ "$1" = show ]; then
    if [ -n "$unit" ] && kill -0 "$unit" 2>/dev/null; then echo "$unit"; else echo 0; fi
    exit 0
fi
echo "$*" >> @SCRATCH@/systemctl.calls
case "$1" in restart|stop)
    [ -n "$unit" ] && kill "$unit" 2>/dev/null && while kill -0 "$unit" 2>/dev/null; do sleep 0.05; done ;;
esac
if [ "$1" = restart ]; then
    setsid @ROOT@$(sed -n 's/^ExecStart=//p' @ROOT@/etc/systemd/system/keldra-proxy.service) \
        </dev/null >> @SCRATCH@/unit.log 2>&1 &
    echo "$!" > @SCRATCH@/unit.pid
fi
)", places));
        writeFile(bin / "journalctl", filled("#!/bin/sh\ntail -n 5 @SCRATCH@/unit.log\n", places));
        for (const auto& file :
             {resources / "keldra-proxy", resources / "keldra-networksetup", bin / "systemctl", bin / "journalctl"}) {
            fs::permissions(file, fs::perms(0755));
        }
    }

    void TearDown() override { stopStandIns(); }

    // Ends every stand-in proxy that served: they run in sessions of their
    // own, beyond the lab's reach.
    void stopStandIns() {
        for (const pid_t pid : servedPids()) ::kill(pid, SIGKILL);
        test::waitFor([&] {
            for (const pid_t pid : servedPids()) {
                if (::kill(pid, 0) == 0) return false;
            }
            return true;
        });
    }

    std::vector<pid_t> servedPids() {
        std::vector<pid_t> pids;
        std::istringstream lines(fs::exists(scratch / "served.pids") ? readFile(scratch / "served.pids") : "");
        for (pid_t pid; lines >> pid;) pids.push_back(pid);
        return pids;
    }

    std::vector<std::string> installCommand(const std::string& code, const std::string& name) {
        return test::NamespaceLab::inNamespace(
            lab.client(), {"env", "KELDRA_SYSTEM_ROOT=" + root.string(),
                           "PATH=" + bin.string() + ":/usr/sbin:/usr/bin:/sbin:/bin", "/bin/sh", KELDRA_INSTALL_SCRIPT,
                           resources.string(), code, name});
    }

    // Starts the installer leading a process group of its own, as under a
    // terminal, with its output discarded. Returns its pid.
    pid_t startInstaller(const std::string& code, const std::string& name) {
        const auto words = installCommand(code, name);
        const pid_t installer = ::fork();
        if (installer == 0) {
            ::setpgid(0, 0);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::setpgid(installer, installer);
        return installer;
    }

    CommandResult install(const std::string& code, const std::string& name, mode_t umaskValue = 022) {
        // The script inherits the umask of whoever starts it.
        const mode_t before = ::umask(umaskValue);
        auto result = runCommand(installCommand(code, name));
        ::umask(before);
        return result;
    }

    // Sends a datagram to 127.0.0.1:53 in the lab; true when it comes back.
    bool answering() {
        const pid_t child = lab.fork(lab.client(), [] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(53);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const char query[] = "keldra-install";
            if (::sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
                return 1;
            }
            pollfd ready{fd, POLLIN, 0};
            char answer[64] = {};
            if (::poll(&ready, 1, 2000) != 1) return 2;
            return ::recv(fd, answer, sizeof answer, 0) == static_cast<ssize_t>(sizeof query) &&
                           std::string(answer) == query
                       ? 0
                       : 3;
        });
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    test::NamespaceLab lab{"in"};
    fs::path root = scratch / "root";
    fs::path resources = scratch / "Keldra.app/Contents/Resources";
    fs::path bin = scratch / "bin";
    std::string libexec = (root / "usr/local/libexec/keldra").string();
    const Call serviceCall{"--env", "/usr/local/libexec/keldra/Environment.json", "--dir", "/var/lib/keldra",
                           "--assert-dns", "--listen", "127.0.0.1:53"};
};

TEST_F(InstallFixture, HostileCodesAndNamesReachKeldraProxyUnchangedAndTheUnitIsStarted) {
    fs::create_directories(root / "run/systemd/system");
    const std::string code = "-x'\"\\$(touch /tmp/pwned)`id`%n\nsecond line";
    const std::string name = "--help Kid's \"Mac\" $HOME %h\t\\";
    const auto result = install(code, name);
    ASSERT_EQ(result.status, 0) << result.standardError;

    // The enrolment, then the unit's command, serving by the time the
    // install returns.
    const auto calls = proxyCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (Call{"--env", libexec + "/Environment.json", "--dir", (root / "var/lib/keldra").string(),
                              "--enroll", code, "--name", name, "--once"}));
    EXPECT_EQ(calls[1], serviceCall);
    EXPECT_TRUE(answering());
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

TEST_F(InstallFixture, TheProxyStartedWithoutSystemdOutlivesTheInstallersTerminal) {
    // The installer leads a process group, as under a terminal; a Ctrl-C or
    // the terminal closing signals the whole group once it has returned.
    const pid_t installer = startInstaller("", "Mac");
    int status = 0;
    ASSERT_EQ(::waitpid(installer, &status, 0), installer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const pid_t proxy = std::stoi(readFile(root / "run/keldra-proxy.pid"));
    ASSERT_TRUE(test::waitFor([&] { return answering(); }));

    for (const int signal : {SIGHUP, SIGINT}) ::kill(-installer, signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::kill(proxy, 0), 0);
    EXPECT_TRUE(answering());
}

TEST_F(InstallFixture, ARepairSignalledAtAnyMomentLeavesNamesResolving) {
    // The first install's proxy pointed the DNS settings here.
    ASSERT_EQ(install("", "Mac").status, 0);
    writeFile(scratch / "resolv.conf", "nameserver 127.0.0.1\n");
    writeFile(root / "var/lib/keldra/dns-restore.sh",
              "#!/bin/sh\n" + libexec + "/keldra-networksetup -setdnsservers 'resolv.conf' 192.0.2.53\n");
    const auto repair = [&](int signal, std::chrono::microseconds after) {
        const pid_t installer = startInstaller("", "Mac");
        std::this_thread::sleep_for(after);
        if (signal != 0) ::kill(-installer, signal);
        int status = 0;
        ::waitpid(installer, &status, 0);
        return status;
    };
    // The length of one repair sets the spread of the moments.
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(repair(0, {}), 0);
    const auto length = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin);

    constexpr int kMoments = 8;
    for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
        for (int moment = 0; moment < kMoments; ++moment) {
            SCOPED_TRACE(std::string(strsignal(signal)) + " at " + std::to_string(moment) + "/" +
                         std::to_string(kMoments) + " of " + std::to_string(length.count() / 1000) + " ms");
            repair(signal, length * moment / kMoments);
            // A signal before the stretch that replaces the proxy leaves the
            // old one serving; within it, none reaches the installer or the
            // new proxy. Putting the settings back would keep names
            // resolving too, but there is no call for it here.
            const bool serving = answering();
            EXPECT_TRUE(serving) << "resolver file: " << readFile(scratch / "resolv.conf");
            EXPECT_TRUE(serving || readFile(scratch / "resolv.conf") == "nameserver 192.0.2.53\n");
            // The next row starts from a proxy serving, as after an install.
            if (!serving) {
                ASSERT_EQ(repair(0, {}), 0);
            }
            writeFile(scratch / "resolv.conf", "nameserver 127.0.0.1\n");
        }
    }
}

TEST_F(InstallFixture, AProxyThatCannotServeFailsTheInstallAndPutsTheDNSSettingsBack) {
    // Another server holds 127.0.0.1:53 and answers there: that is not the
    // proxy serving.
    int bound[2];
    ASSERT_EQ(::pipe(bound), 0);
    const pid_t holder = lab.fork(lab.client(), [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
        if (::write(bound[1], "b", 1) != 1) return 1;
        for (;;) {
            char query[512];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) ::sendto(fd, query, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    });
    ::close(bound[1]);
    char byte = 0;
    ASSERT_EQ(::read(bound[0], &byte, 1), 1);
    ::close(bound[0]);

    struct Row {
        bool systemd;
        bool pointedHere;  // an earlier run pointed the DNS settings here
        std::string log;
    };
    for (const Row& row : {Row{false, true, "The lines it logged to /var/log/keldra-proxy.log:\n"},
                           Row{true, true, "Its journal ends:\n"}, Row{false, false, "The lines it logged"}}) {
        SCOPED_TRACE(std::string(row.systemd ? "with systemd" : "without systemd") +
                     (row.pointedHere ? ", pointed here" : ""));
        stopStandIns();
        fs::remove_all(root);
        fs::remove(scratch / "unit.log");
        if (row.systemd) fs::create_directories(root / "run/systemd/system");
        fs::create_directories(root / "var/lib/keldra");
        writeFile(scratch / "resolv.conf", row.pointedHere ? "nameserver 127.0.0.1\n" : "nameserver 192.0.2.9\n");
        if (row.pointedHere) {
            writeFile(root / "var/lib/keldra/dns-restore.sh",
                      "#!/bin/sh\n" + libexec + "/keldra-networksetup -setdnsservers 'resolv.conf' 192.0.2.53\n");
        }

        const auto result = install("", "Mac");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.standardError.rfind("keldra-proxy did not start serving DNS on 127.0.0.1:53.\n" + row.log, 0), 0u)
            << result.standardError;
        EXPECT_NE(result.standardError.find("server test at http://127.0.0.1\ncannot listen on 127.0.0.1:53: Address "
                                            "already in use\n"),
                  std::string::npos)
            << result.standardError;
        EXPECT_EQ(readFile(scratch / "resolv.conf"),
                  row.pointedHere ? "nameserver 192.0.2.53\n" : "nameserver 192.0.2.9\n");
        for (const pid_t pid : servedPids()) EXPECT_NE(::kill(pid, 0), 0) << "a stand-in still runs";
        if (row.systemd) {
            EXPECT_NE(readFile(scratch / "systemctl.calls").find("restart keldra-proxy.service\nstop keldra-proxy.service\n"),
                      std::string::npos);
        } else {
            EXPECT_FALSE(fs::exists(root / "run/keldra-proxy.pid"));
        }
    }

    // A restore script that cannot put the settings back is named.
    fs::remove_all(root);
    fs::create_directories(root / "var/lib/keldra");
    writeFile(scratch / "resolv.conf", "nameserver 127.0.0.1\n");
    writeFile(root / "var/lib/keldra/dns-restore.sh", "#!/bin/sh\nexit 1\n");
    const auto result = install("", "Mac");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.standardError.find("Address already in use\nThe DNS settings still point at 127.0.0.1; put them "
                                        "back with: sh /var/lib/keldra/dns-restore.sh\n"),
              std::string::npos)
        << result.standardError;

    // Once the port is free, the same install serves.
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(install("", "Mac").status, 0);
    EXPECT_TRUE(answering());
}

TEST_F(InstallFixture, UnderUmaskZeroEveryFolderAndFileGetsItsOwnMode) {
    for (const bool systemd : {true, false}) {
        SCOPED_TRACE(systemd ? "with systemd" : "without systemd");
        stopStandIns();
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

TEST_F(InstallFixture, ResourcesThatAreNotRegularFilesAreRefusedAndNeverInstalled) {
    // A caller's link to a file only root may read.
    const auto secret = scratch / "secret";
    writeFile(secret, "root's own");
    fs::permissions(secret, fs::perms(0600));
    for (const std::string file : {"Environment.json", "keldra-proxy", "libbrivet_core.so"}) {
        SCOPED_TRACE(file);
        fs::remove_all(root);
        const auto kept = scratch / "kept";
        if (fs::exists(resources / file)) fs::rename(resources / file, kept);
        fs::create_symlink(secret, resources / file);
        const auto result = install("", "Mac");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.standardError, "cannot install " + file + ": " + (resources / file).string() +
                                            " is not a regular file (a symbolic link is never followed)\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(libexec + "/" + file))) << file;
        EXPECT_FALSE(fs::exists(fs::symlink_status(libexec + "/" + file + ".new"))) << file;
        EXPECT_FALSE(fs::exists(scratch / "proxy.calls"));
        fs::remove(resources / file);
        if (fs::exists(kept)) fs::rename(kept, resources / file);
    }
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

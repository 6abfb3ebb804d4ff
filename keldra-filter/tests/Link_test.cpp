// The daemon against the app's own FilterConnection on a real socket.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "BrivetClient/Events.h"
#include "BrivetClient/JSONCoding.h"
#include "DaemonTestSupport.h"
#include "Keldra/FilterConnection.h"
#include "Keldra/FilterWire.h"
#include "keldra-filter/PeerCheck.h"
#include "NamespaceLab.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;
using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;

struct LinkFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the daemon runs as root";
    }
    keldra::test::TempDir folder{"keldra-filter-link"};
    DaemonFiles files{folder.path()};

    FilterConnection connect() { return FilterConnection(files.socket().string(), 5000ms); }
};

TEST_F(LinkFixture, PublishStatusAndRefusalOfOlderRulesSurviveRestarts) {
    {
        RunningDaemon daemon(files);
        ASSERT_TRUE(daemon.ready()) << files.logText();
        auto link = connect();
        auto status = link.status();
        ASSERT_TRUE(status);
        EXPECT_FALSE(status->running);  // no provider is enabled
        EXPECT_EQ(status->policySeq, 0);
        EXPECT_TRUE(status->startedAt.has_value());

        link.publish(sampleRules(7));
        EXPECT_EQ(link.status()->policySeq, 7);
        EXPECT_EQ(link.status()->blocklistVersion, 3);
        try {
            link.publish(sampleRules(6));
            FAIL() << "older rules were taken";
        } catch (const FilterConnection::Failure& failure) {
            EXPECT_EQ(failure.description(), "policy sequence 6 is below the rules in force (7)");
        }
        link.publish(sampleRules(7));  // the same sequence again is taken
        EXPECT_EQ(modeOf(files.state()), 0700u);
        EXPECT_EQ(modeOf(files.state() / "filter-rules.json"), 0600u);
    }
    {
        // The rules in force come back before anyone publishes.
        RunningDaemon daemon(files);
        ASSERT_TRUE(daemon.ready());
        auto link = connect();
        EXPECT_EQ(link.status()->policySeq, 7);
        EXPECT_THROW(link.publish(sampleRules(1)), FilterConnection::Failure);
    }
    // A machine enrolled anew starts from no rules after --reset-rules.
    auto reset = runCommand({KELDRA_FILTER_PATH, "--reset-rules", "--state", files.state().string()});
    EXPECT_TRUE(reset.succeeded()) << reset.standardError;
    RunningDaemon daemon(files);
    ASSERT_TRUE(daemon.ready());
    auto link = connect();
    EXPECT_EQ(link.status()->policySeq, 0);
    link.publish(sampleRules(1));
}

TEST_F(LinkFixture, EventsAreHandedOverExactlyOnceAcrossRestarts) {
    // Two closed windows and one still open, as a run before left them.
    brivet::EventCoalescer events;
    const auto old = brivet::RFC3339::fromUnixSeconds(1'700'000'000);
    events.record("bypass_attempted", "blocked_dns_query", "ads", 7, old);
    events.record("bypass_attempted", "blocked_dns_query", "ads", 7, old);
    events.record("bypass_attempted", "blocked_connection", "ads", 7, old + std::chrono::hours(1));
    events.record("bypass_attempted", "blocked_custom_rule", std::nullopt, 7,
                  std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
    std::filesystem::create_directories(files.state());
    writeFile(files.state() / "events-pending.json", brivet::JSONCoding::plainEncode(events));
    {
        RunningDaemon daemon(files);
        ASSERT_TRUE(daemon.ready());
        auto link = connect();
        EXPECT_EQ(link.status()->pendingEvents, 4);
        const auto taken = link.takeEvents();
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_EQ(taken[0].count, 2);
        EXPECT_EQ(taken[0].reason, "blocked_dns_query");
        EXPECT_EQ(taken[1].reason, "blocked_connection");
        EXPECT_TRUE(link.takeEvents().empty());
        EXPECT_EQ(link.status()->pendingEvents, 1);
        daemon.stop(SIGKILL);
    }
    RunningDaemon daemon(files);
    ASSERT_TRUE(daemon.ready());
    auto link = connect();
    EXPECT_TRUE(link.takeEvents().empty());
    EXPECT_EQ(link.status()->pendingEvents, 1);  // the open window is kept
}

TEST_F(LinkFixture, BadFramesAndForeignPeersAreRefusedWithoutHarm) {
    // The installed app: a root-owned folder holding its executable.
    const auto installed = folder / "Keldra.app/Contents/bin";
    std::filesystem::create_directories(installed);
    for (auto path = installed; path != folder.path().parent_path(); path = path.parent_path()) {
        std::filesystem::permissions(path, std::filesystem::perms(0755));
    }
    std::filesystem::copy_file(KELDRA_LINK_PROBE_PATH, installed / "Keldra");
    RunningDaemon daemon(files, {"--app-executable", (installed / "Keldra").string()});
    ASSERT_TRUE(daemon.ready());

    auto rawFrame = [&](const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        files.socket().string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::string("no connection");
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char reply[64];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        ::close(fd);
        return n <= 0 ? std::string("closed") : std::string(reply, static_cast<std::size_t>(n));
    };
    EXPECT_EQ(rawFrame(std::string("\x7f\xff\xff\xff", 4)), "closed");  // 2 GiB announced
    EXPECT_EQ(rawFrame(filterwire::framePrefix(9) + "{garbage!"), "closed");
    EXPECT_EQ(rawFrame(filterwire::framePrefix(22) + R"({"id":1,"call":"nope"})"), "closed");

    auto asNobody = [&](const std::filesystem::path& program) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            ::execl(program.c_str(), program.c_str(), files.socket().c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asNobody(installed / "Keldra"), 0);        // the installed app
    EXPECT_EQ(asNobody(KELDRA_LINK_PROBE_PATH), 1);      // any other program
    EXPECT_NE(files.logText().find("refused a caller: uid 65534"), std::string::npos) << files.logText();

    // The daemon still serves.
    auto link = connect();
    EXPECT_TRUE(link.status().has_value());
}

TEST(PeerCheck, OnlyRootOwnedInstallationsCount) {
    keldra::test::TempDir folder("keldra-peer");
    EXPECT_FALSE(rootOwnedAllTheWay("relative/path"));
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files";
    const auto app = folder / "Keldra";
    writeFile(app, "x");
    std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(app, std::filesystem::perms(0755));
    EXPECT_TRUE(rootOwnedAllTheWay(app));  // /tmp is root-owned and sticky
    std::filesystem::permissions(app, std::filesystem::perms(0775));
    EXPECT_FALSE(rootOwnedAllTheWay(app));
    std::filesystem::permissions(app, std::filesystem::perms(0755));
    ASSERT_EQ(::chown(folder.path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(rootOwnedAllTheWay(app));  // a user's folder could swap it
    PeerCheck check{app, "/proc"};
    EXPECT_EQ(check.refusal({1234, 0}), "");
    EXPECT_NE(check.refusal({::getpid(), 1000}).find("not the installed app"), std::string::npos);
}

}  // namespace
}  // namespace keldra::filter

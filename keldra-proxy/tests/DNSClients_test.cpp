// The listener under hostile TCP clients: idle connections, too many
// connections, and frames announced but never sent.
#include "DNSTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace keldra_test;
using namespace std::chrono_literals;
using brivet::DNSProxy;

namespace {

constexpr std::uint8_t kMarker = 0xC3;

Bytes echoed(const Bytes& query) { return *FakeUpstream::echo(kMarker)(query); }

// An upstream on 127.0.0.3 that answers after a delay.
FakeUpstream::Responder slowEcho(std::chrono::milliseconds delay) {
    return [delay](const Bytes& query) -> std::optional<Bytes> {
        std::this_thread::sleep_for(delay);
        return echoed(query);
    };
}

std::unique_ptr<DNSProxy> startProxy(SetFilter& filter, const FakeUpstream& upstream,
                                     std::chrono::milliseconds idle, std::size_t maxClients) {
    DNSProxy::Settings settings;
    settings.upstreamPort = upstream.port();
    settings.upstreamTimeout = 3000ms;
    settings.tcpIdleTimeout = idle;
    settings.maxTCPClients = maxClients;
    auto proxy = std::make_unique<DNSProxy>(filter, std::vector<std::string>{"127.0.0.3"}, settings);
    proxy->start("127.0.0.1", 0);
    return proxy;
}

TEST(TcpClients, IdleConnectionsCloseButTheTimeOfAForwardDoesNotCount) {
    SetFilter filter{{"blocked.test"}};
    FakeUpstream upstream("127.0.0.3", 0, slowEcho(900ms));
    ASSERT_TRUE(upstream.ok());
    auto proxy = startProxy(filter, upstream, 400ms, 16);

    // Nothing at all, and a length whose frame never comes.
    FD silent = tcpConnect("127.0.0.1", proxy->port());
    FD announcing = tcpConnect("127.0.0.1", proxy->port());
    ASSERT_TRUE(sendAll(announcing.get(), {0x40, 0x00}));
    const Bytes blocked = frame(buildQuery("blocked.test"));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedByPeer(silent.get(), 2000ms));
    EXPECT_TRUE(closedByPeer(announcing.get(), 500ms));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 300ms);

    // A forward that takes longer than the idle time-out is still answered,
    // and the connection serves another frame after it.
    FD asking = tcpConnect("127.0.0.1", proxy->port());
    const Bytes query = buildQuery("allowed.test");
    ASSERT_TRUE(sendAll(asking.get(), frame(query)));
    EXPECT_EQ(readFrame(asking.get(), 3000ms), echoed(query));
    ASSERT_TRUE(sendAll(asking.get(), blocked));
    const auto answer = readFrame(asking.get(), 1000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(rcode(*answer), 3);
    // Then it is idle again, and closed.
    EXPECT_TRUE(closedByPeer(asking.get(), 2000ms));
}

TEST(TcpClients, AtTheCapTheConnectionIdleLongestMakesRoom) {
    SetFilter filter{{"blocked.test"}};
    FakeUpstream upstream("127.0.0.3", 0, slowEcho(600ms));
    ASSERT_TRUE(upstream.ok());
    auto proxy = startProxy(filter, upstream, 60s, 3);
    const Bytes query = buildQuery("blocked.test");

    // One client is busy with a slow forward: it is not idle, and stays.
    FD busy = tcpConnect("127.0.0.1", proxy->port());
    const Bytes allowed = buildQuery("allowed.test");
    ASSERT_TRUE(sendAll(busy.get(), frame(allowed)));
    FD oldest = tcpConnect("127.0.0.1", proxy->port());
    std::this_thread::sleep_for(50ms);
    FD younger = tcpConnect("127.0.0.1", proxy->port());
    std::this_thread::sleep_for(50ms);

    // A fourth client: the oldest idle one is closed for it.
    FD newcomer = tcpConnect("127.0.0.1", proxy->port());
    ASSERT_TRUE(sendAll(newcomer.get(), frame(query)));
    const auto answer = readFrame(newcomer.get(), 2000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(rcode(*answer), 3);
    EXPECT_TRUE(closedByPeer(oldest.get(), 1000ms));
    EXPECT_FALSE(closedByPeer(younger.get(), 100ms));
    EXPECT_EQ(readFrame(busy.get(), 3000ms), echoed(allowed));
}

// Opens `count` TCP connections to the port and sends each a two-byte length
// and nothing more; gives up after three connections in a row that are not
// made within half a second. Runs in a forked child: system calls only.
void openIdleConnections(std::uint16_t port, int count) {
    const sockaddr_in to = endpoint("127.0.0.1", port);
    const std::uint8_t length[2] = {0xFF, 0xFF};
    int failures = 0;
    for (int i = 0; i < count && failures < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            pollfd p{fd, POLLOUT, 0};
            if (errno != EINPROGRESS || ::poll(&p, 1, 500) != 1) {
                ::close(fd);
                ++failures;
                continue;
            }
        }
        failures = 0;
        ::send(fd, length, sizeof length, MSG_NOSIGNAL);
    }
}

TEST(TcpClients, AFloodOfIdleConnectionsFromSeveralProcessesLeavesTheProxyServing) {
    // As many connections as the descriptor limit allows, in four processes.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    const int perChild = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 16) / 4 + 16);

    SetFilter filter{{"blocked.test"}};
    FakeUpstream upstream("127.0.0.3", 0, FakeUpstream::echo(kMarker));
    ASSERT_TRUE(upstream.ok());
    DNSProxy::Settings settings;
    settings.upstreamPort = upstream.port();
    settings.tcpIdleTimeout = 60s;  // room is made by the cap, not by time
    DNSProxy proxy(filter, {"127.0.0.3"}, settings);
    proxy.start("127.0.0.1", 0);
    const std::size_t residentBefore = residentBytes();

    int done[2];
    int release[2];
    ASSERT_EQ(::pipe(done), 0);
    ASSERT_EQ(::pipe(release), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(release[1]);
            openIdleConnections(proxy.port(), perChild);
            const char byte = 1;
            (void)!::write(done[1], &byte, 1);
            char wait;
            (void)!::read(release[0], &wait, 1);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(done[1]);
    ::close(release[0]);
    for (int i = 0; i < 4; ++i) {
        char byte;
        ASSERT_EQ(::read(done[0], &byte, 1), 1);
    }
    ::close(done[0]);
    // The proxy takes the last connections from its backlog.
    std::this_thread::sleep_for(1s);

    // Forwarding still has descriptors, and a new client gets in.
    const Bytes query = buildQuery("allowed.test");
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(udpExchange("127.0.0.1", proxy.port(), query, 1000ms), echoed(query));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1000ms);
    EXPECT_EQ(tcpExchange("127.0.0.1", proxy.port(), query, 2000ms), echoed(query));
    const auto blocked = tcpExchange("127.0.0.1", proxy.port(), buildQuery("blocked.test"), 2000ms);
    ASSERT_TRUE(blocked);
    EXPECT_EQ(rcode(*blocked), 3);
    const std::size_t residentAfter = residentBytes();

    ::close(release[1]);
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    if (!KELDRA_TEST_ASAN) {
        EXPECT_LT(residentAfter, 64u << 20) << "before the flood: " << residentBefore;
    }
}

}  // namespace

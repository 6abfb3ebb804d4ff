// The content filter in a network namespace of its own: real NFQUEUE, real
// iptables chain, a TCP server in a second namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "BrivetClient/Events.h"
#include "BrivetClient/JSONCoding.h"
#include "DaemonTestSupport.h"
#include "NamespaceLab.h"
#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;

// Serves TCP 80 and 443 (one "OK" per connection once data came) and echoes
// UDP 443, until killed.
int serveForever() {
    auto listenOn = [](int type, std::uint16_t port) {
        const int fd = ::socket(AF_INET, type, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, kServerAddress, &address.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(3);
        if (type == SOCK_STREAM) ::listen(fd, 64);
        return fd;
    };
    pollfd fds[3] = {{listenOn(SOCK_STREAM, 80), POLLIN, 0}, {listenOn(SOCK_STREAM, 443), POLLIN, 0},
                     {listenOn(SOCK_DGRAM, 443), POLLIN, 0}};
    char buffer[65536];
    while (true) {
        ::poll(fds, 3, -1);
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const int connection = ::accept(fds[i].fd, nullptr, nullptr);
            if (connection < 0) continue;
            // Answers once the client's first bytes have all come (nothing
            // more for 200 ms), and reads on until the client closes, so that
            // no unread data turns the close into a reset.
            pollfd c{connection, POLLIN, 0};
            bool any = false;
            while (::poll(&c, 1, any ? 200 : 3000) > 0 && ::recv(connection, buffer, sizeof buffer, 0) > 0) any = true;
            if (any) {
                ::send(connection, "OK", 2, MSG_NOSIGNAL);
                ::shutdown(connection, SHUT_WR);
                while (::poll(&c, 1, 2000) > 0 && ::recv(connection, buffer, sizeof buffer, 0) > 0) {
                }
            }
            ::close(connection);
        }
        if (fds[2].revents & POLLIN) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const ssize_t n = ::recvfrom(fds[2].fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
            if (n > 0) ::sendto(fds[2].fd, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&peer), length);
        }
    }
}

// Connects, sends the chunks as separate packets, and tells what came back:
// "OK", "reset" or "silence".
std::string exchange(std::uint16_t port, const std::vector<Bytes>& chunks) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, kServerAddress, &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "no connection";
    }
    std::string outcome = "silence";
    for (const auto& chunk : chunks) {
        if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) outcome = "reset";
        std::this_thread::sleep_for(50ms);
    }
    pollfd p{fd, POLLIN, 0};
    if (outcome == "silence" && ::poll(&p, 1, 4000) > 0) {
        char reply[8] = {};
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        outcome = n > 0 ? std::string(reply, static_cast<std::size_t>(n)) : "reset";
    }
    ::close(fd);
    return outcome;
}

bool udpAnswered() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(443);
    ::inet_pton(AF_INET, kServerAddress, &address.sin_addr);
    ::sendto(fd, "quic", 4, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd p{fd, POLLIN, 0};
    const bool answered = ::poll(&p, 1, 1000) > 0;
    ::close(fd);
    return answered;
}

Bytes http(const std::string& host) { return bytesOf("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"); }

std::int64_t countedBlocks(const DaemonFiles& files, const std::string& reason) {
    const auto coalescer = brivet::JSONCoding::plainDecode<brivet::EventCoalescer>(
        keldra::test::readFile(files.state() / "events-pending.json"));
    std::int64_t count = 0;
    for (const auto& [key, n] : coalescer.counts) {
        if (key.reason == reason && key.type == "bypass_attempted" && key.policySeq == 7) count += n;
    }
    return count;
}

TEST(ContentFilterNamespace, BlocksNamedFlowsCountsThemAndFailsOpenWhenKilled) {
    NamespaceLab lab("cf");
    if (!lab.skipReason().empty()) GTEST_SKIP() << "content filter namespace test skipped: " << lab.skipReason();
    keldra::test::TempDir folder("keldra-filter-ns");
    const DaemonFiles files{folder.path()};
    brivet::FilterRulesStore(files.state() / "filter-rules.json").save(sampleRules());
    files.setConfigurations(true, false);

    lab.fork(lab.server(), serveForever);
    const auto queue = std::to_string(1000 + ::getpid() % 30000);
    pid_t daemon = lab.start(lab.client(), files.command({"--queue", queue}), files.log());
    if (!waitFor([&] { return files.logText().find("filtering new connections") != std::string::npos ||
                              files.logText().find("content filter not started") != std::string::npos; })) {
        FAIL() << files.logText();
    }
    if (files.logText().find("content filter not started") != std::string::npos) {
        GTEST_SKIP() << "content filter namespace test skipped: this kernel lacks NFQUEUE support: " << files.logText();
    }
    ASSERT_TRUE(lab.enter(lab.client()));

    const Bytes blockedHello = clientHelloFor("blocked.test", 2500);
    const Bytes firstHalf(blockedHello.begin(), blockedHello.begin() + 700);
    const Bytes secondHalf(blockedHello.begin() + 700, blockedHello.end());
    EXPECT_EQ(exchange(443, {blockedHello}), "reset");
    EXPECT_EQ(exchange(443, {firstHalf, secondHalf}), "reset");        // split over two packets
    EXPECT_EQ(exchange(443, {clientHelloFor("tracker.ads.example")}), "reset");
    EXPECT_EQ(exchange(443, {clientHelloFor("ok.ads.example")}), "OK");  // allow rule
    EXPECT_EQ(exchange(443, {clientHelloFor("www.debian.org", 9000)}), "OK");
    EXPECT_EQ(exchange(80, {http("blocked.test")}), "reset");
    EXPECT_EQ(exchange(80, {bytesOf("GET / HTTP/1.1\r\n"), bytesOf("Host: fine.test\r\n\r\n")}), "OK");
    EXPECT_EQ(exchange(443, {bytesOf("no name in here")}), "OK");
    EXPECT_FALSE(udpAnswered());  // QUIC is dropped

    EXPECT_EQ(countedBlocks(files, "blocked_custom_rule"), 3) << files.logText();
    EXPECT_EQ(countedBlocks(files, "blocked_connection"), 1);

    // A clean stop takes the chain away.
    ::kill(daemon, SIGTERM);
    ASSERT_TRUE(waitFor([&] { return files.logText().find("stopped filtering connections") != std::string::npos; }));
    EXPECT_FALSE(lab.run(lab.client(), {"iptables", "-S", "KELDRA_FILTER"}).succeeded());
    EXPECT_TRUE(udpAnswered());

    // Started again, then killed: the chain stays, and traffic passes.
    daemon = lab.start(lab.client(), files.command({"--queue", queue}), files.log());
    ASSERT_TRUE(waitFor([&] {
        const auto log = files.logText();
        std::size_t count = 0;
        for (auto at = log.find("filtering new connections"); at != std::string::npos;
             at = log.find("filtering new connections", at + 1)) ++count;
        return count == 2;
    }));
    EXPECT_EQ(exchange(443, {blockedHello}), "reset");
    ::kill(daemon, SIGKILL);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(lab.run(lab.client(), {"iptables", "-S", "KELDRA_FILTER"}).succeeded());
    EXPECT_EQ(exchange(443, {blockedHello}), "OK");
    EXPECT_EQ(exchange(80, {http("fine.test")}), "OK");
    // Every block counted before the kill is on disk.
    EXPECT_EQ(countedBlocks(files, "blocked_custom_rule"), 4);
}

}  // namespace
}  // namespace keldra::filter

// The content filter in a network namespace of its own: real NFQUEUE, real
// iptables chain, a TCP server in a second namespace that records what it
// received. A blocked connection is what its user sees: a reset (ECONNRESET)
// within a second, while the server never received a whole ClientHello or
// request head and sent nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "BrivetClient/Events.h"
#include "BrivetClient/JSONCoding.h"
#include "DaemonTestSupport.h"
#include "Keldra/FilterConnection.h"
#include "NamespaceLab.h"
#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Whether the bytes a server got so far are a whole start it would answer:
// a whole ClientHello (over as many handshake records as it takes), an HTTP
// request head up to its empty line (empty lines before it skipped), or
// anything else at once.
bool completeStart(const std::string& bytes) {
    if (bytes.empty()) return false;
    const auto byte = [&](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])); };
    if (byte(0) == 0x16) {
        std::string handshake;
        for (std::size_t at = 0; at + 5 <= bytes.size();) {
            const std::size_t length = byte(at + 3) << 8 | byte(at + 4);
            if (at + 5 + length > bytes.size()) break;
            if (byte(at) == 0x16) handshake.append(bytes, at + 5, length);
            at += 5 + length;
        }
        if (handshake.size() < 4) return false;
        const auto header = [&](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(handshake[at])); };
        return handshake.size() >= 4 + (header(1) << 16 | header(2) << 8 | header(3));
    }
    const auto start = bytes.find_first_not_of("\r\n");
    if (start == std::string::npos) return false;
    if (bytes[start] >= 'A' && bytes[start] <= 'Z') return bytes.find("\r\n\r\n", start) != std::string::npos;
    return true;
}

// Serves TCP 80 and 443 over IPv4 and IPv6 (Fast Open allowed) and echoes
// UDP 443 over IPv4, until killed. For each whole start a connection sends,
// it notes "complete <client port>" and "sent <client port>" in `report`
// and answers "OK"; it never answers a partial start.
int serveForever(const std::string& report) {
    auto listenTCP = [](std::uint16_t port) {
        const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
        const int one = 1, zero = 0, fastOpenQueue = 16;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        ::setsockopt(fd, IPPROTO_TCP, TCP_FASTOPEN, &fastOpenQueue, sizeof fastOpenQueue);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(3);
        ::listen(fd, 128);
        return fd;
    };
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in udpAddress{};
    udpAddress.sin_family = AF_INET;
    udpAddress.sin_port = htons(443);
    ::inet_pton(AF_INET, kServerAddress, &udpAddress.sin_addr);
    if (::bind(udp, reinterpret_cast<sockaddr*>(&udpAddress), sizeof udpAddress) != 0) ::_exit(3);
    const int listeners[2] = {listenTCP(80), listenTCP(443)};
    const int log = ::open(report.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    auto note = [log](const std::string& what, std::uint16_t port) {
        const std::string line = what + " " + std::to_string(port) + "\n";
        [[maybe_unused]] auto written = ::write(log, line.data(), line.size());
    };
    struct Connection {
        std::uint16_t port = 0;
        std::string pending;
    };
    std::map<int, Connection> connections;
    char buffer[65536];
    while (true) {
        std::vector<pollfd> fds{{listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}, {udp, POLLIN, 0}};
        for (const auto& [fd, connection] : connections) fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in6 peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &length);
            if (fd >= 0) connections[fd].port = ntohs(peer.sin6_port);
        }
        if (fds[2].revents & POLLIN) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const ssize_t n = ::recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
            if (n > 0) ::sendto(udp, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&peer), length);
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            auto& connection = connections[fds[i].fd];
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fds[i].fd);
                connections.erase(fds[i].fd);
                continue;
            }
            connection.pending.append(buffer, static_cast<std::size_t>(n));
            if (completeStart(connection.pending)) {
                // Noted first, so that a client that has the answer finds
                // the notes in place.
                note("complete", connection.port);
                note("sent", connection.port);
                connection.pending.clear();
                ::send(fds[i].fd, "OK", 2, MSG_NOSIGNAL);
            }
        }
    }
}

struct Writing {
    std::chrono::milliseconds gap{50};  // between pieces
    bool noDelay = true;
    bool fastOpen = false;              // the first piece rides on the SYN
};

// What a client saw: the server's reply, "closed", "silence", or "error"
// with its errno, and how long after its last write.
struct Outcome {
    std::string kind;
    int error = 0;
    std::chrono::milliseconds afterLastWrite{0};
    std::uint16_t localPort = 0;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << outcome.kind << (outcome.error != 0 ? std::string(" (") + std::strerror(outcome.error) + ")" : "")
               << " after " << outcome.afterLastWrite.count() << " ms, port " << outcome.localPort;
}

sockaddr_storage serverAddress(int family, std::uint16_t port, socklen_t& length) {
    sockaddr_storage storage{};
    if (family == 4) {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        ::inet_pton(AF_INET, kServerAddress, &address->sin_addr);
        length = sizeof(sockaddr_in);
    } else {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        ::inet_pton(AF_INET6, kServerAddress6, &address->sin6_addr);
        length = sizeof(sockaddr_in6);
    }
    return storage;
}

std::uint16_t localPortOf(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return local.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port)
                                      : ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
}

// Waits up to `limit` for the server's answer or the connection's end.
void awaitAnswer(int fd, Outcome& outcome, SteadyClock::time_point lastWrite,
                 std::chrono::milliseconds limit = 5000ms) {
    pollfd p{fd, POLLIN, 0};
    outcome.kind = "silence";
    if (::poll(&p, 1, static_cast<int>(limit.count())) > 0) {
        char reply[8] = {};
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        if (n > 0) {
            outcome.kind = std::string(reply, static_cast<std::size_t>(n));
        } else if (n == 0) {
            outcome.kind = "closed";
        } else {
            outcome.kind = "error";
            outcome.error = errno;
        }
    }
    outcome.afterLastWrite = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - lastWrite);
}

Outcome attempt(int family, std::uint16_t port, const std::vector<Bytes>& pieces, Writing how = {}) {
    Outcome outcome;
    const int fd = ::socket(family == 4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    const int noDelay = how.noDelay ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    socklen_t length = 0;
    const auto address = serverAddress(family, port, length);
    auto lastWrite = SteadyClock::now();
    std::size_t next = 0;
    const auto failed = [&](int error) {
        outcome.kind = "error";
        outcome.error = error;
        outcome.afterLastWrite = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - lastWrite);
        ::close(fd);
        return outcome;
    };
    if (how.fastOpen) {
        if (::sendto(fd, pieces[0].data(), pieces[0].size(), MSG_FASTOPEN | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), length) < 0) {
            return failed(errno);
        }
        next = 1;
    } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        return failed(errno);
    }
    outcome.localPort = localPortOf(fd);
    for (; next < pieces.size(); ++next) {
        if (next > 0) std::this_thread::sleep_for(how.gap);
        lastWrite = SteadyClock::now();
        if (::send(fd, pieces[next].data(), pieces[next].size(), MSG_NOSIGNAL) < 0) return failed(errno);
    }
    awaitAnswer(fd, outcome, lastWrite);
    ::close(fd);
    return outcome;
}

std::vector<Bytes> piecesOf(const Bytes& bytes, std::size_t size) {
    std::vector<Bytes> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + size)));
    }
    return pieces;
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

// HTTP/2 with prior knowledge: the preface, an empty SETTINGS frame, and a
// HEADERS frame for GET https://<authority>/ (literal fields, no Huffman).
Bytes http2Request(const std::string& authority) {
    Bytes block{0x82, 0x87, 0x84, 0x01, static_cast<std::uint8_t>(authority.size())};
    append(block, bytesOf(authority));
    Bytes out = bytesOf("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    append(out, {0, 0, 0, 0x04, 0, 0, 0, 0, 0});
    out.push_back(0);
    put16(out, block.size());
    append(out, {0x01, 0x05, 0, 0, 0, 1});
    append(out, block);
    return out;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// One lab: the two namespaces, the recording server, the daemon's files.
class FilterLab {
public:
    // Without the recording server the test brings servers of its own.
    explicit FilterLab(const std::string& tag, bool recordingServer = true)
        : lab_(tag), folder_("filter-ns"), files_{folder_.path()} {
        if (!lab_.skipReason().empty()) return;
        brivet::FilterRulesStore(files_.state() / "filter-rules.json").save(sampleRules());
        files_.setConfigurations(true, false);
        if (recordingServer) lab_.fork(lab_.server(), [report = report()] { return serveForever(report.string()); });
        queue_ = std::to_string(1000 + ::getpid() % 30000);
    }

    NamespaceLab& lab() { return lab_; }
    const DaemonFiles& files() const { return files_; }
    std::filesystem::path report() const { return folder_.path() / "server-report"; }
    std::filesystem::path scratch() const { return folder_.path(); }

    // Starts the daemon in the client namespace and waits until it filters
    // (`starts` times so far). Empty when it does; otherwise why the test
    // must skip (no namespaces, no NFQUEUE).
    std::string startDaemon(std::vector<std::string> extra = {}, std::size_t starts = 1) {
        if (!lab_.skipReason().empty()) return lab_.skipReason();
        extra.insert(extra.begin(), {"--queue", queue_});
        daemon_ = lab_.start(lab_.client(), files_.command(extra), files_.log());
        const bool came = waitFor([&] {
            const auto log = files_.logText();
            return occurrences(log, "filtering new connections") >= starts ||
                   log.find("content filter not started") != std::string::npos;
        });
        const auto log = files_.logText();
        // The queue could not be opened or bound.
        if (log.find("content filter not started: cannot") != std::string::npos) {
            return "this kernel lacks NFQUEUE support: " + log;
        }
        if (!came) ADD_FAILURE() << "the daemon did not start filtering: " << log;
        if (!lab_.enter(lab_.client())) ADD_FAILURE() << "cannot enter the client namespace";
        return {};
    }

    void stopDaemon() {
        const auto stops = occurrences(files_.logText(), "stopped filtering connections");
        ::kill(daemon_, SIGTERM);
        EXPECT_TRUE(waitFor([&] { return occurrences(files_.logText(), "stopped filtering connections") > stops; }));
    }
    pid_t daemon() const { return daemon_; }

    // The server never had a whole start from this client port, and never
    // answered it.
    bool serverGotNothingWholeFrom(std::uint16_t port) const {
        const auto report = keldra::test::readFile(this->report());
        return report.find("complete " + std::to_string(port) + "\n") == std::string::npos &&
               report.find("sent " + std::to_string(port) + "\n") == std::string::npos;
    }
    std::size_t serverAnswers() const { return occurrences(keldra::test::readFile(report()), "sent "); }

private:
    NamespaceLab lab_;
    keldra::test::TempDir folder_;
    DaemonFiles files_;
    std::string queue_;
    pid_t daemon_ = -1;
};

#define START_FILTER_OR_SKIP(filterLab, ...)                                                      \
    do {                                                                                          \
        const auto skip = (filterLab).startDaemon(__VA_ARGS__);                                  \
        if (!skip.empty()) GTEST_SKIP() << "content filter namespace test skipped: " << skip;     \
        if (::testing::Test::HasFailure()) return;                                                \
    } while (false)

// A blocked connection as its user sees it.
#define EXPECT_BLOCKED(filterLab, outcome)                                                              \
    do {                                                                                                \
        const Outcome seen = (outcome);                                                                 \
        EXPECT_EQ(seen.kind, "error") << seen;                                                          \
        EXPECT_EQ(seen.error, ECONNRESET) << seen;                                                      \
        EXPECT_LT(seen.afterLastWrite, 1000ms) << seen;                                                 \
        EXPECT_TRUE((filterLab).serverGotNothingWholeFrom(seen.localPort)) << seen;                     \
        blockedPorts.insert(seen.localPort);                                                            \
    } while (false)

#define EXPECT_ANSWERED(outcome)                                       \
    do {                                                               \
        const Outcome seen = (outcome);                                \
        EXPECT_EQ(seen.kind, "OK") << seen;                            \
        EXPECT_LT(seen.afterLastWrite, 1000ms) << seen;                \
    } while (false)

// Connections to the server, made while the daemon reads.
std::vector<int> connected(int count) {
    socklen_t length = 0;
    const auto address = serverAddress(4, 443, length);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) ADD_FAILURE() << "connect";
        fds.push_back(fd);
    }
    return fds;
}

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
    FilterLab f("fa");
    START_FILTER_OR_SKIP(f);
    std::set<std::uint16_t> blockedPorts;

    const Bytes blockedHello = clientHelloFor("blocked.test", 2500);
    const Bytes firstHalf(blockedHello.begin(), blockedHello.begin() + 700);
    const Bytes secondHalf(blockedHello.begin() + 700, blockedHello.end());
    for (int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        EXPECT_BLOCKED(f, attempt(family, 443, {blockedHello}));
        EXPECT_BLOCKED(f, attempt(family, 443, {firstHalf, secondHalf}));  // split over two packets
        EXPECT_BLOCKED(f, attempt(family, 80, {http("blocked.test")}));
        EXPECT_ANSWERED(attempt(family, 443, {clientHelloFor("www.debian.org", 9000)}));
    }
    EXPECT_BLOCKED(f, attempt(4, 443, {clientHelloFor("tracker.ads.example")}));
    EXPECT_ANSWERED(attempt(4, 443, {clientHelloFor("ok.ads.example")}));  // allow rule
    EXPECT_ANSWERED(attempt(4, 80, {bytesOf("GET / HTTP/1.1\r\n"), bytesOf("Host: fine.test\r\n\r\n")}));
    EXPECT_ANSWERED(attempt(4, 443, {bytesOf("no name in here")}));
    EXPECT_FALSE(udpAnswered());  // QUIC is dropped

    // Counted, and on disk shortly after.
    EXPECT_TRUE(waitFor([&] { return countedBlocks(f.files(), "blocked_custom_rule") == 6; })) << f.files().logText();
    EXPECT_EQ(countedBlocks(f.files(), "blocked_connection"), 1);

    // A clean stop takes the chain away.
    f.stopDaemon();
    EXPECT_FALSE(f.lab().run(f.lab().client(), {"iptables", "-S", "KELDRA_FILTER"}).succeeded());
    EXPECT_FALSE(f.lab().run(f.lab().client(), {"ip6tables", "-S", "KELDRA_FILTER"}).succeeded());
    EXPECT_TRUE(udpAnswered());

    // Started again, then killed: the chain stays, and traffic passes.
    START_FILTER_OR_SKIP(f, {}, 2);
    EXPECT_BLOCKED(f, attempt(4, 443, {blockedHello}));
    EXPECT_TRUE(waitFor([&] { return countedBlocks(f.files(), "blocked_custom_rule") == 7; }));
    ::kill(f.daemon(), SIGKILL);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(f.lab().run(f.lab().client(), {"iptables", "-S", "KELDRA_FILTER"}).succeeded());
    EXPECT_ANSWERED(attempt(4, 443, {blockedHello}));
    EXPECT_ANSWERED(attempt(4, 80, {http("fine.test")}));
    // Every block counted before the kill is on disk.
    EXPECT_EQ(countedBlocks(f.files(), "blocked_custom_rule"), 7);
    for (auto port : blockedPorts) EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << port;
}

TEST(ContentFilterNamespace, TheNameIsReadHoweverTheClientWritesItsFirstBytes) {
    FilterLab f("fb");
    START_FILTER_OR_SKIP(f);
    std::set<std::uint16_t> blockedPorts;

    const Bytes hello = clientHelloFor("blocked.test", 300);
    for (bool noDelay : {true, false}) {
        SCOPED_TRACE(noDelay ? "TCP_NODELAY" : "Nagle");
        EXPECT_BLOCKED(f, attempt(4, 443, piecesOf(hello, 1), {2ms, noDelay}));
        EXPECT_BLOCKED(f, attempt(4, 443, piecesOf(hello, 100), {250ms, noDelay}));
        EXPECT_BLOCKED(f, attempt(4, 443, piecesOf(hello, 30), {1ms, noDelay}));
        EXPECT_BLOCKED(f, attempt(6, 443, piecesOf(hello, 1), {2ms, noDelay}));
        EXPECT_BLOCKED(f, attempt(4, 80, piecesOf(http("blocked.test"), 1), {2ms, noDelay}));
    }
    // One large write with the name last.
    EXPECT_BLOCKED(f, attempt(4, 443, {clientHelloFor("blocked.test", 15900)}));
    EXPECT_BLOCKED(f, attempt(6, 443, {clientHelloFor("blocked.test", 15900)}));
    EXPECT_ANSWERED(attempt(4, 443, {clientHelloFor("fine.test", 15900)}));

    // An allowed name written in pieces is answered as soon as it is whole,
    // not after a hold time.
    EXPECT_ANSWERED(attempt(4, 443, piecesOf(clientHelloFor("fine.test", 300), 1), {2ms, true}));
    EXPECT_ANSWERED(attempt(4, 443, piecesOf(clientHelloFor("fine.test", 300), 100), {250ms, false}));
    EXPECT_ANSWERED(attempt(6, 80, piecesOf(http("fine.test"), 1), {2ms, false}));
    for (auto port : blockedPorts) EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << port;
}

TEST(ContentFilterNamespace, ABlockedConnectionStaysBlockedAfterItsTrackingEntryExpires) {
    FilterLab f("fc");
    START_FILTER_OR_SKIP(f);
    // Tracking entries of this namespace expire within seconds, and the
    // client never hears its reset, so it goes on resending.
    for (const char* state : {"established", "unacknowledged", "max_retrans", "close", "close_wait", "fin_wait",
                              "last_ack", "time_wait"}) {
        ASSERT_TRUE(f.lab().sysctl(f.lab().client(), std::string("net.netfilter.nf_conntrack_tcp_timeout_") + state, "2"));
    }
    ASSERT_TRUE(f.lab()
                    .run(f.lab().client(), {"iptables", "-I", "INPUT", "-p", "tcp", "--tcp-flags", "RST", "RST", "-j", "DROP"})
                    .succeeded());

    const Bytes hello = clientHelloFor("blocked.test", 300);
    const Bytes first(hello.begin(), hello.begin() + 200), rest(hello.begin() + 200, hello.end());
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = 0;
    const auto address = serverAddress(4, 443, length);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
    const auto port = localPortOf(fd);
    ASSERT_EQ(::send(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::send(fd, rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
    // The client resends the rest at 0.2, 0.6, 1.4, 3, 6.2 and 12.6 s: the
    // later resends start new tracking entries, well past any short memory.
    Outcome outcome;
    awaitAnswer(fd, outcome, SteadyClock::now(), 14000ms);
    ::close(fd);
    EXPECT_EQ(outcome.kind, "silence") << outcome;  // the resets were dropped, as meant
    EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << keldra::test::readFile(f.report());
}

TEST(ContentFilterNamespace, DataOnASynIsRead) {
    FilterLab f("fd");
    START_FILTER_OR_SKIP(f);
    // Fast Open without cookies: the ClientHello rides on the SYN.
    ASSERT_TRUE(f.lab().sysctl(f.lab().client(), "net.ipv4.tcp_fastopen", "5"));
    ASSERT_TRUE(f.lab().sysctl(f.lab().server(), "net.ipv4.tcp_fastopen", "514"));
    const std::size_t answers = f.serverAnswers();
    for (int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        const auto outcome = attempt(family, 443, {clientHelloFor("blocked.test")}, {50ms, true, true});
        EXPECT_EQ(outcome.kind, "error") << outcome;
        EXPECT_TRUE(outcome.error == ECONNREFUSED || outcome.error == ECONNRESET) << outcome;
        EXPECT_LT(outcome.afterLastWrite, 1000ms) << outcome;
        EXPECT_EQ(f.serverAnswers(), answers);
    }
    EXPECT_ANSWERED(attempt(4, 443, {clientHelloFor("fine.test")}, {50ms, true, true}));
}

TEST(ContentFilterNamespace, AConnectionOpenBeforeTheFilterKeepsWorkingAcrossStartAndRestart) {
    FilterLab f("fe");
    if (!f.lab().skipReason().empty()) GTEST_SKIP() << "content filter namespace test skipped: " << f.lab().skipReason();
    ASSERT_TRUE(f.lab().enter(f.lab().client()));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = 0;
    const auto address = serverAddress(4, 443, length);
    ASSERT_TRUE(waitFor([&] { return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0; }));
    const auto exchange = [&] {
        Outcome outcome;
        const auto at = SteadyClock::now();
        if (::send(fd, "ping", 4, MSG_NOSIGNAL) != 4) {
            outcome.kind = "error";
            outcome.error = errno;
            return outcome;
        }
        awaitAnswer(fd, outcome, at);
        return outcome;
    };
    EXPECT_ANSWERED(exchange());
    START_FILTER_OR_SKIP(f);
    EXPECT_ANSWERED(exchange());
    EXPECT_ANSWERED(exchange());
    // Opened under this daemon, silent until the next one reads: where its
    // stream starts is not known there, so it is reset rather than let
    // through unread.
    const int quiet = connected(1).front();
    f.stopDaemon();
    START_FILTER_OR_SKIP(f, {}, 2);
    EXPECT_ANSWERED(exchange());
    ::close(fd);
    const auto at = SteadyClock::now();
    const Bytes hello = clientHelloFor("fine.test");
    ASSERT_EQ(::send(quiet, hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
    Outcome outcome;
    awaitAnswer(quiet, outcome, at);
    ::close(quiet);
    EXPECT_EQ(outcome.kind, "error") << outcome;
    EXPECT_EQ(outcome.error, ECONNRESET) << outcome;
}

TEST(ContentFilterNamespace, OneFamilyFailingLeavesTheOtherFilteringAndIsTriedAgain) {
    FilterLab f("ff");
    std::set<std::uint16_t> blockedPorts;
    const auto tool = f.scratch() / "ip6tables";
    const auto setTool = [&](const std::string& body) {
        keldra::test::writeFile(f.scratch() / "tool.tmp", "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(f.scratch() / "tool.tmp", std::filesystem::perms::owner_all);
        std::filesystem::rename(f.scratch() / "tool.tmp", tool);
    };
    setTool("echo 'ip6tables: broken for this test' >&2; exit 1");
    START_FILTER_OR_SKIP(f, {"--ip6tables", tool.string()});
    EXPECT_NE(f.files().logText().find("content filter for IPv6 not in place"), std::string::npos)
        << f.files().logText();
    EXPECT_BLOCKED(f, attempt(4, 443, {clientHelloFor("blocked.test")}));
    FilterConnection link(f.files().socket().string(), 5000ms);
    ASSERT_TRUE(link.status().has_value());
    EXPECT_FALSE(link.status()->running);

    setTool("exec ip6tables \"$@\"");
    ASSERT_TRUE(waitFor([&] { return f.files().logText().find("content filter for IPv6 now in place") != std::string::npos; },
                        30000ms))
        << f.files().logText();
    EXPECT_TRUE(waitFor([&] { return link.status().has_value() && link.status()->running; }));
    EXPECT_BLOCKED(f, attempt(6, 443, {clientHelloFor("blocked.test")}));
    EXPECT_BLOCKED(f, attempt(4, 443, {clientHelloFor("blocked.test")}));
}

// Opens a connection from a given local port (reusable at once), sends
// `bytes` and aborts with a reset when it is done, so the port pair can be
// used again straight away.
Outcome attemptFromPort(std::uint16_t localPort, const Bytes& bytes) {
    Outcome outcome;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPort);
    ::inet_pton(AF_INET, kClientAddress, &local.sin_addr);
    socklen_t length = 0;
    const auto address = serverAddress(4, 443, length);
    auto lastWrite = SteadyClock::now();
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
        outcome.kind = "error";
        outcome.error = errno;
    } else {
        awaitAnswer(fd, outcome, lastWrite);
    }
    outcome.localPort = localPort;
    ::close(fd);
    return outcome;
}

TEST(ContentFilterNamespace, AConnectionOnAPortPairUsedAMomentAgoIsReadAfresh) {
    FilterLab f("fi");
    START_FILTER_OR_SKIP(f);
    // A program can reuse its own port pair at once: an allowed connection's
    // decision must not carry over to the next one, nor a blocked one's.
    // (The server's notes go by client port, the same for every attempt
    // here, so a block is told by the count of whole starts it noted.)
    const std::uint16_t port = static_cast<std::uint16_t>(41000 + ::getpid() % 1000);
    const auto wholeStarts = [&] { return occurrences(keldra::test::readFile(f.report()), "complete "); };
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_ANSWERED(attemptFromPort(port, clientHelloFor("fine.test")));
        const std::size_t before = wholeStarts();
        const Outcome seen = attemptFromPort(port, clientHelloFor("blocked.test"));
        EXPECT_EQ(seen.kind, "error") << seen;
        EXPECT_EQ(seen.error, ECONNRESET) << seen;
        EXPECT_LT(seen.afterLastWrite, 1000ms) << seen;
        EXPECT_EQ(wholeStarts(), before);
        EXPECT_ANSWERED(attemptFromPort(port, clientHelloFor("fine.test")));
    }
}

TEST(ContentFilterNamespace, AFullQueueHoldsPacketsBackRatherThanLettingThemThroughUnread) {
    FilterLab f("fh");
    START_FILTER_OR_SKIP(f, {"--queue-length", "8"});
    std::set<std::uint16_t> blockedPorts;
    const Bytes hello = clientHelloFor("blocked.test", 300);

    // Each row: the daemon stops reading while eight other connections fill
    // its queue, and a blocked name's client writes all of its ClientHello
    // then (it waits with its sender instead of going out unread), or only
    // its first 100 bytes, and the rest once the daemon reads again: that
    // rest comes first, past a gap, and must not let the start through.
    for (const std::size_t firstWrite : {hello.size(), std::size_t{100}}) {
        SCOPED_TRACE("first write " + std::to_string(firstWrite));
        const auto fillers = connected(8);
        const int fd = connected(1).front();
        const auto port = localPortOf(fd);
        ASSERT_EQ(::kill(f.daemon(), SIGSTOP), 0);
        for (int filler : fillers) ASSERT_EQ(::send(filler, "x", 1, MSG_NOSIGNAL), 1);
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(::send(fd, hello.data(), firstWrite, MSG_NOSIGNAL), static_cast<ssize_t>(firstWrite));
        std::this_thread::sleep_for(firstWrite == hello.size() ? 1000ms : 100ms);
        EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << keldra::test::readFile(f.report());

        // Once the daemon reads again, the client's resend is read and reset.
        ASSERT_EQ(::kill(f.daemon(), SIGCONT), 0);
        std::this_thread::sleep_for(30ms);
        if (firstWrite < hello.size()) {
            ASSERT_EQ(::send(fd, hello.data() + firstWrite, hello.size() - firstWrite, MSG_NOSIGNAL),
                      static_cast<ssize_t>(hello.size() - firstWrite));
        }
        Outcome outcome;
        outcome.localPort = port;
        awaitAnswer(fd, outcome, SteadyClock::now(), 5000ms);
        ::close(fd);
        EXPECT_EQ(outcome.kind, "error") << outcome;
        EXPECT_EQ(outcome.error, ECONNRESET) << outcome;
        EXPECT_LT(outcome.afterLastWrite, 1000ms) << outcome;
        EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << keldra::test::readFile(f.report());
        for (int filler : fillers) ::close(filler);
    }
    // And the filter goes on as before.
    EXPECT_BLOCKED(f, attempt(4, 443, {hello}));
    EXPECT_ANSWERED(attempt(4, 443, {clientHelloFor("fine.test")}));
}

TEST(ContentFilterNamespace, NamesInFragmentedRecordsAndOtherHTTPFormsAreRead) {
    FilterLab f("fg");
    START_FILTER_OR_SKIP(f);
    std::set<std::uint16_t> blockedPorts;

    // A ClientHello over several handshake records.
    EXPECT_BLOCKED(f, attempt(4, 443, {inRecordsOf(clientHelloFor("blocked.test", 300), 64)}));
    EXPECT_BLOCKED(f, attempt(6, 443, piecesOf(inRecordsOf(clientHelloFor("blocked.test"), 1), 40), {2ms, false}));
    EXPECT_ANSWERED(attempt(4, 443, {inRecordsOf(clientHelloFor("fine.test", 300), 64)}));

    // HTTP request heads framed in other ways.
    EXPECT_BLOCKED(f, attempt(4, 80, {bytesOf("\r\n\r\nGET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n")}));
    EXPECT_BLOCKED(f, attempt(4, 80, {bytesOf("GET http://blocked.test/ HTTP/1.1\r\nHost: fine.test\r\n\r\n")}));
    EXPECT_BLOCKED(f, attempt(4, 80, {bytesOf("GET / HTTP/1.1\r\nHost: b\xc3\xbc" "cher.ads.example\r\n\r\n")}));
    EXPECT_ANSWERED(attempt(4, 80, {bytesOf("\r\nGET / HTTP/1.1\r\nHost: fine.test\r\n\r\n")}));

    // HTTP/2 with prior knowledge, in one write: nothing reaches the server.
    const std::size_t answers = f.serverAnswers();
    EXPECT_BLOCKED(f, attempt(4, 80, {http2Request("blocked.test")}));
    EXPECT_EQ(f.serverAnswers(), answers);
    EXPECT_ANSWERED(attempt(4, 80, {http2Request("fine.test")}));
    for (auto port : blockedPorts) EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << port;
}

TEST(ContentFilterNamespace, ActivatingTheInstalledAppAgainNeverSwitchesTheFilterOff) {
    FilterLab f("fj");
    if (!f.lab().skipReason().empty()) GTEST_SKIP() << "content filter namespace test skipped: " << f.lab().skipReason();
    // The installed app under a scratch root, its extension activated by
    // the real helper in the client namespace, with no systemd there: the
    // daemon is started directly.
    namespace fs = std::filesystem;
    const fs::path root = f.scratch() / "root";
    const fs::path bundle = root / fs::path(KELDRA_INSTALLED_APP_BUNDLE).relative_path();
    const auto extension = bundle / "Contents/Library/SystemExtensions/io.tolvane.brivet.filter.systemextension/Contents";
    fs::create_directories(extension / "bin");
    fs::copy_file(KELDRA_FILTER_PATH, extension / "bin/keldra-filter");
    fs::create_directories(root / "etc/keldra");
    keldra::test::writeFile(root / "etc/keldra/network-configurations.json", configurationsDocument(true, false));
    brivet::FilterRulesStore(root / "var/lib/keldra-filter/filter-rules.json").save(sampleRules());
    for (auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms(0755));
    }
    for (auto path = root; path != "/tmp"; path = path.parent_path()) fs::permissions(path, fs::perms(0755));
    const auto activate = [&] {
        return f.lab().run(f.lab().client(), {"env", "KELDRA_SYSTEM_ROOT=" + root.string(), KELDRA_HELPER_PATH,
                                              "activate", bundle.string()});
    };
    const auto log = [&] { return keldra::test::readFile(root / "var/log/keldra-filter.log"); };
    const auto daemonPid = [&] { return std::atoi(keldra::test::readFile(root / "run/keldra/keldra-filter.pid").c_str()); };
    struct StopDaemon {
        std::function<int()> pid;
        ~StopDaemon() {
            if (const int found = pid(); found > 1) ::kill(found, SIGKILL);
        }
    } stopDaemon{daemonPid};
    const auto first = activate();
    ASSERT_EQ(first.status, 0) << first.standardError;
    ASSERT_TRUE(waitFor([&] {
        return log().find("filtering new connections") != std::string::npos ||
               log().find("content filter not started") != std::string::npos;
    })) << log();
    if (log().find("content filter not started: cannot") != std::string::npos) {
        GTEST_SKIP() << "content filter namespace test skipped: this kernel lacks NFQUEUE support: " << log();
    }
    ASSERT_TRUE(f.lab().enter(f.lab().client()));
    const int daemon = daemonPid();

    // Blocked and allowed connects, one after the other, all through eight
    // activations of the same copy.
    std::atomic<bool> done{false};
    std::vector<Outcome> blocked, allowed;
    std::thread client([&] {
        while (!done) {
            blocked.push_back(attempt(4, 443, {clientHelloFor("blocked.test")}));
            allowed.push_back(attempt(4, 443, {clientHelloFor("fine.test")}));
            std::this_thread::sleep_for(30ms);
        }
    });
    const auto start = SteadyClock::now();
    for (int i = 0; i < 8; ++i) {
        const auto again = activate();
        EXPECT_EQ(again.status, 0) << again.standardError;  // to the app, activated
        std::this_thread::sleep_until(start + (i + 1) * 1500ms);
    }
    done = true;
    client.join();

    EXPECT_EQ(daemonPid(), daemon);
    EXPECT_EQ(::kill(daemon, 0), 0);
    EXPECT_EQ(occurrences(log(), "filtering new connections"), 1u) << log();
    EXPECT_GE(blocked.size(), 8u);
    for (const auto& outcome : blocked) {
        EXPECT_EQ(outcome.kind, "error") << outcome;
        EXPECT_EQ(outcome.error, ECONNRESET) << outcome;
        EXPECT_LT(outcome.afterLastWrite, 1000ms) << outcome;
    }
    for (const auto& outcome : allowed) EXPECT_ANSWERED(outcome);
    // Client ports come round again over so many connects: the server's
    // whole starts are counted instead, one for each allowed connect.
    EXPECT_EQ(occurrences(keldra::test::readFile(f.report()), "complete "), allowed.size());
}

// Python's own servers on ports 80 and 443 (OpenSSL through its ssl module,
// and its http.server), dual-stack. Each notes "complete <client port>" in
// the report once it has read a whole start: the ClientHello (its server
// name callback runs), or the request head (the handler runs).
constexpr const char* kPythonServers = R"(
import http.server, socket, socketserver, ssl, sys, threading
report, cert = sys.argv[1], sys.argv[2]
lock = threading.Lock()
def note(port):
    with lock, open(report, 'a') as f:
        f.write('complete %d\nsent %d\n' % (port, port))
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        note(self.client_address[1])
        self.send_response(200)
        self.end_headers()
        self.wfile.write(b'OK')
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    address_family = socket.AF_INET6
    daemon_threads = True
    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        super().server_bind()
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert)
def tls(connection, port):
    context2 = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context2.load_cert_chain(cert)
    context2.sni_callback = lambda s, name, c: note(port)
    try:
        with context2.wrap_socket(connection, server_side=True) as wrapped:
            wrapped.sendall(b'OK')
    except Exception:
        pass
def serveTLS():
    listener = socket.socket(socket.AF_INET6)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    listener.bind(('::', 443))
    listener.listen(64)
    while True:
        connection, peer = listener.accept()
        threading.Thread(target=tls, args=(connection, peer[1]), daemon=True).start()
threading.Thread(target=serveTLS, daemon=True).start()
Server(('::', 80), Handler).serve_forever()
)";

// A client that writes one start as a trick would and prints what it saw:
// "answered <ms> <port>", "error <errno> <ms> <port>", "closed" or
// "silence", the time taken after its last write. A TLS start is a real
// ClientHello of Python's ssl module, for the name given.
constexpr const char* kPythonClient = R"(
import socket, ssl, sys, time
family, port, how, name = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
address = sys.argv[5]
s = socket.socket(socket.AF_INET if family == 4 else socket.AF_INET6)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
try:
    s.connect((address, port))
except OSError as e:
    print('error %d 0 0' % e.errno)
    sys.exit(0)
local = s.getsockname()[1]
if port == 443:
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    tls = context.wrap_bio(incoming, outgoing, server_hostname=name)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    start = outgoing.read()
    empty = b'\x16\x03\x01\x00\x00'
    body = start[5:]
    if how == 'empty-first':
        pieces = [empty + start]
    elif how == 'empty-between':
        half = len(body) // 2
        pieces = [start[:3] + half.to_bytes(2, 'big') + body[:half] + empty + start[:3] + (len(body) - half).to_bytes(2, 'big') + body[half:]]
    else:
        pieces = [start]
else:
    start = how.split('|', 1)[1].replace('NAME', name).encode().decode('unicode_escape').encode('latin-1')
    pieces = [start]
oob = how.startswith('oob')
if oob:
    at = int(how.split('|')[0][3:] or 0)
    whole = pieces[0]
    pieces = [whole[:at], None, whole[at:]]
last = time.monotonic()
s.settimeout(5)
try:
    for piece in pieces:
        if piece is None:
            s.send(b'x', socket.MSG_OOB)
        elif piece:
            s.send(piece)
        last = time.monotonic()
        time.sleep(0.02)
    data = s.recv(64)
    ms = int((time.monotonic() - last) * 1000)
    print(('answered %d %d' if data else 'closed %d %d') % (ms, local))
except socket.timeout:
    print('silence 5000 %d' % local)
except OSError as e:
    print('error %d %d %d' % (e.errno, int((time.monotonic() - last) * 1000), local))
)";

TEST(ContentFilterNamespace, StartsReadAsRealServersReadThemAreBlocked) {
    FilterLab f("fr", false);
    if (!f.lab().skipReason().empty()) GTEST_SKIP() << "content filter namespace test skipped: " << f.lab().skipReason();
    const auto servers = f.scratch() / "servers.py", client = f.scratch() / "client.py", cert = f.scratch() / "cert.pem";
    keldra::test::writeFile(servers, kPythonServers);
    keldra::test::writeFile(client, kPythonClient);
    ASSERT_TRUE(runCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=test",
                            "-keyout", cert.string(), "-out", cert.string() + ".crt"})
                    .succeeded());
    keldra::test::writeFile(cert, keldra::test::readFile(cert) + keldra::test::readFile(cert.string() + ".crt"));
    f.lab().start(f.lab().server(), {"python3", servers.string(), f.report().string(), cert.string()},
                  f.scratch() / "servers.log");
    START_FILTER_OR_SKIP(f);
    std::set<std::uint16_t> blockedPorts;
    const auto run = [&](int family, std::uint16_t port, const std::string& how, const std::string& name) {
        const auto result = runCommand({"python3", client.string(), std::to_string(family), std::to_string(port), how,
                                        name, family == 4 ? kServerAddress : kServerAddress6});
        Outcome outcome;
        std::istringstream words(result.standardOutput);
        long ms = 0;
        words >> outcome.kind;
        if (outcome.kind == "error") words >> outcome.error;
        words >> ms >> outcome.localPort;
        if (outcome.kind == "answered") outcome.kind = "OK";
        outcome.afterLastWrite = std::chrono::milliseconds(ms);
        if (outcome.kind.empty()) ADD_FAILURE() << how << ": " << result.standardError;
        return outcome;
    };
    ASSERT_TRUE(waitFor([&] { return run(4, 80, "plain|GET / HTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n", "fine.test").kind == "OK"; }))
        << keldra::test::readFile(f.scratch() / "servers.log");

    for (int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        // Urgent data the server's TCP takes out of the stream, and empty
        // records OpenSSL skips.
        for (const char* how : {"oob0|", "oob1|", "oob60|", "oob200|", "empty-first", "empty-between"}) {
            SCOPED_TRACE(how);
            EXPECT_BLOCKED(f, run(family, 443, how, "blocked.test"));
        }
        EXPECT_ANSWERED(run(family, 443, "plain", "fine.test"));
        EXPECT_ANSWERED(run(family, 443, "empty-between", "fine.test"));
    }
    // Request heads as Python's server takes them: leading white space,
    // tabs and runs of blanks as separators, a blank after the version, an
    // absolute URL behind two blanks with another Host, urgent data.
    for (const char* how : {"plain| GET / HTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n", "plain|\\tGET / HTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n",
                            "plain|GET\\t/\\tHTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n", "plain|GET /\\tHTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n",
                            "plain|GET / HTTP/1.1 \\r\\nHost: NAME\\r\\n\\r\\n", "plain|\\r\\r\\nGET / HTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n",
                            "plain|GET  http://NAME/ HTTP/1.1\\r\\nHost: fine.test\\r\\n\\r\\n",
                            "plain|GET / HTTP/1.1\\r\\nHost: fine.test\\r\\nHost: NAME\\r\\n\\r\\n",
                            "plain|GET / HTTP/1.1\\r\\nHost: user@NAME\\r\\n\\r\\n",
                            "oob20|GET / HTTP/1.1\\r\\nHost: NAME\\r\\n\\r\\n"}) {
        SCOPED_TRACE(how);
        EXPECT_BLOCKED(f, run(4, 80, how, "blocked.test"));
    }
    EXPECT_ANSWERED(run(6, 80, "plain|\\tGET\\t/  HTTP/1.1 \\r\\nHost: NAME\\r\\n\\r\\n", "fine.test"));
    for (auto port : blockedPorts) EXPECT_TRUE(f.serverGotNothingWholeFrom(port)) << port;
}

}  // namespace
}  // namespace keldra::filter

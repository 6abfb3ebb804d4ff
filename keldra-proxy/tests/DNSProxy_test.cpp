#include "DNSTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/resource.h>

using namespace keldra_test;
using namespace std::chrono_literals;
using brivet::DNSProxy;

namespace {

constexpr std::uint8_t kFirst = 0xA1;
constexpr std::uint8_t kSecond = 0xB2;

Bytes echoed(const Bytes& query, std::uint8_t marker) { return *FakeUpstream::echo(marker)(query); }

// Two fake upstreams on the same port of 127.0.0.3 and 127.0.0.1, the order
// in which the proxy tries them. The port is picked on the first address and
// may be taken on the second: pick again then.
struct Upstreams {
    using Pair = std::pair<std::unique_ptr<FakeUpstream>, std::unique_ptr<FakeUpstream>>;
    static Pair make(const FakeUpstream::Responder& first, const FakeUpstream::Responder& second) {
        Pair pair;
        for (int i = 0; i < 50; ++i) {
            pair.first = std::make_unique<FakeUpstream>("127.0.0.3", 0, first);
            pair.second = std::make_unique<FakeUpstream>("127.0.0.1", pair.first->port(), second);
            if (pair.first->ok() && pair.second->ok()) {
                break;
            }
        }
        return pair;
    }
    Upstreams(const FakeUpstream::Responder& first, const FakeUpstream::Responder& second)
        : pair_(make(first, second)) {}

    Pair pair_;
    FakeUpstream& a = *pair_.first;
    FakeUpstream& b = *pair_.second;
    std::vector<std::string> list() const { return {"127.0.0.3", "127.0.0.1"}; }
};

class ProxyTest : public ::testing::Test {
protected:
    void startProxy(std::vector<std::string> upstreams, std::uint16_t upstreamPort,
                    std::chrono::milliseconds timeout = 400ms) {
        proxy = std::make_unique<DNSProxy>(filter, std::move(upstreams), upstreamPort, timeout);
        proxy->start("127.0.0.1", 0);
        ASSERT_NE(proxy->port(), 0);
    }
    std::uint16_t port() const { return proxy->port(); }

    SetFilter filter{{"blocked.test", "ads.example.com"}};
    std::unique_ptr<DNSProxy> proxy;
};

TEST_F(ProxyTest, BlockedNamesGetNxdomainWithoutUpstreamTrafficOverUdpAndTcp) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port());

    const Bytes query = buildQuery("Blocked.TEST", 1, 1, 0xBEEF);
    const auto udpAnswer = udpExchange("127.0.0.1", port(), query);
    ASSERT_TRUE(udpAnswer);
    EXPECT_EQ(*udpAnswer, *brivet::DNSMessage::nxdomainResponse(std::span<const std::uint8_t>(query)));
    EXPECT_EQ(rcode(*udpAnswer), 3);

    const auto tcpAnswer = tcpExchange("127.0.0.1", port(), query);
    ASSERT_TRUE(tcpAnswer);
    EXPECT_EQ(*tcpAnswer, *udpAnswer);

    EXPECT_EQ(proxy->blocked(), 2);
    EXPECT_EQ(proxy->answered(), 0);
    EXPECT_EQ(up.a.received() + up.b.received(), 0);
}

TEST_F(ProxyTest, OtherQueriesAreForwardedAndTheReplyRelayedUnchanged) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port());

    const Bytes query = buildQuery("allowed.test");
    EXPECT_EQ(udpExchange("127.0.0.1", port(), query), echoed(query, kFirst));
    EXPECT_EQ(tcpExchange("127.0.0.1", port(), query), echoed(query, kFirst));

    // A response (QR set) and a name written with a compression pointer are
    // no decidable question: they are forwarded as they are.
    Bytes response = buildQuery("blocked.test");
    response[2] |= 0x80;
    EXPECT_EQ(udpExchange("127.0.0.1", port(), response), echoed(response, kFirst));
    Bytes compressed = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0, 1, 0, 1};
    EXPECT_EQ(udpExchange("127.0.0.1", port(), compressed), echoed(compressed, kFirst));

    EXPECT_EQ(proxy->answered(), 4);
    EXPECT_EQ(proxy->blocked(), 0);
    EXPECT_EQ(up.b.received(), 0);
}

TEST_F(ProxyTest, FailsOverPastASilentUpstreamAfterItsTimeOut) {
    Upstreams up(FakeUpstream::silent(), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port(), 500ms);

    const Bytes query = buildQuery("allowed.test");
    for (bool tcp : {false, true}) {
        const auto began = std::chrono::steady_clock::now();
        const auto answer = tcp ? tcpExchange("127.0.0.1", port(), query, 3000ms)
                                : udpExchange("127.0.0.1", port(), query, 3000ms);
        const auto took = std::chrono::steady_clock::now() - began;
        ASSERT_TRUE(answer) << (tcp ? "tcp" : "udp");
        EXPECT_EQ(*answer, echoed(query, kSecond));
        EXPECT_GE(took, 450ms);
        EXPECT_LT(took, 2500ms);
    }
    EXPECT_EQ(up.a.received(), 2);
}

TEST_F(ProxyTest, EveryUpstreamSilentGivesNoUdpReplyAndClosesTcp) {
    Upstreams up(FakeUpstream::silent(), FakeUpstream::silent());
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port(), 300ms);

    const Bytes query = buildQuery("allowed.test");
    EXPECT_FALSE(udpExchange("127.0.0.1", port(), query, 1500ms));

    FD client = tcpConnect("127.0.0.1", port());
    ASSERT_TRUE(sendAll(client.get(), frame(query)));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedByPeer(client.get(), 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 500ms);
}

TEST_F(ProxyTest, UnreachableAndAbsentUpstreamsFailWithoutAReply) {
    // Nothing listens on the first upstream: the refusal moves on at once.
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.b.ok());
    startProxy({"127.0.0.4", "not a host name", "127.0.0.1"}, up.a.port(), 2000ms);
    const Bytes query = buildQuery("allowed.test");
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(udpExchange("127.0.0.1", port(), query), echoed(query, kSecond));
    EXPECT_EQ(tcpExchange("127.0.0.1", port(), query), echoed(query, kSecond));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3000ms);

    SetFilter none{{}};
    DNSProxy nowhere(none, {}, 53, 300ms);
    nowhere.start("127.0.0.1", 0);
    EXPECT_FALSE(udpExchange("127.0.0.1", nowhere.port(), query, 500ms));
    EXPECT_EQ(nowhere.answered(), 1);
}

TEST_F(ProxyTest, ATruncatedTcpReplyIsAFailedAttemptNotRelayed) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    // The first upstream announces the whole reply, sends half and hangs up.
    up.a.tcpWire = [](const Bytes& reply) {
        Bytes wire = frame(reply);
        wire.resize(2 + reply.size() / 2);
        return wire;
    };
    up.a.closeAfterTcpReply = true;
    startProxy(up.list(), up.a.port(), 3000ms);

    const Bytes query = buildQuery("allowed.test");
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpExchange("127.0.0.1", port(), query, 5000ms), echoed(query, kSecond));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2500ms);
}

TEST_F(ProxyTest, TcpFramesOnOneConnectionAreAnsweredInOrderAndLengthZeroCloses) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port());

    // The forwarded query is slower than the blocked one, and still comes first.
    const Bytes forwarded = buildQuery("allowed.test", 1, 1, 1);
    const Bytes blocked = buildQuery("blocked.test", 1, 1, 2);
    FD client = tcpConnect("127.0.0.1", port());
    Bytes both = frame(forwarded);
    const Bytes second = frame(blocked);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(sendAll(client.get(), both));
    EXPECT_EQ(readFrame(client.get()), echoed(forwarded, kFirst));
    EXPECT_EQ(readFrame(client.get()), *brivet::DNSMessage::nxdomainResponse(std::span<const std::uint8_t>(blocked)));

    ASSERT_TRUE(sendAll(client.get(), {0, 0}));
    EXPECT_TRUE(closedByPeer(client.get(), 2000ms));
}

TEST_F(ProxyTest, GarbageNeverStopsTheListener) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port(), 200ms);

    std::mt19937 random(7);
    const Bytes good = buildQuery("blocked.test");
    FD udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint("127.0.0.1", port());
    for (int i = 0; i < 500; ++i) {
        Bytes junk;
        if (i % 3 == 0) {
            junk.assign(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(random() % good.size()));
        } else {
            junk.resize(random() % 600);
            for (auto& b : junk) {
                b = static_cast<std::uint8_t>(random());
            }
        }
        ::sendto(udp.get(), junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
    for (int i = 0; i < 50; ++i) {
        FD tcp = tcpConnect("127.0.0.1", port());
        Bytes junk(random() % 300);
        for (auto& b : junk) {
            b = static_cast<std::uint8_t>(random());
        }
        if (i % 2 == 0) {
            // A frame announcing more than is ever sent.
            junk.insert(junk.begin(), {0x40, 0x00});
        }
        sendAll(tcp.get(), junk);
    }
    // The flood may have overrun the socket's buffer: the next good query is
    // answered, if need be on the client's second or third try.
    std::optional<Bytes> answer;
    for (int i = 0; i < 3 && !answer; ++i) {
        answer = udpExchange("127.0.0.1", port(), good, 2000ms);
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(rcode(*answer), 3);
    const auto tcpAnswer = tcpExchange("127.0.0.1", port(), good);
    ASSERT_TRUE(tcpAnswer);
    EXPECT_EQ(rcode(*tcpAnswer), 3);
}

TEST_F(ProxyTest, ASocketThatCannotBeCreatedIsAFailedAttemptNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime needs descriptors of its own for its checks.
    GTEST_SKIP() << "not with sanitizers: they need free descriptors themselves";
#endif
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    startProxy(up.list(), up.a.port());
    FD client(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint("127.0.0.1", port());
    const Bytes query = buildQuery("allowed.test");

    // No descriptor left for the forwarder's sockets.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            highest = fd;
        }
    }
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<FD> fillers;  // take every free descriptor below the limit
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        fillers.emplace_back(fd);
    }
    ::sendto(client.get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    const bool replied = waitReadable(client.get(), 800ms);
    fillers.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(replied);

    EXPECT_EQ(udpExchange("127.0.0.1", port(), query), echoed(query, kFirst));
}

// Sends one datagram from a socket bound to `from` to the address and port.
void sendFrom(const std::string& from, const sockaddr_in& to, const Bytes& message) {
    FD fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    auto local = endpoint(from, 0);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::sendto(fd.get(), message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

TEST_F(ProxyTest, UdpRepliesThatAreNotTheQuerysAreIgnoredUntilTheTimeOut) {
    Upstreams up(FakeUpstream::silent(), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    // The first upstream sends everything but the reply: another ID, another
    // question, garbage, and the right reply from another port.
    up.a.onUdpQuery = [&](const Bytes& query, const sockaddr_in& peer) {
        Bytes otherId = echoed(query, kFirst);
        otherId[1] ^= 0x01;
        Bytes otherQuestion = echoed(buildQuery("other.test", 1, 1, static_cast<std::uint16_t>((query[0] << 8) | query[1])), kFirst);
        Bytes garbage(37, 0x5A);
        garbage[0] = query[0];
        garbage[1] = query[1];
        for (const Bytes& wrong : {otherId, otherQuestion, garbage}) {
            sendFrom("127.0.0.3", peer, wrong);
        }
        sendFrom("127.0.0.1", peer, echoed(query, kFirst));
    };
    startProxy(up.list(), up.a.port(), 600ms);

    const Bytes query = buildQuery("allowed.test", 1, 1, 0x7001);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(udpExchange("127.0.0.1", port(), query, 3000ms), echoed(query, kSecond));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 550ms);
    EXPECT_EQ(up.a.received(), 1);
}

TEST_F(ProxyTest, TheMatchingReplyAfterJunkIsRelayedAndItsQuestionMayDifferInCase) {
    // Junk first, then the reply, whose question is written in capitals.
    auto shouting = [](const Bytes& query) -> std::optional<Bytes> {
        Bytes reply = *FakeUpstream::echo(kFirst)(query);
        for (std::size_t i = 12; i < reply.size(); ++i) {
            if (reply[i] >= 'a' && reply[i] <= 'z') reply[i] = static_cast<std::uint8_t>(reply[i] - 'a' + 'A');
        }
        return reply;
    };
    Upstreams up(shouting, FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    up.a.onUdpQuery = [&](const Bytes& query, const sockaddr_in& peer) {
        Bytes otherId = query;
        otherId[0] ^= 0x80;
        sendFrom("127.0.0.3", peer, otherId);
    };
    startProxy(up.list(), up.a.port(), 2000ms);

    const Bytes query = buildQuery("allowed.test", 1, 1, 0x7002);
    const auto began = std::chrono::steady_clock::now();
    const auto answer = udpExchange("127.0.0.1", port(), query, 3000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->back(), kFirst);
    EXPECT_EQ((*answer)[0], query[0]);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1500ms);
    EXPECT_EQ(up.b.received(), 0);
}

TEST_F(ProxyTest, ATcpReplyThatIsNotTheQuerysFailsTheAttempt) {
    Upstreams up(FakeUpstream::echo(kFirst), FakeUpstream::echo(kSecond));
    ASSERT_TRUE(up.a.ok() && up.b.ok());
    // The first upstream answers with another ID.
    up.a.tcpWire = [](const Bytes& reply) {
        Bytes wrong = reply;
        wrong[1] ^= 0x01;
        return frame(wrong);
    };
    startProxy(up.list(), up.a.port(), 3000ms);

    const Bytes query = buildQuery("allowed.test", 1, 1, 0x7003);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(tcpExchange("127.0.0.1", port(), query, 5000ms), echoed(query, kSecond));
    // The next upstream is asked at once, not after the time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2000ms);
}

TEST_F(ProxyTest, AQuerySentBackByTheUpstreamItIsInFlightToIsNotForwardedAgain) {
    // The upstream forwards every query back to the proxy, from its own
    // address and with a new ID, as a resolver configured with the proxy as
    // its upstream would; it never answers.
    std::uint16_t proxyPort = 0;
    std::atomic<int> relayed{0};
    Upstreams up(FakeUpstream::silent(), FakeUpstream::silent());
    ASSERT_TRUE(up.a.ok());
    up.a.onUdpQuery = [&](const Bytes& query, const sockaddr_in&) {
        Bytes again = query;
        again[0] = static_cast<std::uint8_t>(relayed.fetch_add(1) + 1);
        // Letter case changed on the way, as some resolvers do.
        for (std::size_t i = 12; i < again.size(); ++i) {
            if (again[i] == 'a') again[i] = 'A';
        }
        sendFrom("127.0.0.3", endpoint("127.0.0.1", proxyPort), again);
    };
    startProxy({"127.0.0.3"}, up.a.port(), 1500ms);
    proxyPort = port();

    // Another client asking the same question from elsewhere is served.
    FD client(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint("127.0.0.1", port());
    const Bytes query = buildQuery("loop.test", 1, 1, 0x7004);
    ::sendto(client.get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(relayed.load(), 1);
    EXPECT_EQ(proxy->loopsStopped(), 1);
    EXPECT_EQ(proxy->answered(), 1);
}

TEST(ProxyLoops, AHostNameUpstreamThatIsTheProxyItselfIsNeverAsked) {
    // The proxy listens on the port upstreams are asked on, and "localhost"
    // resolves to its own address.
    SetFilter filter{{}};
    std::unique_ptr<DNSProxy> proxy;
    for (int i = 0; i < 20 && !proxy; ++i) {
        FD probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        auto any = endpoint("127.0.0.1", 0);
        ::bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any);
        socklen_t length = sizeof any;
        ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&any), &length);
        const std::uint16_t chosen = ntohs(any.sin_port);
        probe.reset();
        auto candidate = std::make_unique<DNSProxy>(filter, std::vector<std::string>{"localhost"}, chosen, 1000ms);
        try {
            candidate->start("127.0.0.1", chosen);
            proxy = std::move(candidate);
        } catch (const std::system_error&) {
        }
    }
    ASSERT_TRUE(proxy);
    for (bool tcp : {false, true}) {
        const Bytes query = buildQuery("self.test");
        const auto answer = tcp ? tcpExchange("127.0.0.1", proxy->port(), query, 1500ms)
                                : udpExchange("127.0.0.1", proxy->port(), query, 1500ms);
        EXPECT_FALSE(answer);
    }
    EXPECT_EQ(proxy->answered(), 2);
}

TEST(ProxyStart, BindsUdpAndTcpToOnePortAndRefusesATakenOne) {
    SetFilter filter{{}};
    DNSProxy first(filter, {});
    first.start("127.0.0.1", 0);
    ASSERT_NE(first.port(), 0);
    FD tcp = tcpConnect("127.0.0.1", first.port());
    EXPECT_GE(tcp.get(), 0);

    DNSProxy second(filter, {});
    EXPECT_THROW(second.start("127.0.0.1", first.port()), std::system_error);
    EXPECT_THROW(second.start("no-such-host.invalid", 0), std::system_error);
}

TEST(ProxyStart, AWildcardListenerRepliesFromTheAddressItWasAsked) {
    SetFilter filter{{"blocked.test"}};
    DNSProxy proxy(filter, {});
    proxy.start("0.0.0.0", 0);
    DNSProxy dualStack(filter, {});
    dualStack.start("::", 0);
    const Bytes query = buildQuery("blocked.test");
    for (const auto& [asked, port] : {std::pair{"127.0.0.5", proxy.port()}, std::pair{"127.0.0.1", proxy.port()},
                                      std::pair{"127.0.0.6", dualStack.port()}}) {
        FD client(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const auto sa = endpoint(asked, port);
        ::sendto(client.get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        ASSERT_TRUE(waitReadable(client.get(), 2000ms)) << asked;
        Bytes reply(512);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(client.get(), reply.data(), reply.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        ASSERT_GT(n, 0);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        EXPECT_STREQ(text, asked);
        EXPECT_EQ(ntohs(from.sin_port), port);
        reply.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(rcode(reply), 3);
    }
}

TEST(UpstreamsWithoutSelf, DropsOnlyWhatWouldLoopBackIntoTheProxy) {
    std::vector<std::string> logged;
    auto log = [&](const std::string& line) { logged.push_back(line); };
    const std::vector<std::string> upstreams = {"127.0.0.1", "127.0.0.2", "9.9.9.9", "::1", "dns.example"};

    // Upstreams are asked on 53: a proxy on another port is never one of them.
    EXPECT_EQ(brivet::upstreamsWithoutSelf(upstreams, "127.0.0.1", 5354, 53, log), upstreams);
    EXPECT_TRUE(logged.empty());

    EXPECT_EQ(brivet::upstreamsWithoutSelf(upstreams, "127.0.0.1", 53, 53, log),
              (std::vector<std::string>{"127.0.0.2", "9.9.9.9", "::1", "dns.example"}));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("127.0.0.1"), std::string::npos);

    // A wildcard listener also receives what is sent to loopback addresses.
    EXPECT_EQ(brivet::upstreamsWithoutSelf(upstreams, "0.0.0.0", 53, 53, log),
              (std::vector<std::string>{"9.9.9.9", "dns.example"}));
}

TEST(UpstreamsWithoutSelf, HostNamesAreDroppedWhenTheyResolveToTheListenAddress) {
    std::vector<std::string> logged;
    auto log = [&](const std::string& line) { logged.push_back(line); };
    auto resolve = [](const std::string& upstream) -> std::vector<std::string> {
        if (upstream == "here.example") return {"::1", "127.0.0.1"};
        if (upstream == "there.example") return {"192.0.2.1"};
        if (upstream == "nowhere.example") return {};
        return {upstream};
    };
    const std::vector<std::string> upstreams = {"here.example", "there.example", "nowhere.example", "::ffff:127.0.0.1"};
    EXPECT_EQ(brivet::upstreamsWithoutSelf(upstreams, "127.0.0.1", 53, 53, log, resolve),
              (std::vector<std::string>{"there.example", "nowhere.example"}));
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "upstream here.example is this proxy's own address; not forwarding to it",
                          "upstream ::ffff:127.0.0.1 is this proxy's own address; not forwarding to it"}));

    // The system's own resolution of a name that is always here.
    EXPECT_TRUE(brivet::upstreamsWithoutSelf({"localhost"}, "127.0.0.1", 53, 53, log).empty());
}

}  // namespace

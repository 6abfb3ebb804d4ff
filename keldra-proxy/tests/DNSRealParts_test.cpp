// The listener against real DNS software: dnsmasq upstream, dig as client.
#include "RealDNS.h"

#include "BrivetClient/Models.h"

#include <random>

using namespace keldra_test;
using namespace std::chrono_literals;
using brivet::DNSProxy;

namespace {

// Decides with a compiled rule set through the library's class rule, as the
// proxy's own filter does.
class RuleSetFilter : public brivet::DNSFilter {
public:
    RuleSetFilter()
        : rules_({"ads"}, {brivet::BlockRule{"domain", "blocked.test"}}, {},
                 {brivet::Blocklist{"ads", 1, {brivet::BlockRule{"domain_suffix", "ads.test"}}}}) {}
    brivet::HostDecision decide(const brivet::DNSQuestion& question) override {
        return brivet::DNSMessage::decision(question, rules_);
    }

private:
    brivet::RuleSet rules_;
};

class RealDNSTest : public ::testing::Test {
protected:
    void SetUp() override {
        KELDRA_REQUIRE_REAL_DNS();
        lock_ = std::make_unique<MachineLock>();
        dnsmasq_ = std::make_unique<Dnsmasq>();
        ASSERT_TRUE(dnsmasq_->ready()) << "dnsmasq did not start on 127.0.0.2:53";
    }

    void startProxy(std::vector<std::string> upstreams) {
        proxy_ = std::make_unique<DNSProxy>(filter_, std::move(upstreams));
        proxy_->start("127.0.0.1", 0);
    }

    RuleSetFilter filter_;
    std::unique_ptr<MachineLock> lock_;
    std::unique_ptr<Dnsmasq> dnsmasq_;
    std::unique_ptr<DNSProxy> proxy_;
};

TEST_F(RealDNSTest, BlockedNamesAreAnsweredHereAndAllowedOnesByTheUpstream) {
    startProxy({Dnsmasq::kAddress});
    const int probes = dnsmasq_->queriesFor("allowed.test");
    for (const char* transport : {"+notcp", "+tcp"}) {
        const auto blocked = dig(proxy_->port(), std::string(transport) + " blocked.test A");
        EXPECT_EQ(blocked.status, 0) << blocked.output;
        EXPECT_NE(blocked.output.find("status: NXDOMAIN"), std::string::npos) << blocked.output;
        const auto category = dig(proxy_->port(), std::string(transport) + " x.ads.test AAAA");
        EXPECT_NE(category.output.find("status: NXDOMAIN"), std::string::npos) << category.output;

        const auto allowed = dig(proxy_->port(), std::string(transport) + " allowed.test A");
        EXPECT_NE(allowed.output.find("status: NOERROR"), std::string::npos) << allowed.output;
        EXPECT_NE(allowed.output.find("192.0.2.10"), std::string::npos) << allowed.output;
    }
    EXPECT_EQ(dnsmasq_->queriesFor("blocked.test"), 0);
    EXPECT_EQ(dnsmasq_->queriesFor("x.ads.test"), 0);
    EXPECT_EQ(dnsmasq_->queriesFor("allowed.test"), probes + 2);
    EXPECT_EQ(proxy_->blocked(), 4);
    EXPECT_EQ(proxy_->answered(), 2);
}

TEST_F(RealDNSTest, ChaosClassQueriesForBlockedNamesAreForwarded) {
    startProxy({Dnsmasq::kAddress});
    const auto chaos = dig(proxy_->port(), "blocked.test CH TXT");
    EXPECT_EQ(chaos.output.find("status: NXDOMAIN"), std::string::npos) << chaos.output;
    EXPECT_EQ(dnsmasq_->queriesFor("blocked.test"), 1);
    EXPECT_EQ(proxy_->blocked(), 0);
    EXPECT_EQ(proxy_->answered(), 1);
}

TEST_F(RealDNSTest, FramesOnOneConnectionAreAnsweredInOrderAndLengthZeroCloses) {
    startProxy({Dnsmasq::kAddress});
    const Bytes allowed = buildQuery("allowed.test", 1, 1, 11);
    const Bytes blocked = buildQuery("blocked.test", 1, 1, 12);
    FD client = tcpConnect("127.0.0.1", proxy_->port());
    Bytes both = frame(allowed);
    const Bytes second = frame(blocked);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(sendAll(client.get(), both));
    const auto first = readFrame(client.get());
    const auto next = readFrame(client.get());
    ASSERT_TRUE(first && next);
    EXPECT_EQ((*first)[1], 11);
    EXPECT_EQ(rcode(*first), 0);
    EXPECT_EQ((*next)[1], 12);
    EXPECT_EQ(rcode(*next), 3);

    ASSERT_TRUE(sendAll(client.get(), {0, 0}));
    EXPECT_TRUE(closedByPeer(client.get(), 2000ms));
}

TEST_F(RealDNSTest, FailsOverPastASilentUpstreamInAboutFourSeconds) {
    FakeUpstream silent("127.0.0.3", 53, FakeUpstream::silent());
    ASSERT_TRUE(silent.ok());
    startProxy({"127.0.0.3", Dnsmasq::kAddress});
    const auto began = std::chrono::steady_clock::now();
    const auto answer = dig(proxy_->port(), "allowed.test A");
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_NE(answer.output.find("192.0.2.10"), std::string::npos) << answer.output;
    EXPECT_GE(took, 3800ms);
    EXPECT_LT(took, 6000ms);
    EXPECT_EQ(silent.received(), 1);
}

TEST_F(RealDNSTest, EveryUpstreamSilentGivesNoUdpReplyAndClosesTcp) {
    FakeUpstream silent("127.0.0.3", 53, FakeUpstream::silent());
    ASSERT_TRUE(silent.ok());
    startProxy({"127.0.0.3"});

    const auto udp = dig(proxy_->port(), "+time=6 allowed.test A");
    EXPECT_NE(udp.status, 0);
    EXPECT_EQ(udp.output.find("status:"), std::string::npos) << udp.output;

    const auto began = std::chrono::steady_clock::now();
    const auto tcp = dig(proxy_->port(), "+tcp +time=8 allowed.test A");
    EXPECT_NE(tcp.status, 0);
    EXPECT_EQ(tcp.output.find("status:"), std::string::npos) << tcp.output;
    EXPECT_LT(std::chrono::steady_clock::now() - began, 7000ms);
}

TEST_F(RealDNSTest, ALoopThroughAResolverThatForwardsBackHereEndsAtOnce) {
    // dnsmasq forwards what it does not know to the proxy, and the proxy to
    // dnsmasq: each would ask the other for ever.
    startProxy({Dnsmasq::kAddress});
    dnsmasq_.reset();
    dnsmasq_ = std::make_unique<Dnsmasq>(std::vector<std::string>{
        "server=/loop.test/127.0.0.1#" + std::to_string(proxy_->port()) + "@" + Dnsmasq::kAddress});
    ASSERT_TRUE(dnsmasq_->ready());

    const auto answer = dig(proxy_->port(), "+time=2 www.loop.test A");
    EXPECT_EQ(answer.output.find("status: NOERROR"), std::string::npos) << answer.output;
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(dnsmasq_->queriesFor("www.loop.test"), 1);
    EXPECT_EQ(proxy_->answered(), 1);
    EXPECT_EQ(proxy_->loopsStopped(), 1);

    // Other names still go through dnsmasq.
    const auto allowed = dig(proxy_->port(), "allowed.test A");
    EXPECT_NE(allowed.output.find("192.0.2.10"), std::string::npos) << allowed.output;
}

TEST_F(RealDNSTest, RandomAndTruncatedInputNeverStopsTheListener) {
    startProxy({Dnsmasq::kAddress});
    std::mt19937 random(2024);
    const Bytes good = buildQuery("allowed.test");
    FD udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint("127.0.0.1", proxy_->port());
    for (int i = 0; i < 1000; ++i) {
        Bytes junk;
        if (i % 2 == 0) {
            junk.assign(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(random() % good.size()));
            if (!junk.empty()) {
                junk[random() % junk.size()] ^= static_cast<std::uint8_t>(random());
            }
        } else {
            junk.resize(random() % 1500);
            for (auto& b : junk) {
                b = static_cast<std::uint8_t>(random());
            }
        }
        ::sendto(udp.get(), junk.data(), junk.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    }
    for (int i = 0; i < 100; ++i) {
        FD tcp = tcpConnect("127.0.0.1", proxy_->port());
        Bytes junk = frame(good);
        junk.resize(random() % junk.size());
        for (int k = 0; k < 3 && !junk.empty(); ++k) {
            junk[random() % junk.size()] = static_cast<std::uint8_t>(random());
        }
        sendAll(tcp.get(), junk);
    }
    // The flood may have overrun the socket's buffer: dig tries three times.
    const auto after = dig(proxy_->port(), "+tries=3 +time=2 allowed.test A");
    EXPECT_NE(after.output.find("192.0.2.10"), std::string::npos) << after.output;
    const auto afterTcp = dig(proxy_->port(), "+tcp blocked.test A");
    EXPECT_NE(afterTcp.output.find("status: NXDOMAIN"), std::string::npos) << afterTcp.output;
}

}  // namespace

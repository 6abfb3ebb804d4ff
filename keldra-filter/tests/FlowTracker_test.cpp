#include "keldra-filter/FlowTracker.h"

#include <gtest/gtest.h>

#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;
using Verdicts = std::vector<PacketVerdict>;

struct Fixture {
    std::vector<brivet::FlowDescription> asked;
    FlowTracker tracker;

    explicit Fixture(FlowTracker::Limits limits = {})
        : tracker(
              [this](const brivet::FlowDescription& flow) {
                  asked.push_back(flow);
                  return flow.remoteHostname->find("blocked") != std::string::npos ? brivet::FlowAction::drop
                                                                                   : brivet::FlowAction::allow;
              },
              limits) {}

    Verdicts send(std::uint32_t id, const Bytes& packet, FlowTracker::Clock::time_point at = {}) {
        return tracker.onPacket(id, std::span<const std::uint8_t>(packet), at);
    }
};

TEST(FlowTracker, AClientHelloSplitOverTwoPacketsIsHeldThenDecidedOnce) {
    for (int family : {4, 6}) {
        Fixture f;
        const Endpoints e{family, 40001, 443};
        const Bytes hello = clientHelloFor("www.blocked.test", 2000);
        const Bytes first(hello.begin(), hello.begin() + 1200), second(hello.begin() + 1200, hello.end());
        EXPECT_EQ(f.send(1, tcpPacket(e, 999, {}, 0x02)), (Verdicts{{1, PacketAction::pass}}));  // SYN
        EXPECT_EQ(f.send(2, tcpPacket(e, 1000, first)), Verdicts{});
        EXPECT_EQ(f.tracker.heldPackets(), 1u);
        EXPECT_EQ(f.send(3, tcpPacket(e, 1000 + 1200, second)),
                  (Verdicts{{2, PacketAction::block}, {3, PacketAction::block}}));
        ASSERT_EQ(f.asked.size(), 1u);
        EXPECT_EQ(f.asked[0].remoteHostname, "www.blocked.test");
        EXPECT_EQ(f.asked[0].remotePort, 443);
        EXPECT_EQ(f.asked[0].remoteAddress, family == 4 ? "93.184.216.34" : "2001:db8::2");
        EXPECT_EQ(f.asked[0].direction, brivet::FlowDescription::Direction::outbound);
        // A retransmission already queued gets the flow's verdict without a
        // second decision.
        EXPECT_EQ(f.send(4, tcpPacket(e, 1000, first)), (Verdicts{{4, PacketAction::block}}));
        EXPECT_EQ(f.asked.size(), 1u);
        EXPECT_EQ(f.tracker.heldFlows(), 0u);
    }
}

TEST(FlowTracker, SegmentsArrivingOutOfOrderAreReassembled) {
    Fixture f;
    const Endpoints e{4, 40002, 443};
    const Bytes hello = clientHelloFor("ok.example", 3000);
    const Bytes a(hello.begin(), hello.begin() + 1000), b(hello.begin() + 1000, hello.begin() + 2000),
        c(hello.begin() + 2000, hello.end());
    EXPECT_EQ(f.send(1, tcpPacket(e, 0xfffffc00u, a)), Verdicts{});  // sequence wraps inside the record
    EXPECT_EQ(f.send(2, tcpPacket(e, 0xfffffc00u + 2000, c)), Verdicts{});
    EXPECT_EQ(f.send(3, tcpPacket(e, 0xfffffc00u + 1000, b)),
              (Verdicts{{1, PacketAction::allow}, {2, PacketAction::allow}, {3, PacketAction::allow}}));
}

TEST(FlowTracker, HTTPHostIsDecidedLikeTLS) {
    Fixture f;
    EXPECT_EQ(f.send(1, tcpPacket({4, 40003, 80}, 1, bytesOf("GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n"))),
              (Verdicts{{1, PacketAction::block}}));
    EXPECT_EQ(f.send(2, tcpPacket({4, 40004, 80}, 1, bytesOf("GET / HTTP/1.1\r\n"))), Verdicts{});
    EXPECT_EQ(f.send(3, tcpPacket({4, 40004, 80}, 17, bytesOf("Host: fine.test\r\n\r\n"))),
              (Verdicts{{2, PacketAction::allow}, {3, PacketAction::allow}}));
}

TEST(FlowTracker, FlowsWithoutAReadableNameAreAllowedUnasked) {
    Fixture f;
    EXPECT_EQ(f.send(1, tcpPacket({4, 40005, 443}, 1, bytesOf("SSH-2.0-x\r\n"))), (Verdicts{{1, PacketAction::allow}}));
    EXPECT_EQ(f.send(2, Bytes{0x45, 0x00}), (Verdicts{{2, PacketAction::pass}}));  // not a TCP packet
    EXPECT_TRUE(f.asked.empty());
}

TEST(FlowTracker, HeldFlowsAreLetGoAfterTheTimeOutAtAFinOrWhenRoomIsNeeded) {
    Fixture f(FlowTracker::Limits{2, 3000ms, 10000ms});
    const FlowTracker::Clock::time_point t0{};
    const Bytes hello = clientHelloFor("blocked.test", 500);
    const Bytes partial(hello.begin(), hello.begin() + 100);
    EXPECT_EQ(f.send(1, tcpPacket({4, 41001, 443}, 1, partial), t0), Verdicts{});
    EXPECT_EQ(f.send(2, tcpPacket({4, 41002, 443}, 1, partial), t0 + 1s), Verdicts{});
    // A third flow makes room by letting the oldest go.
    EXPECT_EQ(f.send(3, tcpPacket({4, 41003, 443}, 1, partial), t0 + 2s), (Verdicts{{1, PacketAction::allow}}));
    EXPECT_EQ(f.tracker.expire(t0 + 3500ms), (Verdicts{}));
    EXPECT_EQ(f.tracker.expire(t0 + 4s), (Verdicts{{2, PacketAction::allow}}));
    // A FIN decides on what came.
    EXPECT_EQ(f.send(4, tcpPacket({4, 41003, 443}, 101, {}, 0x11), t0 + 4s),
              (Verdicts{{3, PacketAction::allow}, {4, PacketAction::allow}}));
    EXPECT_EQ(f.tracker.heldFlows(), 0u);
    EXPECT_TRUE(f.asked.empty());
    // Decisions are forgotten after a while; a new SYN starts a new flow.
    EXPECT_EQ(f.send(5, tcpPacket({4, 41003, 443}, 5, {}, 0x02), t0 + 5s), (Verdicts{{5, PacketAction::pass}}));
}

}  // namespace
}  // namespace keldra::filter

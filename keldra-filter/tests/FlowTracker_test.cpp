#include "keldra-filter/FlowTracker.h"

#include <gtest/gtest.h>

#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;

constexpr auto pass = PacketAction::pass;
constexpr auto allow = PacketAction::allow;
constexpr auto block = PacketAction::block;

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

    PacketAction send(const Bytes& packet, FlowTracker::Clock::time_point at = {}, bool fresh = false) {
        return tracker.onPacket(std::span<const std::uint8_t>(packet), at, fresh);
    }
};

TEST(FlowTracker, LeadingPiecesPassAndThePieceThatCompletesTheNameDecides) {
    for (int family : {4, 6}) {
        Fixture f;
        const Endpoints e{family, 40001, 443};
        const Bytes hello = clientHelloFor("www.blocked.test", 2000);
        const Bytes first(hello.begin(), hello.begin() + 1200), second(hello.begin() + 1200, hello.end());
        EXPECT_EQ(f.send(tcpPacket(e, 999, {}, 0x02)), pass);  // SYN
        // The first piece is let through (kept as a copy), so the client's
        // next write is not held back behind it.
        EXPECT_EQ(f.send(tcpPacket(e, 1000, first)), pass);
        EXPECT_EQ(f.tracker.undecidedFlows(), 1u);
        EXPECT_EQ(f.send(tcpPacket(e, 1000 + 1200, second)), block);
        ASSERT_EQ(f.asked.size(), 1u);
        EXPECT_EQ(f.asked[0].remoteHostname, "www.blocked.test");
        EXPECT_EQ(f.asked[0].remotePort, 443);
        EXPECT_EQ(f.asked[0].remoteAddress, family == 4 ? "93.184.216.34" : "2001:db8::2");
        EXPECT_EQ(f.asked[0].direction, brivet::FlowDescription::Direction::outbound);
        // Any later packet of the connection, a resend of a leading piece
        // included, is blocked without a second decision.
        EXPECT_EQ(f.send(tcpPacket(e, 1000, first)), block);
        EXPECT_EQ(f.asked.size(), 1u);
        EXPECT_EQ(f.tracker.undecidedFlows(), 0u);
    }
}

TEST(FlowTracker, AStartWrittenByteByByteOrOutOfOrderIsReassembled) {
    Fixture f;
    const Endpoints e{4, 40002, 443};
    const Bytes hello = clientHelloFor("ok.example", 3000);
    const Bytes a(hello.begin(), hello.begin() + 1000), b(hello.begin() + 1000, hello.begin() + 2000),
        c(hello.begin() + 2000, hello.end());
    EXPECT_EQ(f.send(tcpPacket(e, 0xfffffc00u, a)), pass);  // sequence wraps inside the record
    EXPECT_EQ(f.send(tcpPacket(e, 0xfffffc00u + 2000, c)), pass);
    EXPECT_EQ(f.send(tcpPacket(e, 0xfffffc00u + 1000, b)), allow);

    const Bytes small = clientHelloFor("x.blocked.test");
    const Endpoints one{4, 40006, 443};
    for (std::size_t i = 0; i + 1 < small.size(); ++i) {
        ASSERT_EQ(f.send(tcpPacket(one, 7000 + static_cast<std::uint32_t>(i), Bytes{small[i]})), pass) << i;
    }
    EXPECT_EQ(f.send(tcpPacket(one, 7000 + static_cast<std::uint32_t>(small.size() - 1), Bytes{small.back()})), block);
}

TEST(FlowTracker, DataOnASynIsRead) {
    Fixture f;
    const Endpoints e{4, 40007, 443};
    const Bytes hello = clientHelloFor("fast.blocked.test", 1500);
    EXPECT_EQ(f.send(tcpPacket(e, 500, hello, 0x02)), block);
    // Fast Open data that carries only the start: the rest follows the SYN's
    // own sequence number.
    const Endpoints split{4, 40008, 443};
    const Bytes first(hello.begin(), hello.begin() + 600), rest(hello.begin() + 600, hello.end());
    EXPECT_EQ(f.send(tcpPacket(split, 500, first, 0x02)), pass);
    EXPECT_EQ(f.send(tcpPacket(split, 501 + 600, rest)), block);
}

TEST(FlowTracker, HTTPHostIsDecidedLikeTLS) {
    Fixture f;
    EXPECT_EQ(f.send(tcpPacket({4, 40003, 80}, 1, bytesOf("GET / HTTP/1.1\r\nHost: blocked.test\r\n\r\n"))), block);
    EXPECT_EQ(f.send(tcpPacket({4, 40004, 80}, 1, bytesOf("GET / HTTP/1.1\r\n"))), pass);
    EXPECT_EQ(f.send(tcpPacket({4, 40004, 80}, 17, bytesOf("Host: fine.test\r\n\r\n"))), allow);
}

TEST(FlowTracker, ConnectionsWithoutAReadableStartAreAllowedUnasked) {
    Fixture f;
    EXPECT_EQ(f.send(tcpPacket({4, 40005, 443}, 1, bytesOf("SSH-2.0-x\r\n"))), allow);
    EXPECT_EQ(f.send(Bytes{0x45, 0x00}), pass);  // not a TCP packet
    // Picked up mid-stream (open before the filter started, or its tracking
    // entry expired): TLS application data passes at once.
    EXPECT_EQ(f.send(tcpPacket({4, 40009, 443}, 123456, Bytes{0x17, 0x03, 0x03, 0x00, 0x20, 1, 2, 3})), allow);
    // A payload-less packet of an unknown connection is let go unmarked.
    EXPECT_EQ(f.send(tcpPacket({4, 40010, 443}, 1, {}, 0x10)), pass);
    EXPECT_TRUE(f.asked.empty());
}

TEST(FlowTracker, ABlockedConnectionStaysBlockedWhileAClientMayResend) {
    Fixture f;
    const FlowTracker::Clock::time_point t0{};
    const Endpoints e{4, 40011, 443};
    const Bytes hello = clientHelloFor("blocked.test", 300);
    EXPECT_EQ(f.send(tcpPacket(e, 1, hello), t0), block);
    // A resend minutes later (the kernel's tracking entry long gone) is still
    // blocked, while other decisions are forgotten in time.
    f.tracker.expire(t0 + 14min);
    EXPECT_EQ(f.send(tcpPacket(e, 1, hello), t0 + 14min), block);
    EXPECT_EQ(f.send(tcpPacket(e, 1 + 100, Bytes(hello.begin() + 100, hello.end())), t0 + 14min), block);
    EXPECT_EQ(f.asked.size(), 1u);
    // A new connection on the same port pair starts afresh.
    EXPECT_EQ(f.send(tcpPacket(e, 9000, {}, 0x02), t0 + 15min), pass);
    EXPECT_EQ(f.send(tcpPacket(e, 9001, clientHelloFor("fine.test")), t0 + 15min), allow);

    // The memory of blocks is bounded, oldest first.
    Fixture bounded(FlowTracker::Limits{16, 5000ms, 10000ms, std::chrono::minutes(16), 2});
    for (std::uint16_t port = 1; port <= 3; ++port) {
        EXPECT_EQ(bounded.send(tcpPacket({4, port, 443}, 1, hello)), block);
    }
    EXPECT_EQ(bounded.tracker.blockedFlows(), 2u);
    EXPECT_EQ(bounded.send(tcpPacket({4, 3, 443}, 1, hello)), block);
}

TEST(FlowTracker, APortPairReusedAtOnceIsReadAfresh) {
    // Only packets with payload reach the tracker, so it never sees the SYN
    // of a connection that reuses a port pair; the chain marks packets of
    // connections that began with a SYN as fresh.
    Fixture f;
    const Endpoints e{4, 40020, 443};
    EXPECT_EQ(f.send(tcpPacket(e, 1000, clientHelloFor("fine.test")), {}, true), allow);
    // Reused at once: a blocked name is read, not waved through as allowed.
    EXPECT_EQ(f.send(tcpPacket(e, 5000, clientHelloFor("blocked.test")), {}, true), block);
    // And the other way round: an allowed name after a block is read too.
    EXPECT_EQ(f.send(tcpPacket(e, 9000, clientHelloFor("fine.test")), {}, true), allow);
    EXPECT_EQ(f.asked.size(), 3u);

    // What does not start a new connection keeps the decision: the blocked
    // connection's own first packet sent again, its later pieces, and any
    // resend picked up mid-stream after the kernel forgot it (not fresh).
    const Endpoints b{4, 40021, 443};
    const Bytes hello = clientHelloFor("blocked.test", 300);
    EXPECT_EQ(f.send(tcpPacket(b, 7000, hello), {}, true), block);
    EXPECT_EQ(f.send(tcpPacket(b, 7000, hello), {}, true), block);
    EXPECT_EQ(f.send(tcpPacket(b, 7100, Bytes(hello.begin() + 100, hello.end())), {}, true), block);
    EXPECT_EQ(f.send(tcpPacket(b, 8000, clientHelloFor("fine.test"))), block);
    EXPECT_EQ(f.asked.size(), 4u);
}

TEST(FlowTracker, AStartLeftIncompleteOrPushedOutOfAFullTableIsBlocked) {
    Fixture f(FlowTracker::Limits{2, 3000ms, 10000ms, std::chrono::minutes(16), 100});
    const FlowTracker::Clock::time_point t0{};
    const Bytes hello = clientHelloFor("fine.test", 500);
    const Bytes partial(hello.begin(), hello.begin() + 100);
    EXPECT_EQ(f.send(tcpPacket({4, 41001, 443}, 1, partial), t0), pass);
    EXPECT_EQ(f.send(tcpPacket({4, 41002, 443}, 1, partial), t0 + 1s), pass);
    // A third connection makes room by blocking the one idle longest, so
    // opening many cannot push one through unread.
    EXPECT_EQ(f.send(tcpPacket({4, 41003, 443}, 1, partial), t0 + 2s), pass);
    EXPECT_EQ(f.send(tcpPacket({4, 41001, 443}, 101, Bytes(hello.begin() + 100, hello.end())), t0 + 2s), block);
    // Progress keeps a connection; silence for the hold time blocks it.
    EXPECT_EQ(f.send(tcpPacket({4, 41002, 443}, 101, Bytes(hello.begin() + 100, hello.begin() + 200)), t0 + 3500ms),
              pass);
    f.tracker.expire(t0 + 4500ms);
    EXPECT_EQ(f.tracker.undecidedFlows(), 2u);
    f.tracker.expire(t0 + 5s);
    EXPECT_EQ(f.tracker.undecidedFlows(), 1u);
    EXPECT_EQ(f.send(tcpPacket({4, 41003, 443}, 101, Bytes(hello.begin() + 100, hello.end())), t0 + 5s), block);
    // A FIN before the name came: nothing more to read.
    EXPECT_EQ(f.send(tcpPacket({4, 41002, 443}, 201, {}, 0x11), t0 + 5s), allow);
    EXPECT_EQ(f.tracker.undecidedFlows(), 0u);
    EXPECT_TRUE(f.asked.empty());

    // The bytes kept of all starts are bounded too.
    Fixture small(FlowTracker::Limits{16, 3000ms, 10000ms, std::chrono::minutes(16), 100, 250});
    EXPECT_EQ(small.send(tcpPacket({4, 42001, 443}, 1, partial), t0), pass);
    EXPECT_EQ(small.send(tcpPacket({4, 42002, 443}, 1, partial), t0 + 1s), pass);
    EXPECT_EQ(small.send(tcpPacket({4, 42003, 443}, 1, partial), t0 + 2s), pass);
    EXPECT_EQ(small.tracker.undecidedFlows(), 2u);
    EXPECT_EQ(small.tracker.bufferedBytes(), 200u);
    EXPECT_EQ(small.send(tcpPacket({4, 42001, 443}, 101, Bytes(hello.begin() + 100, hello.end())), t0 + 2s), block);
}

}  // namespace
}  // namespace keldra::filter

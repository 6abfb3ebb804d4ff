#include "keldra-filter/FlowTracker.h"

#include <gtest/gtest.h>

#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;

constexpr auto pass = PacketAction::pass;
constexpr auto opened = PacketAction::opened;
constexpr auto allow = PacketAction::allow;
constexpr auto block = PacketAction::block;

struct Fixture : FlowDecider {
    std::vector<brivet::FlowDescription> asked;
    FlowTracker tracker;

    explicit Fixture(FlowTracker::Limits limits = {}) : tracker(*this, limits) {}

    brivet::FlowAction decide(const brivet::FlowDescription& flow) override {
        asked.push_back(flow);
        return flow.remoteHostname->find("blocked") != std::string::npos ? brivet::FlowAction::drop
                                                                         : brivet::FlowAction::allow;
    }

    PacketAction send(const Bytes& packet, FlowTracker::Clock::time_point at = {}, PacketContext context = {}) {
        return tracker.onPacket(std::span<const std::uint8_t>(packet), at, context);
    }
};

constexpr PacketContext fresh{true, false};

TEST(FlowTracker, LeadingPiecesPassAndThePieceThatCompletesTheNameDecides) {
    for (int family : {4, 6}) {
        Fixture f;
        const Endpoints e{family, 40001, 443};
        const Bytes hello = clientHelloFor("www.blocked.test", 2000);
        const Bytes first(hello.begin(), hello.begin() + 1200), second(hello.begin() + 1200, hello.end());
        EXPECT_EQ(f.send(tcpPacket(e, 999, {}, 0x02)), opened);  // SYN
        // The first piece is let through (kept as a copy), so the client's
        // next write is not held back behind it.
        EXPECT_EQ(f.send(tcpPacket(e, 1000, first)), pass);
        EXPECT_EQ(f.tracker.undecidedFlows(), 1u);
        EXPECT_EQ(f.send(tcpPacket(e, 1000 + 1200, second)), block);
        ASSERT_EQ(f.asked.size(), 1u);
        EXPECT_EQ(f.asked[0].remoteHostname, "www.blocked.test");
        EXPECT_EQ(f.asked[0].remotePort, 443);
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
    EXPECT_EQ(f.send(tcpPacket(split, 500, first, 0x02)), opened);
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

TEST(FlowTracker, AStartThatCannotBeReadIsBlockedOnItsOwnPort) {
    Fixture f;
    const Bytes badVersion{0x16, 0x02, 0x00, 0x00, 0x05, 1, 2, 3, 4, 5};
    const Bytes alertFirst{0x15, 0x03, 0x03, 0x00, 0x02, 0x01, 0x00};
    const Bytes badRequest = bytesOf("GET /a b HTTP/1.1\r\nHost: fine.test\r\n\r\n");
    // TLS on 443 and HTTP on 80; on another port, or the other protocol on
    // the port, it passes, and so does a connection picked up mid-stream.
    const struct {
        Bytes start;
        std::uint16_t port;
        bool fresh;
        PacketAction action;
    } rows[] = {{badVersion, 443, true, block}, {alertFirst, 443, true, block}, {badRequest, 80, true, block},
                {badVersion, 8443, true, allow},  {badRequest, 443, true, allow},  {alertFirst, 80, true, allow},
                {alertFirst, 443, false, allow}, {badRequest, 80, false, allow}};
    std::uint16_t source = 43000;
    for (const auto& row : rows) {
        const Endpoints e{4, ++source, row.port};
        if (row.fresh) {
            EXPECT_EQ(f.send(tcpPacket(e, 99, {}, 0x02)), opened);
        }
        EXPECT_EQ(f.send(tcpPacket(e, 100, row.start), {}, PacketContext{row.fresh, false}), row.action) << source;
    }
    // One blocked name among those the start carries blocks it, wherever
    // it stands.
    EXPECT_EQ(f.send(tcpPacket({4, 43100, 8080}, 1,
                               bytesOf("GET http://fine.test/ HTTP/1.1\r\nHost: a.test\r\nHost: blocked.test\r\n\r\n"))),
              block);
    EXPECT_EQ(f.asked.size(), 3u);
}

TEST(FlowTracker, UrgentDataInTheStartOfAWebConnectionBlocksIt) {
    const Bytes hello = clientHelloFor("fine.test", 300);
    const Bytes first(hello.begin(), hello.begin() + 100), rest(hello.begin() + 100, hello.end());
    constexpr std::uint8_t urgent = 0x38;  // URG|ACK|PSH
    for (std::uint16_t port : {443, 80, 8080}) {
        SCOPED_TRACE(port);
        const auto expected = port == 8080 ? allow : block;
        Fixture f;
        // In the first segment, on the SYN's data, in a later piece, or on
        // a connection picked up mid-stream.
        EXPECT_EQ(f.send(tcpPacket({4, 44001, port}, 99, {}, 0x02)), opened);
        EXPECT_EQ(f.send(tcpPacket({4, 44001, port}, 100, hello, urgent)), expected);
        EXPECT_EQ(f.send(tcpPacket({4, 44002, port}, 99, hello, 0x22)), port == 8080 ? allow : block);
        EXPECT_EQ(f.send(tcpPacket({4, 44003, port}, 99, {}, 0x02)), opened);
        EXPECT_EQ(f.send(tcpPacket({4, 44003, port}, 100, first)), pass);
        EXPECT_EQ(f.send(tcpPacket({4, 44003, port}, 200, rest, urgent)), expected);
        EXPECT_EQ(f.send(tcpPacket({4, 44004, port}, 5000, hello, urgent)), expected);
        // Once allowed, urgent data is the connection's own business.
        EXPECT_EQ(f.send(tcpPacket({4, 44005, port}, 99, {}, 0x02)), opened);
        EXPECT_EQ(f.send(tcpPacket({4, 44005, port}, 100, hello)), allow);
        EXPECT_EQ(f.send(tcpPacket({4, 44005, port}, 100 + static_cast<std::uint32_t>(hello.size()), Bytes{1}, urgent)), allow);
    }
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
    EXPECT_EQ(f.send(tcpPacket(e, 9000, {}, 0x02), t0 + 15min), opened);
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
    // A SYN opens a new connection: an allowed connection's decision does
    // not carry over to the next one on the same port pair, nor a blocked
    // one's.
    Fixture f;
    const Endpoints e{4, 40020, 443};
    EXPECT_EQ(f.send(tcpPacket(e, 999, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket(e, 1000, clientHelloFor("fine.test")), {}, fresh), allow);
    EXPECT_EQ(f.send(tcpPacket(e, 4999, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket(e, 5000, clientHelloFor("blocked.test")), {}, fresh), block);
    EXPECT_EQ(f.send(tcpPacket(e, 8999, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket(e, 9000, clientHelloFor("fine.test")), {}, fresh), allow);
    EXPECT_EQ(f.asked.size(), 3u);

    // What does not start a new connection keeps the decision: the blocked
    // connection's own first packet sent again, its later pieces, and any
    // resend picked up mid-stream after the kernel forgot it (not fresh).
    const Endpoints b{4, 40021, 443};
    const Bytes hello = clientHelloFor("blocked.test", 300);
    EXPECT_EQ(f.send(tcpPacket(b, 6999, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket(b, 7000, hello), {}, fresh), block);
    EXPECT_EQ(f.send(tcpPacket(b, 7000, hello), {}, fresh), block);
    EXPECT_EQ(f.send(tcpPacket(b, 7100, Bytes(hello.begin() + 100, hello.end())), {}, fresh), block);
    EXPECT_EQ(f.send(tcpPacket(b, 8000, clientHelloFor("fine.test"))), block);
    EXPECT_EQ(f.asked.size(), 4u);
}

TEST(FlowTracker, AnOpenedConnectionIsNeverAllowedBeforeItsStartIsRead) {
    const Bytes hello = clientHelloFor("www.blocked.test", 300);
    const Bytes start(hello.begin(), hello.begin() + 100), rest(hello.begin() + 100, hello.end());
    const FlowTracker::Clock::time_point t0{};
    for (const char* name : {"www.blocked.test", "fine.test"}) {
        SCOPED_TRACE(name);
        Fixture f;
        const Bytes whole = clientHelloFor(name, 300);
        const Bytes first(whole.begin(), whole.begin() + 100), late(whole.begin() + 100, whole.end());
        const Endpoints e{4, 40030, 443};
        EXPECT_EQ(f.send(tcpPacket(e, 999, {}, 0x02)), opened);
        // The first segment was dropped at a full queue: the one past the
        // gap passes (its server holds it back) and is kept, its resends
        // too, until the start comes and decides.
        EXPECT_EQ(f.send(tcpPacket(e, 1100, late), t0, fresh), pass);
        EXPECT_EQ(f.send(tcpPacket(e, 1100, late), t0 + 5ms, fresh), pass);
        EXPECT_TRUE(f.asked.empty());
        EXPECT_EQ(f.send(tcpPacket(e, 1000, first), t0 + 200ms, fresh),
                  std::string(name) == "fine.test" ? allow : block);
        EXPECT_EQ(f.asked.size(), 1u);
    }

    Fixture f(FlowTracker::Limits{16, 3000ms, 10000ms, std::chrono::minutes(16), 100, 64u << 20, 60000ms, 2});
    // Another protocol is allowed at once, without a hold.
    EXPECT_EQ(f.send(tcpPacket({4, 40031, 443}, 1, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket({4, 40031, 443}, 2, bytesOf("SSH-2.0-x\r\n")), t0, fresh), allow);
    // A start past a gap that never comes blocks at the hold time.
    EXPECT_EQ(f.send(tcpPacket({4, 40032, 443}, 1, {}, 0x02)), opened);
    EXPECT_EQ(f.send(tcpPacket({4, 40032, 443}, 102, rest), t0, fresh), pass);
    f.tracker.expire(t0 + 3s);
    EXPECT_EQ(f.send(tcpPacket({4, 40032, 443}, 2, start), t0 + 3s, fresh), block);
    // A connection a reader saw open but whose start is not known here (an
    // earlier daemon read its SYN, or it was forgotten) is blocked, whatever
    // its first packet looks like.
    EXPECT_EQ(f.send(tcpPacket({4, 40033, 443}, 5000, clientHelloFor("fine.test")), t0, fresh), block);
    for (std::uint16_t port = 40034; port <= 40036; ++port) {
        EXPECT_EQ(f.send(tcpPacket({4, port, 443}, 1, {}, 0x02), t0), opened);
    }
    EXPECT_EQ(f.tracker.openedFlows(), 2u);
    EXPECT_EQ(f.send(tcpPacket({4, 40034, 443}, 2, bytesOf("SSH-2.0-x\r\n")), t0, fresh), block);
    EXPECT_EQ(f.send(tcpPacket({4, 40035, 443}, 2, bytesOf("SSH-2.0-x\r\n")), t0, fresh), allow);
    f.tracker.expire(t0 + 60s);
    EXPECT_EQ(f.send(tcpPacket({4, 40036, 443}, 2, bytesOf("SSH-2.0-x\r\n")), t0 + 60s, fresh), block);
    EXPECT_EQ(f.tracker.openedFlows(), 0u);
    EXPECT_EQ(f.asked.size(), 0u);
}

TEST(FlowTracker, SegmentsTheServerWouldThrowAwayAreNotTakenAsTheStart) {
    const Bytes harmless = clientHelloFor("fine.test"), blocked = clientHelloFor("blocked.test");
    constexpr PacketContext filled{false, true};
    for (int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        const Endpoints e{family, 40040, 443};
        Fixture f;
        // Without ACK, or with a wrong checksum where the kernel filled it
        // in: the server drops it, and so the filter reads past it.
        EXPECT_EQ(f.send(tcpPacket(e, 1000, harmless, 0x08)), pass);
        EXPECT_EQ(f.send(tcpPacket(e, 1000, harmless, 0x1c)), pass);  // a reset's bytes are not delivered
        Bytes broken = withChecksum(tcpPacket(e, 1000, harmless));
        broken.back() ^= 0x01;
        EXPECT_EQ(f.send(broken, {}, filled), pass);
        EXPECT_EQ(f.send(withChecksum(tcpPacket(e, 1000, blocked)), {}, filled), block);
        // A checksum not filled in yet (handed over before segmentation) is
        // not checked.
        const Endpoints other{family, 40041, 443};
        EXPECT_EQ(f.send(tcpPacket(other, 1000, blocked), {}, PacketContext{false, false}), block);
        const Endpoints right{family, 40042, 443};
        EXPECT_EQ(f.send(withChecksum(tcpPacket(right, 1000, harmless)), {}, filled), allow);
    }
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
    // A FIN before the name came lets nothing through: the start stays
    // unread until the hold time blocks it.
    EXPECT_EQ(f.send(tcpPacket({4, 41002, 443}, 201, {}, 0x11), t0 + 5s), pass);
    f.tracker.expire(t0 + 8s);
    EXPECT_EQ(f.tracker.undecidedFlows(), 0u);
    EXPECT_EQ(f.send(tcpPacket({4, 41002, 443}, 201, Bytes(hello.begin() + 200, hello.end())), t0 + 8s), block);
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

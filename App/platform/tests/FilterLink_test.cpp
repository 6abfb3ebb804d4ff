// The link to the filter extension: frames, messages, and the connection
// against a fake extension on a real socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "BrivetClient/JSONCoding.h"
#include "Keldra/FilterConnection.h"
#include "filter-link/FilterWire.h"
#include "Keldra/Testing/FakeFilterServer.h"
#include "keldra/TestFiles.h"

namespace {

namespace wire = keldra::filterwire;
using keldra::FilterConnection;
using keldra::testing::FakeFilterServer;
using Mode = FakeFilterServer::Mode;

struct SocketPair {
    int a = -1, b = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        a = fds[0];
        b = fds[1];
    }
    ~SocketPair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
    void closeB() {
        ::close(b);
        b = -1;
    }
    void sendRaw(const std::string& bytes) const { ASSERT_EQ(::send(b, bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }
};

brivet::FilterRules sampleRules() {
    brivet::FilterRules rules;
    rules.policySeq = 7;
    rules.kind = "standard";
    rules.committed = true;
    rules.categories = {"ads"};
    rules.generatedAt = "2026-01-02T03:04:05Z";
    return rules;
}

brivet::CoalescedEvent sampleEvent(std::int64_t count) {
    return brivet::CoalescedEvent{"bypass_attempted", "blocked_category", "ads", 7,
                                  "2026-01-01T00:00:00Z", "2026-01-01T00:15:00Z", count};
}

TEST(FilterWire, FramesRoundTripAndOversizeIsRefusedUnread) {
    SocketPair pair;
    wire::writeFrame(pair.b, wire::encodePublishRequest(3, sampleRules().encode(), R"({"alg":"Ed25519"})"));
    wire::Request request = wire::decodeRequest(wire::readFrame(pair.a));
    EXPECT_EQ(request.id, 3u);
    EXPECT_EQ(request.call, wire::Call::publish);
    EXPECT_EQ(brivet::FilterRules::fromJSON(*request.rules), sampleRules());
    EXPECT_EQ(request.policy, nlohmann::json({{"alg", "Ed25519"}}));
    EXPECT_FALSE(wire::decodeRequest(wire::encodePublishRequest(4, "{}")).policy);

    // A 1 GiB length prefix is refused before the body is read: the bytes
    // after it stay in the socket.
    pair.sendRaw(std::string("\x40\x00\x00\x00", 4) + "abc");
    EXPECT_THROW(wire::readFrame(pair.a), wire::WireError);
    char rest[3];
    EXPECT_EQ(::recv(pair.a, rest, 3, MSG_DONTWAIT), 3);
    EXPECT_THROW(wire::framePrefix(std::size_t(wire::kMaxFrameBytes) + 1), wire::WireError);
    EXPECT_EQ(wire::framePrefix(wire::kMaxFrameBytes).size(), 4u);

    // A peer that closes inside a frame is an error, before one a close.
    pair.sendRaw(std::string("\x00\x00\x00\x10", 4) + "{\"id\"");
    pair.closeB();
    EXPECT_THROW(
        try { wire::readFrame(pair.a); } catch (const wire::ConnectionClosed&) { FAIL() << "not a clean close"; },
        wire::WireError);
    EXPECT_THROW(wire::readFrame(pair.a), wire::ConnectionClosed);
}

TEST(FilterWire, MessagesAreStrict) {
    EXPECT_EQ(wire::decodeRequest(wire::encodeStatusRequest(1)).call, wire::Call::status);
    EXPECT_EQ(wire::decodeRequest(wire::encodeTakeEventsRequest(2)).call, wire::Call::takeEvents);
    for (const char* bad : {"", "[]", "{\"id\":1}", "{\"id\":-1,\"call\":\"status\"}", "{\"id\":\"1\",\"call\":\"status\"}",
                            "{\"id\":1,\"call\":\"reboot\"}", "{\"id\":1,\"call\":\"publish\"}",
                            "{\"id\":1,\"call\":\"publish\",\"rules\":[]}",
                            "{\"id\":1,\"call\":\"publish\",\"rules\":{},\"policy\":\"x\"}", "{\"id\":1,\"call\":\"st\xff\"}"}) {
        EXPECT_THROW(wire::decodeRequest(bad), wire::WireError) << bad;
    }
    EXPECT_THROW(wire::decodeRequest(std::string(5000, '[')), wire::WireError);

    wire::Reply refused = wire::decodeReply(wire::encodePublishReply(4, false, std::string("quota \"x\"")), wire::Call::publish);
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.reason, std::optional<std::string>("quota \"x\""));
    EXPECT_THROW(wire::decodeReply("{\"id\":4,\"accepted\":\"yes\"}", wire::Call::publish), wire::WireError);
    EXPECT_FALSE(wire::decodeReply(wire::encodeStatusReply(5, std::nullopt), wire::Call::status).data.has_value());
    EXPECT_EQ(wire::decodeReply(wire::encodeTakeEventsReply(6, "[]"), wire::Call::takeEvents).data,
              std::optional<nlohmann::json>(nlohmann::json::array()));
    EXPECT_EQ(wire::replyID("{\"id\":9}"), std::optional<std::uint64_t>(9));
    EXPECT_EQ(wire::replyID("garbage"), std::nullopt);
}

struct LinkTest : ::testing::Test {
    keldra::test::TempDir dir{"keldra-link"};
    std::string path = (dir / "filter.sock").string();
    FakeFilterServer server{path};
};

TEST_F(LinkTest, AnswersOpenLazilyAndCarryTheRecords) {
    FilterConnection connection(path);
    EXPECT_FALSE(connection.connected());
    EXPECT_EQ(server.connectionsAccepted(), 0u);

    server.setStatus(brivet::FilterStatus{true, 7, 3, "2026-01-01T00:00:00Z", 2});
    EXPECT_EQ(connection.status(), (brivet::FilterStatus{true, 7, 3, "2026-01-01T00:00:00Z", 2}));
    connection.publish(sampleRules());
    ASSERT_EQ(server.published().size(), 1u);
    EXPECT_EQ(server.published()[0], sampleRules());

    EXPECT_TRUE(connection.takeEvents().empty());  // an empty array is an empty list
    server.queueEvents({sampleEvent(3), sampleEvent(4)});
    EXPECT_EQ(connection.takeEvents(), (std::vector{sampleEvent(3), sampleEvent(4)}));
    EXPECT_TRUE(connection.takeEvents().empty());  // handed over once
    EXPECT_EQ(connection.connectionsOpened(), 1u);

    server.setStatus(std::nullopt);  // no data
    EXPECT_EQ(connection.status(), std::nullopt);
}

TEST_F(LinkTest, RefusalsCarryTheirReason) {
    FilterConnection connection(path);
    server.setMode(Mode::refuse);
    server.setRefusalReason("rules too old");
    try {
        connection.publish(sampleRules());
        FAIL() << "accepted";
    } catch (const FilterConnection::Failure& failure) {
        EXPECT_EQ(failure.description(), "rules too old");
    }
    server.setRefusalReason(std::nullopt);
    try {
        connection.publish(sampleRules());
        FAIL() << "accepted";
    } catch (const FilterConnection::Failure& failure) {
        EXPECT_STREQ(failure.what(), "rejected");
    }
    EXPECT_TRUE(connection.connected());  // a refusal is an answer, not a broken link
}

void expectUnreachable(FilterConnection& connection) {
    EXPECT_EQ(connection.status(), std::nullopt);
    try {
        connection.publish(sampleRules());
        ADD_FAILURE() << "publish succeeded";
    } catch (const FilterConnection::Failure& failure) {
        EXPECT_STREQ(failure.what(), "filter extension unreachable");
    }
    try {
        connection.takeEvents();
        ADD_FAILURE() << "takeEvents succeeded";
    } catch (const FilterConnection::Failure& failure) {
        EXPECT_STREQ(failure.what(), "filter extension unreachable");
    }
}

TEST_F(LinkTest, BrokenPeersAreUnreachableAndTheNextCallReconnects) {
    FilterConnection connection(path);
    for (Mode mode : {Mode::garbage, Mode::dropMidCall, Mode::halfFrame}) {
        server.setMode(mode);
        expectUnreachable(connection);
        EXPECT_FALSE(connection.connected());
    }
    server.setMode(Mode::answer);
    EXPECT_TRUE(connection.status().has_value());

    // The extension goes away and comes back at the same path.
    server.stop();
    expectUnreachable(connection);
    server.start();
    EXPECT_TRUE(connection.status().has_value());
    connection.publish(sampleRules());
    EXPECT_GE(connection.connectionsOpened(), 3u);
}

TEST_F(LinkTest, TheFirstCallAfterARestartReachesTheNewExtension) {
    FilterConnection connection(path);
    EXPECT_TRUE(connection.status().has_value());

    // Each call, made first after the extension restarted, is answered:
    // the dead connection is noticed before it is used.
    server.stop();
    server.start();
    EXPECT_TRUE(connection.status().has_value());
    server.stop();
    server.start();
    connection.publish(sampleRules());
    EXPECT_EQ(server.published().size(), 1u);
    server.stop();
    server.start();
    server.queueEvents({sampleEvent(2)});
    EXPECT_EQ(connection.takeEvents(), std::vector{sampleEvent(2)});
    EXPECT_EQ(connection.connectionsOpened(), 4u);
    EXPECT_EQ(server.totalCalls(), 4u);

    // Noticed, not tried and failed: the dead connection costs the call no
    // try, so the one resend is still there for a loss on the new
    // connection. Were the dead socket written to first, that write would
    // have used the resend up, and the call would fail.
    for (int round = 0; round < 3; ++round) {
        server.stop();
        server.start();
        server.dropNextCalls(1);
        const std::size_t before = server.calls(wire::Call::status);
        EXPECT_TRUE(connection.status().has_value()) << round;
        EXPECT_EQ(server.calls(wire::Call::status), before + 2) << round;
    }
}

TEST_F(LinkTest, ACallLostBeforeItsReplyBeganIsSentOnceMoreAndNoMore) {
    FilterConnection connection(path);
    EXPECT_TRUE(connection.status().has_value());

    // The extension goes away with the request read and nothing done: the
    // call is sent again on a new connection and answered.
    server.queueEvents({sampleEvent(5)});
    server.dropNextCalls(1);
    EXPECT_EQ(connection.takeEvents(), std::vector{sampleEvent(5)});
    EXPECT_EQ(server.calls(wire::Call::takeEvents), 2u);
    server.dropNextCalls(1);
    connection.publish(sampleRules());
    EXPECT_EQ(server.published().size(), 1u);

    // Sent once more only: two losses in a row leave the call unreachable.
    server.dropNextCalls(2);
    EXPECT_EQ(connection.status(), std::nullopt);
    EXPECT_EQ(server.calls(wire::Call::status), 3u);
    EXPECT_TRUE(connection.status().has_value());

    // Part of the reply came: the call is not sent again.
    server.setMode(Mode::halfFrame);
    const std::size_t before = server.totalCalls();
    EXPECT_THROW(connection.takeEvents(), FilterConnection::Failure);
    EXPECT_EQ(server.totalCalls(), before + 1);
}

TEST_F(LinkTest, UnansweredCallTimesOutAndDropsTheConnection) {
    FilterConnection connection(path, std::chrono::milliseconds(200));
    server.setMode(Mode::silent);
    expectUnreachable(connection);
    EXPECT_FALSE(connection.connected());
    server.setMode(Mode::answer);
    EXPECT_TRUE(connection.status().has_value());
}

TEST_F(LinkTest, StrayAndDuplicateRepliesAnswerNothing) {
    FilterConnection connection(path);
    // A reply to a call never made arrives first; the real reply follows.
    std::string stray = wire::encodePublishReply(999, true, std::nullopt);
    server.injectBeforeNextReply(wire::framePrefix(stray.size()) + stray);
    connection.publish(sampleRules());

    // A late copy of an earlier reply is dropped, not taken as the answer
    // of this call.
    EXPECT_TRUE(connection.status().has_value());  // call 2
    // Call 2's reply comes again, just before call 3's.
    std::string duplicateStatus = wire::encodeStatusReply(
        2, R"({"running":false,"policySeq":0,"blocklistVersion":0,"pendingEvents":0})");
    server.injectBeforeNextReply(wire::framePrefix(duplicateStatus.size()) + duplicateStatus);
    auto status = connection.status();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->running);  // the stray "not running" reply was not taken
}

TEST_F(LinkTest, PayloadsThatDoNotDecode) {
    FilterConnection connection(path);
    server.setReplyOverride([](const wire::Request& request) -> std::optional<std::string> {
        switch (request.call) {
            case wire::Call::status:
                return wire::encodeStatusReply(request.id, R"({"running":"yes"})");
            case wire::Call::takeEvents:
                return wire::encodeTakeEventsReply(request.id, R"([{"type":"x"}])");
            case wire::Call::publish:
                return "{\"id\":" + std::to_string(request.id) + "}";  // no "accepted"
        }
        return std::nullopt;
    });
    EXPECT_EQ(connection.status(), std::nullopt);  // malformed status: absent
    EXPECT_THROW(connection.takeEvents(), brivet::DecodingError);  // malformed events: thrown
    EXPECT_THROW(connection.publish(sampleRules()), FilterConnection::Failure);

    server.setReplyOverride([](const wire::Request& request) -> std::optional<std::string> {
        return wire::encodeTakeEventsReply(request.id, std::nullopt);
    });
    EXPECT_THROW(connection.takeEvents(), FilterConnection::Failure);  // no data
}

TEST(FilterLinkNames, ServiceNameFromTheExtensionBundle) {
    keldra::test::TempDir dir("keldra-ext");
    auto ext = dir / "io.tolvane.brivet.filter.systemextension";
    EXPECT_EQ(keldra::FilterXPCNames::machServiceName(ext), std::nullopt);  // no bundle
    std::filesystem::create_directories(ext / "Contents");
    auto info = ext / "Contents" / "Info.json";
    keldra::test::writeFile(info, R"({"CFBundleIdentifier":"x"})");
    EXPECT_EQ(keldra::FilterXPCNames::machServiceName(ext), std::nullopt);
    keldra::test::writeFile(info, R"({"NetworkExtension":{"Other":"x"}})");
    EXPECT_EQ(keldra::FilterXPCNames::machServiceName(ext), std::nullopt);
    keldra::test::writeFile(info, R"({"NetworkExtension":{"NEMachServiceName":5}})");
    EXPECT_EQ(keldra::FilterXPCNames::machServiceName(ext), std::nullopt);
    keldra::test::writeFile(info, R"({"NetworkExtension":{"NEMachServiceName":"/run/keldra/filter.sock"}})");
    EXPECT_EQ(keldra::FilterXPCNames::machServiceName(ext), std::optional<std::string>("/run/keldra/filter.sock"));

    // Without a name nothing is ever opened.
    FilterConnection connection(std::nullopt);
    expectUnreachable(connection);
    EXPECT_EQ(connection.connectionsOpened(), 0u);

    // Nor with a relative one, even when a server listens there.
    std::filesystem::current_path(dir.path());
    FakeFilterServer local(dir / "relative.sock");
    FilterConnection relative(std::string("relative.sock"));
    expectUnreachable(relative);
    EXPECT_EQ(local.connectionsAccepted(), 0u);
}

TEST_F(LinkTest, ConcurrentCallersEachGetTheirOwnReply) {
    FilterConnection connection(path);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 20; ++j) {
                if (connection.status().has_value()) ++ok;
                connection.publish(sampleRules());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok.load(), 160);
    EXPECT_EQ(server.published().size(), 160u);
}

}  // namespace

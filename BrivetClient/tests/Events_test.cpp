#include "keldra/TestFiles.h"
#include "BrivetClient/Events.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "BrivetClient/AtomicFile.h"

namespace fs = std::filesystem;
using brivet::CoalescedEvent;
using brivet::EventCoalescer;
using brivet::EventOutbox;
using brivet::EventOutboxError;
using brivet::Instant;

namespace {

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

Instant at(std::string_view text) {
    auto instant = brivet::RFC3339::date(text);
    EXPECT_TRUE(instant.has_value()) << text;
    return instant.value_or(Instant{});
}

Instant unix(std::int64_t seconds) { return Instant{std::chrono::seconds{seconds}}; }

using keldra::test::TempDir;

using keldra::test::modeOf;

std::string contents(const fs::path& p) {
    std::string out;
    EXPECT_TRUE(brivet::readWholeFile(p, out));
    return out;
}

CoalescedEvent event(std::string type, std::int64_t count, std::optional<std::string> category = std::nullopt) {
    return CoalescedEvent{std::move(type), "reason", std::move(category), std::nullopt,
                          "2025-03-01T12:00:00Z", "2025-03-01T12:15:00Z", count};
}

}  // namespace

// ---- Coalescer

TEST(EventCoalescer, CountsWithinOneWindowAndOpensTheNext) {
    EventCoalescer c;
    c.record("bypass_attempted", "blocked_connection", "ads", 3, at("2025-03-01T12:00:05Z"));
    c.record("bypass_attempted", "blocked_connection", "ads", 3, at("2025-03-01T12:14:59.999Z"));
    c.record("bypass_attempted", "blocked_connection", "ads", 3, at("2025-03-01T12:15:00Z"));
    EXPECT_EQ(c.counts.size(), 2u);
    EXPECT_EQ(c.pendingCount(), 3);

    auto events = c.take(at("2025-03-01T13:00:00Z"), false);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (CoalescedEvent{"bypass_attempted", "blocked_connection", "ads", 3,
                                         "2025-03-01T12:00:00Z", "2025-03-01T12:15:00Z", 2}));
    EXPECT_EQ(events[1], (CoalescedEvent{"bypass_attempted", "blocked_connection", "ads", 3,
                                         "2025-03-01T12:15:00Z", "2025-03-01T12:30:00Z", 1}));
    EXPECT_TRUE(c.isEmpty());
    EXPECT_EQ(c.pendingCount(), 0);
}

TEST(EventCoalescer, TakeReturnsOnlyClosedWindowsUnlessAll) {
    EventCoalescer c;
    c.record("t", "r", std::nullopt, std::nullopt, at("2025-03-01T12:07:00Z"));
    // One second (and one microsecond) before the window's end it stays.
    EXPECT_TRUE(c.take(at("2025-03-01T12:14:59Z"), false).empty());
    EXPECT_TRUE(c.take(at("2025-03-01T12:14:59.999999Z"), false).empty());
    EXPECT_EQ(c.pendingCount(), 1);
    // Exactly at windowStart + 900 it is closed.
    auto closed = c.take(at("2025-03-01T12:15:00Z"), false);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].windowStart, "2025-03-01T12:00:00Z");
    EXPECT_TRUE(c.isEmpty());

    c.record("t", "r", std::nullopt, std::nullopt, at("2025-03-01T12:16:00Z"));
    auto open = c.take(at("2025-03-01T12:16:00Z"), true);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].windowEnd, "2025-03-01T12:30:00Z");
    EXPECT_TRUE(c.isEmpty());
    EXPECT_TRUE(c.take(at("2025-03-01T14:00:00Z"), true).empty());
}

TEST(EventCoalescer, KeysDifferByEveryFieldAndSortByTextFields) {
    EventCoalescer c;
    const auto t = at("2025-03-01T12:00:01Z");
    c.record("b", "r", "x", 1, t);
    c.record("a", "r", "x", 1, t);
    c.record("a", "r", std::nullopt, 1, t);  // absent category sorts as ""
    c.record("a", "q", "x", 1, t);
    c.record("a", "r", "x", 2, t);           // differs only in the sequence
    c.record("a", "r", "x", 1, at("2025-03-01T11:59:59Z"));
    c.record("a", "r", "x", 1, t);
    EXPECT_EQ(c.counts.size(), 6u);
    EXPECT_EQ(c.pendingCount(), 7);

    auto events = c.take(at("2025-03-02T00:00:00Z"), false);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].windowStart, "2025-03-01T11:45:00Z");
    EXPECT_EQ((std::tuple{events[1].type, events[1].reason}), (std::tuple{"a", "q"}));
    EXPECT_EQ(events[2].category, std::nullopt);
    EXPECT_EQ(events[3].category, "x");
    EXPECT_EQ(events[3].policySeq, 1);
    EXPECT_EQ(events[3].count, 2);
    EXPECT_EQ(events[4].policySeq, 2);
    EXPECT_EQ(events[5].type, "b");
}

TEST(EventCoalescer, RecordBlockCountsOnlyBlocks) {
    using brivet::HostDecision;
    EventCoalescer c;
    const auto t = at("2025-03-01T12:00:00Z");
    c.recordBlock(HostDecision::allow(), 4, t);
    c.recordBlock(HostDecision::pass(), 4, t);
    EXPECT_TRUE(c.isEmpty());
    c.recordBlock(HostDecision::block("ads"), 4, t);
    c.recordBlock(HostDecision::blockCustom(), 4, t);
    c.recordBlock(HostDecision::block("ads"), 4, t);
    auto events = c.take(t, true);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (CoalescedEvent{"bypass_attempted", "blocked_connection", "ads", 4,
                                         "2025-03-01T12:00:00Z", "2025-03-01T12:15:00Z", 2}));
    EXPECT_EQ(events[1], (CoalescedEvent{"bypass_attempted", "blocked_custom_rule", std::nullopt, 4,
                                         "2025-03-01T12:00:00Z", "2025-03-01T12:15:00Z", 1}));
}

TEST(EventCoalescer, WindowStartTruncatesTowardZero) {
    EXPECT_EQ(EventCoalescer::windowStartFor(unix(0)), 0);
    EXPECT_EQ(EventCoalescer::windowStartFor(unix(899)), 0);
    EXPECT_EQ(EventCoalescer::windowStartFor(unix(900)), 900);
    EXPECT_EQ(EventCoalescer::windowStartFor(Instant{std::chrono::microseconds{-1}}), 0);
    EXPECT_EQ(EventCoalescer::windowStartFor(unix(-900)), -900);
    EXPECT_EQ(EventCoalescer::windowStartFor(unix(-901)), -900);
    // The extremes of the instant range stay representable.
    EXPECT_LE(EventCoalescer::windowStartFor(Instant::max()), kMax);
    EXPECT_GE(EventCoalescer::windowStartFor(Instant::min()), kMin);
}

TEST(EventCoalescer, AbsurdCountsAndWindowsDoNotOverflow) {
    EventCoalescer c;
    EventCoalescer::Key key{"t", "r", std::nullopt, std::nullopt, 0};
    c.counts[key] = kMax;
    c.record("t", "r", std::nullopt, std::nullopt, unix(10));
    EXPECT_EQ(c.counts[key], kMax);
    c.counts[EventCoalescer::Key{"u", "r", std::nullopt, std::nullopt, 0}] = 5;
    EXPECT_EQ(c.pendingCount(), kMax);
    c.counts[EventCoalescer::Key{"v", "r", std::nullopt, std::nullopt, 0}] = kMin;
    c.counts[EventCoalescer::Key{"w", "r", std::nullopt, std::nullopt, 0}] = kMin;
    EXPECT_EQ(c.pendingCount(), kMax);  // negative counts add nothing, whatever the order

    // Windows from a damaged document at the ends of the 64-bit range.
    EventCoalescer d;
    d.counts[EventCoalescer::Key{"far", "r", std::nullopt, std::nullopt, kMax}] = 1;
    d.counts[EventCoalescer::Key{"past", "r", std::nullopt, std::nullopt, kMin}] = 1;
    auto closed = d.take(Instant::max(), false);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].type, "past");
    EXPECT_EQ(closed[0].windowStart, "0000-01-01T00:00:00Z");
    auto rest = d.take(Instant::min(), true);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].windowStart, "9999-12-31T23:59:59Z");
    EXPECT_EQ(rest[0].windowEnd, "9999-12-31T23:59:59Z");
}

TEST(EventCoalescer, JSONFormRoundTripsAndRejectsDamage) {
    EventCoalescer c;
    c.record("bypass_attempted", "blocked_connection", "ads", 4, unix(1000));
    c.record("bypass_attempted", "blocked_custom_rule", std::nullopt, std::nullopt, unix(1000));
    c.record("bypass_attempted", "blocked_custom_rule", std::nullopt, std::nullopt, unix(1001));
    auto text = brivet::JSONCoding::plainEncode(c);
    EXPECT_EQ(brivet::JSONCoding::plainDecode<EventCoalescer>(text), c);

    auto tree = brivet::JSONCoding::parse(text);
    ASSERT_EQ(tree["counts"].size(), 4u);
    for (std::size_t i = 0; i < 4; i += 2) {
        const auto& key = tree["counts"][i];
        EXPECT_EQ(key["windowStart"], 900);
        EXPECT_EQ(key.contains("category"), key["reason"] == "blocked_connection");
        EXPECT_EQ(key.contains("policySeq"), key["reason"] == "blocked_connection");
    }

    // A key repeated in a document keeps the sum of its counts.
    auto twice = brivet::JSONCoding::plainDecode<EventCoalescer>(
        R"({"counts":[{"type":"t","reason":"r","windowStart":0},2,{"type":"t","reason":"r","windowStart":0},3]})");
    EXPECT_EQ(twice.pendingCount(), 5);
    EXPECT_EQ(twice.counts.size(), 1u);
    EXPECT_TRUE(brivet::JSONCoding::plainDecode<EventCoalescer>(R"({"counts":[]})").isEmpty());

    for (const char* bad : {R"({})", R"({"counts":{}})", R"({"counts":[{"type":"t","reason":"r","windowStart":0}]})",
                            R"({"counts":[{"type":"t","reason":"r"},1]})",
                            R"({"counts":[{"type":"t","reason":"r","windowStart":0},1.5]})",
                            R"({"counts":[{"type":"t","reason":"r","windowStart":"0"},1]})",
                            R"({"counts":[{"type":"t","windowStart":0},1]})"}) {
        EXPECT_THROW(brivet::JSONCoding::plainDecode<EventCoalescer>(bad), brivet::DecodingError) << bad;
    }
}

// ---- Outbox

TEST(EventOutbox, EmptyAppendCreatesNothingAndRemoveFirstWritesEmptyArray) {
    TempDir dir;
    const auto file = dir.path() / "events-outbox.json";
    EventOutbox outbox(file);
    EXPECT_TRUE(outbox.pending().empty());
    outbox.append({});
    EXPECT_FALSE(fs::exists(file));
    outbox.removeFirst(0);
    EXPECT_EQ(contents(file), "[]");
    EXPECT_EQ(modeOf(file), 0600u);
}

TEST(EventOutbox, AppendsInOrderRemovesFromTheFrontAndSurvivesRestart) {
    TempDir dir;
    const auto file = dir.path() / "nested" / "deeper" / "events-outbox.json";
    {
        EventOutbox outbox(file);
        outbox.append({event("a", 1), event("b", 2, "ads")});
        outbox.append({event("c", 3)});
        EXPECT_EQ(modeOf(file), 0600u);
    }
    // The file holds the plain (field-name) coding.
    auto tree = brivet::JSONCoding::parse(contents(file));
    ASSERT_TRUE(tree.is_array());
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[1].dump(), R"({"type":"b","reason":"reason","category":"ads",)"
                              R"("windowStart":"2025-03-01T12:00:00Z","windowEnd":"2025-03-01T12:15:00Z","count":2})");

    EventOutbox reopened(file);
    EXPECT_EQ(reopened.pending(), (std::vector{event("a", 1), event("b", 2, "ads"), event("c", 3)}));
    reopened.removeFirst(-5);  // nothing dropped
    EXPECT_EQ(reopened.pending().size(), 3u);
    reopened.removeFirst(1);
    EXPECT_EQ(reopened.pending(), (std::vector{event("b", 2, "ads"), event("c", 3)}));
    reopened.removeFirst(10);
    EXPECT_TRUE(reopened.pending().empty());
    EXPECT_EQ(contents(file), "[]");
    reopened.removeFirst(kMax);
    EXPECT_TRUE(reopened.pending().empty());
}

TEST(EventOutbox, AnUndecodableFileIsMovedAsideAndTheQueueStartsAnew) {
    TempDir dir;
    const auto file = dir.path() / "events-outbox.json";
    const auto bad = dir.path() / "events-outbox.json.bad";
    {
        // Appending writes the new events at once; the damaged file is kept,
        // and said once.
        std::vector<std::string> lines;
        EventOutbox outbox(file, [&](const std::string& line) { lines.push_back(line); });
        brivet::atomicWrite(file, "[{\"type\":\"a\"}]");
        outbox.append({event("held", 1)});
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("the event outbox in " + file.string() + " cannot be used (")) << lines[0];
        EXPECT_TRUE(lines[0].ends_with("); moved it aside to events-outbox.json.bad")) << lines[0];
        EXPECT_EQ(outbox.pending(), (std::vector{event("held", 1)}));
        EXPECT_EQ(contents(bad), "[{\"type\":\"a\"}]");
    }
    // Every operation repairs; an earlier copy aside is never replaced.
    const std::vector<std::string> damaged = {"[", "", "[1]", "{\"type\":\"a\"}"};
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        EventOutbox outbox(file);
        brivet::atomicWrite(file, damaged[i]);
        if (i % 2 == 0) {
            EXPECT_TRUE(outbox.pending().empty()) << damaged[i];
            EXPECT_FALSE(fs::exists(file));
        } else {
            outbox.removeFirst(1);
            EXPECT_EQ(contents(file), "[]");
        }
        EXPECT_EQ(contents(fs::path(bad.string() + "." + std::to_string(i + 1))), damaged[i]);
    }
    EXPECT_EQ(contents(bad), "[{\"type\":\"a\"}]");
}

TEST(EventOutbox, FirstUseRemovesTemporaryFilesOfKilledWriters) {
    TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const auto leftover = dir.path() / (".events-outbox.json.tmp-" + std::to_string(child) + "-0123456789ab");
    brivet::atomicWrite(leftover, "[]");
    EventOutbox outbox(dir.path() / "events-outbox.json");
    EXPECT_TRUE(fs::exists(leftover));  // construction touches nothing
    EXPECT_TRUE(outbox.pending().empty());
    EXPECT_FALSE(fs::exists(leftover));
}

TEST(EventOutbox, WriteFailureKeepsThePreviousFile) {
    TempDir dir;
    // The outbox's folder is a plain file, so the write cannot happen.
    const auto blocker = dir.path() / "blocker";
    brivet::atomicWrite(blocker, "x");
    EventOutbox blocked(blocker / "events-outbox.json");
    EXPECT_THROW(blocked.append({event("a", 1)}), EventOutboxError);
    EXPECT_THROW(blocked.removeFirst(0), EventOutboxError);

    // A file whose name is taken by a folder: reading fails, nothing changes.
    const auto folder = dir.path() / "events-outbox.json";
    fs::create_directory(folder);
    EventOutbox onFolder(folder);
    EXPECT_THROW(onFolder.append({event("a", 1)}), EventOutboxError);
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST(EventOutbox, ConcurrentAppendsOnOneObjectLoseNothing) {
    TempDir dir;
    EventOutbox outbox(dir.path() / "events-outbox.json");
    constexpr int kThreads = 4, kAppends = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string name = "t";
            name += std::to_string(t);
            for (int i = 0; i < kAppends; ++i) outbox.append({event(name, i)});
        });
    }
    for (auto& th : threads) th.join();
    auto all = outbox.pending();
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kAppends));
    // Each thread's events keep their own order.
    for (int t = 0; t < kThreads; ++t) {
        std::int64_t expected = 0;
        const std::string type = std::string("t").append(std::to_string(t));
        for (const auto& e : all)
            if (e.type == type) {
                EXPECT_EQ(e.count, expected++);
            }
        EXPECT_EQ(expected, kAppends);
    }
}

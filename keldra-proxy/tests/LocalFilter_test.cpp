#include "keldra-proxy/LocalFilter.h"

#include "keldra/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BrivetClient/JSONCoding.h"

namespace {

using namespace brivet;
namespace fs = std::filesystem;
using keldra::test::TempDir;
using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;

// A clock the test moves by hand; starts inside one 900-second window.
struct TestClock {
    std::shared_ptr<std::atomic<std::int64_t>> seconds = std::make_shared<std::atomic<std::int64_t>>(1'800'000'000 + 10);
    LocalFilter::Clock clock() const {
        auto held = seconds;
        return [held] { return RFC3339::fromUnixSeconds(held->load()); };
    }
};

// Category "ads" blocks ads.test and its subdomains; custom rule blocks
// custom.test; allow rule lets ok.ads.test through.
FilterRules rulesWithSeq(std::int64_t seq, std::int64_t blocklistVersion = 3) {
    Blocklist ads{"ads", blocklistVersion, {BlockRule{"domain_suffix", "ads.test"}}};
    FilterRules rules;
    rules.policySeq = seq;
    rules.kind = "blocking_only";
    rules.blocklistVersion = blocklistVersion;
    rules.categories = {"ads"};
    rules.generatedAt = "2027-01-15T08:00:00Z";
    rules.ruleSet = RuleSet({"ads"}, {BlockRule{"domain", "custom.test"}}, {BlockRule{"domain", "ok.ads.test"}}, {ads});
    return rules;
}

EventCoalescer eventsOnDisk(const fs::path& dir) {
    return JSONCoding::plainDecode<EventCoalescer>(readFile(dir / "events-pending.json"));
}

DNSQuestion question(const std::string& name, std::uint16_t qclass = 1) { return DNSQuestion(name, 1, qclass); }

TEST(LocalFilterTest, DecisionsRecordBypassEventsOnlyForBlocks) {
    TempDir dir;
    TestClock clock;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock());
    filter.publish(rulesWithSeq(7));

    EXPECT_EQ(filter.decide(question("www.ads.test")), HostDecision::block("ads"));
    EXPECT_EQ(filter.decide(question("Custom.Test.", 255)), HostDecision::blockCustom());
    EXPECT_EQ(filter.decide(question("ok.ads.test")), HostDecision::allow());
    EXPECT_EQ(filter.decide(question("example.test")), HostDecision::pass());
    // A class other than IN or ANY passes without a look at the rules.
    EXPECT_EQ(filter.decide(question("ads.test", 3)), HostDecision::pass());

    filter.flushEvents();
    const std::vector<CoalescedEvent> events = eventsOnDisk(dir.path()).take(RFC3339::fromUnixSeconds(0), true);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, "bypass_attempted");
    EXPECT_EQ(events[0].reason, "blocked_custom_rule");
    EXPECT_EQ(events[0].category, std::nullopt);
    EXPECT_EQ(events[0].policySeq, 7);
    EXPECT_EQ(events[1].reason, "blocked_dns_query");
    EXPECT_EQ(events[1].category, "ads");
    EXPECT_EQ(events[1].policySeq, 7);
    EXPECT_EQ(events[1].count, 1);
    EXPECT_EQ(filter.status()->pendingEvents, 2);
}

TEST(LocalFilterTest, NonInternetClassLeavesNoEventsFile) {
    TempDir dir;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()));
    filter.publish(rulesWithSeq(1));
    EXPECT_EQ(filter.decide(question("ads.test", 3)), HostDecision::pass());
    EXPECT_EQ(filter.decide(question("ok.ads.test")), HostDecision::allow());
    filter.flushEvents();
    EXPECT_FALSE(fs::exists(dir.path() / "events-pending.json"));
    EXPECT_EQ(filter.status()->pendingEvents, 0);
}

TEST(LocalFilterTest, BlocksOfOneCategoryInOneWindowCoalesce) {
    TempDir dir;
    TestClock clock;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock());
    filter.publish(rulesWithSeq(2));
    filter.decide(question("a.ads.test"));
    *clock.seconds += 300;
    filter.decide(question("b.ads.test"));

    filter.flushEvents();
    const auto events = eventsOnDisk(dir.path()).take(RFC3339::fromUnixSeconds(0), true);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].count, 2);
    EXPECT_EQ(events[0].windowStart, RFC3339::string(RFC3339::fromUnixSeconds(1'800'000'000)));
}

TEST(LocalFilterTest, PublishRefusesOnlyLowerSequences) {
    TempDir dir;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()));
    filter.publish(rulesWithSeq(7, 3));
    const std::string saved = readFile(dir.path() / "filter-rules.json");

    // The same sequence replaces the rules.
    filter.publish(rulesWithSeq(7, 4));
    EXPECT_EQ(filter.status()->blocklistVersion, 4);
    const std::string replaced = readFile(dir.path() / "filter-rules.json");
    EXPECT_NE(replaced, saved);

    try {
        filter.publish(rulesWithSeq(4, 9));
        FAIL() << "a lower sequence was taken";
    } catch (const LocalFilterError& error) {
        EXPECT_EQ(error.code(), 1);
        EXPECT_STREQ(error.what(), "policy_seq 4 is below the 7 in force");
        EXPECT_STREQ(LocalFilterError::domain, "brivet-dev-proxy");
    }
    EXPECT_EQ(filter.policySeq(), 7);
    EXPECT_EQ(filter.status()->blocklistVersion, 4);
    EXPECT_EQ(readFile(dir.path() / "filter-rules.json"), replaced);
    EXPECT_EQ(modeOf(dir.path() / "filter-rules.json"), 0600u);
}

TEST(LocalFilterTest, RestartResumesRulesAndPendingEvents) {
    TempDir dir;
    TestClock clock;
    {
        LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock());
        filter.markStarted(clock.clock()());
        EXPECT_TRUE(filter.status()->running);
        filter.publish(rulesWithSeq(12, 5));
        filter.decide(question("x.ads.test"));
        filter.decide(question("custom.test"));
        filter.decide(question("custom.test"));
        filter.flushEvents();
        EXPECT_EQ(modeOf(dir.path() / "events-pending.json"), 0600u);
    }
    LocalFilter again(AppGroup("dev-proxy", dir.path()), clock.clock());
    const FilterStatus status = *again.status();
    EXPECT_FALSE(status.running);
    EXPECT_EQ(status.startedAt, std::nullopt);
    EXPECT_EQ(status.policySeq, 12);
    EXPECT_EQ(status.blocklistVersion, 5);
    EXPECT_EQ(status.pendingEvents, 3);
    // The resumed rules decide, and new blocks add to the resumed counts.
    EXPECT_EQ(again.decide(question("custom.test")), HostDecision::blockCustom());
    EXPECT_EQ(again.status()->pendingEvents, 4);
    again.flushEvents();
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 4);
}

TEST(LocalFilterTest, DamagedFilesStartEmpty) {
    TempDir dir;
    writeFile(dir.path() / "filter-rules.json", "{\"policySeq\": 5");
    writeFile(dir.path() / "events-pending.json", "[1, 2]");
    std::vector<std::string> lines;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), LocalFilter::systemClock(),
                       [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(*filter.status(), FilterStatus{});
    EXPECT_FALSE(filter.hasSavedRules());
    // Both are said once and kept aside, never overwritten.
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(readFile(dir.path() / "filter-rules.json.bad"), "{\"policySeq\": 5");
    EXPECT_EQ(readFile(dir.path() / "events-pending.json.bad"), "[1, 2]");
    // Empty rules take any sequence, and the damaged events file is replaced
    // with the first block.
    filter.publish(rulesWithSeq(1));
    filter.decide(question("ads.test"));
    filter.flushEvents();
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 1);
}

TEST(LocalFilterTest, TakeEventsHandsOverClosedWindowsOnly) {
    TempDir dir;
    TestClock clock;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock());
    filter.publish(rulesWithSeq(3));
    filter.decide(question("ads.test"));

    // Only an open window: nothing taken and the file is left alone.
    filter.flushEvents();
    fs::remove(dir.path() / "events-pending.json");
    EXPECT_TRUE(filter.takeEvents().empty());
    EXPECT_FALSE(fs::exists(dir.path() / "events-pending.json"));

    // Next window: the first closes; a block in the new one stays behind.
    *clock.seconds += 900;
    filter.decide(question("custom.test"));
    const std::vector<CoalescedEvent> taken = filter.takeEvents();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].reason, "blocked_dns_query");
    EXPECT_EQ(taken[0].count, 1);
    EXPECT_EQ(taken[0].windowEnd, RFC3339::string(RFC3339::fromUnixSeconds(1'800'000'900)));
    EXPECT_EQ(filter.status()->pendingEvents, 1);
    // Handed over once; the file keeps the window until the engine has
    // queued it.
    EXPECT_TRUE(filter.takeEvents().empty());
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 2);
    filter.eventsQueued(taken);

    // The file holds only what remains, also for the next run.
    const EventCoalescer remaining = eventsOnDisk(dir.path());
    EXPECT_EQ(remaining.pendingCount(), 1);
    LocalFilter again(AppGroup("dev-proxy", dir.path()), clock.clock());
    EXPECT_TRUE(again.takeEvents().empty());
    *clock.seconds += 900;
    const auto later = again.takeEvents();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].reason, "blocked_custom_rule");
    again.eventsQueued(later);
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 0);
}

TEST(LocalFilterTest, NewIdentityResetsSavedRules) {
    TempDir dir;
    {
        LocalFilter filter(AppGroup("dev-proxy", dir.path()));
        filter.publish(rulesWithSeq(40));
        EXPECT_FALSE(filter.resetRulesForIdentity(std::string("dev-1"), "dev-1"));
        EXPECT_EQ(filter.policySeq(), 40);
        EXPECT_TRUE(filter.resetRulesForIdentity(std::string("dev-1"), "dev-2"));
        EXPECT_EQ(filter.policySeq(), 0);
        EXPECT_EQ(filter.decide(question("ads.test")), HostDecision::pass());
    }
    // The reset survives a restart, and the new device's low sequence is taken.
    LocalFilter again(AppGroup("dev-proxy", dir.path()));
    EXPECT_EQ(again.policySeq(), 0);
    again.publish(rulesWithSeq(1));
    EXPECT_EQ(again.policySeq(), 1);
    // No identity before the enrolment: rules of an unknown device go too.
    EXPECT_TRUE(again.resetRulesForIdentity(std::nullopt, "dev-3"));
    EXPECT_EQ(again.policySeq(), 0);
}

TEST(LocalFilterTest, StatusReportsStartTime) {
    TempDir dir;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()));
    EXPECT_FALSE(filter.status()->running);
    filter.markStarted(RFC3339::fromUnixSeconds(1'800'000'000));
    const FilterStatus status = *filter.status();
    EXPECT_TRUE(status.running);
    EXPECT_EQ(status.startedAt, "2027-01-15T08:00:00Z");
}

// DNS threads decide while the main task publishes newer rules and takes
// events: every answer comes from one complete rule set, and every block is
// counted exactly once across the taken and the pending events.
TEST(LocalFilterTest, ConcurrentDecisionsWhilePublishingAndTaking) {
    TempDir dir;
    TestClock clock;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock());
    filter.publish(rulesWithSeq(1));

    constexpr int threads = 4;
    constexpr int perThread = 400;
    std::atomic<bool> wrong{false};
    std::atomic<std::int64_t> blocks{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const bool custom = (i + t) % 2 == 0;
                const HostDecision decision = filter.decide(question(custom ? "custom.test" : "q.ads.test"));
                if (decision != (custom ? HostDecision::blockCustom() : HostDecision::block("ads"))) wrong = true;
                ++blocks;
                if (filter.decide(question("ok.ads.test")) != HostDecision::allow()) wrong = true;
            }
        });
    }
    std::int64_t taken = 0;
    for (std::int64_t seq = 2; seq < 60; ++seq) {
        filter.publish(rulesWithSeq(seq, seq));
        const FilterStatus status = *filter.status();
        EXPECT_EQ(status.policySeq, seq);
        EXPECT_EQ(status.blocklistVersion, seq);
        *clock.seconds += 900;
        const auto events = filter.takeEvents();
        for (const CoalescedEvent& event : events) taken += event.count;
        filter.eventsQueued(events);
    }
    for (auto& worker : workers) worker.join();
    EXPECT_FALSE(wrong);
    const std::int64_t pending = filter.status()->pendingEvents;
    EXPECT_EQ(taken + pending, blocks.load());
    filter.flushEvents();
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), pending);
    EXPECT_EQ(LocalFilter(AppGroup("dev-proxy", dir.path())).policySeq(), 59);
}

// A blocked query only counts in memory; the writer puts the latest counts
// on disk shortly after, in one write for a whole burst.
TEST(LocalFilterTest, BlockedQueriesLeaveTheFileToTheWriter) {
    TempDir dir;
    const fs::path file = dir.path() / "events-pending.json";
    {
        // A writer that would wait an hour: nothing reaches the file from
        // the deciding thread, and stopping writes the latest counts.
        LocalFilter filter(AppGroup("dev-proxy", dir.path()), LocalFilter::systemClock(), nullptr,
                           std::chrono::hours(1));
        filter.publish(rulesWithSeq(1));
        for (int i = 0; i < 50; ++i) filter.decide(question("ads.test"));
        EXPECT_FALSE(fs::exists(file));
        filter.flushEvents();
        EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 50);
        filter.decide(question("custom.test"));
        EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 50);
    }
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 51);

    // With the usual delay the file follows on its own.
    LocalFilter filter(AppGroup("dev-proxy", dir.path()));
    filter.decide(question("ads.test"));
    filter.publish(rulesWithSeq(2));
    filter.decide(question("ads.test"));
    std::int64_t onDisk = 0;
    for (int i = 0; i < 500 && onDisk != 53; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        try {
            onDisk = eventsOnDisk(dir.path()).pendingCount();
        } catch (const std::exception&) {
        }
    }
    EXPECT_EQ(onDisk, 53);
}

// The writer and the hand-over never put an older state over a newer one: a
// file that came back with windows already handed over would send them twice.
TEST(LocalFilterTest, HandOverIsNeverUndoneByTheWriter) {
    TempDir dir;
    TestClock clock;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock(), nullptr, std::chrono::milliseconds(0));
    filter.publish(rulesWithSeq(1));
    std::int64_t taken = 0;
    for (int round = 0; round < 200; ++round) {
        filter.decide(question("ads.test"));
        *clock.seconds += 900;
        const auto events = filter.takeEvents();
        for (const CoalescedEvent& event : events) taken += event.count;
        filter.eventsQueued(events);
        // Right after a hand-over the file holds exactly what memory holds.
        EXPECT_LE(eventsOnDisk(dir.path()).pendingCount(), 1);
    }
    filter.flushEvents();
    EXPECT_EQ(taken + eventsOnDisk(dir.path()).pendingCount(), 200);
}

// Counts whose write failed (here: a folder stands where the file goes) are
// not left in memory only: the next hand-over writes them, and the writer
// tries again on its own. The outage is logged once.
TEST(LocalFilterTest, AFailedWriteIsTriedAgainAtTheNextHandOverAndByTheWriter) {
    TempDir dir;
    auto logged = std::make_shared<std::vector<std::string>>();
    auto logMutex = std::make_shared<std::mutex>();
    auto log = [logged, logMutex](const std::string& line) {
        std::lock_guard lock(*logMutex);
        logged->push_back(line);
    };
    auto lines = [&](const std::string& start) {
        std::lock_guard lock(*logMutex);
        return std::count_if(logged->begin(), logged->end(),
                             [&](const std::string& line) { return line.rfind(start, 0) == 0; });
    };
    const fs::path file = dir.path() / "events-pending.json";
    auto onDisk = [&]() -> std::int64_t {
        try {
            return eventsOnDisk(dir.path()).pendingCount();
        } catch (const std::exception&) {
            return -1;
        }
    };

    {
        // A writer that would wait an hour: only the hand-over writes.
        TestClock clock;
        LocalFilter filter(AppGroup("dev-proxy", dir.path()), clock.clock(), log, std::chrono::hours(1));
        filter.publish(rulesWithSeq(1));
        fs::create_directory(file);
        for (int i = 0; i < 5; ++i) filter.decide(question("ads.test"));
        filter.flushEvents();
        filter.flushEvents();
        fs::remove(file);
        // The window is still open: nothing is handed over, but the file
        // gets the counts it lacked.
        EXPECT_TRUE(filter.takeEvents().empty());
        EXPECT_EQ(onDisk(), 5);
    }
    EXPECT_EQ(lines("cannot save the pending block counts: "), 1);
    EXPECT_EQ(lines("the pending block counts are saved again"), 1);

    // With the usual delay the writer gets them there with no tick at all.
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), LocalFilter::systemClock(), log);
    fs::remove(file);
    fs::create_directory(file);
    for (int i = 0; i < 3; ++i) filter.decide(question("custom.test"));
    for (int i = 0; i < 1000 && lines("cannot save the pending block counts: ") < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(lines("cannot save the pending block counts: "), 2);
    fs::remove(file);
    std::int64_t seen = -1;
    for (int i = 0; i < 1000 && seen != 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seen = onDisk();
    }
    EXPECT_EQ(seen, 8);

    // A window queued by the engine while the file cannot be written leaves
    // the file to the writer too: it must not come back after a restart.
    const fs::path third = dir.path() / "third";
    fs::create_directories(third);
    TestClock clock;
    LocalFilter handing(AppGroup("dev-proxy", third), clock.clock(), log);
    handing.publish(rulesWithSeq(1));
    handing.decide(question("ads.test"));
    handing.flushEvents();
    ASSERT_EQ(eventsOnDisk(third).pendingCount(), 1);
    fs::remove(third / "events-pending.json");
    fs::create_directory(third / "events-pending.json");
    *clock.seconds += 900;
    const auto handed = handing.takeEvents();
    EXPECT_EQ(handed.size(), 1u);
    handing.eventsQueued(handed);
    fs::remove(third / "events-pending.json");
    std::int64_t left = -1;
    for (int i = 0; i < 1000 && left != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        try {
            left = eventsOnDisk(third).pendingCount();
        } catch (const std::exception&) {
        }
    }
    EXPECT_EQ(left, 0);
}

// The events file's writes, failing while the disk is full.
struct FullDisk {
    std::shared_ptr<std::atomic<bool>> full = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<CountsFile> file(const fs::path& path) const {
        class File final : public CountsFile {
        public:
            File(fs::path path, std::shared_ptr<std::atomic<bool>> full) : real_(std::move(path)), full_(std::move(full)) {}
            void write(const std::string& text) override {
                if (*full_) throw std::runtime_error("No space left on device");
                real_.write(text);
            }

        private:
            DurableCountsFile real_;
            std::shared_ptr<std::atomic<bool>> full_;
        };
        return std::make_unique<File>(path, full);
    }
};

// Fourteen blocks, the disk full at the window's close so that the engine
// cannot queue the window, space back, and a kill -9 (what is on disk is all
// the next run finds): the window stays in the events file until the engine
// has queued it, so nothing is lost, and a kill -9 between the outbox and
// the events file at worst queues the same record twice.
TEST(LocalFilterTest, AWindowStaysInTheEventsFileUntilTheEngineHasQueuedIt) {
    TempDir dir;
    TestClock clock;
    FullDisk disk;
    const fs::path data = dir.path() / "data";
    fs::create_directories(data);
    auto atCrash = [&](const std::string& name) {
        fs::copy(data, dir.path() / name, fs::copy_options::recursive);
        return dir.path() / name;
    };
    std::mutex logMutex;
    std::vector<std::string> logged;
    auto log = [&](const std::string& line) {
        std::lock_guard lock(logMutex);
        logged.push_back(line);
    };
    LocalFilter filter(AppGroup("dev-proxy", data), clock.clock(), log, std::chrono::milliseconds(0),
                       disk.file(data / "events-pending.json"));
    filter.publish(rulesWithSeq(1));
    for (int i = 0; i < 14; ++i) filter.decide(question("ads.test"));
    filter.flushEvents();

    *disk.full = true;
    *clock.seconds += 900;
    const std::vector<CoalescedEvent> taken = filter.takeEvents();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].count, 14);
    // The engine's outbox append fails; a block in the new window keeps the
    // writer busy until space comes back.
    filter.decide(question("custom.test"));
    filter.flushEvents();
    *disk.full = false;
    filter.flushEvents();
    {
        std::lock_guard lock(logMutex);
        EXPECT_EQ(logged, (std::vector<std::string>{"cannot save the pending block counts: No space left on device",
                                                    "the pending block counts are saved again"}));
    }
    EXPECT_EQ(eventsOnDisk(data).pendingCount(), 15);
    EXPECT_TRUE(filter.takeEvents().empty()) << "handed over once in a process";

    // kill -9 now: the next run hands the window over again.
    const fs::path crashed = atCrash("crashed");
    LocalFilter restarted(AppGroup("dev-proxy", crashed), clock.clock());
    EXPECT_EQ(restarted.takeEvents(), taken);

    // The outbox takes the window; kill -9 before the events file lets go.
    EventOutbox outbox(data / "events-outbox.json");
    outbox.append(taken);
    const fs::path between = atCrash("between");
    filter.eventsQueued(taken);
    EXPECT_EQ(eventsOnDisk(data).pendingCount(), 1);
    EXPECT_EQ(filter.status()->pendingEvents, 1);

    LocalFilter again(AppGroup("dev-proxy", between), clock.clock());
    EventOutbox againOutbox(between / "events-outbox.json");
    const auto handedAgain = again.takeEvents();
    againOutbox.append(handedAgain);
    again.eventsQueued(handedAgain);
    EXPECT_EQ(againOutbox.pending(), (std::vector<CoalescedEvent>{taken[0], taken[0]}));
    EXPECT_EQ(eventsOnDisk(between).pendingCount(), 1);
}

// A planted FIFO or symlink is never read: start-up neither hangs nor takes
// another file's content, says so once per file, and the next write replaces
// the entry instead of writing through it.
TEST(LocalFilterTest, DataFilesThatAreNoRegularFilesCountAsMissing) {
    ::alarm(60);  // a reader stuck on a FIFO ends the test
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "filter-rules.json").c_str(), 0600), 0);
    const fs::path other = dir.path() / "other.json";
    {
        LocalFilter seed(AppGroup("dev-proxy", dir.path() / "seed"));
        seed.publish(rulesWithSeq(1));
        seed.decide(question("ads.test"));
    }
    fs::copy_file(dir.path() / "seed" / "events-pending.json", other);
    const std::string otherText = readFile(other);
    fs::create_symlink(other, dir.path() / "events-pending.json");

    std::vector<std::string> lines;
    LocalFilter filter(AppGroup("dev-proxy", dir.path()), LocalFilter::systemClock(),
                       [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(*filter.status(), FilterStatus{});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("filter-rules.json"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("events-pending.json"), std::string::npos) << lines[1];

    filter.publish(rulesWithSeq(3));
    filter.decide(question("custom.test"));
    filter.flushEvents();
    EXPECT_FALSE(fs::is_symlink(dir.path() / "events-pending.json"));
    EXPECT_EQ(eventsOnDisk(dir.path()).pendingCount(), 1);
    EXPECT_EQ(readFile(other), otherText);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "filter-rules.json"));
    ::alarm(0);
}

}  // namespace

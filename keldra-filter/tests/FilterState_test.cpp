// The daemon's block counts: written off the packet path, retried when a
// write fails, and durable before they are handed to the app.
#include "keldra-filter/FilterState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "BrivetClient/JSONCoding.h"
#include "DaemonTestSupport.h"

namespace keldra::filter {
namespace {

using namespace std::chrono_literals;
using keldra::filter::test::sampleRules;
using keldra::filter::test::waitFor;

// What the fake file saw; outlives the state that owns the fake.
struct Disk {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;         // writes wait while false
    int failuresLeft = 0;     // the next writes that fail
    int attempts = 0;
    std::vector<std::chrono::steady_clock::time_point> attemptTimes;
    std::vector<std::string> written;

    std::int64_t lastCount() {
        std::lock_guard<std::mutex> lock(mutex);
        if (written.empty()) return -1;
        const auto coalescer = brivet::JSONCoding::plainDecode<brivet::EventCoalescer>(written.back());
        std::int64_t count = 0;
        for (const auto& [key, n] : coalescer.counts) count += n;
        return count;
    }
    int tries() {
        std::lock_guard<std::mutex> lock(mutex);
        return attempts;
    }
    std::size_t writes() {
        std::lock_guard<std::mutex> lock(mutex);
        return written.size();
    }
    void setOpen(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        open = value;
        changed.notify_all();
    }
};

class FakeEventsFile : public EventsFile {
public:
    explicit FakeEventsFile(Disk& disk) : disk_(disk) {}
    void write(const std::string& text) override {
        std::unique_lock<std::mutex> lock(disk_.mutex);
        ++disk_.attempts;
        disk_.attemptTimes.push_back(std::chrono::steady_clock::now());
        disk_.changed.wait(lock, [&] { return disk_.open; });
        if (disk_.failuresLeft > 0) {
            --disk_.failuresLeft;
            throw std::runtime_error("no space left on device");
        }
        disk_.written.push_back(text);
    }

private:
    Disk& disk_;
};

struct Fixture {
    keldra::test::TempDir folder{"keldra-filter-state"};
    Disk disk;
    std::shared_ptr<std::atomic<std::int64_t>> seconds = std::make_shared<std::atomic<std::int64_t>>(1'800'000'000);
    std::unique_ptr<FilterState> state;

    std::mutex logMutex;
    std::vector<std::string> logged;

    explicit Fixture(FilterState::WriterTiming timing = {}) {
        auto clock = [seconds = seconds] {
            return brivet::Instant(std::chrono::duration_cast<brivet::Instant::duration>(std::chrono::seconds(seconds->load())));
        };
        auto log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex);
            logged.push_back(line);
        };
        state = std::make_unique<FilterState>(folder.path(), clock, std::make_unique<FakeEventsFile>(disk), timing, log);
        EXPECT_EQ(state->enforce(sampleRules()), std::nullopt);
    }

    brivet::FlowAction connectTo(const std::string& name) {
        brivet::FlowDescription flow;
        flow.remoteHostname = name;
        flow.direction = brivet::FlowDescription::Direction::outbound;
        return state->decideFlow(flow);
    }
};

TEST(FilterStateEvents, BlocksAreAnsweredWhileTheDiskIsSlowAndWrittenSoonAfterInFewWrites) {
    Fixture f;
    f.disk.setOpen(false);  // every write stalls
    auto first = std::async(std::launch::async, [&] { return f.connectTo("blocked.test"); });
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready) << "a block waited for the disk";
    EXPECT_EQ(first.get(), brivet::FlowAction::drop);
    ASSERT_TRUE(waitFor([&] { return f.disk.tries() >= 1; }));
    // A burst while the writer is stuck still answers at once.
    auto burst = std::async(std::launch::async, [&] {
        for (int i = 0; i < 50; ++i) f.connectTo("tracker.ads.example");
        return f.connectTo("fine.test");
    });
    ASSERT_EQ(burst.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(burst.get(), brivet::FlowAction::allow);
    f.disk.setOpen(true);
    ASSERT_TRUE(waitFor([&] { return f.disk.lastCount() == 51; })) << f.disk.lastCount();
    EXPECT_LE(f.disk.writes(), 3u);
}

TEST(FilterStateEvents, AFailedWriteIsTriedAgainWithoutAnotherBlock) {
    Fixture f(FilterState::WriterTiming{5ms, 50ms});
    {
        std::lock_guard<std::mutex> lock(f.disk.mutex);
        f.disk.failuresLeft = 2;
    }
    EXPECT_EQ(f.connectTo("blocked.test"), brivet::FlowAction::drop);
    EXPECT_TRUE(waitFor([&] { return f.disk.lastCount() == 1; }));
    EXPECT_EQ(f.disk.tries(), 3);
}

// Writes that keep failing are tried again after a wait that doubles up to
// the longest, blocks meanwhile do not hurry it, and the outage makes one
// line when it starts and one when it ends.
TEST(FilterStateEvents, FailingWritesBackOffAndLogOneLineEachWay) {
    Fixture f(FilterState::WriterTiming{0ms, 40ms, 160ms});
    {
        std::lock_guard<std::mutex> lock(f.disk.mutex);
        f.disk.failuresLeft = 5;
    }
    EXPECT_EQ(f.connectTo("blocked.test"), brivet::FlowAction::drop);
    ASSERT_TRUE(waitFor([&] { return f.disk.tries() >= 2; }));
    for (int i = 0; i < 20; ++i) f.connectTo("blocked.test");
    ASSERT_TRUE(waitFor([&] { return f.disk.lastCount() == 21; }));
    std::lock_guard<std::mutex> lock(f.disk.mutex);
    ASSERT_EQ(f.disk.attemptTimes.size(), 6u);
    const std::chrono::milliseconds waits[] = {40ms, 80ms, 160ms, 160ms, 160ms};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_GE(f.disk.attemptTimes[i + 1] - f.disk.attemptTimes[i], waits[i]) << "retry " << i;
    }
    std::lock_guard<std::mutex> logLock(f.logMutex);
    EXPECT_EQ(f.logged, (std::vector<std::string>{"cannot save the pending block counts: no space left on device",
                                                  "the pending block counts are saved again"}));
}

TEST(FilterStateEvents, CountsAreOnDiskBeforeTheyAreHandedOver) {
    // The writer would wait an hour: only the hand-over can write.
    Fixture f(FilterState::WriterTiming{std::chrono::hours(1), 50ms});
    EXPECT_EQ(f.connectTo("blocked.test"), brivet::FlowAction::drop);
    *f.seconds += 1000;  // the window closes
    EXPECT_EQ(f.disk.writes(), 0u);
    const auto events = f.state->closedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].count, 1);
    EXPECT_EQ(f.disk.lastCount(), 1);  // written before it was returned
    EXPECT_TRUE(f.state->removeHandedOver(events));
    EXPECT_EQ(f.disk.lastCount(), 0);

    // A count that cannot be made durable is not handed over yet.
    EXPECT_EQ(f.connectTo("blocked.test"), brivet::FlowAction::drop);
    *f.seconds += 1000;
    {
        std::lock_guard<std::mutex> lock(f.disk.mutex);
        f.disk.failuresLeft = 1;
    }
    EXPECT_TRUE(f.state->closedEvents().empty());
    EXPECT_EQ(f.state->closedEvents().size(), 1u);
    EXPECT_EQ(f.disk.lastCount(), 1);
}

TEST(FilterStateEvents, CountsStillInMemoryAreWrittenAtStop) {
    Disk disk;
    keldra::test::TempDir folder{"keldra-filter-state"};
    {
        FilterState state(folder.path(), {}, std::make_unique<FakeEventsFile>(disk),
                          FilterState::WriterTiming{std::chrono::hours(1), 50ms});
        ASSERT_EQ(state.enforce(sampleRules()), std::nullopt);
        brivet::FlowDescription flow;
        flow.remoteHostname = "blocked.test";
        EXPECT_EQ(state.decideFlow(flow), brivet::FlowAction::drop);
    }
    EXPECT_EQ(disk.lastCount(), 1);
}

}  // namespace
}  // namespace keldra::filter

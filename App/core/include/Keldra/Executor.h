#pragma once
// The app's main thread, as a seam.
//
// Everything the app state owns is read and written on one thread, the main
// thread. Work reaches it only through an Executor: `post` queues a task to
// run there, `postAfter` queues one that runs once a number of seconds has
// passed, and `now` answers the wall-clock time. The real app posts to its
// UI toolkit's event loop; tests use ManualExecutor, stepped by hand with a
// virtual clock, so sleeps of minutes take no real time.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "BrivetClient/RFC3339.h"

namespace keldra {

using Task = std::function<void()>;

class Executor {
public:
    virtual ~Executor() = default;

    // Queues `task` to run on the main thread after every task posted before
    // it. May be called from any thread.
    virtual void post(Task task) = 0;

    // Queues `task` to run on the main thread once `seconds` have passed. A
    // delay that is zero, negative or not a number runs as soon as possible;
    // tasks with the same due time run in the order they were posted. May be
    // called from any thread.
    virtual void postAfter(double seconds, Task task) = 0;

    // The current wall-clock time. May be called from any thread.
    virtual brivet::Instant now() const = 0;

protected:
    Executor() = default;
    Executor(const Executor&) = default;
    Executor& operator=(const Executor&) = default;
};

// An executor for tests. Nothing runs until the test asks: `runReady` runs
// the queued tasks on the calling thread (which thereby is the main thread),
// `advance` moves the virtual clock and runs the timers that fall due on the
// way, `runUntil` also waits in real time for tasks that other threads (the
// worker strand) post.
class ManualExecutor final : public Executor {
public:
    // The virtual clock starts at `start`.
    explicit ManualExecutor(brivet::Instant start = brivet::RFC3339::fromUnixSeconds(1'800'000'000));

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
    brivet::Instant now() const override;

    // Runs queued tasks, including the ones they queue, until none is ready.
    // Returns how many ran.
    std::size_t runReady();

    // Moves the clock forward by `seconds` (nothing for zero, negative or
    // not a number), running the ready tasks first and then every timer that
    // falls due on the way, in due order, with the clock set to each timer's
    // due time while it runs and the ready tasks run after each.
    void advance(double seconds);

    // Moves the clock to the earliest timer, runs it and the ready tasks.
    // False when no timer is pending.
    bool runNextTimer();

    // Runs ready tasks and waits in real time for more until `done()` holds.
    // False when `timeout` of real time passes first.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

    // Sets the clock without running anything.
    void setNow(brivet::Instant instant);

    std::size_t readyCount() const;
    std::size_t timerCount() const;
    // Seconds from now to the earliest pending timer; none without timers.
    std::optional<double> nextTimerIn() const;

private:
    struct Timer {
        brivet::Instant due;
        std::uint64_t order;
        bool operator<(const Timer& other) const {
            return due != other.due ? due < other.due : order < other.order;
        }
    };

    std::optional<Task> takeReady();
    // The earliest timer, when there is one due by `limit` (any when no
    // limit), with the clock moved on to its time.
    std::optional<Task> takeTimer(std::optional<brivet::Instant> limit);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    brivet::Instant now_;
    std::vector<Task> ready_;
    std::map<Timer, Task> timers_;
    std::uint64_t nextOrder_ = 0;
};

// Whole or fractional seconds as a duration of microseconds, bounded so that
// no conversion overflows (about 292,000 years either way); not a number
// gives zero.
std::chrono::microseconds boundedSeconds(double seconds);

}  // namespace keldra

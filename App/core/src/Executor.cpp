#include "Keldra/Executor.h"

#include <cmath>
#include <limits>

namespace keldra {

std::chrono::microseconds boundedSeconds(double seconds) {
    if (std::isnan(seconds)) return std::chrono::microseconds(0);
    // About 292,000 years in microseconds still fits a signed 64-bit count.
    constexpr double limit = 9.0e12;
    if (seconds > limit) seconds = limit;
    if (seconds < -limit) seconds = -limit;
    return std::chrono::microseconds(static_cast<std::int64_t>(std::llround(seconds * 1e6)));
}

ManualExecutor::ManualExecutor(brivet::Instant start) : now_(start) {}

void ManualExecutor::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(task));
    }
    posted_.notify_all();
}

void ManualExecutor::postAfter(double seconds, Task task) {
    {
        std::lock_guard lock(mutex_);
        auto delay = boundedSeconds(seconds);
        if (delay.count() < 0) delay = std::chrono::microseconds(0);
        // The clock cannot pass its last representable instant.
        const auto room = brivet::Instant::max() - now_;
        if (delay > room) delay = room;
        timers_.emplace(Timer{now_ + delay, nextOrder_++}, std::move(task));
    }
    posted_.notify_all();
}

brivet::Instant ManualExecutor::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualExecutor::setNow(brivet::Instant instant) {
    std::lock_guard lock(mutex_);
    now_ = instant;
}

std::optional<Task> ManualExecutor::takeReady() {
    std::lock_guard lock(mutex_);
    if (ready_.empty()) return std::nullopt;
    Task task = std::move(ready_.front());
    ready_.erase(ready_.begin());
    return task;
}

std::optional<Task> ManualExecutor::takeTimer(std::optional<brivet::Instant> limit) {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    auto first = timers_.begin();
    if (limit && first->first.due > *limit) return std::nullopt;
    if (first->first.due > now_) now_ = first->first.due;
    Task task = std::move(first->second);
    timers_.erase(first);
    return task;
}

std::size_t ManualExecutor::runReady() {
    std::size_t count = 0;
    while (auto task = takeReady()) {
        if (*task) (*task)();
        ++count;
    }
    return count;
}

void ManualExecutor::advance(double seconds) {
    runReady();
    if (!(seconds > 0)) return;
    brivet::Instant target;
    {
        std::lock_guard lock(mutex_);
        const auto room = brivet::Instant::max() - now_;
        auto delta = boundedSeconds(seconds);
        if (delta > room) delta = room;
        target = now_ + delta;
    }
    while (auto task = takeTimer(target)) {
        if (*task) (*task)();
        runReady();
    }
    std::lock_guard lock(mutex_);
    if (target > now_) now_ = target;
}

bool ManualExecutor::runNextTimer() {
    runReady();
    auto task = takeTimer(std::nullopt);
    if (!task) return false;
    if (*task) (*task)();
    runReady();
    return true;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runReady();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            runReady();
            return done();
        }
        // `done` may turn true without a post (another thread finishing its
        // work), so it is asked again every few milliseconds.
        std::unique_lock lock(mutex_);
        posted_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(2)),
                           [this] { return !ready_.empty(); });
    }
}

std::size_t ManualExecutor::readyCount() const {
    std::lock_guard lock(mutex_);
    return ready_.size();
}

std::size_t ManualExecutor::timerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

std::optional<double> ManualExecutor::nextTimerIn() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) return std::nullopt;
    const auto delta = timers_.begin()->first.due - now_;
    return static_cast<double>(delta.count()) / 1e6;
}

}  // namespace keldra

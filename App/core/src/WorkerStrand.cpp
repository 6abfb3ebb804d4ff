#include "Keldra/WorkerStrand.h"

namespace keldra {

WorkerStrand::WorkerStrand(std::shared_ptr<Executor> main) : main_(std::move(main)) {
    thread_ = std::thread([shared = shared_] { work(shared); });
}

WorkerStrand::~WorkerStrand() {
    bool abandoned = false;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        abandoned = shared_->abandonedFlag;
    }
    shared_->wake.notify_all();
    if (!thread_.joinable()) return;
    // An abandoned call may be waiting on a person; it ends by itself.
    if (abandoned) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void WorkerStrand::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->abandonedFlag) return;
        shared_->queue.push_back(std::move(job));
    }
    shared_->wake.notify_all();
}

bool WorkerStrand::idle() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->queue.empty() && !shared_->running;
}

void WorkerStrand::abandon() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->abandonedFlag = true;
        dropped.swap(shared_->queue);
    }
    shared_->wake.notify_all();
    // `dropped` ends here, on the caller's thread, outside the lock.
}

void WorkerStrand::work(const std::shared_ptr<Shared>& shared) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
            if (shared->queue.empty()) return;  // stopping, and nothing left to run
            job = std::move(shared->queue.front());
            shared->queue.pop_front();
            shared->running = true;
        }
        job();
        job = nullptr;
        std::lock_guard lock(shared->mutex);
        shared->running = false;
    }
}

}  // namespace keldra

#include "Keldra/WorkerStrand.h"

namespace keldra {

WorkerStrand::WorkerStrand(std::shared_ptr<Executor> main) : main_(std::move(main)) {
    thread_ = std::thread([this] { work(); });
}

WorkerStrand::~WorkerStrand() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void WorkerStrand::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_all();
}

bool WorkerStrand::idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !running_;
}

void WorkerStrand::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and nothing left to run
            job = std::move(queue_.front());
            queue_.pop_front();
            running_ = true;
        }
        job();
        std::lock_guard lock(mutex_);
        running_ = false;
    }
}

}  // namespace keldra

#pragma once
// One worker thread with one queue, for blocking calls the app makes off
// its main thread. Calls run one at a time in the order they were queued;
// each one's result is posted back to the main thread as a continuation. So
// the calls of one strand (an engine tick, an enrolment and the quit-time
// flush) can never overlap.

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "Keldra/Executor.h"

namespace keldra {

// What a blocking call gave: its value, or the exception it threw.
template <class T>
class StrandResult {
public:
    static StrandResult success(T value) { return StrandResult(std::move(value)); }
    static StrandResult failure(std::exception_ptr error) { return StrandResult(std::move(error)); }

    bool ok() const noexcept { return value_.index() == 0; }
    // The value; rethrows the call's exception when it failed.
    const T& value() const {
        if (!ok()) std::rethrow_exception(std::get<1>(value_));
        return std::get<0>(value_);
    }
    // The exception; null when the call succeeded.
    std::exception_ptr error() const noexcept { return ok() ? nullptr : std::get<1>(value_); }

private:
    explicit StrandResult(T value) : value_(std::in_place_index<0>, std::move(value)) {}
    explicit StrandResult(std::exception_ptr error) : value_(std::in_place_index<1>, std::move(error)) {}
    std::variant<T, std::exception_ptr> value_;
};

template <>
class StrandResult<void> {
public:
    static StrandResult success() { return StrandResult(nullptr); }
    static StrandResult failure(std::exception_ptr error) { return StrandResult(std::move(error)); }

    bool ok() const noexcept { return error_ == nullptr; }
    void value() const {
        if (error_) std::rethrow_exception(error_);
    }
    std::exception_ptr error() const noexcept { return error_; }

private:
    explicit StrandResult(std::exception_ptr error) : error_(std::move(error)) {}
    std::exception_ptr error_;
};

class WorkerStrand {
public:
    // Continuations are posted to `main`, which must outlive the strand's
    // last call.
    explicit WorkerStrand(std::shared_ptr<Executor> main);
    // Lets the calls already queued run to their end (their continuations
    // are still posted), then ends the thread. After abandon(), it neither
    // runs what is queued nor waits for the call in progress: that call
    // ends on its own, and nothing of it reaches the main thread.
    ~WorkerStrand();

    WorkerStrand(const WorkerStrand&) = delete;
    WorkerStrand& operator=(const WorkerStrand&) = delete;

    // Queues `call` on the worker; when it has returned or thrown, posts
    // `onMain` with its result to the main executor. May be called from any
    // thread.
    template <class T>
    void run(std::function<T()> call, std::function<void(StrandResult<T>)> onMain) {
        auto executor = main_;
        std::weak_ptr<Shared> shared = shared_;
        enqueue([call = std::move(call), onMain = std::move(onMain), executor, shared]() mutable {
            auto result = invoke(call);
            auto alive = shared.lock();
            if (!alive || alive->abandoned()) return;
            executor->post([onMain = std::move(onMain), result = std::move(result)]() mutable {
                if (onMain) onMain(std::move(result));
            });
        });
    }

    // True while no call is queued or running. A continuation of a call that
    // has finished may still be waiting on the main thread.
    bool idle() const;

    // Gives up on every call: the queued ones never run, the one in progress
    // posts no continuation, and later calls are dropped. For calls that may
    // wait on a person (a password prompt) when the app quits.
    void abandon();

private:
    template <class T>
    static StrandResult<T> invoke(std::function<T()>& call) {
        try {
            if constexpr (std::is_void_v<T>) {
                call();
                return StrandResult<void>::success();
            } else {
                return StrandResult<T>::success(call());
            }
        } catch (...) {
            return StrandResult<T>::failure(std::current_exception());
        }
    }

    // What the worker thread shares with the strand; the thread holds it
    // too, so an abandoned call may outlive the strand.
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> queue;
        bool running = false;
        bool stopping = false;
        bool abandonedFlag = false;
        bool abandoned() const {
            std::lock_guard lock(mutex);
            return abandonedFlag;
        }
    };

    void enqueue(std::function<void()> job);
    static void work(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Executor> main_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::thread thread_;
};

}  // namespace keldra

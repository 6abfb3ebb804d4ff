// The manual executor's virtual time and the worker strand.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Keldra/Executor.h"
#include "Keldra/WorkerStrand.h"

using namespace keldra;

TEST(ManualExecutor, TimersRunInDueOrderWithTheClockAtTheirDueTime) {
    ManualExecutor executor;
    const auto start = executor.now();
    std::vector<std::string> ran;
    auto at = [&](const std::string& name) {
        return [&, name] {
            ran.push_back(name + "@" + std::to_string((executor.now() - start).count() / 1000000));
        };
    };
    executor.postAfter(10, at("b"));
    executor.postAfter(5, at("a"));
    executor.postAfter(10, at("c"));  // same due time: posting order
    executor.postAfter(-3, at("now"));
    executor.postAfter(std::nan(""), at("nan"));
    executor.post([&] {
        ran.push_back("ready");
        executor.postAfter(1, at("nested"));
    });
    executor.advance(4);
    EXPECT_EQ(ran, (std::vector<std::string>{"ready", "now@0", "nan@0", "nested@1"}));
    executor.advance(100);
    EXPECT_EQ(ran, (std::vector<std::string>{"ready", "now@0", "nan@0", "nested@1", "a@5", "b@10", "c@10"}));
    EXPECT_EQ(executor.now() - start, std::chrono::seconds(104));
    EXPECT_FALSE(executor.nextTimerIn());
}

TEST(ManualExecutor, HugeDelaysNeitherOverflowNorRunEarly) {
    ManualExecutor executor;
    bool ran = false;
    executor.postAfter(1e300, [&] { ran = true; });
    executor.advance(18446744073.0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(executor.runNextTimer());
    EXPECT_TRUE(ran);
    EXPECT_GT(executor.now(), brivet::RFC3339::fromUnixSeconds(1'800'000'000));
    EXPECT_EQ(boundedSeconds(1e300), boundedSeconds(1e200));
    EXPECT_EQ(boundedSeconds(std::nan("")).count(), 0);
}

TEST(WorkerStrand, CallsRunInOrderOffTheMainThreadAndAnswerOnIt) {
    auto executor = std::make_shared<ManualExecutor>();
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> order;
    std::vector<std::string> answers;
    {
        WorkerStrand strand(executor);
        for (int i = 0; i < 5; ++i) {
            strand.run<int>(
                [&order, i, mainThread] {
                    EXPECT_NE(std::this_thread::get_id(), mainThread);
                    order.push_back(i);  // the strand runs one call at a time
                    if (i == 3) throw std::runtime_error("three failed");
                    return i * 10;
                },
                [&answers, mainThread](StrandResult<int> result) {
                    EXPECT_EQ(std::this_thread::get_id(), mainThread);
                    answers.push_back(result.ok() ? std::to_string(result.value()) : "error");
                    if (!result.ok()) {
                        EXPECT_THROW(result.value(), std::runtime_error);
                    }
                });
        }
        ASSERT_TRUE(executor->runUntil([&] { return answers.size() == 5; }));
        // The worker marks itself idle just after it has posted the last
        // answer, so give it a moment.
        for (int i = 0; i < 2000 && !strand.idle(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(strand.idle());

        // Queued calls still run when the strand ends; their answers wait
        // for the main thread.
        strand.run<void>([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); },
                         [&answers](StrandResult<void> result) { answers.push_back(result.ok() ? "void" : "x"); });
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    executor->runReady();
    EXPECT_EQ(answers, (std::vector<std::string>{"0", "10", "20", "error", "40", "void"}));
}

TEST(WorkerStrand, AnAbandonedStrandDropsItsCallsAndEndsWithoutWaitingForTheOneInProgress) {
    auto executor = std::make_shared<ManualExecutor>();
    auto gate = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto entered = std::make_shared<bool>(false);
    auto released = std::make_shared<bool>(false);
    auto finished = std::make_shared<bool>(false);
    std::vector<std::string> answers;
    {
        WorkerStrand strand(executor);
        // A call that waits until the test releases it, as a password prompt
        // waits on a person.
        strand.run<int>(
            [gate, entered, released, finished] {
                std::unique_lock lock(gate->first);
                *entered = true;
                gate->second.notify_all();
                gate->second.wait(lock, [&] { return *released; });
                *finished = true;
                return 1;
            },
            [&answers](StrandResult<int>) { answers.push_back("held"); });
        strand.run<int>([] { return 2; }, [&answers](StrandResult<int>) { answers.push_back("queued"); });
        {
            std::unique_lock lock(gate->first);
            ASSERT_TRUE(gate->second.wait_for(lock, std::chrono::seconds(10), [&] { return *entered; }));
        }
        strand.abandon();
        strand.run<int>([] { return 3; }, [&answers](StrandResult<int>) { answers.push_back("later"); });
    }  // ends while the held call still waits

    {
        std::lock_guard lock(gate->first);
        EXPECT_FALSE(*finished);
        *released = true;
    }
    gate->second.notify_all();
    // The held call ends by itself; nothing of it or of the others answers.
    for (int i = 0; i < 10000; ++i) {
        {
            std::lock_guard lock(gate->first);
            if (*finished) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    executor->runReady();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    executor->runReady();
    EXPECT_TRUE(answers.empty());
}

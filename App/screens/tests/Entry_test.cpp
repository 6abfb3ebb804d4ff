// The program's entry pieces: signals reach the event loop through the pipe,
// a quit waits for the state's stop() unless a second one comes first, the
// Qt executor keeps its order and its long delays, and the default device
// name.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTest>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

#include "AppFixture.h"
#include "DeviceName.h"
#include "QtExecutor.h"
#include "QuitController.h"
#include "SignalPipe.h"

using namespace keldra;
using namespace keldra::screens;

TEST(SignalPipe, SignalsArriveInTheEventLoopAndTheOldHandlersComeBack) {
    struct sigaction before {};
    ::sigaction(SIGINT, nullptr, &before);
    {
        SignalPipe pipe({SIGTERM, SIGINT});
        EXPECT_THROW(SignalPipe({SIGUSR1}), std::runtime_error) << "one pipe at a time";
        std::vector<int> received;
        QObject::connect(&pipe, &SignalPipe::received, [&received](int number) { received.push_back(number); });
        ::raise(SIGTERM);
        ::raise(SIGINT);
        EXPECT_TRUE(received.empty()) << "the handler itself does nothing but write";
        EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 5000));
        EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    }
    struct sigaction after {};
    ::sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    // A new pipe can be made once the old one is gone.
    EXPECT_NO_THROW(SignalPipe({SIGTERM}));
}

TEST(QuitController, AQuitDuringATickEndsOnlyAfterTheFlushAndASecondRequestWaitsForTheFirst) {
    test::AppFixture app;
    ASSERT_TRUE(app.enroll());
    app.filter->running = false;  // the tick records a loss of protection to flush
    app.service->clearReceived();
    app.service->delayEndpoint(brivet::dev::Endpoint::heartbeat, std::chrono::milliseconds(400), 1);

    int finishes = 0;
    QuitController quit([&app](std::function<void()> done) { app.state->stop(std::move(done)); },
                        [&finishes] { ++finishes; }, {}, false);
    app.state->tick();
    ASSERT_TRUE(app.state->busy());
    quit.request();
    quit.request();
    EXPECT_EQ(quit.requests(), 2);
    EXPECT_EQ(finishes, 0);
    ASSERT_TRUE(app.runUntil([&] { return quit.finished(); }));
    app.executor->runReady();
    EXPECT_EQ(finishes, 1);

    // The flush came after the tick's heartbeat, not during it.
    const auto requests = app.service->received();
    std::ptrdiff_t heartbeat = -1, events = -1;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].endpoint == brivet::dev::Endpoint::heartbeat) heartbeat = std::ptrdiff_t(i);
        if (requests[i].endpoint == brivet::dev::Endpoint::events && requests[i].status == 200 && events < 0)
            events = std::ptrdiff_t(i);
    }
    ASSERT_GE(heartbeat, 0);
    ASSERT_GT(events, heartbeat);
    EXPECT_NE(requests[std::size_t(events)].body.find("protection_disabled"), std::string::npos);

    // A request after the end changes nothing.
    quit.request();
    app.executor->runReady();
    EXPECT_EQ(finishes, 1);
}

TEST(QuitController, AQuitSentToTheApplicationBecomesARequestAndASecondOneWhileStopWaitsAbandonsIt) {
    for (const bool again : {false, true}) {
        SCOPED_TRACE(again ? "quit twice" : "quit once");
        std::vector<std::function<void()>> pending;
        int finishes = 0;
        int abandons = 0;
        QuitController quit([&pending](std::function<void()> done) { pending.push_back(std::move(done)); },
                            [&finishes] { ++finishes; }, [&abandons] { ++abandons; });
        QEvent event(QEvent::Quit);
        EXPECT_TRUE(QCoreApplication::sendEvent(QCoreApplication::instance(), &event)) << "held back";
        EXPECT_EQ(quit.requests(), 1);
        EXPECT_EQ(abandons, 0) << "the first quit waits for stop()";
        if (again) {
            // Its flush hangs; the second quit (a signal, "Quit") ends it now.
            quit.request();
            EXPECT_EQ(abandons, 1);
            EXPECT_TRUE(quit.abandoned());
            quit.request();
            EXPECT_EQ(abandons, 1);
        }
        EXPECT_EQ(finishes, 0);
        ASSERT_EQ(pending.size(), 1u) << "stop() is started once";
        if (!again) {
            pending[0]();
            EXPECT_EQ(finishes, 1);
            quit.request();
            EXPECT_EQ(abandons, 0) << "a quit after the end abandons nothing";
        }
    }
}

TEST(QtExecutor, TasksFromAnyThreadRunOnTheMainThreadInOrderAndLongDelaysDoNotFireEarly) {
    auto executor = std::make_shared<QtExecutor>();
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    const auto mainThread = std::this_thread::get_id();
    executor->postAfter(1e9, [&order] { order.push_back(-1); });       // beyond one Qt timer
    executor->postAfter(30 * 86400.0, [&order] { order.push_back(-2); });
    executor->postAfter(0.05, [&order] { order.push_back(3); });
    std::thread worker([&] {
        executor->post([&] {
            order.push_back(1);
            if (std::this_thread::get_id() != mainThread) offMain = true;
        });
        executor->post([&order] { order.push_back(2); });
    });
    worker.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return order.size() >= 3; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(offMain);
    const auto now = executor->now();
    EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - now), std::chrono::seconds(5));
}

TEST(DeviceName, PrettyNameFromMachineInfoElseHostName) {
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME=Study\n"), "Study");
    EXPECT_EQ(prettyHostnameIn("# a comment\nICON_NAME=computer\nPRETTY_HOSTNAME=\"Ann's laptop\"\n"), "Ann's laptop");
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME='He said \"hi\"'"), "He said \"hi\"");
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME=\"a \\\"b\\\" \\\\ c\""), "a \"b\" \\ c");
    EXPECT_EQ(prettyHostnameIn("  PRETTY_HOSTNAME=Work PC  \r\n"), "Work PC");
    EXPECT_EQ(prettyHostnameIn("PRETTY_HOSTNAME=\"\"\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameIn("HOSTNAME=x\nXPRETTY_HOSTNAME=y\n"), std::nullopt);
    EXPECT_EQ(prettyHostnameIn(""), std::nullopt);

    test::TempDir dir;
    test::writeFile(dir / "machine-info", "PRETTY_HOSTNAME=\"Kitchen Mac\"\n");
    EXPECT_EQ(deviceName(dir / "machine-info"), "Kitchen Mac");
    // Without the file, the host name (this machine has one).
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(deviceName(dir / "missing"), std::string(host));
}

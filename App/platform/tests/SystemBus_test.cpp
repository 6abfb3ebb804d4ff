// The sd-bus implementation against a private dbus-daemon that the test
// starts: wakes from logind's signal and launches from systemd's.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Keldra/Host.h"
#include "Keldra/Log.h"
#include "Keldra/SystemBus.h"
#include "keldra/TestFiles.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A private bus: dbus-daemon on a socket in a temporary folder.
class PrivateBus {
public:
    PrivateBus() {
        keldra::test::writeFile(dir_ / "bus.conf",
                                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                "<busconfig><type>session</type><listen>unix:path=" +
                                    (dir_ / "bus").string() +
                                    "</listen><auth>EXTERNAL</auth>"
                                    "<policy context=\"default\"><allow send_destination=\"*\"/><allow own=\"*\"/>"
                                    "<allow receive_sender=\"*\"/></policy></busconfig>\n");
        start();
    }
    ~PrivateBus() { stop(); }

    // Starts the daemon on the same socket path.
    void start() {
        std::filesystem::remove(dir_ / "bus");
        std::string config = "--config-file=" + (dir_ / "bus.conf").string();
        std::vector<char*> argv = {const_cast<char*>("dbus-daemon"), config.data(), const_cast<char*>("--nofork"),
                                   nullptr};
        if (::posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
        // The socket file appears at bind(), a moment before the daemon
        // listens: wait until a connection is taken.
        for (int i = 0; i < 500 && !accepting(); ++i) std::this_thread::sleep_for(10ms);
    }
    // Kills the daemon: every connection to it ends.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    void pause() { ::kill(pid_, SIGSTOP); }
    void resume() { ::kill(pid_, SIGCONT); }
    bool running() const { return pid_ > 0 && accepting(); }
    std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

private:
    bool accepting() const {
        const std::string path = (dir_ / "bus").string();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) return false;
        path.copy(address.sun_path, path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return connected;
    }

    keldra::test::TempDir dir_{"keldra-dbus"};
    pid_t pid_ = -1;
};

// A peer on the private bus that plays logind and systemd. sd-bus is not
// thread-safe, so everything it does runs on its own thread.
class BusPeer {
public:
    explicit BusPeer(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        started_ = sd_bus_start(bus_) >= 0;
        thread_ = std::thread([this] { run(); });
    }
    ~BusPeer() {
        stop_ = true;
        thread_.join();
        if (slot_ != nullptr) sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    bool started() const { return started_; }

    // Runs `task` on the peer's thread and waits for it.
    int perform(std::function<int(sd_bus*)> task) {
        std::promise<int> done;
        auto result = done.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back([&] { done.set_value(task(bus_)); });
        }
        return result.get();
    }

    int own(const char* name) {
        return perform([name](sd_bus* bus) { return sd_bus_request_name(bus, name, 0); });
    }
    int emitSleep(bool sleeping) {
        return perform([sleeping](sd_bus* bus) {
            return sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                      "PrepareForSleep", "b", sleeping ? 1 : 0);
        });
    }
    int emitUnitNew(const char* unit) {
        return perform([unit](sd_bus* bus) {
            return sd_bus_emit_signal(bus, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "UnitNew",
                                      "so", unit, "/org/freedesktop/systemd1/unit/x");
        });
    }
    // Serves systemd's Subscribe, counting the calls.
    int serveSubscribe() {
        return perform([this](sd_bus* bus) {
            return sd_bus_add_object_vtable(bus, &slot_, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                            kVTable, this);
        });
    }
    int subscribes() const { return subscribes_.load(); }

private:
    static int onSubscribe(sd_bus_message* message, void* userdata, sd_bus_error*) {
        ++static_cast<BusPeer*>(userdata)->subscribes_;
        return sd_bus_reply_method_return(message, "");
    }
    static constexpr sd_bus_vtable kVTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Subscribe", "", "", onSubscribe, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    void run() {
        while (!stop_) {
            std::deque<std::function<void()>> now;
            {
                std::lock_guard lock(mutex_);
                now.swap(tasks_);
            }
            for (auto& task : now) task();
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            sd_bus_wait(bus_, 10'000);  // 10 ms
        }
    }

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    bool started_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> subscribes_{0};
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::thread thread_;
};

// Tries again after 50 ms, doubling to 400 ms.
const keldra::SdBusSystemBus::Retry kQuickRetry{50ms, 400ms};

// Waits until `condition` holds, for at most five seconds.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

TEST(PrivateDBus, WakesAndLaunchesArriveOverSdBus) {
    PrivateBus daemon;
    ASSERT_TRUE(daemon.running()) << "dbus-daemon did not start";
    BusPeer logind(daemon.address());
    BusPeer impostor(daemon.address());
    ASSERT_TRUE(logind.started());
    ASSERT_GE(logind.own("org.freedesktop.login1"), 0);
    ASSERT_GE(logind.own("org.freedesktop.systemd1"), 0);

    auto bus = std::make_shared<keldra::SdBusSystemBus>(
        keldra::SdBusSystemBus::Addresses{daemon.address(), daemon.address()}, kQuickRetry);

    // Without systemd's Subscribe there is no launch registration.
    auto monitor = std::make_shared<keldra::AppLaunchMonitor>(bus);
    monitor->start();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(monitor->running());

    std::atomic<int> wakes{0};
    keldra::BusSubscription wake = bus->subscribeWake([&] { ++wakes; });
    ASSERT_TRUE(wake.active());
    ASSERT_TRUE(eventually([&] { return wake.registered(); }));

    // Once systemd answers, the monitor's next try registers.
    ASSERT_GE(logind.serveSubscribe(), 0);
    monitor->start();
    ASSERT_TRUE(eventually([&] { return monitor->running(); }));
    EXPECT_EQ(logind.subscribes(), 1);

    // Going to sleep is no wake; waking is; a sender without logind's name
    // is nobody.
    logind.emitSleep(true);
    logind.emitSleep(false);
    impostor.emitSleep(false);
    logind.emitUnitNew("session-4.scope");
    logind.emitUnitNew("app-org.gnome.Calculator-123.scope");
    logind.emitUnitNew("app-firefox@abc.service");
    impostor.emitUnitNew("app-fake.scope");
    EXPECT_TRUE(eventually([&] { return wakes.load() == 1 && monitor->launchesObserved() == 2; }))
        << wakes.load() << " wakes, " << monitor->launchesObserved() << " launches";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_EQ(monitor->launchesObserved(), 2);

    // Ended subscriptions hear nothing more.
    wake.cancel();
    monitor->stop();
    EXPECT_FALSE(monitor->running());
    logind.emitSleep(false);
    logind.emitUnitNew("app-late.scope");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_EQ(monitor->launchesObserved(), 2);
}

// What the journal says of one bus, step by step on a clock of the test's.
TEST(BusStateLog, SaysLostAndBackOnceEachAndHoldsBackABusThatComesAndGoes) {
    using keldra::LogLevel;
    using Clock = keldra::BusStateLog::Clock;
    auto log = std::make_shared<keldra::RecordingLogger>();
    keldra::BusStateLog state(log, {"bus lost", "bus back"}, 60s);
    const Clock::time_point start{std::chrono::hours(1)};
    struct Step {
        int atSeconds;
        std::optional<bool> registered;  // none: only time passes
        std::vector<keldra::RecordingLogger::Entry> written;  // the lines this step writes
    };
    const std::vector<Step> steps = {
        {0, true, {}},  // held from the start: nothing to say
        {1, true, {}},
        {2, false, {{LogLevel::error, "bus lost"}}},
        {3, false, {}},  // a failed try after another is no news
        {4, true, {{LogLevel::notice, "bus back"}}},
        {5, false, {}},  // a third change within a minute is held back
        {6, true, {}},
        {7, false, {}},
        {30, std::nullopt, {}},
        {62, std::nullopt, {{LogLevel::error, "bus lost (2 earlier changes not logged)"}}},
        {63, true, {}},
        {64, std::nullopt, {{LogLevel::notice, "bus back"}}},
        {200, false, {{LogLevel::error, "bus lost"}}},
        {201, true, {{LogLevel::notice, "bus back"}}},
    };
    for (const auto& step : steps) {
        const auto now = start + std::chrono::seconds(step.atSeconds);
        if (step.registered) {
            state.changed(*step.registered, now);
        }
        state.flush(now);
        EXPECT_EQ(log->entries(), step.written) << "at " << step.atSeconds << " s";
        log->clear();
    }

    // A bus that is not there at the start is said at once.
    keldra::BusStateLog missing(log, {"bus lost", "bus back"}, 60s);
    missing.changed(false, start);
    EXPECT_EQ(log->entries(), (std::vector<keldra::RecordingLogger::Entry>{{LogLevel::error, "bus lost"}}));
}

TEST(PrivateDBus, ALostBusIsNoLongerRegisteredAndBothSubscriptionsComeBackWithIt) {
    PrivateBus daemon;
    ASSERT_TRUE(daemon.running()) << "dbus-daemon did not start";
    auto peer = std::make_unique<BusPeer>(daemon.address());
    auto playLogindAndSystemd = [&daemon, &peer] {
        peer = std::make_unique<BusPeer>(daemon.address());
        return peer->started() && peer->own("org.freedesktop.login1") >= 0 &&
               peer->own("org.freedesktop.systemd1") >= 0 && peer->serveSubscribe() >= 0;
    };
    ASSERT_TRUE(playLogindAndSystemd());

    auto log = std::make_shared<keldra::RecordingLogger>();
    auto bus = std::make_shared<keldra::SdBusSystemBus>(
        keldra::SdBusSystemBus::Addresses{daemon.address(), daemon.address()}, kQuickRetry,
        keldra::SdBusSystemBus::Logging{log});
    keldra::AppLaunchMonitor monitor(bus);
    keldra::LinuxHost host(nullptr, std::shared_ptr<keldra::AppLaunchMonitor>(&monitor, [](auto*) {}));
    std::atomic<int> wakes{0};
    keldra::BusSubscription wake = bus->subscribeWake([&] { ++wakes; });
    monitor.start();
    ASSERT_TRUE(eventually([&] { return wake.registered() && host.appMonitorRunning(); }));

    // The bus goes away: neither counts as registered any more, at once.
    peer.reset();
    daemon.stop();
    const auto lost = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return !wake.registered() && !host.appMonitorRunning(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - lost, 1s);
    EXPECT_TRUE(wake.active());  // still asked for
    // The journal says so, once for each bus, however often it is tried.
    const auto messages = [&log] {
        std::multiset<std::string> lines;
        for (const auto& entry : log->entries()) lines.insert(entry.message);
        return lines;
    };
    const std::multiset<std::string> lostLines = {
        "system bus not available: wakes of the computer go unnoticed until it is back",
        "user bus not available: app launches go uncounted until it is back"};
    EXPECT_TRUE(eventually([&] { return messages() == lostLines; }));
    std::this_thread::sleep_for(500ms);  // several tries
    EXPECT_EQ(messages(), lostLines);
    log->clear();

    // It comes back: both register again by themselves and hear the bus.
    daemon.start();
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(playLogindAndSystemd());
    ASSERT_TRUE(eventually([&] { return wake.registered() && host.appMonitorRunning(); }));
    peer->emitSleep(false);
    peer->emitUnitNew("app-org.example.Editor.service");
    EXPECT_TRUE(eventually([&] { return wakes.load() == 1 && monitor.launchesObserved() == 1; }))
        << wakes.load() << " wakes, " << monitor.launchesObserved() << " launches";
    EXPECT_EQ(messages(), (std::multiset<std::string>{"system bus back: wakes of the computer are noticed again",
                                                      "user bus back: app launches are counted again"}));

    // Ending them during a pause between tries returns at once.
    peer.reset();
    daemon.stop();
    ASSERT_TRUE(eventually([&] { return !wake.registered(); }));
    wake.cancel();
    monitor.stop();
    EXPECT_FALSE(wake.active());
    EXPECT_FALSE(monitor.running());
}

TEST(PrivateDBus, NoCallWaitsOnABusThatDoesNotAnswer) {
    PrivateBus daemon;
    ASSERT_TRUE(daemon.running()) << "dbus-daemon did not start";
    daemon.pause();  // takes connections, answers nothing
    auto bus = std::make_shared<keldra::SdBusSystemBus>(
        keldra::SdBusSystemBus::Addresses{daemon.address(), daemon.address()}, kQuickRetry);
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        keldra::AppLaunchMonitor monitor(bus);
        monitor.start();
        keldra::BusSubscription wake = bus->subscribeWake([] {});
        EXPECT_FALSE(wake.registered());
        EXPECT_FALSE(monitor.running());
        wake.cancel();
        monitor.stop();
        returned = true;
    });
    const bool quick = eventually([&] { return returned.load(); });
    daemon.resume();
    caller.join();
    EXPECT_TRUE(quick) << "a subscription waited on the bus";
}

TEST(PrivateDBus, AHandlerMayEndItsOwnSubscription) {
    PrivateBus daemon;
    ASSERT_TRUE(daemon.running());
    BusPeer logind(daemon.address());
    ASSERT_GE(logind.own("org.freedesktop.login1"), 0);
    keldra::SdBusSystemBus bus(keldra::SdBusSystemBus::Addresses{daemon.address(), std::nullopt});
    std::atomic<int> wakes{0};
    keldra::BusSubscription wake;
    std::mutex mutex;
    {
        std::lock_guard lock(mutex);
        wake = bus.subscribeWake([&] {
            ++wakes;
            std::lock_guard lock(mutex);
            wake.cancel();
        });
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return wake.registered();
    }));
    logind.emitSleep(false);
    EXPECT_TRUE(eventually([&] { return wakes.load() == 1; }));
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !wake.active();
    }));
    logind.emitSleep(false);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(wakes.load(), 1);

    // The handler reads and writes `wake` under the mutex, so its end here
    // does too: taken out under the mutex, ended outside it (ending waits
    // for a handler that may be waiting for the mutex).
    keldra::BusSubscription ending;
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(wake.active());
        ending = std::move(wake);
    }
}

}  // namespace

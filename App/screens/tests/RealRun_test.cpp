// The app as a user runs it: the real program under Xvfb, with trayer as
// the system tray (or none), against the local device service; xdotool
// clicks the icon and types into the panel. No physical display is needed.
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "AppFixture.h"
#include "ChildProcess.h"

extern char** environ;

namespace {

namespace test = keldra::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using keldra::test::onPath;

using Process = test::ChildProcess;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        std::array<char, 4096> buffer{};
        while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
        ::pclose(pipe);
    }
    return out;
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 20s) {
    return test::eventually(predicate, timeout);
}

struct Window {
    std::string id;
    int width = 0;
    int height = 0;
    bool viewable = false;
    bool onRoot = false;
};

Window describe(const std::string& id) {
    Window w;
    w.id = id;
    const QString info = QString::fromStdString(run("xwininfo -id " + id + " -stats -tree"));
    for (const QString& raw : info.split('\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith("Width:")) w.width = line.mid(6).trimmed().toInt();
        if (line.startsWith("Height:")) w.height = line.mid(7).trimmed().toInt();
        if (line.startsWith("Map State:")) w.viewable = line.contains("IsViewable");
        if (line.startsWith("Parent window id:")) w.onRoot = line.contains("(the root window)");
    }
    return w;
}

// The app's viewable windows.
std::vector<Window> appWindows() {
    std::vector<Window> windows;
    const QStringList ids = QString::fromStdString(run("xdotool search --class Keldra")).split('\n', Qt::SkipEmptyParts);
    for (const QString& id : ids) {
        Window w = describe(id.trimmed().toStdString());
        if (w.viewable) windows.push_back(w);
    }
    return windows;
}

std::optional<Window> findWindow(const std::function<bool(const Window&)>& wanted) {
    for (const Window& w : appWindows())
        if (wanted(w)) return w;
    return std::nullopt;
}

class RealRun : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "trayer"})
            if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed";

        // Each test asks for a display number of its own, away from the
        // lowest ones: an X server that ends as another takes its number can
        // remove the newcomer's socket, and tests run side by side.
        std::string display;
        for (int attempt = 0; attempt < 20 && display.empty(); ++attempt) {
            const int number = 100 + static_cast<int>((::getpid() * 7 + attempt * 37) % 800);
            char name[16];
            std::snprintf(name, sizeof name, ":%d", number);
            int fds[2];
            ASSERT_EQ(::pipe(fds), 0);
            xvfb_ = std::make_unique<Process>(std::vector<std::string>{"Xvfb", name, "-displayfd", "3",
                                                                       "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                                              baseEnvironment(), dir_ / "xvfb.log", fds[1]);
            ::close(fds[1]);
            char c = 0;
            while (::read(fds[0], &c, 1) == 1 && c != '\n') display += c;
            ::close(fds[0]);
        }
        ASSERT_FALSE(display.empty()) << test::readFile(dir_ / "xvfb.log");
        display_ = ":" + display;
        ::setenv("DISPLAY", display_.c_str(), 1);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

        makeBundle();
    }

    std::vector<std::string> baseEnvironment() const {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            for (const char* drop : {"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "QT_QPA_PLATFORM=", "XDG_DATA_HOME=",
                                     "XDG_RUNTIME_DIR=", "HOME=", "WAYLAND_DISPLAY=", "LSAN_OPTIONS="})
                if (entry.rfind(drop, 0) == 0) goto skip;
            env.push_back(entry);
        skip:;
        }
        return env;
    }

    std::vector<std::string> appEnvironment() const {
        auto env = baseEnvironment();
        env.push_back("DISPLAY=" + display_);
        env.push_back("QT_QPA_PLATFORM=xcb");
        env.push_back("XDG_DATA_HOME=" + (dir_ / "data").string());
        env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "run").string());
        env.push_back("HOME=" + (dir_ / "home").string());
        // No system bus either: wakes and launches simply do not arrive.
        env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string());
        // Under the sanitizers: what system libraries keep until the end.
        std::string lsan = std::string("suppressions=") + KELDRA_LSAN_SUPPRESSIONS;
        if (const char* given = std::getenv("LSAN_OPTIONS"); given && *given) lsan = std::string(given) + ":" + lsan;
        env.push_back("LSAN_OPTIONS=" + lsan);
        return env;
    }

    // A bundle of our own around a copy of the built program: the bundle
    // is found from the program's own path.
    void makeBundle() {
        const auto contents = dir_ / "Keldra.app" / "Contents";
        std::filesystem::create_directories(contents / "bin");
        std::filesystem::create_directories(contents / "Resources");
        std::filesystem::create_directories(dir_ / "run");
        std::filesystem::permissions(dir_ / "run", std::filesystem::perms::owner_all);
        std::filesystem::create_directories(dir_ / "home");
        std::filesystem::copy_file(KELDRA_APP_BIN, contents / "bin" / "Keldra");
        test::writeFile(contents / "Info.json", R"({"CFBundleShortVersionString": "1.0"})");
        test::writeFile(contents / "Resources" / "Environment.json", service_.environmentJSON());
    }

    void startTray() {
        tray_ = std::make_unique<Process>(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                     "--height", "24", "--SetDockType", "true", "--transparent", "false"},
            appEnvironment(), dir_ / "trayer.log");
        ASSERT_TRUE(eventually([] { return !run("xdotool search --class trayer").empty(); }))
            << test::readFile(dir_ / "trayer.log");
        std::this_thread::sleep_for(300ms);  // its tray selection follows its windows
    }

    void startApp() {
        app_ = std::make_unique<Process>(
            std::vector<std::string>{(dir_ / "Keldra.app" / "Contents" / "bin" / "Keldra").string()},
            appEnvironment(), dir_ / "app.log");
        ASSERT_TRUE(app_->running()) << log();
    }

    std::string log() const { return test::readFile(dir_ / "app.log"); }

    // The app writes its log to standard error, and so to app.log, only
    // where the machine has no system log.
    static bool logOnStandardError() {
        struct stat info {};
        for (const char* socket : {"/run/systemd/journal/socket", "/dev/log"})
            if (::stat(socket, &info) == 0 && S_ISSOCK(info.st_mode)) return false;
        return true;
    }
    // How many lines of app.log are `message` after the time stamp.
    int logged(const std::string& message) const {
        return int(QString::fromStdString(log()).count(QRegularExpression("Z " + QRegularExpression::escape(
                                                                              QString::fromStdString(message)) + "\n")));
    }

    void click(const Window& w) {
        run("xdotool mousemove --window " + w.id + " " + std::to_string(w.width / 2) + " " +
            std::to_string(w.height / 2) + " click 1");
    }

    // The shield's stand-in window, shown where the desktop has no tray.
    std::optional<Window> standInIcon() {
        std::optional<Window> icon;
        eventually([&] {
            icon = findWindow([](const Window& w) { return w.width == 32 && w.height == 32 && w.onRoot; });
            return icon.has_value();
        });
        return icon;
    }

    std::optional<Window> openPanel() {
        std::optional<Window> panel;
        eventually([&] {
            panel = findWindow([](const Window& w) { return w.width == 320 && w.height > 60; });
            return panel.has_value();
        }, 10s);
        return panel;
    }

    test::TempDir dir_{"keldra-realrun"};
    test::AppFixture service_;  // the local device service and its environment
    std::string display_;
    std::unique_ptr<Process> xvfb_;
    std::unique_ptr<Process> tray_;
    std::unique_ptr<Process> app_;
};

}  // namespace

TEST_F(RealRun, TheIconSitsInTheTrayAClickOpensThePanelAndSigtermDuringATickWaitsForTheFlush) {
    startTray();
    startApp();

    // The icon: a small window embedded in the tray, not on the root.
    std::optional<Window> icon;
    ASSERT_TRUE(eventually([&] {
        icon = findWindow([](const Window& w) { return w.width <= 64 && w.height <= 64 && !w.onRoot; });
        return icon.has_value();
    })) << log();
    EXPECT_FALSE(findWindow([](const Window& w) { return w.width <= 64 && w.onRoot && w.width > 1; }))
        << "no stand-in window when a tray exists";

    click(*icon);
    const auto panel = openPanel();
    ASSERT_TRUE(panel) << log();

    // Enrol through the form; the enrolment's own tick then waits on a slow
    // heartbeat while the quit arrives.
    auto& service = *service_.service;
    service.delayEndpoint(brivet::dev::Endpoint::heartbeat, 4000ms, 1);
    run(std::string("xdotool type --delay 15 ") + test::kCode);
    run("xdotool key Return");
    ASSERT_TRUE(eventually([&] { return service.counters().enrollments == 1; })) << log();
    std::this_thread::sleep_for(1000ms);
    ASSERT_EQ(service.counters().heartbeats, 0) << "the tick is still waiting for its heartbeat";

    const auto quitAt = Clock::now();
    ASSERT_EQ(::kill(app_->pid(), SIGTERM), 0);
    std::this_thread::sleep_for(1000ms);
    EXPECT_TRUE(app_->running()) << "the quit waits for the running tick";
    ASSERT_TRUE(app_->waitExit(30s)) << log();
    const auto ended = Clock::now() - quitAt;
    ASSERT_TRUE(app_->status());
    EXPECT_TRUE(WIFEXITED(*app_->status()) && WEXITSTATUS(*app_->status()) == 0) << log();
    EXPECT_GE(ended, 2500ms) << "ended before the slow heartbeat was answered";

    // The tick's heartbeat, then the quit's flush of the events it recorded.
    const auto requests = service.received();
    std::ptrdiff_t heartbeat = -1, flush = -1;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].endpoint == brivet::dev::Endpoint::heartbeat) heartbeat = std::ptrdiff_t(i);
        if (requests[i].endpoint == brivet::dev::Endpoint::events && requests[i].status == 200) flush = std::ptrdiff_t(i);
    }
    ASSERT_GE(heartbeat, 0);
    ASSERT_GT(flush, heartbeat) << log();
    EXPECT_NE(requests[std::size_t(flush)].body.find("protection_disabled"), std::string::npos);
}

TEST_F(RealRun, WithoutATrayAnAlwaysOnTopWindowShowsTheIconAndQuitEndsAHungEnrolmentAtOnce) {
    startApp();
    const auto icon = standInIcon();
    ASSERT_TRUE(icon) << log();
    const QString state = QString::fromStdString(run("xprop -id " + icon->id + " _NET_WM_STATE"));
    EXPECT_TRUE(state.contains("_NET_WM_STATE_ABOVE")) << state.toStdString();

    click(*icon);
    const auto panel = openPanel();
    ASSERT_TRUE(panel) << log();

    // An enrolment the service takes and never answers.
    auto& service = *service_.service;
    service.delayEndpoint(brivet::dev::Endpoint::enroll, std::chrono::hours(24));
    run(std::string("xdotool type --delay 15 ") + test::kCode);
    run("xdotool key Return");
    ASSERT_TRUE(eventually([&] { return service.counters().requests == 1; })) << log();

    // "Quit", at the footer's right end, ends the app through stop(), and
    // ends the enrolment's request at once.
    const auto quitAt = Clock::now();
    run("xdotool mousemove --window " + panel->id + " " + std::to_string(panel->width - 50) + " " +
        std::to_string(panel->height - 25) + " click 1");
    ASSERT_TRUE(app_->waitExit(20s)) << log();
    const auto took = Clock::now() - quitAt;
    std::printf("quit during a hung enrolment: %.2f s\n", std::chrono::duration<double>(took).count());
    EXPECT_LT(took, 2s);
    EXPECT_TRUE(WIFEXITED(*app_->status()) && WEXITSTATUS(*app_->status()) == 0);
    if (logOnStandardError()) {
        EXPECT_EQ(logged("enrollment failed: Could not reach the server: request cancelled"), 1) << log();
    }
}

TEST_F(RealRun, OneSigintEndsWithinSecondsWhenTheFlushHangsASecondAtOnceAndTheEventsGoAtTheNextStart) {
    startApp();
    const auto icon = standInIcon();
    ASSERT_TRUE(icon) << log();
    click(*icon);
    ASSERT_TRUE(openPanel()) << log();

    // Enrolled; the enrolment's tick has recorded the loss of protection
    // (no filter runs here) and ended.
    auto& service = *service_.service;
    run(std::string("xdotool type --delay 15 ") + test::kCode);
    run("xdotool key Return");
    ASSERT_TRUE(eventually([&] { return service.counters().heartbeats >= 1; })) << log();
    std::this_thread::sleep_for(1500ms);

    // The service takes the flush's request and never answers it: one
    // Ctrl-C waits a few seconds for it, then ends the app by itself.
    service.delayEndpoint(brivet::dev::Endpoint::events, std::chrono::hours(24));
    auto requestsBefore = service.counters().requests;
    const auto firstAt = Clock::now();
    ASSERT_EQ(::kill(app_->pid(), SIGINT), 0);
    ASSERT_TRUE(eventually([&] { return service.counters().requests > requestsBefore; }, 10s)) << log();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(app_->running()) << "the quit waits for its flush";
    ASSERT_TRUE(app_->waitExit(15s)) << "one Ctrl-C ends the app within seconds\n" << log();
    const auto took = Clock::now() - firstAt;
    std::printf("one Ctrl-C, the service never answering: %.2f s\n", std::chrono::duration<double>(took).count());
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 7s);
    EXPECT_TRUE(WIFEXITED(*app_->status()) && WEXITSTATUS(*app_->status()) == 0) << log();
    if (logOnStandardError()) {
        EXPECT_EQ(logged("quit: the flush was cut short after 5 s; 2 events wait in the outbox for the next start"), 1)
            << log();
    }
    const auto lossReported = [&] {
        for (const auto& event : service.acceptedEvents())
            if (event.value("type", "") == "protection_disabled") return true;
        return false;
    };
    EXPECT_FALSE(lossReported());

    // Started again while the service still hangs: its first tick waits on
    // the events' request, and a second Ctrl-C ends the app at once.
    const auto heartbeatsBefore = service.counters().heartbeats;
    startApp();
    ASSERT_TRUE(eventually([&] { return service.counters().heartbeats > heartbeatsBefore; })) << log();
    std::this_thread::sleep_for(1000ms);  // the events' request follows the heartbeat
    ASSERT_EQ(::kill(app_->pid(), SIGINT), 0);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(app_->running()) << "the first quit waits";
    const auto secondAt = Clock::now();
    ASSERT_EQ(::kill(app_->pid(), SIGINT), 0);
    ASSERT_TRUE(app_->waitExit(5s)) << "a second Ctrl-C ends the app at once\n" << log();
    EXPECT_LT(Clock::now() - secondAt, 2s);
    EXPECT_TRUE(WIFEXITED(*app_->status()) && WEXITSTATUS(*app_->status()) == 0) << log();
    EXPECT_FALSE(lossReported());

    // The next start sends what the flush had saved in the outbox.
    service.clearDelay(brivet::dev::Endpoint::events);
    startApp();
    ASSERT_TRUE(eventually(lossReported)) << log();
}

// scripts/run-app.sh as a person uses it: headless, with its own Xvfb and
// tray, run twice in a row; each time the app is enrolled through its panel
// with the printed code, then Ctrl-C (SIGINT to the script's process group,
// as a terminal sends it) quits. The second run must work with no steps by
// hand, and the quit's flush must reach the service before it is stopped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "keldra/TestFiles.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using keldra::test::onPath;

std::string output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        std::array<char, 4096> buffer{};
        while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
        ::pclose(pipe);
    }
    return out;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 30s) {
    return keldra::test::eventually(predicate, timeout);
}

// The script in a process group of its own, as a terminal's foreground job.
class Script {
public:
    Script(const std::vector<std::string>& environment, const fs::path& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        const std::string script = std::string(KELDRA_SOURCE_DIR) + "/scripts/run-app.sh";
        std::vector<char*> args = {const_cast<char*>("bash"), const_cast<char*>(script.c_str()), nullptr};
        std::vector<char*> env;
        for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        if (::posix_spawnp(&pid_, "bash", &actions, &attributes, args.data(), env.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Script() {
        if (!waitExit(0ms)) {
            ::kill(-pid_, SIGTERM);
            if (!waitExit(10s)) ::kill(-pid_, SIGKILL);
            waitExit(10s);
        }
    }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    bool started() const { return pid_ > 0; }
    // Ctrl-C: every process of the foreground group.
    void interrupt() const { ::kill(-pid_, SIGINT); }
    bool waitExit(std::chrono::milliseconds timeout) {
        if (pid_ <= 0 || exited_) return true;
        const auto end = Clock::now() + timeout;
        for (;;) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                exited_ = true;
                return true;
            }
            if (Clock::now() >= end) return false;
            std::this_thread::sleep_for(20ms);
        }
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

struct Window {
    std::string id;
    int width = 0;
    int height = 0;
    bool viewable = false;
    bool onRoot = false;
};

std::vector<Window> appWindows(const std::string& display) {
    std::vector<Window> windows;
    for (const std::string& id : lines(output("DISPLAY=" + display + " xdotool search --class Keldra"))) {
        if (id.empty()) continue;
        Window w{id};
        for (const std::string& line : lines(output("DISPLAY=" + display + " xwininfo -id " + id + " -stats -tree"))) {
            const auto at = line.find_first_not_of(' ');
            if (at == std::string::npos) continue;
            const std::string text = line.substr(at);
            if (text.rfind("Width:", 0) == 0) w.width = std::atoi(text.c_str() + 6);
            if (text.rfind("Height:", 0) == 0) w.height = std::atoi(text.c_str() + 7);
            if (text.rfind("Map State:", 0) == 0) w.viewable = text.find("IsViewable") != std::string::npos;
            if (text.rfind("Parent window id:", 0) == 0) w.onRoot = text.find("(the root window)") != std::string::npos;
        }
        if (w.viewable) windows.push_back(w);
    }
    return windows;
}

template <class Wanted>
std::optional<Window> findWindow(const std::string& display, Wanted wanted) {
    std::optional<Window> found;
    eventually([&] {
        for (const Window& w : appWindows(display)) {
            if (wanted(w)) found = w;
        }
        return found.has_value();
    });
    return found;
}

// The line numbers of service log lines holding `text`.
std::vector<std::size_t> linesWith(const std::vector<std::string>& log, const std::string& text) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].find(text) != std::string::npos) at.push_back(i);
    }
    return at;
}

std::vector<std::string> scriptEnvironment(const fs::path& dir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool keep = true;
        for (const char* drop : {"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "QT_QPA_PLATFORM=", "XDG_DATA_HOME=",
                                 "XDG_RUNTIME_DIR=", "HOME=", "WAYLAND_DISPLAY=", "KELDRA_"}) {
            keep = keep && entry.rfind(drop, 0) != 0;
        }
        if (keep) env.push_back(entry);
    }
    env.push_back("KELDRA_SKIP_SETUP=1");
    env.push_back(std::string("KELDRA_BUILD_DIR=") + KELDRA_BINARY_DIR);
    env.push_back("KELDRA_DEMO_DIR=" + (dir / "demo").string());
    env.push_back("HOME=" + (dir / "home").string());
    env.push_back("XDG_RUNTIME_DIR=" + (dir / "run").string());
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus").string());
    return env;
}

TEST(DemoScript, RunsTwiceInARowAndCtrlCQuitsOnlyAfterTheFlushReachedTheService) {
    for (const char* tool : {"Xvfb", "xdotool", "xwininfo", "trayer", "setsid"}) {
        if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    if (!fs::exists(fs::path(KELDRA_BINARY_DIR) / "keldra-dev-service" / "keldra-dev-service")) {
        GTEST_SKIP() << "keldra-dev-service is not built";
    }
    keldra::test::TempDir dir("app-demo");
    fs::create_directories(dir / "home");
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    const fs::path demo = dir / "demo";

    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const fs::path scriptLog = dir / ("script-" + std::to_string(run) + ".log");
        Script script(scriptEnvironment(dir.path()), scriptLog);
        ASSERT_TRUE(script.started());

        std::string code;
        ASSERT_TRUE(eventually([&] {
            for (const std::string& line : lines(fileText(scriptLog))) {
                if (line.rfind("enrolment code: ", 0) == 0) code = line.substr(16);
            }
            return !code.empty();
        })) << fileText(scriptLog);
        const std::string display = ":" + lines(fileText(demo / "display")).at(0);

        // The shield (in the tray, or in its stand-in window should the tray
        // come up late) opens the panel, which shows the form: the app
        // starts on data the new service can take.
        const auto icon =
            findWindow(display, [](const Window& w) { return w.width > 1 && w.width <= 64 && w.height <= 64; });
        ASSERT_TRUE(icon) << fileText(scriptLog);
        output("DISPLAY=" + display + " xdotool mousemove --window " + icon->id + " " + std::to_string(icon->width / 2) +
               " " + std::to_string(icon->height / 2) + " click 1");
        ASSERT_TRUE(findWindow(display, [](const Window& w) { return w.width == 320 && w.height > 60; }))
            << fileText(scriptLog);
        output("DISPLAY=" + display + " xdotool type --delay 15 " + code);
        output("DISPLAY=" + display + " xdotool key Return");

        // Enrolled, and the enrolment's tick has reported.
        const fs::path serviceLog = demo / "service.log";
        ASSERT_TRUE(eventually([&] {
            const auto log = lines(fileText(serviceLog));
            return !linesWith(log, "POST /api/v1/enrollments -> 201").empty() ||
                   !linesWith(log, "POST /api/v1/enrollments -> 200").empty();
        })) << fileText(serviceLog);
        ASSERT_TRUE(eventually([&] {
            return !linesWith(lines(fileText(serviceLog)), "POST /api/v1/device/heartbeat -> 200").empty();
        })) << fileText(serviceLog);
        const std::size_t eventsBefore = linesWith(lines(fileText(serviceLog)), "/api/v1/device/events").size();

        script.interrupt();
        ASSERT_TRUE(script.waitExit(60s)) << fileText(scriptLog);

        // The quit's flush reached the service, and only then was it stopped.
        const auto log = lines(fileText(serviceLog));
        const auto flushes = linesWith(log, "POST /api/v1/device/events -> 200");
        const auto stopped = linesWith(log, "stopping on signal");
        ASSERT_FALSE(flushes.empty()) << fileText(serviceLog);
        EXPECT_GT(linesWith(log, "/api/v1/device/events").size(), eventsBefore) << fileText(serviceLog);
        ASSERT_EQ(stopped.size(), 1u) << fileText(serviceLog);
        EXPECT_LT(flushes.back(), stopped.front()) << fileText(serviceLog);
        EXPECT_TRUE(linesWith(log, "-> 401").empty()) << fileText(serviceLog);
        EXPECT_EQ(fileText(scriptLog).find("X11 connection broke"), std::string::npos) << fileText(scriptLog);
    }
}

}  // namespace

// The real program started twice for one user: the second start ends at once
// with one line (whether or not its environment names a runtime folder), a copy killed with SIGKILL never keeps the next one from
// starting, and another data folder runs a copy of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Keldra/InstanceLock.h"
#include "keldra/TestFiles.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace test = keldra::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The app as a child process, ended (TERM, then KILL) and reaped when it goes.
class App : public test::ChildProcess {
public:
    App(const fs::path& program, const std::vector<std::string>& environment, const fs::path& log)
        : ChildProcess({program.string()}, environment, log, std::nullopt, 20s) {}
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 60s) {
    return test::eventually(condition, timeout);
}

class SingleCopy : public ::testing::Test {
protected:
    void SetUp() override {
        const auto contents = dir_ / "Keldra.app" / "Contents";
        fs::create_directories(contents / "bin");
        fs::create_directories(contents / "Resources");
        fs::copy_file(KELDRA_APP_BIN, contents / "bin" / "Keldra");
        test::writeFile(contents / "Info.json", R"({"CFBundleShortVersionString": "1.0"})");
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        fs::create_directories(dir_ / "home");
    }

    fs::path program() const { return dir_ / "Keldra.app" / "Contents" / "bin" / "Keldra"; }

    // With `runtime` false the copy starts without XDG_RUNTIME_DIR, as one
    // started over su or ssh does.
    std::vector<std::string> environment(const fs::path& data, bool runtime = true) const {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool drop = false;
            for (const char* name : {"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=", "QT_QPA_PLATFORM=", "XDG_DATA_HOME=",
                                     "XDG_RUNTIME_DIR=", "HOME=", "WAYLAND_DISPLAY=", "LSAN_OPTIONS="})
                drop = drop || entry.rfind(name, 0) == 0;
            if (!drop) env.push_back(entry);
        }
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back("XDG_DATA_HOME=" + data.string());
        if (runtime) env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "run").string());
        env.push_back("HOME=" + (dir_ / "home").string());
        env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string());
        std::string lsan = std::string("suppressions=") + KELDRA_LSAN_SUPPRESSIONS;
        if (const char* given = std::getenv("LSAN_OPTIONS"); given && *given) lsan = std::string(given) + ":" + lsan;
        env.push_back("LSAN_OPTIONS=" + lsan);
        return env;
    }

    // The process that holds the lock of the data folder `data`, read from
    // the kernel's table of locks (taking the lock to find out would race
    // the copy that is starting).
    std::optional<pid_t> holder(const fs::path& data) const {
        const fs::path file = keldra::InstanceLock::fileFor(data);
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) return std::nullopt;
        std::istringstream table(test::readFile("/proc/locks"));
        std::string line;
        // Built piece by piece: GCC 12 at -O3 warns falsely about
        // ":" + std::to_string(...).
        std::string inode = ":";
        inode += std::to_string(info.st_ino);
        while (std::getline(table, line)) {
            // "1: FLOCK  ADVISORY  WRITE 4242 00:2a:1234 0 EOF"
            std::istringstream fields(line);
            std::string number, kind, mode, access, pid, device;
            fields >> number >> kind >> mode >> access >> pid >> device;
            if (kind != "FLOCK" || device.size() <= inode.size() ||
                device.compare(device.size() - inode.size(), inode.size(), inode) != 0)
                continue;
            return static_cast<pid_t>(std::stol(pid));
        }
        return std::nullopt;
    }

    std::string log(const std::string& name) const { return test::readFile(dir_ / name); }

    test::TempDir dir_{"keldra-single"};
};

std::size_t countLines(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace

TEST_F(SingleCopy, ASecondStartEndsAtOnceAndACrashedCopyNeverBlocksTheNext) {
    const fs::path data = dir_ / "data";
    App first(program(), environment(data), dir_ / "first.log");
    ASSERT_TRUE(eventually([&] { return holder(data) == first.pid() || !first.running(); })) << log("first.log");
    ASSERT_TRUE(first.running()) << log("first.log");

    // The second start says so in one line and ends, and the first runs on;
    // also when the second one's environment has no runtime folder (started
    // over su or ssh) while the first one's has.
    for (bool runtime : {true, false}) {
        const std::string name = runtime ? "second.log" : "second-without-runtime.log";
        App second(program(), environment(data, runtime), dir_ / name);
        ASSERT_TRUE(second.waitExit(60s)) << "the second copy kept running\n" << log(name);
        EXPECT_EQ(second.exitStatus(), std::optional<int>(0));
        EXPECT_EQ(log(name), "Keldra is already running for this user: use its icon in the system tray.\n");
        EXPECT_TRUE(first.running());
    }

    // Another data folder is another user's set of files: its copy runs.
    const fs::path other = dir_ / "other-data";
    App elsewhere(program(), environment(other), dir_ / "elsewhere.log");
    ASSERT_TRUE(eventually([&] { return holder(other) == elsewhere.pid() || !elsewhere.running(); }))
        << log("elsewhere.log");
    EXPECT_TRUE(elsewhere.running()) << log("elsewhere.log");

    // A crash leaves nothing behind that keeps the next start out.
    first.kill(SIGKILL);
    ASSERT_FALSE(first.running());
    App third(program(), environment(data), dir_ / "third.log");
    ASSERT_TRUE(eventually([&] { return holder(data) == third.pid() || !third.running(); })) << log("third.log");
    EXPECT_TRUE(third.running()) << log("third.log");
    EXPECT_EQ(countLines(log("third.log"), "already running"), 0u);
}

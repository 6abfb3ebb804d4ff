#pragma once
// For tests that run real programs: a child process that is ended (TERM,
// then KILL) and reaped when it goes, a look-up in PATH, and a wait for a
// condition.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace keldra::test {

class ChildProcess {
public:
    // Runs argv[0] (looked up in PATH) with exactly `environment`, standard
    // output and error appended to `log`, and `fd3` (if given) as its
    // descriptor 3. At the end it has `stopWait` to go after TERM.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::filesystem::path& log, std::optional<int> fd3 = std::nullopt,
                 std::chrono::milliseconds stopWait = std::chrono::seconds(5))
        : stopWait_(stopWait) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (fd3) posix_spawn_file_actions_adddup2(&actions, *fd3, 3);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> env;
        for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGTERM);
            if (!waitExit(stopWait_)) {
                ::kill(pid_, SIGKILL);
                waitExit(stopWait_);
            }
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0 || status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return !status_;
    }
    bool waitExit(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    // Sends `signal` and waits for the end.
    void kill(int signal) {
        ::kill(pid_, signal);
        waitExit(stopWait_);
    }
    // The raw wait status, once it has ended.
    std::optional<int> status() const { return status_; }
    // The exit code, once it has exited (not for a death by signal).
    std::optional<int> exitStatus() const {
        if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
        return WEXITSTATUS(*status_);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::chrono::milliseconds stopWait_;
};

// Whether `program` can be found in PATH.
inline bool onPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Polls `predicate` until it holds or `timeout` has passed.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace keldra::test

#include "keldra-filter/Command.h"

#include "BrivetClient/Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace keldra::filter {
namespace {

std::vector<char*> argumentPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const auto& word : argv) pointers.push_back(const_cast<char*>(word.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return 127;
}

}  // namespace

namespace {

// Both ends of a new pipe, closed on exec; false when none could be made.
bool makePipe(brivet::Descriptor& read, brivet::Descriptor& write) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read = brivet::Descriptor(ends[0]);
    write = brivet::Descriptor(ends[1]);
    return true;
}

// Holds the file actions of one spawn.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds timeLimit) {
    CommandResult result;
    if (argv.empty()) return result;
    // The input fits the pipe (64 KiB), so it is written whole before the
    // program runs.
    if (input.size() > 65536) {
        result.standardError = argv[0] + ": input too long";
        return result;
    }
    brivet::Descriptor inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!input.empty()) {
        if (!makePipe(inRead, inWrite)) return result;
        const bool whole = ::write(inWrite.get(), input.data(), input.size()) == static_cast<ssize_t>(input.size());
        inWrite.reset();
        if (!whole) return result;
    }
    if (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite)) return result;
    FileActions actions;
    if (inRead.get() >= 0) {
        posix_spawn_file_actions_adddup2(actions.get(), inRead.get(), 0);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(actions.get(), outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(actions.get(), errWrite.get(), 2);
    // In a process group of its own, so that a time-out kills whatever it
    // started too.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    auto pointers = argumentPointers(argv);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0].c_str(), actions.get(), &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    inRead.reset();
    outWrite.reset();
    errWrite.reset();
    if (spawned != 0) {
        result.standardError = argv[0] + ": cannot be started";
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    brivet::Descriptor* readers[2] = {&outRead, &errRead};
    std::string* sinks[2] = {&result.standardOutput, &result.standardError};
    char buffer[8192];
    while (outRead.get() >= 0 || errRead.get() >= 0) {
        pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
        int wait = -1;
        if (timeLimit > std::chrono::milliseconds::zero() && !result.timedOut) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            // Past its time: killed, and its outputs read to their end.
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                readers[i]->reset();
            }
        }
    }
    // A program that closed its outputs but runs on past its time is
    // killed too.
    int waitStatus = 0;
    bool polling = timeLimit > std::chrono::milliseconds::zero() && !result.timedOut;
    while (true) {
        const pid_t done = ::waitpid(pid, &waitStatus, polling ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (done == 0 && std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            polling = false;
        } else if (done == 0) {
            ::usleep(10000);
        }
    }
    result.status = statusOf(waitStatus);
    if (result.timedOut) {
        result.standardError += argv[0] + ": stopped after " +
                                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeLimit).count()) + " s";
    }
    return result;
}

int startDetached(const std::vector<std::string>& argv, const std::string& logFile) {
    if (argv.empty()) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string sink = logFile.empty() ? "/dev/null" : logFile;
    posix_spawn_file_actions_addopen(&actions, 1, sink.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    auto pointers = argumentPointers(argv);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

}  // namespace keldra::filter

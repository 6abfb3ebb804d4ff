#pragma once
// A private network for tests that need root: two network namespaces joined
// by a veth pair, named after the test's pid so that tests running at the
// same time never meet.
//   client namespace  10.77.0.1/24, fd77::1/64 (where the daemon runs),
//                     loopback up
//   server namespace  10.77.0.2/24, fd77::2/64
// Commands run in a namespace through `ip netns exec`, inside a private
// mount namespace of their own (`unshare -m`), so nothing they do reaches
// the machine's files other than the scratch paths they are given.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "keldra-filter/Command.h"
#include "keldra/TestFiles.h"

namespace keldra::filter::test {

inline const char* const kClientAddress = "10.77.0.1";
inline const char* const kServerAddress = "10.77.0.2";
inline const char* const kClientAddress6 = "fd77::1";
inline const char* const kServerAddress6 = "fd77::2";

class NamespaceLab {
public:
    explicit NamespaceLab(const std::string& tag) {
        const std::string id = tag + std::to_string(::getpid());
        client_ = "kfc" + id;
        server_ = "kfs" + id;
        if (::geteuid() != 0) {
            skipReason_ = "needs root";
            return;
        }
        const std::vector<std::vector<std::string>> setup{
            {"ip", "netns", "add", client_},
            {"ip", "netns", "add", server_},
            {"ip", "link", "add", "kv" + id, "netns", client_, "type", "veth", "peer", "name", "kw" + id, "netns", server_},
            {"ip", "-n", client_, "addr", "add", std::string(kClientAddress) + "/24", "dev", "kv" + id},
            {"ip", "-n", server_, "addr", "add", std::string(kServerAddress) + "/24", "dev", "kw" + id},
            {"ip", "-n", client_, "-6", "addr", "add", std::string(kClientAddress6) + "/64", "dev", "kv" + id, "nodad"},
            {"ip", "-n", server_, "-6", "addr", "add", std::string(kServerAddress6) + "/64", "dev", "kw" + id, "nodad"},
            {"ip", "-n", client_, "link", "set", "kv" + id, "up"},
            {"ip", "-n", server_, "link", "set", "kw" + id, "up"},
            {"ip", "-n", client_, "link", "set", "lo", "up"},
            {"ip", "-n", server_, "link", "set", "lo", "up"},
        };
        for (const auto& command : setup) {
            const auto result = runCommand(command);
            if (!result.succeeded()) {
                skipReason_ = "cannot make network namespaces (" + result.standardError + ")";
                return;
            }
        }
    }

    ~NamespaceLab() {
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        runCommand({"ip", "netns", "del", client_});
        runCommand({"ip", "netns", "del", server_});
    }

    NamespaceLab(const NamespaceLab&) = delete;
    NamespaceLab& operator=(const NamespaceLab&) = delete;

    // Empty when the lab stands.
    const std::string& skipReason() const { return skipReason_; }
    const std::string& client() const { return client_; }
    const std::string& server() const { return server_; }

    // The words that run a program in a namespace, in a private mount
    // namespace.
    static std::vector<std::string> inNamespace(const std::string& ns, std::vector<std::string> argv) {
        std::vector<std::string> words{"ip", "netns", "exec", ns, "unshare", "-m", "--propagation", "private"};
        words.insert(words.end(), argv.begin(), argv.end());
        return words;
    }

    CommandResult run(const std::string& ns, std::vector<std::string> argv) {
        return runCommand(inNamespace(ns, std::move(argv)));
    }

    // Sets a sysctl of one namespace (its network settings are its own).
    bool sysctl(const std::string& ns, const std::string& key, const std::string& value) {
        return run(ns, {"sysctl", "-q", "-w", key + "=" + value}).succeeded();
    }

    // Starts a program in a namespace; it is killed when the lab goes.
    pid_t start(const std::string& ns, std::vector<std::string> argv, const std::filesystem::path& log) {
        const auto words = inNamespace(ns, std::move(argv));
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> pointers;
            for (const auto& word : words) pointers.push_back(const_cast<char*>(word.c_str()));
            pointers.push_back(nullptr);
            ::execvp(pointers[0], pointers.data());
            ::_exit(127);
        }
        children_.push_back(pid);
        return pid;
    }

    // Moves the calling (single-threaded) process into a namespace.
    bool enter(const std::string& ns) {
        const int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        return ok;
    }

    // Runs `body` in a child process inside a namespace; returns its exit
    // status.
    template <typename Body>
    pid_t fork(const std::string& ns, Body body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!enter(ns)) ::_exit(120);
            ::_exit(body());
        }
        children_.push_back(pid);
        return pid;
    }

private:
    std::string client_, server_, skipReason_;
    std::vector<pid_t> children_;
};

// Waits until `ready` holds, for up to `limit`.
template <typename Ready>
bool waitFor(Ready ready, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return ready();
}

}  // namespace keldra::filter::test

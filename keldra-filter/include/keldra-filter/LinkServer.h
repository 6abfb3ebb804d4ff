#pragma once
// The link the app drives the filter through: the three calls of the
// shared wire format (status, publish, takeEvents) on a Unix stream socket.
//
// The socket is connectable by any local user. Each connection's peer is
// checked with SO_PEERCRED (and its pidfd, where the kernel has them) when
// it connects, and every request is checked again against the process that
// sent it (its credentials come with its bytes): root, or a process running
// the installed app's executable in the daemon's pid namespace (see
// PeerCheck.h). A request whose bytes came without credentials or from more
// than one process is refused as well. A refused caller's connection is
// closed. The check is a gate against floods, not the proof: a publish
// changes the rules in force only through the signed policy it carries
// (SignedPolicy.h). Every line a caller can cause (a refusal, a dropped connection,
// refused rules) goes through a LogLimiter, so a flood cannot multiply it.
//
// Each call is answered exactly once. takeEvents hands over the closed event
// windows and removes them (durably) only once the reply has been written.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "keldra-filter/FilterState.h"
#include "keldra-filter/LogLimiter.h"
#include "keldra-filter/PeerCheck.h"
#include "keldra-filter/SignedPolicy.h"

namespace keldra::filter {

class LinkServer {
public:
    using Log = std::function<void(const std::string&)>;
    using Running = std::function<bool()>;

    static constexpr std::size_t maxConnections = 32;

    // Publishes go to `policy`, which puts in force only what it derives
    // from the signed policy they carry.
    LinkServer(std::filesystem::path socketPath, FilterState& state, SignedPolicy& policy, Running running,
               PeerCheck peers, Log log);
    ~LinkServer();

    LinkServer(const LinkServer&) = delete;
    LinkServer& operator=(const LinkServer&) = delete;

    // Creates the socket's folder (0755) and the socket (0666), replacing a
    // stale one. Throws std::system_error.
    void start();
    // Closes the socket and every connection; waits for their threads.
    void stop();

    std::size_t refusedPeers() const noexcept { return refused_.load(); }

private:
    void acceptLoop();
    void serve(int fd, uid_t connected);
    void handle(int fd, const std::string& message, uid_t caller);

    std::filesystem::path socketPath_;
    FilterState& state_;
    SignedPolicy& policy_;
    Running running_;
    PeerCheck peers_;
    Log log_;
    // Every line a caller can cause: refusals and dropped connections (any
    // local user), refused rules (an allowed caller).
    LogLimiter limited_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> refused_{0};
    std::thread acceptThread_;
    std::mutex connectionsMutex_;
    std::list<std::pair<int, std::thread>> connections_;
    std::size_t active_ = 0;
    // One hand-over of events at a time, so two callers never get the same
    // windows.
    std::mutex takingEvents_;
};

}  // namespace keldra::filter

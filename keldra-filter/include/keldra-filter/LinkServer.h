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
//
// Nothing a caller sends can wear the daemon out (see LinkLimits): a
// request's sender is checked once its 4-byte length is in, before anything
// more is read; a request must be complete within a few seconds of its
// first byte, and a connection that begins none for 30 s is closed. Each connection may hold a small request; a larger one (a rules
// document, up to the wire's limit) waits for the one room there is for
// such, so that only one is read and handled at a time. Slots: 32
// connections, at most 8 of them for one user other than root, at most 28
// for all users other than root together (the rest is kept for root). A
// caller at a limit gets room by closing the connection that has waited
// longest for a request: one of its own user's when those fill the limit,
// else one of the user holding the most (its own, when none holds more).
// So root, and the app of every user, always get one while other processes
// merely hold connections.

#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include "BrivetClient/Descriptor.h"
#include "keldra-filter/SignedPolicy.h"

namespace keldra::filter {

struct LinkLimits {
    // Connections served at once; one user other than root may hold
    // `perUser` of them, and all such users together all but `keptForRoot`.
    std::size_t connections = 32;
    std::size_t perUser = 8;
    std::size_t keptForRoot = 4;
    // A request larger than this waits for the one room for a large request.
    std::size_t smallRequestBytes = 64 * 1024;
    // An accepted connection that begins no request within `idle` of being
    // accepted, or of its last reply, is closed; so is one whose request is
    // not complete within `request` of its first byte, and one whose large
    // request found no room within `idle` of that reply (or `request`, when
    // that is later).
    std::chrono::milliseconds idle{30000};
    std::chrono::milliseconds request{5000};
};

class LinkServer {
public:
    using Log = std::function<void(const std::string&)>;
    using Running = std::function<bool()>;

    // Publishes go to `policy`, which puts in force only what it derives
    // from the signed policy they carry.
    LinkServer(std::filesystem::path socketPath, FilterState& state, SignedPolicy& policy, Running running,
               PeerCheck peers, Log log, LinkLimits limits = {});
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
    struct Connection {
        brivet::Descriptor fd;
        uid_t uid;
        std::thread thread;
        // A request is being read or handled.
        bool busy = false;
        // Closed to make room; no longer counted.
        bool evicted = false;
        std::chrono::steady_clock::time_point idleSince = std::chrono::steady_clock::now();
    };

    // Whether a connection of `uid` may be served: counts the open ones,
    // closing one of the user's own idle ones where that makes room.
    bool makeRoomFor(uid_t uid);
    // Waits for the room for a large request; false when `deadline` passed
    // or `connection` was closed to make room meanwhile.
    bool takeLargeRoom(std::chrono::steady_clock::time_point deadline, const Connection& connection);
    void releaseLargeRoom();

    void acceptLoop();
    void serve(Connection& connection);
    void handle(int fd, std::string&& message, uid_t caller);

    std::filesystem::path socketPath_;
    FilterState& state_;
    SignedPolicy& policy_;
    Running running_;
    PeerCheck peers_;
    Log log_;
    // Every line a caller can cause: refusals and dropped connections (any
    // local user), refused rules (an allowed caller).
    LogLimiter limited_;
    brivet::Descriptor listenFd_;
    brivet::Descriptor wakeFd_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> refused_{0};
    std::thread acceptThread_;
    LinkLimits limits_;
    std::mutex connectionsMutex_;
    std::list<Connection> connections_;
    // The one room for a request larger than limits_.smallRequestBytes.
    std::mutex largeMutex_;
    std::condition_variable largeFreed_;
    bool largeTaken_ = false;
    // One hand-over of events at a time, so two callers never get the same
    // windows.
    std::mutex takingEvents_;
};

}  // namespace keldra::filter

#include "keldra-filter/LinkServer.h"

#include "BrivetClient/Descriptor.h"

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"
#include "filter-link/FilterWire.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace keldra::filter {
namespace wire = keldra::filterwire;

LinkServer::LinkServer(std::filesystem::path socketPath, FilterState& state, SignedPolicy& policy, Running running,
                       PeerCheck peers, Log log, LinkLimits limits)
    : socketPath_(std::move(socketPath)), state_(state), policy_(policy), running_(std::move(running)),
      peers_(std::move(peers)), log_(log ? std::move(log) : Log([](const std::string&) {})), limited_(log_),
      limits_(limits) {}

LinkServer::~LinkServer() { stop(); }

void LinkServer::start() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath_.string();
    if (path.size() >= sizeof address.sun_path) throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
    path.copy(address.sun_path, path.size());

    std::error_code ec;
    if (!socketPath_.parent_path().empty() && !std::filesystem::exists(socketPath_.parent_path(), ec)) {
        std::filesystem::create_directories(socketPath_.parent_path());
        ::chmod(socketPath_.parent_path().c_str(), 0755);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());

    brivet::Descriptor listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listening.get() < 0) throw std::system_error(errno, std::generic_category(), "socket");
    // Credentials (and pidfds) are passed on before listening, so that even
    // bytes sent before the connection is accepted carry their sender's.
    int error = 0;
    try {
        passCredentials(listening.get());
    } catch (const std::system_error& failure) {
        error = failure.code().value();
    }
    if (error == 0 && (::bind(listening.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                       ::chmod(path.c_str(), 0666) != 0 || ::listen(listening.get(), 64) != 0)) {
        error = errno;
    }
    if (error != 0) throw std::system_error(error, std::generic_category(), "cannot listen on " + path);
    brivet::Descriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.get() < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    listenFd_ = std::move(listening);
    wakeFd_ = std::move(wake);
    stopping_ = false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void LinkServer::stop() {
    if (listenFd_.get() < 0) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof one);
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(largeMutex_);
        largeFreed_.notify_all();
    }
    std::list<Connection> connections;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        for (auto& connection : connections_) {
            if (connection.fd.get() >= 0) ::shutdown(connection.fd.get(), SHUT_RDWR);
        }
        connections.swap(connections_);
    }
    for (auto& connection : connections) {
        if (connection.thread.joinable()) connection.thread.join();
    }
    listenFd_.reset();
    wakeFd_.reset();
    std::error_code ec;
    std::filesystem::remove(socketPath_, ec);
}

void LinkServer::acceptLoop() {
    pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    bool holding = false;
    while (!stopping_) {
        // While counts of left-out lines are held back, wake up to write
        // them once their second has passed (refusals of the connection
        // threads are held back too: look once a second).
        if (::poll(fds, 2, holding ? 250 : 1000) < 0 && errno != EINTR) break;
        if (stopping_) break;
        holding = limited_.flush();
        if (!(fds[0].revents & POLLIN)) continue;
        brivet::Descriptor accepted(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (accepted.get() < 0) {
            if (errno == EMFILE || errno == ENFILE) ::usleep(100000);
            continue;
        }
        const auto peer = peerOf(accepted.get());
        const auto refusal = peers_.refusal(peer);
        if (!refusal.empty()) {
            ++refused_;
            limited_.log("refused a caller", peer.uid, "refused a caller: " + refusal);
            holding = true;
            continue;
        }
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        // Finished connections are reaped here.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->fd.get() < 0) {
                it->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        if (!makeRoomFor(peer.uid)) {
            limited_.log("too many connections", peer.uid, "refused a caller: too many connections");
            holding = true;
            continue;
        }
        auto& connection = connections_.emplace_back(Connection{std::move(accepted), peer.uid, std::thread()});
        connection.thread = std::thread([this, &connection] {
            serve(connection);
            std::lock_guard<std::mutex> done(connectionsMutex_);
            connection.fd.reset();
        });
    }
}

bool LinkServer::makeRoomFor(uid_t uid) {
    std::size_t all = 0, users = 0;
    std::map<uid_t, std::size_t> held;
    for (const auto& connection : connections_) {
        if (connection.fd.get() < 0 || connection.evicted) continue;
        ++all;
        users += connection.uid != 0;
        ++held[connection.uid];
    }
    const std::size_t own = held[uid];
    const bool full = uid == 0 ? all >= limits_.connections
                               : own >= limits_.perUser || all >= limits_.connections ||
                                     users + limits_.keptForRoot >= limits_.connections;
    if (!full) return true;
    // Room is made by closing the connection that has waited longest for a
    // request: one of the caller's own user's where those fill its limit
    // (for root, all that others may not hold), else one of the user holding
    // the most (the caller's own, when none holds more).
    uid_t from = uid;
    if (uid != 0 && own < limits_.perUser) {
        std::size_t most = own;
        for (const auto& [holder, count] : held) {
            if (holder != 0 && count > most) {
                most = count;
                from = holder;
            }
        }
        if (most == 0) return false;
    }
    Connection* longestIdle = nullptr;
    for (auto& connection : connections_) {
        if (connection.fd.get() < 0 || connection.evicted || connection.busy || connection.uid != from) continue;
        if (!longestIdle || connection.idleSince < longestIdle->idleSince) longestIdle = &connection;
    }
    if (!longestIdle) return false;
    longestIdle->evicted = true;
    ::shutdown(longestIdle->fd.get(), SHUT_RDWR);
    return true;
}

bool LinkServer::takeLargeRoom(std::chrono::steady_clock::time_point deadline, const Connection& connection) {
    // A connection waiting here may be closed to make room for another
    // caller: it looks every tenth of a second.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(connectionsMutex_);
            if (connection.evicted) return false;
        }
        const auto until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
        std::unique_lock<std::mutex> lock(largeMutex_);
        if (largeFreed_.wait_until(lock, until, [&] { return !largeTaken_ || stopping_; })) {
            if (stopping_) return false;
            largeTaken_ = true;
            return true;
        }
        if (until == deadline) return false;
    }
}

void LinkServer::releaseLargeRoom() {
    {
        std::lock_guard<std::mutex> lock(largeMutex_);
        largeTaken_ = false;
    }
    largeFreed_.notify_one();
}

void LinkServer::serve(Connection& connection) {
    const int fd = connection.fd.get();
    const uid_t connected = connection.uid;
    bool pidfds = false;
    try {
        pidfds = passCredentials(fd);
    } catch (const std::exception& error) {
        limited_.log("dropped a connection", connected, std::string("dropped a connection: ") + error.what());
        return;
    }
    auto setBusy = [&](bool busy) {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        // Closed to make room just before its request began.
        if (busy && connection.evicted) throw wire::ConnectionClosed("closed to make room");
        connection.busy = busy;
        if (!busy) connection.idleSince = std::chrono::steady_clock::now();
    };
    auto lastRequest = std::chrono::steady_clock::now();
    while (!stopping_) {
        bool large = false;
        FrameReading reading;
        reading.firstByteBy = lastRequest + limits_.idle;
        reading.completeWithin = limits_.request;
        reading.admit = [&](std::optional<PeerCredentials>& sender, std::uint32_t size) {
            // The process that sent the request is checked, not the one
            // that connected: a descriptor may have been handed on to a
            // child, or kept across an exec. Where the kernel hands on
            // pidfds, a request without one is taken as one without
            // credentials.
            if (pidfds && sender && !sender->process) sender.reset();
            const std::string refusal =
                sender ? peers_.refusal(*sender)
                       : "uid " + std::to_string(connected) +
                             ": a request without credentials or with bytes from more than one process";
            if (!refusal.empty()) throw SenderRefused(refusal, sender ? sender->uid : connected);
            if (size > limits_.smallRequestBytes) {
                // Within the time the connection has for a request (and at
                // least what a request may take).
                const auto now = std::chrono::steady_clock::now();
                if (!takeLargeRoom(std::max(lastRequest + limits_.idle, now + limits_.request), connection)) {
                    throw wire::TimedOut("no room to read a request of " + std::to_string(size) + " bytes in time");
                }
                large = true;
            }
            // Until here (and while it waits for the room) a connection may
            // be closed to make room; from here its request is read.
            setBusy(true);
        };
        bool served = false;
        try {
            SentFrame frame = readFrameWithSender(fd, reading);
            handle(fd, std::move(frame.message), frame.sender.uid);
            served = true;
        } catch (const SenderRefused& refused) {
            ++refused_;
            limited_.log("refused a caller", refused.uid(), std::string("refused a caller: ") + refused.what());
        } catch (const wire::ConnectionClosed&) {
            // Closed by its caller, closed here to make room, or idle.
        } catch (const std::exception& error) {
            limited_.log("dropped a connection", connected, "dropped a connection: " + brivet::logSafe(error.what()));
        }
        if (large) releaseLargeRoom();
        if (!served) return;
        setBusy(false);
        lastRequest = std::chrono::steady_clock::now();
    }
}

void LinkServer::handle(int fd, std::string&& message, uid_t caller) {
    auto request = wire::decodeRequest(message);
    // A rules document is held once at a time: as text, as its tree, then
    // as rules.
    std::string().swap(message);
    switch (request.call) {
    case wire::Call::status: {
        const auto status = state_.status(running_ ? running_() : false);
        wire::writeFrame(fd, wire::encodeStatusReply(request.id, brivet::JSONCoding::plainEncode(status)));
        return;
    }
    case wire::Call::publish: {
        std::optional<std::string> refusal;
        try {
            const auto rules = brivet::FilterRules::fromJSON(*request.rules);
            request.rules.reset();
            refusal = policy_.publish(rules, request.policy);
        } catch (const std::exception& error) {
            refusal = std::string("malformed rules: ") + error.what();
        }
        if (refusal) limited_.log("refused rules", caller, "refused rules: " + brivet::logSafe(*refusal));
        wire::writeFrame(fd, wire::encodePublishReply(request.id, !refusal, refusal));
        return;
    }
    case wire::Call::takeEvents: {
        std::lock_guard<std::mutex> lock(takingEvents_);
        const auto events = state_.closedEvents();
        brivet::Json array = brivet::Json::array();
        for (const auto& event : events) array.push_back(event.toJSON());
        wire::writeFrame(fd, wire::encodeTakeEventsReply(request.id, brivet::JSONCoding::plainEncode(array)));
        if (!events.empty() && !state_.removeHandedOver(events)) {
            limited_.log("events not removed", caller,
                         "handed-over events could not be removed from disk; a restart before the next write would hand them over again");
        }
        return;
    }
    }
}

}  // namespace keldra::filter

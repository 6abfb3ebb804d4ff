#include "Keldra/Testing/FakeFilterServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include "BrivetClient/JSONCoding.h"

namespace keldra::testing {

namespace wire = filterwire;

struct FakeFilterServer::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Mode mode = Mode::answer;
    std::optional<brivet::FilterStatus> status = brivet::FilterStatus{true, 0, 0, std::nullopt, 0};
    std::optional<std::string> refusalReason;
    std::vector<brivet::CoalescedEvent> events;
    std::function<std::optional<std::string>(const wire::Request&)> override;
    std::optional<std::string> inject;
    std::size_t dropNext = 0;
    std::vector<brivet::FilterRules> published;
    std::map<wire::Call, std::size_t> calls;
    std::size_t total = 0;
    std::size_t accepted = 0;
    int listener = -1;
    int wakeRead = -1, wakeWrite = -1;  // ends the serving thread
    std::set<int> connections;
    bool serving = false;
};

FakeFilterServer::FakeFilterServer(std::filesystem::path socketPath)
    : socketPath_(std::move(socketPath)), state_(std::make_shared<State>()) {
    start();
}

FakeFilterServer::~FakeFilterServer() { stop(); }

void FakeFilterServer::start() {
    stop();
    std::error_code ec;
    std::filesystem::remove(socketPath_, ec);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath_.string();
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen at " + path + ": " + std::strerror(errno));
    }
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ::close(fd);
        throw std::runtime_error("pipe failed");
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->listener = fd;
        state_->wakeRead = pipeEnds[0];
        state_->wakeWrite = pipeEnds[1];
        state_->serving = true;
    }
    thread_ = std::thread([this] { serve(); });
}

void FakeFilterServer::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(state_->mutex);
        state_->serving = false;
        // Wakes the poll; connections are shut down so blocked reads end.
        char byte = 0;
        [[maybe_unused]] auto ignored = ::write(state_->wakeWrite, &byte, 1);
        for (int fd : state_->connections) ::shutdown(fd, SHUT_RDWR);
    }
    thread_.join();
    std::lock_guard lock(state_->mutex);
    for (int fd : state_->connections) ::close(fd);
    state_->connections.clear();
    ::close(state_->listener);
    ::close(state_->wakeRead);
    ::close(state_->wakeWrite);
    state_->listener = state_->wakeRead = state_->wakeWrite = -1;
    std::error_code ec;
    std::filesystem::remove(socketPath_, ec);
}

void FakeFilterServer::serve() {
    // One thread serves the listener and every connection, one message at a
    // time, which is all the client ever sends.
    for (;;) {
        std::vector<pollfd> entries;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->serving) return;
            entries.push_back({state_->wakeRead, POLLIN, 0});
            entries.push_back({state_->listener, POLLIN, 0});
            for (int fd : state_->connections) entries.push_back({fd, POLLIN, 0});
        }
        if (::poll(entries.data(), entries.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (entries[0].revents != 0) return;
        if (entries[1].revents & POLLIN) {
            int fd = ::accept4(entries[1].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard lock(state_->mutex);
                state_->connections.insert(fd);
                ++state_->accepted;
                state_->changed.notify_all();
            }
        }
        for (std::size_t i = 2; i < entries.size(); ++i) {
            if (entries[i].revents != 0) handle(entries[i].fd);
        }
    }
}

void FakeFilterServer::handle(int fd) {
    auto close = [&] {
        std::lock_guard lock(state_->mutex);
        state_->connections.erase(fd);
        ::close(fd);
    };
    std::string message;
    try {
        message = wire::readFrame(fd, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    } catch (const wire::WireError&) {
        close();
        return;
    }
    wire::Request request;
    try {
        request = wire::decodeRequest(message);
    } catch (const wire::WireError&) {
        close();
        return;
    }

    std::unique_lock lock(state_->mutex);
    ++state_->calls[request.call];
    ++state_->total;
    state_->changed.notify_all();
    if (state_->dropNext > 0) {
        // The extension dies with the request read and nothing done.
        --state_->dropNext;
        state_->connections.erase(fd);
        ::close(fd);
        return;
    }
    const Mode mode = state_->mode;
    std::optional<std::string> inject = std::exchange(state_->inject, std::nullopt);
    std::optional<std::string> reply;
    if (state_->override) {
        auto override = state_->override;
        lock.unlock();
        reply = override(request);
        lock.lock();
    } else {
        switch (request.call) {
            case wire::Call::status: {
                std::optional<std::string> text;
                if (state_->status) text = brivet::JSONCoding::plainEncode(*state_->status);
                reply = wire::encodeStatusReply(request.id, text);
                break;
            }
            case wire::Call::publish: {
                if (mode == Mode::refuse) {
                    reply = wire::encodePublishReply(request.id, false, state_->refusalReason);
                    break;
                }
                try {
                    state_->published.push_back(brivet::FilterRules::fromJSON(*request.rules));
                    reply = wire::encodePublishReply(request.id, true, std::nullopt);
                } catch (const std::exception& error) {
                    reply = wire::encodePublishReply(request.id, false, std::string(error.what()));
                }
                break;
            }
            case wire::Call::takeEvents: {
                brivet::Json list = brivet::Json::array();
                for (const auto& event : state_->events) list.push_back(event.toJSON());
                state_->events.clear();
                reply = wire::encodeTakeEventsReply(request.id, brivet::JSONCoding::plainEncode(list));
                break;
            }
        }
    }
    lock.unlock();

    try {
        if (inject) {
            std::size_t done = 0;
            while (done < inject->size()) {
                ssize_t sent = ::send(fd, inject->data() + done, inject->size() - done, MSG_NOSIGNAL);
                if (sent <= 0) throw wire::ConnectionClosed("gone");
                done += static_cast<std::size_t>(sent);
            }
        }
        switch (mode) {
            case Mode::silent:
                return;
            case Mode::dropMidCall:
                close();
                return;
            case Mode::garbage:
                wire::writeFrame(fd, "this is not { json");
                return;
            case Mode::halfFrame: {
                std::string frame = wire::framePrefix(reply ? reply->size() : 2) + reply.value_or("{}");
                [[maybe_unused]] auto ignored = ::send(fd, frame.data(), frame.size() / 2, MSG_NOSIGNAL);
                close();
                return;
            }
            case Mode::answer:
            case Mode::refuse:
                if (reply) wire::writeFrame(fd, *reply);
                return;
        }
    } catch (const wire::WireError&) {
        close();
    }
}

void FakeFilterServer::setMode(Mode mode) {
    std::lock_guard lock(state_->mutex);
    state_->mode = mode;
}

void FakeFilterServer::setStatus(std::optional<brivet::FilterStatus> status) {
    std::lock_guard lock(state_->mutex);
    state_->status = std::move(status);
}

void FakeFilterServer::setRefusalReason(std::optional<std::string> reason) {
    std::lock_guard lock(state_->mutex);
    state_->refusalReason = std::move(reason);
}

void FakeFilterServer::queueEvents(std::vector<brivet::CoalescedEvent> events) {
    std::lock_guard lock(state_->mutex);
    state_->events.insert(state_->events.end(), events.begin(), events.end());
}

void FakeFilterServer::setReplyOverride(std::function<std::optional<std::string>(const wire::Request&)> reply) {
    std::lock_guard lock(state_->mutex);
    state_->override = std::move(reply);
}

void FakeFilterServer::dropNextCalls(std::size_t count) {
    std::lock_guard lock(state_->mutex);
    state_->dropNext = count;
}

void FakeFilterServer::injectBeforeNextReply(std::string bytes) {
    std::lock_guard lock(state_->mutex);
    state_->inject = std::move(bytes);
}

std::vector<brivet::FilterRules> FakeFilterServer::published() const {
    std::lock_guard lock(state_->mutex);
    return state_->published;
}

std::size_t FakeFilterServer::calls(wire::Call call) const {
    std::lock_guard lock(state_->mutex);
    auto found = state_->calls.find(call);
    return found == state_->calls.end() ? 0 : found->second;
}

std::size_t FakeFilterServer::totalCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->total;
}

std::size_t FakeFilterServer::connectionsAccepted() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

std::vector<brivet::CoalescedEvent> FakeFilterServer::queuedEvents() const {
    std::lock_guard lock(state_->mutex);
    return state_->events;
}

bool FakeFilterServer::waitForCalls(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->total >= count; });
}

}  // namespace keldra::testing

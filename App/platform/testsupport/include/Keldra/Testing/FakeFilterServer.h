#pragma once
// An in-process stand-in for the filter extension's server, on a real
// Unix-domain socket, for tests of the app's link and of the whole app.
// It serves the wire format of Keldra/FilterWire.h on a thread of its own
// and can answer, refuse, send garbage, drop a call midway, stay silent,
// go away and come back.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BrivetClient/Engine.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/Models.h"
#include "filter-link/FilterWire.h"

namespace keldra::testing {

class FakeFilterServer {
public:
    enum class Mode {
        answer,       // status, accept rules, hand over queued events
        refuse,       // publish replies not accepted (with refusalReason); others answer
        garbage,      // every reply is a frame of bytes that are not JSON
        dropMidCall,  // reads the request, then closes the connection
        halfFrame,    // sends half of a reply frame, then closes
        silent,       // reads requests and never answers
    };

    // Binds `socketPath` (a stale file there is replaced) and serves.
    explicit FakeFilterServer(std::filesystem::path socketPath);
    ~FakeFilterServer();
    FakeFilterServer(const FakeFilterServer&) = delete;
    FakeFilterServer& operator=(const FakeFilterServer&) = delete;

    const std::filesystem::path& socketPath() const noexcept { return socketPath_; }

    // Closes the listener and every connection and removes the socket
    // file: the extension is gone. start() serves again at the same path.
    void stop();
    void start();

    void setMode(Mode mode);
    // What status answers (none: a null payload). Default: running, seq 0.
    void setStatus(std::optional<brivet::FilterStatus> status);
    // The reason of refusals in Mode::refuse (none: no reason).
    void setRefusalReason(std::optional<std::string> reason);
    // Events handed over, and removed, by the next takeEvents.
    void queueEvents(std::vector<brivet::CoalescedEvent> events);
    // When set, its result replaces the reply message of every request
    // (none: no reply at all); the frame is still length-prefixed.
    void setReplyOverride(std::function<std::optional<std::string>(const filterwire::Request&)> reply);
    // Sends these raw bytes (not framed by the server) on every connection
    // right after the next request is read, before the reply.
    void injectBeforeNextReply(std::string bytes);
    // The next `count` requests are read, counted and answered by closing
    // their connection, with nothing done (whatever the mode).
    void dropNextCalls(std::size_t count);

    // Rules received and accepted, oldest first.
    std::vector<brivet::FilterRules> published() const;
    std::size_t calls(filterwire::Call call) const;
    std::size_t totalCalls() const;
    std::size_t connectionsAccepted() const;
    std::vector<brivet::CoalescedEvent> queuedEvents() const;

    // Blocks until at least `count` requests arrived in total; false on
    // time-out.
    bool waitForCalls(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    struct State;
    void serve();
    void handle(int fd);

    const std::filesystem::path socketPath_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace keldra::testing

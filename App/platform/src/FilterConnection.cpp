#include "Keldra/FilterConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "BrivetClient/JSONCoding.h"
#include "Keldra/Bundle.h"
#include "filter-link/FilterWire.h"

namespace keldra {

namespace wire = filterwire;

std::optional<std::string> FilterXPCNames::machServiceName(const std::filesystem::path& extensionBundleURL) {
    auto bundle = Bundle::open(extensionBundleURL);
    if (!bundle) return std::nullopt;
    auto extension = bundle->info().value("NetworkExtension");
    if (!extension || !extension->is_object()) return std::nullopt;
    auto name = extension->find("NEMachServiceName");
    if (name == extension->end() || !name->is_string()) return std::nullopt;
    return name->get<std::string>();
}

FilterConnection::FilterConnection(std::optional<std::string> machServiceName, std::chrono::milliseconds replyTimeout)
    : machServiceName_(std::move(machServiceName)), replyTimeout_(replyTimeout) {}

FilterConnection::~FilterConnection() {
    std::lock_guard lock(mutex_);
    dropConnection();
}

bool FilterConnection::connected() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

std::uint64_t FilterConnection::connectionsOpened() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

void FilterConnection::dropConnection() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FilterConnection::peerGone() const {
    pollfd entry{fd_, POLLIN | POLLRDHUP, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    if (entry.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) return true;
    if (entry.revents & POLLIN) {
        // Bytes waiting (a late reply is read and dropped by the exchange),
        // or the end of the stream.
        char byte;
        ssize_t got;
        do {
            got = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return false;
}

bool FilterConnection::ensureConnected() {
    // A connection whose peer has gone (the extension exited or restarted)
    // is replaced before it is used, so the first call after a restart
    // reaches the new process instead of failing on the dead socket.
    if (fd_ >= 0 && peerGone()) dropConnection();
    if (fd_ >= 0) return true;
    if (!machServiceName_) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Only an absolute path: a relative one would depend on where the app
    // happens to run, a place a local process could serve.
    if (machServiceName_->empty() || machServiceName_->front() != '/' ||
        machServiceName_->size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, machServiceName_->data(), machServiceName_->size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    ++opened_;
    return true;
}

std::optional<std::string> FilterConnection::exchange(std::uint64_t id, const std::string& request) {
    // The peer can go away between the check in ensureConnected() and the
    // request. A call that failed before any reply byte arrived never
    // reached an extension that answers: it is sent once more on a new
    // connection. One that failed later, or timed out, is not repeated.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureConnected()) return std::nullopt;
        bool received = false;
        try {
            wire::writeFrame(fd_, request);
            const auto deadline = std::chrono::steady_clock::now() + replyTimeout_;
            for (;;) {
                std::string message = wire::readFrame(fd_, deadline);
                received = true;
                auto replyID = wire::replyID(message);
                if (!replyID) {
                    // Not a message of the format: the link can no longer be trusted.
                    dropConnection();
                    return std::nullopt;
                }
                // A reply to another call (an extra or a late one) is dropped;
                // only the reply to this call answers it, once.
                if (*replyID == id) return message;
            }
        } catch (const wire::ConnectionClosed&) {
            dropConnection();
            if (received) return std::nullopt;
        } catch (const wire::WireError&) {
            // Timed out, or broke the framing.
            dropConnection();
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<brivet::FilterStatus> FilterConnection::status() {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextID_++;
    auto message = exchange(id, wire::encodeStatusRequest(id));
    if (!message) return std::nullopt;
    try {
        wire::Reply reply = wire::decodeReply(*message, wire::Call::status);
        if (!reply.data) return std::nullopt;
        return brivet::FilterStatus::fromJSON(brivet::Json(*reply.data));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void FilterConnection::setPolicySource(PolicySource source) {
    std::lock_guard lock(mutex_);
    policySource_ = std::move(source);
}

void FilterConnection::publish(const brivet::FilterRules& rules) {
    // Encoding failures are thrown before anything is sent.
    const std::string text = rules.encode();
    std::lock_guard lock(mutex_);
    // The envelope is spliced in as it was stored, so it must be one JSON
    // object; anything else is left out rather than breaking the frame.
    std::optional<std::string> policy = policySource_ ? policySource_() : std::nullopt;
    if (policy) {
        const auto parsed = nlohmann::json::parse(*policy, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) policy.reset();
    }
    const std::uint64_t id = nextID_++;
    std::string request = wire::encodePublishRequest(
        id, text, policy ? std::optional<std::string_view>(*policy) : std::nullopt);
    if (request.size() > wire::kMaxFrameBytes ||
        wire::estimatedTreeBytes(request, wire::kMaxRequestTreeBytes).value_or(0) > wire::kMaxRequestTreeBytes) {
        throw Failure("rules document too large to send");
    }
    auto message = exchange(id, request);
    if (!message) throw Failure(kUnreachable);
    wire::Reply reply;
    try {
        reply = wire::decodeReply(*message, wire::Call::publish);
    } catch (const wire::WireError&) {
        dropConnection();
        throw Failure(kUnreachable);
    }
    if (reply.accepted) return;
    throw Failure(reply.reason.value_or(kRejected));
}

std::vector<brivet::CoalescedEvent> FilterConnection::takeEvents() {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextID_++;
    auto message = exchange(id, wire::encodeTakeEventsRequest(id));
    if (!message) throw Failure(kUnreachable);
    wire::Reply reply;
    try {
        reply = wire::decodeReply(*message, wire::Call::takeEvents);
    } catch (const wire::WireError&) {
        dropConnection();
        throw Failure(kUnreachable);
    }
    if (!reply.data) throw Failure(kUnreachable);
    const brivet::Json events(*reply.data);
    brivet::JSONCoding::requireArray(events, "events");
    std::vector<brivet::CoalescedEvent> out;
    out.reserve(events.size());
    for (const auto& event : events) out.push_back(brivet::CoalescedEvent::fromJSON(event));
    return out;
}

}  // namespace keldra

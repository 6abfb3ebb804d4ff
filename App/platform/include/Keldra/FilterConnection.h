#pragma once
// The app's side of the link to its filter extension: a FilterControl over
// a Unix-domain stream socket whose path is the extension's
// "NetworkExtension" / "NEMachServiceName" Info value.
//
// The connection opens lazily on the first call, is dropped when the peer
// goes away or breaks the format, and the next call opens a new one: a
// connection whose peer hung up is noticed before it is used, and a call
// whose connection closed before any byte of its reply came is sent once
// more on a new connection. Calls
// are serialised: one request is in flight at a time on a connection, and
// each call gets exactly one result. A call whose reply does not come within
// the reply time-out (30 seconds) fails as unreachable and drops the
// connection, so a stopped extension never hangs the engine.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrivetClient/Engine.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/Models.h"

namespace keldra {

struct FilterXPCNames {
    // Reads "Contents/Info.json" of the extension bundle at `url`: its
    // "NetworkExtension" object's "NEMachServiceName" when that is a string.
    // Absent when there is no bundle, no such object or no such string.
    static std::optional<std::string> machServiceName(const std::filesystem::path& extensionBundleURL);
};

class FilterConnection final : public brivet::FilterControl {
public:
    // The error of a failed call; its printed text is its description.
    class Failure : public std::runtime_error {
    public:
        explicit Failure(const std::string& description) : std::runtime_error(description) {}
        std::string description() const { return what(); }
    };
    static constexpr const char* kUnreachable = "filter extension unreachable";
    static constexpr const char* kRejected = "rejected";
    static constexpr std::chrono::milliseconds kDefaultReplyTimeout{30000};

    // Opens nothing. An absent name, or one that is not an absolute socket
    // path, makes every call unreachable.
    explicit FilterConnection(std::optional<std::string> machServiceName,
                              std::chrono::milliseconds replyTimeout = kDefaultReplyTimeout);
    ~FilterConnection() override;
    FilterConnection(const FilterConnection&) = delete;
    FilterConnection& operator=(const FilterConnection&) = delete;

    // The filter's status; absent when unreachable, timed out or when the
    // reply does not decode as a FilterStatus. Never throws.
    std::optional<brivet::FilterStatus> status() override;
    // Throws Failure "filter extension unreachable" when no reply came,
    // Failure with the reason (or "rejected") on a refusal,
    // brivet::EncodingError / Failure when the rules cannot be sent (encoding
    // failure, or larger than a frame may be) before anything is sent.
    void publish(const brivet::FilterRules& rules) override;
    // Throws Failure "filter extension unreachable" when no data came, and
    // brivet::DecodingError when the events do not decode.
    std::vector<brivet::CoalescedEvent> takeEvents() override;
    // The daemon lets go of events as it hands them over; nothing to say.
    void eventsQueued(const std::vector<brivet::CoalescedEvent>&) override {}

    const std::optional<std::string>& machServiceName() const noexcept { return machServiceName_; }
    // Where publish takes the signed policy envelope that the rules came
    // from (the client's stored one); none: publishes carry no envelope.
    using PolicySource = std::function<std::optional<std::string>()>;
    void setPolicySource(PolicySource source);

    // For tests: whether a connection is open now, and how many were opened.
    bool connected() const;
    std::uint64_t connectionsOpened() const;

private:
    // Sends one request and waits for the reply with its id; absent when the
    // link failed (the connection is then dropped).
    std::optional<std::string> exchange(std::uint64_t id, const std::string& request);
    bool ensureConnected();
    // Whether the open connection's peer hung up or ended the stream.
    bool peerGone() const;
    void dropConnection();

    const std::optional<std::string> machServiceName_;
    const std::chrono::milliseconds replyTimeout_;
    mutable std::mutex mutex_;  // serialises calls and guards the fields below
    int fd_ = -1;
    std::uint64_t nextID_ = 1;
    std::uint64_t opened_ = 0;
    PolicySource policySource_;
};

}  // namespace keldra

#pragma once
// The resolver the proxy puts in front of the machine: it listens for DNS
// queries on one address and port over UDP and TCP, answers blocked names
// itself with NXDOMAIN and forwards everything else unchanged to the upstream
// name servers, one after another.
//
// All network work runs on one thread with one io_context, so handlers never
// run concurrently; the counters are atomic for readers on other threads. The
// listener (DNSListener.h), the forwarder (DNSForwarder.h) and one upstream
// attempt (DNSUpstreamAttempt.h) live in files of their own; this class ties
// them to a filter and holds no state of the program around it.

#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/RuleSet.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace brivet {

// What the proxy asks about the first question of each query.
class DNSFilter {
public:
    virtual ~DNSFilter() = default;
    // Called on the proxy's thread. A blocking decision makes the proxy answer
    // NXDOMAIN; anything else forwards the query.
    virtual HostDecision decide(const DNSQuestion& question) = 0;
};

class DNSProxy {
public:
    using LogFunction = std::function<void(const std::string&)>;

    static constexpr std::uint16_t kUpstreamPort = 53;
    static constexpr std::chrono::milliseconds kUpstreamTimeout{4000};
    static constexpr std::chrono::milliseconds kTCPIdleTimeout{10000};
    static constexpr std::size_t kMaxTCPClients = 256;
    // Descriptors under the process's limit that the proxy leaves to the rest
    // of the program.
    static constexpr std::size_t kReservedDescriptors = 128;

    struct Settings {
        std::uint16_t upstreamPort = kUpstreamPort;
        // How long one upstream attempt may take.
        std::chrono::milliseconds upstreamTimeout = kUpstreamTimeout;
        // How long a TCP client may take to complete a frame.
        std::chrono::milliseconds tcpIdleTimeout = kTCPIdleTimeout;
        std::size_t maxTCPClients = kMaxTCPClients;
        std::size_t reservedDescriptors = kReservedDescriptors;
        // The proxy's own log lines.
        LogFunction log;
        // Called (on the proxy's thread) when the UDP listener fails after it
        // started, with the error's description.
        std::function<void(const std::string&)> udpFailed;
    };

    DNSProxy(DNSFilter& filter, std::vector<std::string> upstreams, Settings settings);
    DNSProxy(DNSFilter& filter, std::vector<std::string> upstreams,
             std::uint16_t upstreamPort = kUpstreamPort,
             std::chrono::milliseconds upstreamTimeout = kUpstreamTimeout,
             LogFunction log = {}, std::function<void(const std::string&)> udpFailed = {});
    ~DNSProxy();

    DNSProxy(const DNSProxy&) = delete;
    DNSProxy& operator=(const DNSProxy&) = delete;

    // Binds UDP, then TCP, to the host (an address literal or a name) and
    // port, and starts serving on the proxy's thread. With port 0 the system
    // picks the UDP port and TCP binds the same one. Throws std::system_error
    // when either cannot be bound; nothing is served then.
    void start(const std::string& host, std::uint16_t port);

    // The port both listeners are bound to (0 before start).
    std::uint16_t port() const noexcept { return boundPort_; }

    // Queries answered with NXDOMAIN, and queries handed to the forwarder.
    std::int64_t blocked() const noexcept { return blocked_.load(std::memory_order_relaxed); }
    std::int64_t answered() const noexcept { return answered_.load(std::memory_order_relaxed); }

    const std::vector<std::string>& upstreams() const noexcept { return upstreams_; }

    // Queries that came back from an upstream they were in flight to, and
    // were not forwarded again.
    std::int64_t loopsStopped() const noexcept { return loops_.load(std::memory_order_relaxed); }

    class Impl;

private:
    std::vector<std::string> upstreams_;
    std::uint16_t boundPort_ = 0;
    std::atomic<std::int64_t> blocked_{0};
    std::atomic<std::int64_t> answered_{0};
    std::atomic<std::int64_t> loops_{0};
    // Last: its thread and handlers use the members above.
    std::unique_ptr<Impl> impl_;
};

// The addresses of an upstream: itself when it is an address literal, else
// what the system resolves the host name to (nothing when it cannot).
using UpstreamResolver = std::function<std::vector<std::string>(const std::string& upstream)>;
std::vector<std::string> resolveUpstream(const std::string& upstream);

// The upstreams without those that are the proxy's own listening address on
// the port upstreams are asked on: forwarding there would send every query
// back into the proxy. A host name is dropped when any address it resolves to
// is that one. A wildcard listening address also drops loopback and local
// interface addresses. Each dropped upstream is logged.
std::vector<std::string> upstreamsWithoutSelf(const std::vector<std::string>& upstreams,
                                              const std::string& listenHost, std::uint16_t listenPort,
                                              std::uint16_t upstreamPort,
                                              const DNSProxy::LogFunction& log,
                                              const UpstreamResolver& resolve = resolveUpstream);

// True when the upstream is an address literal rather than a host name.
bool isAddressLiteral(const std::string& upstream);

}  // namespace brivet

#pragma once
// The forwarder: hands a query to the upstream name servers one after another
// until one answers it, and knows which questions it has in flight to which
// upstream address, so that a query coming back from one of them is not sent
// round again.

#include "keldra-proxy/DNSUpstreamAttempt.h"
#include "keldra-proxy/DNSWire.h"

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brivet {

// Descriptors the listener and the forwarder may hold together. What is left
// under the process's limit stays for the rest of the program (the tick's
// files and connections), so a flood of clients or queries never starves it.
class DescriptorBudget {
public:
    // The soft limit on open files less `reserve`.
    static std::size_t fromProcessLimit(std::size_t reserve);

    explicit DescriptorBudget(std::size_t total) : total_(total) {}
    bool take() {
        if (used_ >= total_) {
            return false;
        }
        ++used_;
        return true;
    }
    void give() {
        if (used_ > 0) {
            --used_;
        }
    }
    std::size_t total() const noexcept { return total_; }
    std::size_t used() const noexcept { return used_; }

private:
    std::size_t total_;
    std::size_t used_ = 0;
};

// Whether an address and port are where the proxy listens: the listening
// address itself, or for a wildcard listener any loopback, unspecified or
// local interface address.
class DNSSelfAddress {
public:
    DNSSelfAddress() = default;
    DNSSelfAddress(const asio::ip::address& listen, std::uint16_t port);
    bool matches(const asio::ip::address& address, std::uint16_t port) const;

private:
    std::optional<asio::ip::address> listen_;
    std::uint16_t port_ = 0;
    std::vector<asio::ip::address> local_;
};

class DNSForwarder {
public:
    using Completion = DNSUpstreamAttempt::Completion;

    struct Settings {
        std::vector<std::string> upstreams;
        std::uint16_t upstreamPort = 53;
        std::chrono::milliseconds timeout{4000};
        // Where the listener is: never forwarded to.
        DNSSelfAddress self;
    };

    // `budget` is shared with the listener and must outlive the forwarder.
    DNSForwarder(asio::io_context& io, Settings settings, DescriptorBudget& budget);
    ~DNSForwarder();

    DNSForwarder(const DNSForwarder&) = delete;
    DNSForwarder& operator=(const DNSForwarder&) = delete;

    // Tries the upstreams in order; the completion gets the first matching
    // reply, or nothing when every one failed (or there are none).
    void forward(std::shared_ptr<const DNSBytes> query, DNSTransport transport, Completion completion);

    // True when a query from `from` asks a question this forwarder has in
    // flight to that very address: a resolver there sent it back to us.
    bool comesBack(const asio::ip::address& from, std::span<const std::uint8_t> query) const;

    // Attempts in flight.
    std::size_t attempts() const noexcept { return attempts_; }

private:
    void tryUpstream(std::shared_ptr<const DNSBytes> query, DNSTransport transport, std::size_t index,
                     Completion completion);
    using InFlightKey = std::pair<asio::ip::address, DNSQuestionKey>;

    asio::io_context& io_;
    Settings settings_;
    DescriptorBudget& budget_;
    std::map<InFlightKey, std::size_t> inFlight_;
    std::size_t attempts_ = 0;
    // Shared with attempts' handlers: false once the forwarder is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace brivet

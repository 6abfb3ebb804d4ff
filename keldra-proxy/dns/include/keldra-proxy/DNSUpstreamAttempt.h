#pragma once
// One attempt to have one upstream name server answer one query, over UDP or
// TCP, ended by the first of a matching reply, a failure and the time-out.
//
// A reply counts only when it comes from the address and port asked and
// repeats the query's ID and question. Over UDP anything else is ignored and
// the attempt waits on; over TCP it fails the attempt. Everything runs on the
// thread of the io_context given.

#include "keldra-proxy/DNSWire.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brivet {

// Tells whether an address and port are the listener's own.
using DNSSelfCheck = std::function<bool(const asio::ip::address&, std::uint16_t port)>;

class DNSUpstreamAttempt : public std::enable_shared_from_this<DNSUpstreamAttempt> {
public:
    // Called once: the reply, or nothing when the attempt failed or timed out.
    using Completion = std::function<void(std::optional<DNSBytes>)>;
    // Called with the address the query is about to be sent to.
    using Asking = std::function<void(const asio::ip::address&)>;

    struct Target {
        std::string upstream;  // address literal or host name
        std::uint16_t port = 53;
    };

    DNSUpstreamAttempt(asio::io_context& io, std::shared_ptr<const DNSBytes> query, DNSTransport transport,
                       Target target, std::chrono::milliseconds timeout, DNSSelfCheck isSelf, Asking asking,
                       Completion completion);

    DNSUpstreamAttempt(const DNSUpstreamAttempt&) = delete;
    DNSUpstreamAttempt& operator=(const DNSUpstreamAttempt&) = delete;

    void start();
    // Ends the attempt as failed, unless it has ended already.
    void cancel() { finish(std::nullopt); }
    bool done() const noexcept { return done_; }
    // The address asked, once known.
    const std::optional<asio::ip::address>& asked() const noexcept { return asked_; }

private:
    void connect(const asio::ip::address& address);
    void connectUDP(const asio::ip::udp::endpoint& endpoint);
    void awaitUDPReply();
    void connectTCP(const asio::ip::tcp::endpoint& endpoint);
    void readTCPLength();
    void finish(std::optional<DNSBytes> response);

    std::shared_ptr<const DNSBytes> query_;
    std::optional<DNSQueryKey> key_;
    DNSTransport transport_;
    Target target_;
    std::chrono::milliseconds timeout_;
    DNSSelfCheck isSelf_;
    Asking asking_;
    Completion completion_;
    asio::steady_timer timer_;
    asio::ip::udp::resolver resolver_;
    asio::ip::udp::socket udp_;
    asio::ip::tcp::socket tcp_;
    asio::ip::udp::endpoint udpPeer_;
    std::array<std::uint8_t, 2> length_{};
    DNSBytes frame_;
    DNSBytes response_;
    std::optional<asio::ip::address> asked_;
    bool done_ = false;
};

}  // namespace brivet

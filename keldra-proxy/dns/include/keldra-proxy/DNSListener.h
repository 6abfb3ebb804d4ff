#pragma once
// The DNS listener: one UDP socket and one TCP acceptor on the same address
// and port. It reads queries (datagrams, or length-framed messages on TCP
// connections), hands each to a handler and sends back what the handler
// replies. It knows nothing of filters or upstreams.
//
// TCP clients are held to limits: a connection that completes no frame within
// the idle time-out is closed (the time its query spends with the handler does
// not count), at most a fixed number are open at once (the one idle longest
// makes room for a new one), and a frame takes memory only as its bytes
// arrive. Everything runs on the thread of the io_context given.

#include "keldra-proxy/DNSForwarder.h"
#include "keldra-proxy/DNSWire.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>

namespace brivet {

class DNSQueryHandler {
public:
    // Takes the reply to send, or nothing: no reply over UDP, the connection
    // closed over TCP. Called once, on the listener's thread.
    using Reply = std::function<void(std::optional<DNSBytes>)>;

    virtual ~DNSQueryHandler() = default;
    // One query from the address `from`.
    virtual void handle(DNSBytes query, DNSTransport transport, const asio::ip::address& from, Reply reply) = 0;
};

class DNSListener {
public:
    using LogFunction = std::function<void(const std::string&)>;

    struct Limits {
        // How long a TCP client may take to complete a frame, or to take our
        // reply.
        std::chrono::milliseconds tcpIdleTimeout{10000};
        // TCP connections open at once.
        std::size_t maxTCPClients = 256;
    };

    // `budget` is shared with the forwarder and must outlive the listener.
    // `udpFailed` is called when the UDP socket fails after it started.
    DNSListener(asio::io_context& io, DNSQueryHandler& handler, Limits limits, DescriptorBudget& budget,
                LogFunction log, std::function<void(const std::string&)> udpFailed);
    ~DNSListener();

    DNSListener(const DNSListener&) = delete;
    DNSListener& operator=(const DNSListener&) = delete;

    // Binds UDP, then TCP, to the address and port (0: the system picks the
    // UDP port, and TCP binds the same one). Throws std::system_error.
    std::uint16_t bind(const asio::ip::address& address, std::uint16_t port);
    // Starts receiving and accepting on the io_context.
    void start();

    std::size_t tcpClients() const noexcept { return tcpClients_; }

private:
    struct ReplyTo {
        asio::ip::udp::endpoint peer;
        int localFamily = AF_UNSPEC;  // AF_INET or AF_INET6 when the local address is known
        in_pktinfo local4{};
        in6_pktinfo local6{};
    };
    struct TCPClient;
    using ClientPointer = std::shared_ptr<TCPClient>;

    void bindOnce(const asio::ip::address& address, std::uint16_t port);
    void log(const std::string& message);

    void receiveUDP();
    static void readLocalAddress(msghdr& message, ReplyTo& to);
    void sendUDP(const ReplyTo& to, DNSBytes message);
    void flushReplies();
    int sendReply(const ReplyTo& to, const DNSBytes& message);

    void accept();
    bool makeRoom();
    void awaitFrame(const ClientPointer& client);
    void readFrame(const ClientPointer& client);
    void armIdle(const ClientPointer& client);
    void sendFrame(const ClientPointer& client, const DNSBytes& message);
    void close(const ClientPointer& client);

    asio::io_context& io_;
    DNSQueryHandler& handler_;
    Limits limits_;
    DescriptorBudget& budget_;
    LogFunction log_;
    std::function<void(const std::string&)> udpFailed_;

    asio::ip::udp::socket udp_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    bool wildcard_ = false;
    std::deque<std::pair<ReplyTo, DNSBytes>> pendingReplies_;
    // TCP clients waiting for a frame, the one idle longest first.
    std::list<ClientPointer> idle_;
    std::size_t tcpClients_ = 0;
    std::array<std::uint8_t, kMaxDNSMessage + 1> buffer_{};
};

}  // namespace brivet

#include "keldra-proxy/DNSProxy.h"

#include <asio.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <sys/socket.h>
#include <ifaddrs.h>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace brivet {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Completion = std::function<void(std::optional<Bytes>)>;

enum class Transport { udp, tcp };

constexpr std::size_t kMaxMessage = 65535;
// Replies that wait for room in the listening socket's send buffer.
constexpr std::size_t kMaxPendingReplies = 4096;

// The errno value behind an error of a socket call (Asio reports them in its
// own system category), or 0 for any other error.
int errnoOf(const std::error_code& ec) {
    return ec.category() == asio::error::get_system_category() || ec.category() == std::system_category()
               ? ec.value()
               : 0;
}

// Receive errors on the listening UDP socket that concern one datagram or one
// peer, not the socket: the listener goes on after them.
bool isTransientUDPError(const std::error_code& ec) {
    switch (errnoOf(ec)) {
        case ECONNREFUSED: case ECONNRESET: case ENOBUFS: case EMSGSIZE: case EINTR: case EAGAIN:
        case EHOSTUNREACH: case ENETUNREACH: case ENOMEM:
            return true;
        default:
            return false;
    }
}

// Accept errors caused by a shortage of descriptors or memory.
bool isResourceShortage(const std::error_code& ec) {
    switch (errnoOf(ec)) {
        case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
            return true;
        default:
            return false;
    }
}

// Accept errors that concern one connection only: a connection reset before
// it was accepted, or a network error that accept passes on from it.
bool isTransientAcceptError(const std::error_code& ec) {
    switch (errnoOf(ec)) {
        case ECONNABORTED: case ECONNRESET: case EINTR: case EAGAIN: case ENETDOWN: case ENETUNREACH:
        case EHOSTUNREACH: case EHOSTDOWN: case EPROTO: case ENOPROTOOPT: case EOPNOTSUPP: case ETIMEDOUT:
        case ENONET:
            return true;
        default:
            return false;
    }
}

Bytes framed(const Bytes& message) {
    Bytes frame;
    frame.reserve(message.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    frame.insert(frame.end(), message.begin(), message.end());
    return frame;
}

asio::ip::address resolveListenAddress(asio::io_context& io, const std::string& host) {
    std::error_code ec;
    const auto literal = asio::ip::make_address(host, ec);
    if (!ec) {
        return literal;
    }
    asio::ip::udp::resolver resolver(io);
    const auto results = resolver.resolve(host, "", asio::ip::resolver_base::numeric_service, ec);
    if (ec) {
        throw std::system_error(ec, "cannot resolve " + host);
    }
    if (results.empty()) {
        throw std::system_error(std::make_error_code(std::errc::address_not_available),
                                "no address for " + host);
    }
    return results.begin()->endpoint().address();
}

}  // namespace

class DNSProxy::Impl {
public:
    Impl(DNSFilter& filter, const std::vector<std::string>& upstreams, std::uint16_t upstreamPort,
         std::chrono::milliseconds timeout, LogFunction log, std::function<void(const std::string&)> udpFailed,
         std::atomic<std::int64_t>& blocked, std::atomic<std::int64_t>& answered)
        : filter_(filter), upstreams_(upstreams), upstreamPort_(upstreamPort), timeout_(timeout),
          log_(std::move(log)), udpFailed_(std::move(udpFailed)), blocked_(blocked), answered_(answered),
          udp_(io_), acceptor_(io_), acceptRetry_(io_) {}

    std::uint16_t start(const std::string& host, std::uint16_t port) {
        if (thread_.joinable()) {
            throw std::logic_error("the DNS proxy is already running");
        }
        const auto address = resolveListenAddress(io_, host);
        // With port 0 the system picks the UDP port; TCP must then bind the
        // same one, which may be taken: pick again a few times.
        const int tries = port == 0 ? 20 : 1;
        for (int attempt = 1;; ++attempt) {
            try {
                bind(address, port);
                break;
            } catch (const std::system_error& error) {
                std::error_code ignored;
                udp_.close(ignored);
                acceptor_.close(ignored);
                if (attempt >= tries || error.code() != asio::error::address_in_use) {
                    throw;
                }
            }
        }
        receiveUDP();
        accept();
        thread_ = std::thread([this] { run(); });
        return udp_.local_endpoint().port();
    }

    void bind(const asio::ip::address& address, std::uint16_t port) {
        const asio::ip::udp::endpoint udpEndpoint(address, port);
        udp_.open(udpEndpoint.protocol());
        udp_.non_blocking(true);
        // A wildcard listener learns each query's destination address, so
        // that its reply is sent from that address.
        wildcard_ = address.is_unspecified();
        if (wildcard_) {
            const int one = 1;
            if (address.is_v4()) {
                ::setsockopt(udp_.native_handle(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
            } else {
                ::setsockopt(udp_.native_handle(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
            }
        }
        udp_.bind(udpEndpoint);
        const asio::ip::tcp::endpoint tcpEndpoint(address, udp_.local_endpoint().port());
        acceptor_.open(tcpEndpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(tcpEndpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
    }

    void stop() {
        io_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // One forwarding attempt to one upstream.
    struct Attempt {
        Attempt(asio::io_context& io, std::shared_ptr<const Bytes> query, Transport transport, std::size_t index,
                Completion completion)
            : query(std::move(query)), transport(transport), index(index), completion(std::move(completion)),
              timer(io), resolver(io), udp(io), tcp(io) {}

        std::shared_ptr<const Bytes> query;
        Transport transport;
        std::size_t index;
        Completion completion;
        asio::steady_timer timer;
        asio::ip::udp::resolver resolver;
        asio::ip::udp::socket udp;
        asio::ip::tcp::socket tcp;
        std::array<std::uint8_t, 2> length{};
        Bytes frame;
        Bytes response;
        bool done = false;
    };

    struct TCPClient {
        explicit TCPClient(asio::ip::tcp::socket socket) : socket(std::move(socket)) {}
        asio::ip::tcp::socket socket;
        std::array<std::uint8_t, 2> length{};
        Bytes query;
        Bytes reply;
    };

private:
    void run() {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& error) {
                // A handler never throws by design; keep serving if one does.
                log("dns handler failed: " + std::string(error.what()));
            }
        }
    }

    void log(const std::string& message) {
        if (log_) {
            log_(message);
        }
    }

    // Asks the filter; a filter that throws lets the query through rather
    // than stopping the listener.
    bool isBlocked(const DNSQuestion& question) {
        try {
            return filter_.decide(question).isBlocked();
        } catch (const std::exception& error) {
            log("filter failed: " + std::string(error.what()));
            return false;
        }
    }

    // The NXDOMAIN answer when the query's first question is blocked.
    std::optional<Bytes> blockedAnswer(const Bytes& query) {
        const auto question = DNSMessage::question(std::span<const std::uint8_t>(query));
        if (!question || !isBlocked(*question)) {
            return std::nullopt;
        }
        return DNSMessage::nxdomainResponse(std::span<const std::uint8_t>(query));
    }

    // --- UDP -------------------------------------------------------------

    // Where a reply goes: the asking address and port; for a wildcard
    // listener also the address the query was sent to, so that the reply
    // leaves from it.
    struct ReplyTo {
        asio::ip::udp::endpoint peer;
        int localFamily = AF_UNSPEC;  // AF_INET or AF_INET6 when the local address is known
        in_pktinfo local4{};
        in6_pktinfo local6{};
    };

    // Reads every datagram that is waiting, then waits for more.
    void receiveUDP() {
        udp_.async_wait(asio::socket_base::wait_read, [this](std::error_code ec) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                failUDP(ec);
                return;
            }
            for (int i = 0; i < 64; ++i) {
                ReplyTo to;
                sockaddr_storage from{};
                iovec iov{udpBuffer_.data(), udpBuffer_.size()};
                alignas(cmsghdr) char control[256];
                msghdr message{};
                message.msg_name = &from;
                message.msg_namelen = sizeof from;
                message.msg_iov = &iov;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                const ssize_t n = ::recvmsg(udp_.native_handle(), &message, MSG_DONTWAIT);
                if (n < 0) {
                    const std::error_code error(errno, asio::error::get_system_category());
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        break;
                    }
                    if (!isTransientUDPError(error)) {
                        failUDP(error);
                        return;
                    }
                    continue;
                }
                if (n == 0 || message.msg_namelen > sizeof from) {
                    continue;
                }
                std::memcpy(to.peer.data(), &from, message.msg_namelen);
                to.peer.resize(message.msg_namelen);
                if (wildcard_) {
                    readLocalAddress(message, to);
                }
                // The next datagrams are read before this one is forwarded, so
                // several queries of one peer may be in flight together.
                handleDatagram(Bytes(udpBuffer_.begin(), udpBuffer_.begin() + n), to);
            }
            receiveUDP();
        });
    }

    void failUDP(const std::error_code& error) {
        if (udpFailed_) {
            udpFailed_(error.message());
        }
    }

    static void readLocalAddress(msghdr& message, ReplyTo& to) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                to.local4 = in_pktinfo{};
                to.local4.ipi_spec_dst = info.ipi_addr;
                to.localFamily = AF_INET;
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                std::memcpy(&to.local6, CMSG_DATA(c), sizeof to.local6);
                to.localFamily = AF_INET6;
            }
        }
    }

    void handleDatagram(Bytes query, const ReplyTo& to) {
        if (auto answer = blockedAnswer(query)) {
            blocked_.fetch_add(1, std::memory_order_relaxed);
            sendUDP(to, std::move(*answer));
            return;
        }
        answered_.fetch_add(1, std::memory_order_relaxed);
        Impl* self = this;
        forward(std::make_shared<const Bytes>(std::move(query)), Transport::udp, 0,
                [self, to](std::optional<Bytes> response) {
                    if (response) {
                        self->sendUDP(to, std::move(*response));
                    }
                });
    }

    // Replies leave the listening socket to the asking address and port, from
    // the address the query was sent to. When the socket's buffer is full they
    // wait in a bounded queue.
    void sendUDP(const ReplyTo& to, Bytes message) {
        if (pendingReplies_.empty()) {
            const int error = sendReply(to, message);
            if (error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS) {
                return;
            }
        }
        if (pendingReplies_.size() >= kMaxPendingReplies) {
            return;
        }
        pendingReplies_.emplace_back(to, std::move(message));
        if (pendingReplies_.size() == 1) {
            flushReplies();
        }
    }

    void flushReplies() {
        udp_.async_wait(asio::socket_base::wait_write, [this](std::error_code ec) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            while (!pendingReplies_.empty()) {
                const int error = sendReply(pendingReplies_.front().first, pendingReplies_.front().second);
                if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                    flushReplies();
                    return;
                }
                pendingReplies_.pop_front();
            }
        });
    }

    // Sends one datagram; returns 0 or the errno of the failure.
    int sendReply(const ReplyTo& to, const Bytes& message) {
        iovec iov{const_cast<std::uint8_t*>(message.data()), message.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
        msghdr header{};
        header.msg_name = const_cast<sockaddr*>(to.peer.data());
        header.msg_namelen = static_cast<socklen_t>(to.peer.size());
        header.msg_iov = &iov;
        header.msg_iovlen = 1;
        if (to.localFamily != AF_UNSPEC) {
            const bool v4 = to.localFamily == AF_INET;
            const std::size_t length = v4 ? sizeof(in_pktinfo) : sizeof(in6_pktinfo);
            header.msg_control = control;
            header.msg_controllen = CMSG_SPACE(length);
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            c->cmsg_level = v4 ? IPPROTO_IP : IPPROTO_IPV6;
            c->cmsg_type = v4 ? IP_PKTINFO : IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(length);
            std::memcpy(CMSG_DATA(c), v4 ? static_cast<const void*>(&to.local4) : &to.local6, length);
        }
        ssize_t n = ::sendmsg(udp_.native_handle(), &header, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINVAL && header.msg_control != nullptr) {
            // An address the reply cannot be sent from (a broadcast query, a
            // mapped IPv4 peer): let the system choose.
            header.msg_control = nullptr;
            header.msg_controllen = 0;
            n = ::sendmsg(udp_.native_handle(), &header, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        return n < 0 ? errno : 0;
    }

    // --- TCP -------------------------------------------------------------

    void accept() {
        acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (!ec) {
                readFrame(std::make_shared<TCPClient>(std::move(socket)));
                accept();
                return;
            }
            if (isResourceShortage(ec)) {
                // Out of descriptors or memory: wait a moment instead of spinning.
                log("tcp accept failed: " + ec.message());
                acceptRetry_.expires_after(std::chrono::milliseconds(100));
                acceptRetry_.async_wait([this](std::error_code waitError) {
                    if (waitError != asio::error::operation_aborted) {
                        accept();
                    }
                });
                return;
            }
            if (isTransientAcceptError(ec)) {
                accept();
                return;
            }
            // The listening socket itself is broken; UDP goes on serving.
            log("tcp listener failed: " + ec.message());
        });
    }

    static void close(TCPClient& client) {
        std::error_code ignored;
        client.socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        client.socket.close(ignored);
    }

    void readFrame(std::shared_ptr<TCPClient> client) {
        Impl* self = this;
        asio::async_read(client->socket, asio::buffer(client->length),
                         [self, client](std::error_code ec, std::size_t n) {
                             if (ec || n != 2) {
                                 close(*client);
                                 return;
                             }
                             const std::size_t length =
                                 (std::size_t{client->length[0]} << 8) | client->length[1];
                             if (length == 0) {
                                 close(*client);
                                 return;
                             }
                             client->query.resize(length);
                             self->readBody(client);
                         });
    }

    void readBody(std::shared_ptr<TCPClient> client) {
        Impl* self = this;
        asio::async_read(client->socket, asio::buffer(client->query),
                         [self, client](std::error_code ec, std::size_t n) {
                             // A frame cut short by the end of the stream is no query.
                             if (ec || n != client->query.size()) {
                                 close(*client);
                                 return;
                             }
                             self->handleFrame(client);
                         });
    }

    void handleFrame(std::shared_ptr<TCPClient> client) {
        if (auto answer = blockedAnswer(client->query)) {
            blocked_.fetch_add(1, std::memory_order_relaxed);
            sendFrame(client, std::move(*answer));
            return;
        }
        answered_.fetch_add(1, std::memory_order_relaxed);
        Impl* self = this;
        forward(std::make_shared<const Bytes>(std::move(client->query)), Transport::tcp, 0,
                [self, client](std::optional<Bytes> response) {
                    if (!response || response->size() > kMaxMessage) {
                        close(*client);
                        return;
                    }
                    self->sendFrame(client, std::move(*response));
                });
    }

    void sendFrame(std::shared_ptr<TCPClient> client, Bytes message) {
        client->reply = framed(message);
        Impl* self = this;
        asio::async_write(client->socket, asio::buffer(client->reply),
                          [self, client](std::error_code, std::size_t) {
                              // The next frame is read whatever the send gave; a
                              // broken connection ends at that read.
                              self->readFrame(client);
                          });
    }

    // --- Forwarding --------------------------------------------------------

    void forward(std::shared_ptr<const Bytes> query, Transport transport, std::size_t index,
                 Completion completion) {
        if (index >= upstreams_.size()) {
            completion(std::nullopt);
            return;
        }
        auto attempt = std::make_shared<Attempt>(io_, std::move(query), transport, index, std::move(completion));
        Impl* self = this;
        attempt->timer.expires_after(timeout_);
        attempt->timer.async_wait([self, attempt](std::error_code ec) {
            if (ec != asio::error::operation_aborted) {
                self->finish(attempt, std::nullopt);
            }
        });

        const std::string& upstream = upstreams_[index];
        std::error_code ec;
        const auto address = asio::ip::make_address(upstream, ec);
        if (!ec) {
            connect(attempt, address);
            return;
        }
        // A host name: resolved within the attempt's time.
        attempt->resolver.async_resolve(
            upstream, std::to_string(upstreamPort_), asio::ip::resolver_base::numeric_service,
            [self, attempt](std::error_code resolveError, asio::ip::udp::resolver::results_type results) {
                if (attempt->done) {
                    return;
                }
                if (resolveError || results.empty()) {
                    self->finish(attempt, std::nullopt);
                    return;
                }
                self->connect(attempt, results.begin()->endpoint().address());
            });
    }

    void connect(const std::shared_ptr<Attempt>& attempt, const asio::ip::address& address) {
        if (attempt->transport == Transport::udp) {
            connectUDP(attempt, asio::ip::udp::endpoint(address, upstreamPort_));
        } else {
            connectTCP(attempt, asio::ip::tcp::endpoint(address, upstreamPort_));
        }
    }

    void connectUDP(const std::shared_ptr<Attempt>& attempt, const asio::ip::udp::endpoint& endpoint) {
        std::error_code ec;
        // A socket that cannot be created (out of descriptors) is a failed
        // attempt like any other.
        attempt->udp.open(endpoint.protocol(), ec);
        if (!ec) {
            attempt->udp.non_blocking(true, ec);
        }
        if (!ec) {
            attempt->udp.connect(endpoint, ec);
        }
        if (ec) {
            finish(attempt, std::nullopt);
            return;
        }
        Impl* self = this;
        attempt->udp.async_send(asio::buffer(*attempt->query), [self, attempt](std::error_code sendError,
                                                                               std::size_t) {
            if (attempt->done) {
                return;
            }
            if (sendError) {
                self->finish(attempt, std::nullopt);
                return;
            }
            self->awaitUDPReply(attempt);
        });
    }

    // Waits until the reply is there, then reads it into the one shared
    // buffer: no attempt holds a 64 KiB buffer while it waits.
    void awaitUDPReply(const std::shared_ptr<Attempt>& attempt) {
        Impl* self = this;
        attempt->udp.async_wait(asio::socket_base::wait_read, [self, attempt](std::error_code waitError) {
            if (attempt->done) {
                    return;
                }
                std::error_code receiveError = waitError;
                std::size_t n = 0;
                if (!receiveError) {
                    n = attempt->udp.receive(asio::buffer(self->receiveBuffer_), 0, receiveError);
                }
                if (errnoOf(receiveError) == EAGAIN || errnoOf(receiveError) == EWOULDBLOCK) {
                    return self->awaitUDPReply(attempt);
                }
                if (receiveError || n == 0) {
                    self->finish(attempt, std::nullopt);
                    return;
                }
                self->finish(attempt, Bytes(self->receiveBuffer_.begin(),
                                            self->receiveBuffer_.begin() + static_cast<std::ptrdiff_t>(n)));
            });
    }

    void connectTCP(const std::shared_ptr<Attempt>& attempt, const asio::ip::tcp::endpoint& endpoint) {
        std::error_code ec;
        attempt->tcp.open(endpoint.protocol(), ec);
        if (ec) {
            finish(attempt, std::nullopt);
            return;
        }
        Impl* self = this;
        attempt->tcp.async_connect(endpoint, [self, attempt](std::error_code connectError) {
            if (attempt->done) {
                return;
            }
            if (connectError) {
                self->finish(attempt, std::nullopt);
                return;
            }
            attempt->frame = framed(*attempt->query);
            asio::async_write(attempt->tcp, asio::buffer(attempt->frame), [self, attempt](std::error_code writeError,
                                                                                          std::size_t) {
                if (attempt->done) {
                    return;
                }
                if (writeError) {
                    self->finish(attempt, std::nullopt);
                    return;
                }
                self->readUpstreamLength(attempt);
            });
        });
    }

    void readUpstreamLength(const std::shared_ptr<Attempt>& attempt) {
        Impl* self = this;
        asio::async_read(attempt->tcp, asio::buffer(attempt->length), [self, attempt](std::error_code ec,
                                                                                      std::size_t n) {
            if (attempt->done) {
                return;
            }
            const std::size_t length = (std::size_t{attempt->length[0]} << 8) | attempt->length[1];
            if (ec || n != 2 || length == 0) {
                self->finish(attempt, std::nullopt);
                return;
            }
            attempt->response.resize(length);
            asio::async_read(attempt->tcp, asio::buffer(attempt->response), [self, attempt](std::error_code bodyError,
                                                                                            std::size_t got) {
                if (attempt->done) {
                    return;
                }
                // A reply cut short is a failed attempt, never relayed as whole.
                if (bodyError || got != attempt->response.size()) {
                    self->finish(attempt, std::nullopt);
                    return;
                }
                self->finish(attempt, std::move(attempt->response));
            });
        });
    }

    // The first of response, failure and time-out ends the attempt; the
    // others find it done and do nothing.
    void finish(const std::shared_ptr<Attempt>& attempt, std::optional<Bytes> response) {
        if (attempt->done) {
            return;
        }
        attempt->done = true;
        std::error_code ignored;
        attempt->timer.cancel();
        attempt->resolver.cancel();
        attempt->udp.close(ignored);
        attempt->tcp.close(ignored);
        if (response) {
            attempt->completion(std::move(response));
            return;
        }
        forward(attempt->query, attempt->transport, attempt->index + 1, std::move(attempt->completion));
    }

    DNSFilter& filter_;
    const std::vector<std::string>& upstreams_;
    std::uint16_t upstreamPort_;
    std::chrono::milliseconds timeout_;
    LogFunction log_;
    std::function<void(const std::string&)> udpFailed_;
    std::atomic<std::int64_t>& blocked_;
    std::atomic<std::int64_t>& answered_;

    asio::io_context io_;
    asio::ip::udp::socket udp_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    std::array<std::uint8_t, kMaxMessage + 1> udpBuffer_{};
    std::array<std::uint8_t, kMaxMessage + 1> receiveBuffer_{};
    bool wildcard_ = false;
    std::deque<std::pair<ReplyTo, Bytes>> pendingReplies_;
    std::thread thread_;
};

DNSProxy::DNSProxy(DNSFilter& filter, std::vector<std::string> upstreams, std::uint16_t upstreamPort,
                   std::chrono::milliseconds upstreamTimeout, LogFunction log,
                   std::function<void(const std::string&)> udpFailed)
    : upstreams_(std::move(upstreams)) {
    impl_ = std::make_unique<Impl>(filter, upstreams_, upstreamPort, upstreamTimeout, std::move(log),
                                   std::move(udpFailed), blocked_, answered_);
}

DNSProxy::~DNSProxy() {
    impl_->stop();
}

void DNSProxy::start(const std::string& host, std::uint16_t port) {
    boundPort_ = impl_->start(host, port);
}

std::vector<std::string> upstreamsWithoutSelf(const std::vector<std::string>& upstreams,
                                              const std::string& listenHost, std::uint16_t listenPort,
                                              std::uint16_t upstreamPort, const DNSProxy::LogFunction& log) {
    if (listenPort != upstreamPort) {
        return upstreams;
    }
    std::error_code ec;
    const auto listenAddress = asio::ip::make_address(listenHost, ec);
    if (ec) {
        return upstreams;
    }
    std::vector<asio::ip::address> local;
    if (listenAddress.is_unspecified()) {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
                if (entry->ifa_addr == nullptr) {
                    continue;
                }
                if (entry->ifa_addr->sa_family == AF_INET) {
                    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
                    asio::ip::address_v4::bytes_type bytes;
                    std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
                    local.emplace_back(asio::ip::address_v4(bytes));
                } else if (entry->ifa_addr->sa_family == AF_INET6) {
                    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
                    asio::ip::address_v6::bytes_type bytes;
                    std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
                    local.emplace_back(asio::ip::address_v6(bytes, in6->sin6_scope_id));
                }
            }
            ::freeifaddrs(list);
        }
    }
    std::vector<std::string> kept;
    for (const auto& upstream : upstreams) {
        const auto address = asio::ip::make_address(upstream, ec);
        bool self = false;
        if (!ec) {
            if (listenAddress.is_unspecified()) {
                self = address.is_loopback() || address.is_unspecified();
                for (const auto& mine : local) {
                    self = self || mine == address;
                }
            } else {
                self = address == listenAddress;
            }
        }
        if (self) {
            if (log) {
                log("upstream " + upstream + " is this proxy's own address; not forwarding to it");
            }
            continue;
        }
        kept.push_back(upstream);
    }
    return kept;
}

}  // namespace brivet

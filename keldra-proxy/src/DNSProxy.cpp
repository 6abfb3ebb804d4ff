#include "keldra-proxy/DNSProxy.h"

#include <asio.hpp>

#include <array>
#include <cstring>
#include <ifaddrs.h>
#include <optional>
#include <system_error>

namespace brivet {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Completion = std::function<void(std::optional<Bytes>)>;

enum class Transport { udp, tcp };

constexpr std::size_t kMaxMessage = 65535;

// Receive errors on the listening UDP socket that concern one datagram or one
// peer, not the socket: the listener goes on after them.
bool isTransientUDPError(const std::error_code& ec) {
    return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
           ec == asio::error::no_buffer_space || ec == asio::error::message_size ||
           ec == asio::error::interrupted || ec == asio::error::try_again ||
           ec == asio::error::would_block || ec == asio::error::host_unreachable ||
           ec == asio::error::network_unreachable || ec == asio::error::no_memory;
}

// Accept errors caused by a shortage of descriptors or memory.
bool isResourceShortage(const std::error_code& ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
           ec == asio::error::no_memory || ec == std::errc::too_many_files_open_in_system;
}

// Accept errors that concern one connection only: a connection reset before
// it was accepted, or a network error that accept passes on from it.
bool isTransientAcceptError(const std::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == asio::error::interrupted || ec == asio::error::would_block || ec == asio::error::try_again ||
           ec == asio::error::network_down || ec == asio::error::network_unreachable ||
           ec == asio::error::host_unreachable || ec == std::errc::protocol_error ||
           ec == std::errc::no_protocol_option || ec == std::errc::operation_not_supported ||
           ec == asio::error::timed_out;
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

    void receiveUDP() {
        udp_.async_receive_from(asio::buffer(udpBuffer_), udpPeer_, [this](std::error_code ec, std::size_t n) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (ec && !isTransientUDPError(ec)) {
                if (udpFailed_) {
                    udpFailed_(ec.message());
                }
                return;
            }
            if (!ec && n > 0) {
                // The next datagram is asked for before this one is forwarded,
                // so several queries of one peer may be in flight together.
                Bytes query(udpBuffer_.begin(), udpBuffer_.begin() + static_cast<std::ptrdiff_t>(n));
                const auto peer = udpPeer_;
                receiveUDP();
                handleDatagram(std::move(query), peer);
                return;
            }
            receiveUDP();
        });
    }

    void handleDatagram(Bytes query, const asio::ip::udp::endpoint& peer) {
        if (auto answer = blockedAnswer(query)) {
            blocked_.fetch_add(1, std::memory_order_relaxed);
            sendUDP(peer, std::move(*answer));
            return;
        }
        answered_.fetch_add(1, std::memory_order_relaxed);
        Impl* self = this;
        forward(std::make_shared<const Bytes>(std::move(query)), Transport::udp, 0,
                [self, peer](std::optional<Bytes> response) {
                    if (response) {
                        self->sendUDP(peer, std::move(*response));
                    }
                });
    }

    // Replies leave the listening socket, so they come from the listening
    // address and go to the asking address and port.
    void sendUDP(const asio::ip::udp::endpoint& peer, Bytes message) {
        auto buffer = std::make_shared<Bytes>(std::move(message));
        udp_.async_send_to(asio::buffer(*buffer), peer, [buffer](std::error_code, std::size_t) {});
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
                if (receiveError == asio::error::would_block || receiveError == asio::error::try_again) {
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
    asio::ip::udp::endpoint udpPeer_;
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

#include "keldra-proxy/DNSListener.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace brivet {

namespace {

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

}  // namespace

struct DNSListener::TCPClient {
    TCPClient(asio::ip::tcp::socket socket, asio::io_context& io) : socket(std::move(socket)), idle(io) {}

    asio::ip::tcp::socket socket;
    asio::ip::address peer;
    asio::steady_timer idle;
    // Ends idle time-outs armed before; raised whenever the timer is re-armed
    // or disarmed.
    std::uint64_t idleGeneration = 0;
    // The frame being read: grows as its bytes arrive, never past its length.
    DNSBytes frame;
    DNSBytes reply;
    std::list<ClientPointer>::iterator idlePosition;
    bool waiting = false;
    bool closed = false;
};

DNSListener::DNSListener(asio::io_context& io, DNSQueryHandler& handler, Limits limits, DescriptorBudget& budget,
                         LogFunction log, std::function<void(const std::string&)> udpFailed)
    : io_(io), handler_(handler), limits_(limits), budget_(budget), log_(std::move(log)),
      udpFailed_(std::move(udpFailed)), udp_(io), acceptor_(io), acceptRetry_(io) {}

DNSListener::~DNSListener() = default;

void DNSListener::log(const std::string& message) {
    if (log_) {
        log_(message);
    }
}

std::uint16_t DNSListener::bind(const asio::ip::address& address, std::uint16_t port) {
    // With port 0 the system picks the UDP port; TCP must then bind the same
    // one, which may be taken: pick again a few times.
    const int tries = port == 0 ? 20 : 1;
    for (int attempt = 1;; ++attempt) {
        try {
            bindOnce(address, port);
            return udp_.local_endpoint().port();
        } catch (const std::system_error& error) {
            std::error_code ignored;
            udp_.close(ignored);
            acceptor_.close(ignored);
            if (attempt >= tries || error.code() != asio::error::address_in_use) {
                throw;
            }
        }
    }
}

void DNSListener::bindOnce(const asio::ip::address& address, std::uint16_t port) {
    const asio::ip::udp::endpoint udpEndpoint(address, port);
    udp_.open(udpEndpoint.protocol());
    udp_.non_blocking(true);
    // A wildcard listener learns each query's destination address, so that
    // its reply is sent from that address.
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

void DNSListener::start() {
    receiveUDP();
    accept();
}

// --- UDP ------------------------------------------------------------------

// Reads every datagram that is waiting, then waits for more.
void DNSListener::receiveUDP() {
    udp_.async_wait(asio::socket_base::wait_read, [this](std::error_code ec) {
        if (ec == asio::error::operation_aborted) {
            return;
        }
        if (ec) {
            if (udpFailed_) udpFailed_(ec.message());
            return;
        }
        for (int i = 0; i < 64; ++i) {
            ReplyTo to;
            sockaddr_storage from{};
            iovec iov{buffer_.data(), buffer_.size()};
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
                    if (udpFailed_) udpFailed_(error.message());
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
            // The next datagrams are read before this one is answered, so
            // several queries of one peer may be in flight together.
            handler_.handle(DNSBytes(buffer_.begin(), buffer_.begin() + n), DNSTransport::udp, to.peer.address(),
                            [this, to](std::optional<DNSBytes> reply) {
                                if (reply) {
                                    sendUDP(to, std::move(*reply));
                                }
                            });
        }
        receiveUDP();
    });
}

void DNSListener::readLocalAddress(msghdr& message, ReplyTo& to) {
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

// Replies leave the listening socket to the asking address and port, from the
// address the query was sent to. When the socket's buffer is full they wait in
// a bounded queue.
void DNSListener::sendUDP(const ReplyTo& to, DNSBytes message) {
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

void DNSListener::flushReplies() {
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
int DNSListener::sendReply(const ReplyTo& to, const DNSBytes& message) {
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

// --- TCP ------------------------------------------------------------------

void DNSListener::accept() {
    acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted) {
            return;
        }
        if (!ec) {
            if (!makeRoom()) {
                // Every client is busy with a query: the newcomer waits for
                // none of them.
                std::error_code ignored;
                socket.close(ignored);
            } else {
                auto client = std::make_shared<TCPClient>(std::move(socket), io_);
                std::error_code ignored;
                client->socket.non_blocking(true, ignored);
                client->peer = client->socket.remote_endpoint(ignored).address();
                ++tcpClients_;
                awaitFrame(client);
            }
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

// Takes a descriptor for one more client, closing the one idle longest when
// the cap or the descriptor budget is reached. False when no room can be made.
bool DNSListener::makeRoom() {
    while (tcpClients_ >= limits_.maxTCPClients || !budget_.take()) {
        if (idle_.empty()) {
            return false;
        }
        // A copy: closing erases the list's own pointer.
        const ClientPointer oldest = idle_.front();
        close(oldest);
    }
    return true;
}

void DNSListener::armIdle(const ClientPointer& client) {
    const std::uint64_t generation = ++client->idleGeneration;
    client->idle.expires_after(limits_.tcpIdleTimeout);
    client->idle.async_wait([this, client, generation](std::error_code ec) {
        if (ec == asio::error::operation_aborted || client->closed || generation != client->idleGeneration) {
            return;
        }
        close(client);
    });
}

// The client waits for its next frame: it counts as idle from now on.
void DNSListener::awaitFrame(const ClientPointer& client) {
    if (!client->waiting) {
        client->waiting = true;
        client->idlePosition = idle_.insert(idle_.end(), client);
        armIdle(client);
    }
    client->socket.async_wait(asio::socket_base::wait_read, [this, client](std::error_code ec) {
        if (client->closed) {
            return;
        }
        if (ec) {
            close(client);
            return;
        }
        readFrame(client);
    });
}

// Reads what has arrived of the current frame, never past its end, so that
// pipelined frames stay in the socket until their turn.
void DNSListener::readFrame(const ClientPointer& client) {
    auto& frame = client->frame;
    for (;;) {
        std::size_t length = 0;
        if (frame.size() >= 2) {
            length = (std::size_t{frame[0]} << 8) | frame[1];
            if (length == 0) {
                close(client);
                return;
            }
            if (frame.size() == 2 + length) {
                break;
            }
        }
        const std::size_t wanted = frame.size() < 2 ? 2 - frame.size() : 2 + length - frame.size();
        std::error_code ec;
        const std::size_t n = client->socket.read_some(asio::buffer(buffer_.data(), wanted), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            awaitFrame(client);
            return;
        }
        if (ec || n == 0) {
            // The end of the stream, or an error: a frame cut short is no query.
            close(client);
            return;
        }
        frame.insert(frame.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
    }

    // A whole frame: the time the handler takes is not idle time.
    client->waiting = false;
    idle_.erase(client->idlePosition);
    ++client->idleGeneration;
    client->idle.cancel();
    DNSBytes query(frame.begin() + 2, frame.end());
    DNSBytes().swap(frame);
    handler_.handle(std::move(query), DNSTransport::tcp, client->peer, [this, client](std::optional<DNSBytes> reply) {
        if (client->closed) {
            return;
        }
        if (!reply || reply->size() > kMaxDNSMessage) {
            close(client);
            return;
        }
        sendFrame(client, *reply);
    });
}

void DNSListener::sendFrame(const ClientPointer& client, const DNSBytes& message) {
    client->reply = dnsFramed(message);
    // A client that does not take its reply is as idle as one that sends nothing.
    armIdle(client);
    asio::async_write(client->socket, asio::buffer(client->reply), [this, client](std::error_code ec, std::size_t) {
        if (client->closed) {
            return;
        }
        DNSBytes().swap(client->reply);
        if (ec) {
            close(client);
            return;
        }
        awaitFrame(client);
    });
}

void DNSListener::close(const ClientPointer& client) {
    if (client->closed) {
        return;
    }
    client->closed = true;
    if (client->waiting) {
        client->waiting = false;
        idle_.erase(client->idlePosition);
    }
    ++client->idleGeneration;
    client->idle.cancel();
    std::error_code ignored;
    client->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    client->socket.close(ignored);
    --tcpClients_;
    budget_.give();
}

}  // namespace brivet

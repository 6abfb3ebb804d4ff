#include "keldra-proxy/DNSUpstreamAttempt.h"

#include <cerrno>

namespace brivet {

namespace {

// One receive buffer per thread: no attempt holds 64 KiB while it waits.
std::array<std::uint8_t, kMaxDNSMessage + 1>& receiveBuffer() {
    static thread_local std::array<std::uint8_t, kMaxDNSMessage + 1> buffer{};
    return buffer;
}

bool wouldBlock(const std::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

DNSUpstreamAttempt::DNSUpstreamAttempt(asio::io_context& io, std::shared_ptr<const DNSBytes> query,
                                       DNSTransport transport, Target target, std::chrono::milliseconds timeout,
                                       DNSSelfCheck isSelf, Asking asking, Completion completion)
    : query_(std::move(query)), key_(DNSQueryKey::of(*query_)), transport_(transport), target_(std::move(target)),
      timeout_(timeout), isSelf_(std::move(isSelf)), asking_(std::move(asking)), completion_(std::move(completion)),
      timer_(io), resolver_(io), udp_(io), tcp_(io) {}

void DNSUpstreamAttempt::start() {
    auto self = shared_from_this();
    timer_.expires_after(timeout_);
    timer_.async_wait([self](std::error_code ec) {
        if (ec != asio::error::operation_aborted) {
            self->finish(std::nullopt);
        }
    });

    std::error_code ec;
    const auto address = asio::ip::make_address(target_.upstream, ec);
    if (!ec) {
        connect(address);
        return;
    }
    // A host name: resolved within the attempt's time.
    resolver_.async_resolve(target_.upstream, std::to_string(target_.port), asio::ip::resolver_base::numeric_service,
                            [self](std::error_code resolveError, asio::ip::udp::resolver::results_type results) {
                                if (self->done_) {
                                    return;
                                }
                                if (resolveError) {
                                    self->finish(std::nullopt);
                                    return;
                                }
                                // Never the proxy itself: that would send the
                                // query round in a loop.
                                for (const auto& entry : results) {
                                    const auto found = entry.endpoint().address();
                                    if (!self->isSelf_ || !self->isSelf_(found, self->target_.port)) {
                                        self->connect(found);
                                        return;
                                    }
                                }
                                self->finish(std::nullopt);
                            });
}

void DNSUpstreamAttempt::connect(const asio::ip::address& address) {
    if (isSelf_ && isSelf_(address, target_.port)) {
        finish(std::nullopt);
        return;
    }
    asked_ = address;
    if (asking_) {
        asking_(address);
    }
    if (transport_ == DNSTransport::udp) {
        connectUDP(asio::ip::udp::endpoint(address, target_.port));
    } else {
        connectTCP(asio::ip::tcp::endpoint(address, target_.port));
    }
}

void DNSUpstreamAttempt::connectUDP(const asio::ip::udp::endpoint& endpoint) {
    std::error_code ec;
    // A socket that cannot be created (out of descriptors) is a failed
    // attempt like any other.
    udp_.open(endpoint.protocol(), ec);
    if (!ec) {
        udp_.non_blocking(true, ec);
    }
    if (!ec) {
        udp_.connect(endpoint, ec);
    }
    if (ec) {
        finish(std::nullopt);
        return;
    }
    udpPeer_ = endpoint;
    auto self = shared_from_this();
    udp_.async_send(asio::buffer(*query_), [self](std::error_code sendError, std::size_t) {
        if (self->done_) {
            return;
        }
        if (sendError) {
            self->finish(std::nullopt);
            return;
        }
        self->awaitUDPReply();
    });
}

void DNSUpstreamAttempt::awaitUDPReply() {
    auto self = shared_from_this();
    udp_.async_wait(asio::socket_base::wait_read, [self](std::error_code waitError) {
        if (self->done_) {
            return;
        }
        if (waitError) {
            self->finish(std::nullopt);
            return;
        }
        auto& buffer = receiveBuffer();
        for (;;) {
            asio::ip::udp::endpoint from;
            std::error_code receiveError;
            const std::size_t n = self->udp_.receive_from(asio::buffer(buffer), from, 0, receiveError);
            if (wouldBlock(receiveError)) {
                break;
            }
            if (receiveError) {
                // Refused (nothing listens there) or broken: no reply will come.
                self->finish(std::nullopt);
                return;
            }
            // Anything but the query's reply from the server asked is
            // ignored: the attempt waits on until its time-out.
            const std::span<const std::uint8_t> reply(buffer.data(), n);
            if (from == self->udpPeer_ && self->key_ && self->key_->answeredBy(reply)) {
                self->finish(DNSBytes(reply.begin(), reply.end()));
                return;
            }
        }
        self->awaitUDPReply();
    });
}

void DNSUpstreamAttempt::connectTCP(const asio::ip::tcp::endpoint& endpoint) {
    std::error_code ec;
    tcp_.open(endpoint.protocol(), ec);
    if (ec) {
        finish(std::nullopt);
        return;
    }
    auto self = shared_from_this();
    tcp_.async_connect(endpoint, [self](std::error_code connectError) {
        if (self->done_) {
            return;
        }
        if (connectError) {
            self->finish(std::nullopt);
            return;
        }
        self->frame_ = dnsFramed(*self->query_);
        asio::async_write(self->tcp_, asio::buffer(self->frame_), [self](std::error_code writeError, std::size_t) {
            if (self->done_) {
                return;
            }
            if (writeError) {
                self->finish(std::nullopt);
                return;
            }
            self->readTCPLength();
        });
    });
}

void DNSUpstreamAttempt::readTCPLength() {
    auto self = shared_from_this();
    asio::async_read(tcp_, asio::buffer(length_), [self](std::error_code ec, std::size_t n) {
        if (self->done_) {
            return;
        }
        const std::size_t length = (std::size_t{self->length_[0]} << 8) | self->length_[1];
        if (ec || n != 2 || length == 0) {
            self->finish(std::nullopt);
            return;
        }
        self->response_.resize(length);
        asio::async_read(self->tcp_, asio::buffer(self->response_), [self](std::error_code bodyError, std::size_t got) {
            if (self->done_) {
                return;
            }
            // A reply cut short, or one that is not this query's, fails the
            // attempt: the next upstream is tried.
            if (bodyError || got != self->response_.size() || !self->key_ ||
                !self->key_->answeredBy(self->response_)) {
                self->finish(std::nullopt);
                return;
            }
            self->finish(std::move(self->response_));
        });
    });
}

void DNSUpstreamAttempt::finish(std::optional<DNSBytes> response) {
    if (done_) {
        return;
    }
    done_ = true;
    std::error_code ignored;
    timer_.cancel();
    resolver_.cancel();
    udp_.close(ignored);
    tcp_.close(ignored);
    auto completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) {
        completion(std::move(response));
    }
}

}  // namespace brivet

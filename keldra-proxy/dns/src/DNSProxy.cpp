#include "keldra-proxy/DNSProxy.h"

#include "BrivetClient/LogText.h"

#include "keldra-proxy/DNSForwarder.h"
#include "keldra-proxy/DNSListener.h"

#include <asio.hpp>

#include <stdexcept>
#include <system_error>

namespace brivet {

namespace {

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
        throw std::system_error(std::make_error_code(std::errc::address_not_available), "no address for " + host);
    }
    return results.begin()->endpoint().address();
}

}  // namespace

class DNSProxy::Impl : public DNSQueryHandler {
public:
    Impl(DNSFilter& filter, const std::vector<std::string>& upstreams, Settings settings,
         std::atomic<std::int64_t>& blocked, std::atomic<std::int64_t>& answered, std::atomic<std::int64_t>& loops)
        : filter_(filter), upstreams_(upstreams), settings_(std::move(settings)), blocked_(blocked),
          answered_(answered), loops_(loops) {}

    std::uint16_t start(const std::string& host, std::uint16_t port) {
        if (thread_.joinable()) {
            throw std::logic_error("the DNS proxy is already running");
        }
        const auto address = resolveListenAddress(io_, host);
        budget_ = std::make_unique<DescriptorBudget>(
            DescriptorBudget::fromProcessLimit(settings_.reservedDescriptors));
        // A client takes one descriptor; half the budget at most goes to TCP
        // clients, so that forwarding always has room.
        DNSListener::Limits limits{settings_.tcpIdleTimeout,
                                   std::min(settings_.maxTCPClients, std::max<std::size_t>(1, budget_->total() / 2))};
        listener_ = std::make_unique<DNSListener>(io_, *this, limits, *budget_, settings_.log, settings_.udpFailed);
        const std::uint16_t bound = listener_->bind(address, port);
        forwarder_ = std::make_unique<DNSForwarder>(
            io_,
            DNSForwarder::Settings{upstreams_, settings_.upstreamPort, settings_.upstreamTimeout,
                                   DNSSelfAddress(address, bound)},
            *budget_);
        listener_->start();
        thread_ = std::thread([this] { run(); });
        return bound;
    }

    void stop() {
        io_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void handle(DNSBytes query, DNSTransport transport, const asio::ip::address& from, Reply reply) override {
        if (auto answer = blockedAnswer(query)) {
            blocked_.fetch_add(1, std::memory_order_relaxed);
            reply(std::move(*answer));
            return;
        }
        // A resolver we forwarded this question to sent it back: forwarding
        // it again would go round for as long as both have descriptors.
        if (forwarder_->comesBack(from, query)) {
            loops_.fetch_add(1, std::memory_order_relaxed);
            reply(std::nullopt);
            return;
        }
        answered_.fetch_add(1, std::memory_order_relaxed);
        forwarder_->forward(std::make_shared<const DNSBytes>(std::move(query)), transport, std::move(reply));
    }

private:
    void run() {
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& error) {
                // A handler never throws by design; keep serving if one does.
                log("dns handler failed: " + logSafe(error.what()));
            }
        }
    }

    void log(const std::string& message) {
        if (settings_.log) {
            settings_.log(message);
        }
    }

    // The NXDOMAIN answer when the query's first question is blocked; a
    // filter that throws lets the query through rather than stopping the
    // listener.
    std::optional<DNSBytes> blockedAnswer(const DNSBytes& query) {
        const auto question = DNSMessage::question(std::span<const std::uint8_t>(query));
        if (!question) {
            return std::nullopt;
        }
        try {
            if (!filter_.decide(*question).isBlocked()) {
                return std::nullopt;
            }
        } catch (const std::exception& error) {
            log("filter failed: " + logSafe(error.what()));
            return std::nullopt;
        }
        return DNSMessage::nxdomainResponse(std::span<const std::uint8_t>(query));
    }

    DNSFilter& filter_;
    const std::vector<std::string>& upstreams_;
    Settings settings_;
    std::atomic<std::int64_t>& blocked_;
    std::atomic<std::int64_t>& answered_;
    std::atomic<std::int64_t>& loops_;

    // In this order: the io_context outlives everything that uses it.
    asio::io_context io_;
    std::unique_ptr<DescriptorBudget> budget_;
    std::unique_ptr<DNSForwarder> forwarder_;
    std::unique_ptr<DNSListener> listener_;
    std::thread thread_;
};

DNSProxy::DNSProxy(DNSFilter& filter, std::vector<std::string> upstreams, Settings settings)
    : upstreams_(std::move(upstreams)) {
    impl_ = std::make_unique<Impl>(filter, upstreams_, std::move(settings), blocked_, answered_, loops_);
}

DNSProxy::DNSProxy(DNSFilter& filter, std::vector<std::string> upstreams, std::uint16_t upstreamPort,
                   std::chrono::milliseconds upstreamTimeout, LogFunction log,
                   std::function<void(const std::string&)> udpFailed)
    : DNSProxy(filter, std::move(upstreams),
               Settings{upstreamPort, upstreamTimeout, kTCPIdleTimeout, kMaxTCPClients, kReservedDescriptors,
                        std::move(log), std::move(udpFailed)}) {}

DNSProxy::~DNSProxy() { impl_->stop(); }

void DNSProxy::start(const std::string& host, std::uint16_t port) { boundPort_ = impl_->start(host, port); }

bool isAddressLiteral(const std::string& upstream) {
    std::error_code ec;
    asio::ip::make_address(upstream, ec);
    return !ec;
}

std::vector<std::string> resolveUpstream(const std::string& upstream) {
    if (isAddressLiteral(upstream)) {
        return {upstream};
    }
    asio::io_context io;
    asio::ip::udp::resolver resolver(io);
    std::error_code ec;
    const auto results = resolver.resolve(upstream, "53", asio::ip::resolver_base::numeric_service, ec);
    std::vector<std::string> out;
    if (!ec) {
        for (const auto& entry : results) {
            out.push_back(entry.endpoint().address().to_string());
        }
    }
    return out;
}

std::vector<std::string> upstreamsWithoutSelf(const std::vector<std::string>& upstreams,
                                              const std::string& listenHost, std::uint16_t listenPort,
                                              std::uint16_t upstreamPort, const DNSProxy::LogFunction& log,
                                              const UpstreamResolver& resolve) {
    if (listenPort != upstreamPort) {
        return upstreams;
    }
    std::error_code ec;
    const auto listenAddress = asio::ip::make_address(listenHost, ec);
    if (ec) {
        return upstreams;
    }
    const DNSSelfAddress self(listenAddress, listenPort);
    std::vector<std::string> kept;
    for (const auto& upstream : upstreams) {
        bool loops = false;
        std::vector<std::string> addresses;
        if (resolve) {
            addresses = resolve(upstream);
        } else {
            addresses.push_back(upstream);
        }
        for (const auto& address : addresses) {
            const auto parsed = asio::ip::make_address(address, ec);
            loops = loops || (!ec && self.matches(parsed, upstreamPort));
        }
        if (loops) {
            if (log) {
                log("upstream " + logSafe(upstream) + " is this proxy's own address; not forwarding to it");
            }
            continue;
        }
        kept.push_back(upstream);
    }
    return kept;
}

}  // namespace brivet

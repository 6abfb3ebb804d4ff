#include "keldra-proxy/DNSForwarder.h"

#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace brivet {

std::size_t DescriptorBudget::fromProcessLimit(std::size_t reserve) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 65536;
    }
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    return soft > reserve ? soft - reserve : 0;
}

DNSSelfAddress::DNSSelfAddress(const asio::ip::address& listen, std::uint16_t port) : listen_(listen), port_(port) {
    if (!listen.is_unspecified()) {
        return;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
            local_.emplace_back(asio::ip::address_v4(bytes));
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
            local_.emplace_back(asio::ip::address_v6(bytes));
        }
    }
    ::freeifaddrs(list);
}

bool DNSSelfAddress::matches(const asio::ip::address& address, std::uint16_t port) const {
    if (!listen_ || port != port_) {
        return false;
    }
    // An IPv4 address written as mapped IPv6 is the same address.
    asio::ip::address plain = address;
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        plain = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    if (!listen_->is_unspecified()) {
        return plain == *listen_;
    }
    if (plain.is_loopback() || plain.is_unspecified()) {
        return true;
    }
    for (const auto& mine : local_) {
        if (mine == plain || (mine.is_v6() && plain.is_v6() && mine.to_v6().to_bytes() == plain.to_v6().to_bytes())) {
            return true;
        }
    }
    return false;
}

DNSForwarder::DNSForwarder(asio::io_context& io, Settings settings, DescriptorBudget& budget)
    : io_(io), settings_(std::move(settings)), budget_(budget) {}

DNSForwarder::~DNSForwarder() { *alive_ = false; }

void DNSForwarder::forward(std::shared_ptr<const DNSBytes> query, DNSTransport transport, Completion completion) {
    tryUpstream(std::move(query), transport, 0, std::move(completion));
}

bool DNSForwarder::comesBack(const asio::ip::address& from, std::span<const std::uint8_t> query) const {
    if (inFlight_.empty()) {
        return false;
    }
    auto question = DNSQuestionKey::of(query);
    if (!question) {
        return false;
    }
    asio::ip::address plain = from;
    if (from.is_v6() && from.to_v6().is_v4_mapped()) {
        plain = asio::ip::make_address_v4(asio::ip::v4_mapped, from.to_v6());
    }
    return inFlight_.count(InFlightKey{plain, std::move(*question)}) > 0;
}

void DNSForwarder::tryUpstream(std::shared_ptr<const DNSBytes> query, DNSTransport transport, std::size_t index,
                               Completion completion) {
    if (index >= settings_.upstreams.size()) {
        completion(std::nullopt);
        return;
    }
    // No descriptor to spare: every later upstream would fail alike.
    if (!budget_.take()) {
        completion(std::nullopt);
        return;
    }
    ++attempts_;
    // The question this attempt has in flight, and to where.
    auto registered = std::make_shared<std::optional<InFlightKey>>();
    auto question = DNSQuestionKey::of(*query);
    auto alive = alive_;
    auto asking = [this, alive, registered, question](const asio::ip::address& address) {
        if (!*alive || !question) {
            return;
        }
        *registered = InFlightKey{address, *question};
        ++inFlight_[**registered];
    };
    auto done = [this, alive, registered, query, transport, index,
                 completion = std::move(completion)](std::optional<DNSBytes> response) mutable {
        if (!*alive) {
            return;
        }
        budget_.give();
        --attempts_;
        if (*registered) {
            auto found = inFlight_.find(**registered);
            if (found != inFlight_.end() && --found->second == 0) {
                inFlight_.erase(found);
            }
        }
        if (response) {
            completion(std::move(response));
            return;
        }
        tryUpstream(std::move(query), transport, index + 1, std::move(completion));
    };
    DNSSelfCheck isSelf = [this, alive](const asio::ip::address& address, std::uint16_t port) {
        return *alive && settings_.self.matches(address, port);
    };
    auto attempt = std::make_shared<DNSUpstreamAttempt>(
        io_, query, transport, DNSUpstreamAttempt::Target{settings_.upstreams[index], settings_.upstreamPort},
        settings_.timeout, std::move(isSelf), std::move(asking), std::move(done));
    attempt->start();
}

}  // namespace brivet

#include "keldra-proxy/Startup.h"

#include "keldra-proxy/DNSProxy.h"

#include <chrono>
#include <cmath>
#include <sys/resource.h>
#include <thread>

namespace brivet {

std::optional<std::uint64_t> raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            return std::nullopt;
        }
        limit = raised;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::optional<std::string> assertDNSListenProblem(const std::string& listenHost, std::uint16_t port) {
    if (listenHost == "127.0.0.1" && port == 53) {
        return std::nullopt;
    }
    return "--assert-dns points the system at 127.0.0.1:53, but the proxy would listen on " + listenHost + ":" +
           std::to_string(port) + "; use --listen 127.0.0.1:53 with --assert-dns";
}

std::optional<std::string> assertDNSUpstreamProblem(const std::vector<std::string>& upstreams) {
    for (const auto& upstream : upstreams) {
        if (!isAddressLiteral(upstream)) {
            return "upstream " + upstream +
                   " is a host name; with --assert-dns give upstreams as addresses, since the system would "
                   "resolve the name through this proxy";
        }
    }
    return std::nullopt;
}

void sleepSeconds(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        return;
    }
    const double whole = std::floor(seconds);
    const auto nanos = static_cast<std::int64_t>((seconds - whole) * 1e9);
    std::this_thread::sleep_for(std::chrono::seconds(static_cast<std::int64_t>(whole)));
    std::this_thread::sleep_for(std::chrono::nanoseconds(nanos));
}

}  // namespace brivet

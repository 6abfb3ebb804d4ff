#pragma once
// The content-filter provider: while the content-filter configuration is
// enabled, outbound TCP to ports 80 and 443 passes through our queue, each
// new flow's server name is read and decided, and QUIC is dropped (see
// FirewallChain). The chain is removed when the provider stops; if the
// daemon dies, the queue's bypass lets traffic pass.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "keldra-filter/FilterState.h"
#include "keldra-filter/FirewallChain.h"
#include "keldra-filter/FlowTracker.h"
#include "keldra-filter/PacketQueue.h"

namespace keldra::filter {

struct ContentFilterSettings {
    std::uint16_t queueNumber = 4731;
    std::string iptables = "iptables";
    std::string ip6tables = "ip6tables";
};

class ContentFilter {
public:
    using Log = std::function<void(const std::string&)>;

    ContentFilter(FilterState& state, ContentFilterSettings settings, Log log);
    ~ContentFilter();

    ContentFilter(const ContentFilter&) = delete;
    ContentFilter& operator=(const ContentFilter&) = delete;

    // Binds the queue, then installs the chain. Throws std::runtime_error
    // when either fails; nothing stays in place then.
    void start();
    // Removes the chain, then stops reading the queue. Idempotent.
    void stop();
    bool serving() const noexcept { return queue_ != nullptr; }

private:
    FilterState& state_;
    ContentFilterSettings settings_;
    Log log_;
    FirewallChain chain_;
    std::unique_ptr<FlowTracker> tracker_;
    std::unique_ptr<PacketQueue> queue_;
    std::thread thread_;
};

}  // namespace keldra::filter

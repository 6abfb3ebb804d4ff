#pragma once
// The content-filter provider: while the content-filter configuration is
// enabled, outbound TCP to ports 80 and 443 passes through our queue, each
// new flow's server name is read and decided, and QUIC is dropped (see
// FirewallChain). Each address family's chain stands on its own: a family
// whose chain cannot be put in place is logged and tried again, while the
// other one filters. The chain is removed when the provider stops; if the
// daemon dies, the queue's bypass lets traffic pass.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "keldra-filter/FilterState.h"
#include "keldra-filter/FirewallChain.h"
#include "keldra-filter/FlowTracker.h"
#include "keldra-filter/LogLimiter.h"
#include "keldra-filter/PacketQueue.h"

namespace keldra::filter {

struct ContentFilterSettings {
    std::uint16_t queueNumber = 4731;
    std::uint32_t queueLength = PacketQueue::defaultLength;
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

    // Binds the queue, then installs the chain of each family. Throws
    // std::runtime_error when the queue cannot be bound or no family's
    // chain could be put in place; nothing stays in place then.
    void start();
    // Tries again to put in place the chains of the families that failed.
    void retryFailedFamilies();
    // Removes the chain, then stops reading the queue. Idempotent.
    void stop();
    // Some family is filtered.
    bool serving() const noexcept { return queue_ != nullptr; }
    // Every family the kernel has is filtered.
    bool complete() const noexcept;

private:
    static std::string familyName(AddressFamily family);
    void report(const std::vector<FamilyChain>& chains);

    FilterState& state_;
    ContentFilterSettings settings_;
    Log log_;
    FirewallChain chain_;
    // Writes the blocks' lines off the packet path.
    std::unique_ptr<LogWriter> blockLog_;
    class Decider;
    std::unique_ptr<Decider> decider_;
    std::unique_ptr<FlowTracker> tracker_;
    std::unique_ptr<PacketQueue> queue_;
    std::thread thread_;
    std::vector<FamilyChain> families_;
};

}  // namespace keldra::filter

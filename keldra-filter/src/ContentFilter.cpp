#include "keldra-filter/ContentFilter.h"

#include "BrivetClient/LogText.h"
#include "keldra-filter/LogLimiter.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace keldra::filter {

ContentFilter::ContentFilter(FilterState& state, ContentFilterSettings settings, Log log)
    : state_(state), settings_(std::move(settings)), log_(log ? std::move(log) : Log([](const std::string&) {})),
      chain_(settings_.queueNumber, settings_.iptables, settings_.ip6tables) {}

ContentFilter::~ContentFilter() { stop(); }

std::string ContentFilter::familyName(AddressFamily family) { return family == AddressFamily::ipv4 ? "IPv4" : "IPv6"; }

void ContentFilter::report(const std::vector<FamilyChain>& chains) {
    for (const auto& chain : chains) {
        if (chain.state == FamilyChain::State::failed) {
            log_("content filter for " + familyName(chain.family) + " not in place: " + brivet::logSafe(chain.error));
        } else if (chain.state == FamilyChain::State::installed && !chain.payloadMatch) {
            log_("content filter for " + familyName(chain.family) +
                 ": no bpf match in this kernel, queueing every packet of undecided connections");
        }
    }
}

bool ContentFilter::complete() const noexcept {
    return serving() && std::none_of(families_.begin(), families_.end(), [](const FamilyChain& chain) {
               return chain.state == FamilyChain::State::failed;
           });
}

// Decides a flow against the rules in force; a block is counted there.
// Any local user can open blocked connections at will: one line a second,
// then the count of those left out, handed to a writer of their own.
class ContentFilter::Decider : public FlowDecider {
public:
    Decider(FilterState& state, const Log& log) : state_(state), blocked_(log) {}

    brivet::FlowAction decide(const brivet::FlowDescription& flow) override {
        const auto action = state_.decideFlow(flow);
        if (action == brivet::FlowAction::drop) {
            blocked_.log(kind_, LogLimiter::anyUser,
                         "blocked a connection to " + brivet::logSafe(flow.remoteHostname.value_or("?")));
            holding_ = true;
        } else if (holding_) {
            holding_ = blocked_.flush();
        }
        return action;
    }

private:
    FilterState& state_;
    LogLimiter blocked_;
    const std::string kind_ = "blocked a connection";
    // Left-out lines may wait to be counted.
    bool holding_ = false;
};

void ContentFilter::start() {
    if (queue_) return;
    blockLog_ = std::make_unique<LogWriter>(log_);
    decider_ = std::make_unique<Decider>(state_, blockLog_->handOver());
    tracker_ = std::make_unique<FlowTracker>(*decider_);
    try {
        queue_ = std::make_unique<PacketQueue>(settings_.queueNumber, *tracker_, settings_.queueLength);
    } catch (const std::exception&) {
        tracker_.reset();
        decider_.reset();
        blockLog_.reset();
        throw;
    }
    families_ = chain_.install();
    report(families_);
    const bool any = std::any_of(families_.begin(), families_.end(), [](const FamilyChain& chain) {
        return chain.state == FamilyChain::State::installed;
    });
    if (!any) {
        std::string errors;
        for (const auto& chain : families_) {
            if (!chain.error.empty()) errors += (errors.empty() ? "" : "; ") + chain.error;
        }
        families_.clear();
        queue_.reset();
        tracker_.reset();
        decider_.reset();
        blockLog_.reset();
        throw std::runtime_error(errors.empty() ? "no address family to filter" : errors);
    }
    thread_ = std::thread([this] { queue_->run(); });
    log_("filtering new connections to ports 80 and 443 (queue " + std::to_string(settings_.queueNumber) + ")");
}

void ContentFilter::retryFailedFamilies() {
    if (!queue_) return;
    for (auto& chain : families_) {
        if (chain.state != FamilyChain::State::failed) continue;
        chain = chain_.install(chain.family);
        if (chain.state == FamilyChain::State::installed) {
            log_("content filter for " + familyName(chain.family) + " now in place");
        }
        report({chain});
    }
}

void ContentFilter::stop() {
    if (!queue_) return;
    chain_.remove();
    queue_->stop();
    if (thread_.joinable()) thread_.join();
    queue_.reset();
    tracker_.reset();
    decider_.reset();
    blockLog_.reset();
    families_.clear();
    log_("stopped filtering connections");
}

}  // namespace keldra::filter

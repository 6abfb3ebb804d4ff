#include "keldra-filter/ContentFilter.h"

#include "BrivetClient/LogText.h"

#include <algorithm>
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

void ContentFilter::start() {
    if (queue_) return;
    tracker_ = std::make_unique<FlowTracker>([this](const brivet::FlowDescription& flow) {
        const auto action = state_.decideFlow(flow);
        if (action == brivet::FlowAction::drop) log_("blocked a connection to " + flow.remoteHostname.value_or("?"));
        return action;
    });
    try {
        queue_ = std::make_unique<PacketQueue>(settings_.queueNumber, *tracker_);
    } catch (const std::exception&) {
        tracker_.reset();
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
    families_.clear();
    log_("stopped filtering connections");
}

}  // namespace keldra::filter

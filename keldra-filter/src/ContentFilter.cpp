#include "keldra-filter/ContentFilter.h"

#include "BrivetClient/LogText.h"
#include "keldra-filter/LogLimiter.h"

#include <memory>
#include <stdexcept>

namespace keldra::filter {

ContentFilter::ContentFilter(FilterState& state, ContentFilterSettings settings, Log log)
    : state_(state), settings_(std::move(settings)), log_(log ? std::move(log) : Log([](const std::string&) {})),
      chain_(settings_.queueNumber, settings_.iptables, settings_.ip6tables) {}

ContentFilter::~ContentFilter() { stop(); }

void ContentFilter::start() {
    if (queue_) return;
    // Any local user can open blocked connections at will: one line a
    // second, then the count of those left out.
    tracker_ = std::make_unique<FlowTracker>([this, blocked = std::make_shared<LogLimiter>(log_)](
                                                 const brivet::FlowDescription& flow) {
        const auto action = state_.decideFlow(flow);
        if (action == brivet::FlowAction::drop) {
            blocked->log("blocked a connection", LogLimiter::anyUser,
                         "blocked a connection to " + brivet::logSafe(flow.remoteHostname.value_or("?")));
        } else {
            blocked->flush();
        }
        return action;
    });
    try {
        queue_ = std::make_unique<PacketQueue>(settings_.queueNumber, *tracker_);
    } catch (const std::exception&) {
        tracker_.reset();
        throw;
    }
    try {
        chain_.install();
    } catch (const std::exception&) {
        queue_.reset();
        tracker_.reset();
        throw;
    }
    thread_ = std::thread([this] { queue_->run(); });
    log_("filtering new connections to ports 80 and 443 (queue " + std::to_string(settings_.queueNumber) + ")");
}

void ContentFilter::stop() {
    if (!queue_) return;
    chain_.remove();
    queue_->stop();
    if (thread_.joinable()) thread_.join();
    queue_.reset();
    tracker_.reset();
    log_("stopped filtering connections");
}

}  // namespace keldra::filter

#include "keldra-filter/FilterState.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/FlowFilter.h"
#include "BrivetClient/JSONCoding.h"

#include <chrono>
#include <sys/stat.h>

namespace keldra::filter {
namespace {

brivet::Instant systemNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

// The coalescer key a handed-over event came from.
brivet::EventCoalescer::Key keyOf(const brivet::CoalescedEvent& event) {
    brivet::EventCoalescer::Key key;
    key.type = event.type;
    key.reason = event.reason;
    key.category = event.category;
    key.policySeq = event.policySeq;
    key.windowStart = brivet::RFC3339::unixSeconds(brivet::RFC3339::date(event.windowStart).value_or(brivet::Instant{}));
    return key;
}

}  // namespace

FilterState::FilterState(std::filesystem::path stateFolder, Clock clock)
    : folder_(std::move(stateFolder)), clock_(clock ? std::move(clock) : Clock(systemNow)) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    ::chmod(folder_.c_str(), 0700);
    try {
        if (auto stored = brivet::FilterRulesStore(folder_ / rulesFileName).load()) rules_ = std::move(*stored);
    } catch (const std::exception&) {
    }
    try {
        std::string text;
        if (brivet::readWholeFile(folder_ / eventsFileName, text)) {
            events_ = brivet::JSONCoding::plainDecode<brivet::EventCoalescer>(text);
        }
    } catch (const std::exception&) {
    }
    startedAt_ = clock_();
}

std::optional<std::string> FilterState::publish(const brivet::FilterRules& rules) {
    std::lock_guard<std::mutex> serial(publishing_);
    const auto current = policySeq();
    if (rules.policySeq < current) {
        return "policy sequence " + std::to_string(rules.policySeq) + " is below the rules in force (" +
               std::to_string(current) + ")";
    }
    try {
        brivet::FilterRulesStore(folder_ / rulesFileName).save(rules);
    } catch (const std::exception& error) {
        return std::string("rules not saved: ") + error.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = rules;
    return std::nullopt;
}

brivet::FilterRules FilterState::rules() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_;
}

std::int64_t FilterState::policySeq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.policySeq;
}

brivet::HostDecision FilterState::decideQuery(const std::string& name, std::uint16_t qclass) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto decision = brivet::DNSMessage::decision(brivet::DNSQuestion(name, 1, qclass), rules_.ruleSet);
    if (decision.kind == brivet::HostDecision::Kind::block) {
        events_.record("bypass_attempted", "blocked_dns_query", decision.category, rules_.policySeq, clock_());
    } else if (decision.kind == brivet::HostDecision::Kind::blockCustom) {
        events_.record("bypass_attempted", "blocked_custom_rule", std::nullopt, rules_.policySeq, clock_());
    } else {
        return decision;
    }
    writeEvents(false);
    return decision;
}

brivet::FlowAction FilterState::decideFlow(const brivet::FlowDescription& flow) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto verdict = brivet::FlowFilter(rules_.ruleSet).verdict(flow);
    if (verdict.action == brivet::FlowAction::drop) {
        events_.recordBlock(verdict.decision, rules_.policySeq, clock_());
        writeEvents(false);
    }
    return verdict.action;
}

std::vector<brivet::CoalescedEvent> FilterState::closedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto copy = events_;
    return copy.take(clock_(), false);
}

bool FilterState::removeHandedOver(const std::vector<brivet::CoalescedEvent>& events) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto remaining = events_;
    for (const auto& event : events) {
        auto found = remaining.counts.find(keyOf(event));
        if (found == remaining.counts.end()) continue;
        found->second -= event.count;
        if (found->second <= 0) remaining.counts.erase(found);
    }
    try {
        brivet::AtomicWriteOptions options;
        options.createDirectories = false;
        brivet::atomicWrite(folder_ / eventsFileName, brivet::JSONCoding::plainEncode(remaining), options);
    } catch (const std::exception&) {
        return false;
    }
    events_ = std::move(remaining);
    return true;
}

brivet::FilterStatus FilterState::status(bool running) const {
    std::lock_guard<std::mutex> lock(mutex_);
    brivet::FilterStatus status;
    status.running = running;
    status.policySeq = rules_.policySeq;
    status.blocklistVersion = rules_.blocklistVersion;
    status.startedAt = brivet::RFC3339::string(startedAt_);
    status.pendingEvents = events_.pendingCount();
    return status;
}

void FilterState::resetRules(const std::filesystem::path& stateFolder) {
    std::error_code ec;
    std::filesystem::remove(stateFolder / rulesFileName, ec);
    if (ec) throw std::filesystem::filesystem_error("cannot remove the rules in force", stateFolder / rulesFileName, ec);
}

void FilterState::writeEvents(bool durable) {
    try {
        brivet::AtomicWriteOptions options;
        options.durable = durable;
        options.createDirectories = false;
        brivet::atomicWrite(folder_ / eventsFileName, brivet::JSONCoding::plainEncode(events_), options);
    } catch (const std::exception&) {
        // The counts stay in memory and reach the file with the next write.
    }
}

}  // namespace keldra::filter

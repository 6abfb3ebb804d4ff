#include "keldra-filter/FilterState.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/FlowFilter.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <sys/stat.h>

namespace keldra::filter {
namespace {

brivet::Instant systemNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

// The state folder, root-only, before anything in it is read.
void createFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
}

}  // namespace

FilterState::FilterState(std::filesystem::path stateFolder, Clock clock, std::unique_ptr<EventsFile> events,
                         WriterTiming timing, Log log)
    : folder_(std::move(stateFolder)),
      clock_(clock ? std::move(clock) : Clock(systemNow)),
      events_((createFolder(folder_), folder_ / eventsFileName), log, timing, std::move(events)) {
    const auto file = folder_ / rulesFileName;
    try {
        if (auto stored = brivet::FilterRulesStore(file).load()) rules_ = std::move(*stored);
    } catch (const std::exception& error) {
        rulesDamaged_ = true;
        std::string where;
        try {
            where = "; moved aside to " + brivet::moveAside(file).filename().string();
        } catch (const std::exception& failure) {
            where = "; not moved aside: " + std::string(failure.what());
        }
        if (log) {
            log("the rules in force are damaged (" + brivet::logSafe(error.what()) + ")" + where +
                "; they are rebuilt from the verified policy");
        }
    }
    startedAt_ = clock_();
}

FilterState::~FilterState() = default;

std::optional<std::string> FilterState::enforce(const brivet::FilterRules& rules) {
    std::lock_guard<std::mutex> serial(publishing_);
    std::optional<std::string> failure;
    try {
        brivet::FilterRulesStore(folder_ / rulesFileName).save(rules);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    rules_ = rules;
    if (!failure) rulesDamaged_ = false;
    return failure;
}

bool FilterState::rulesDamaged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rulesDamaged_;
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
    brivet::HostDecision decision;
    std::int64_t policySeq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        decision = brivet::DNSMessage::decision(brivet::DNSQuestion(name, 1, qclass), rules_.ruleSet);
        policySeq = rules_.policySeq;
    }
    if (decision.kind == brivet::HostDecision::Kind::block) {
        events_.record("bypass_attempted", "blocked_dns_query", decision.category, policySeq, clock_());
    } else if (decision.kind == brivet::HostDecision::Kind::blockCustom) {
        events_.record("bypass_attempted", "blocked_custom_rule", std::nullopt, policySeq, clock_());
    }
    return decision;
}

brivet::FlowAction FilterState::decideFlow(const brivet::FlowDescription& flow) {
    brivet::FlowVerdict verdict;
    std::int64_t policySeq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        verdict = brivet::FlowFilter(rules_.ruleSet).verdict(flow);
        policySeq = rules_.policySeq;
    }
    if (verdict.action == brivet::FlowAction::drop) events_.recordBlock(verdict.decision, policySeq, clock_());
    return verdict.action;
}

std::vector<brivet::CoalescedEvent> FilterState::closedEvents() { return events_.closed(clock_()); }

bool FilterState::removeHandedOver(const std::vector<brivet::CoalescedEvent>& events) {
    return events_.remove(events);
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

}  // namespace keldra::filter

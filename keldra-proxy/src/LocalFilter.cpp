#include "keldra-proxy/LocalFilter.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {

namespace {

// A rules file that cannot be used is moved aside, with one line to the log.
// `loaded` tells whether they came from the file.
FilterRules loadRules(const std::filesystem::path& url, const LocalFilter::Log& log, bool& loaded) {
    std::string reason;
    try {
        std::string text;
        if (!readRegularFile(url, text)) return FilterRules::empty();
        FilterRules rules = FilterRules::decode(text);
        loaded = true;
        return rules;
    } catch (const std::exception& error) {
        reason = error.what();
    }
    const std::string line = setAsideDamaged(url, "the saved filter rules", reason).line;
    if (log) log(logSafe(line));
    return FilterRules::empty();
}

// The filters alive in this process, for a stop signal's last write.
std::mutex& liveFiltersMutex() {
    static std::mutex mutex;
    return mutex;
}
std::vector<LocalFilter*>& liveFilters() {
    static std::vector<LocalFilter*> filters;
    return filters;
}

}  // namespace

LocalFilter::Clock LocalFilter::systemClock() {
    return [] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); };
}

LocalFilter::LocalFilter(const AppGroup& group, Clock clock, Log log, std::chrono::milliseconds eventsWriteDelay,
                         std::unique_ptr<CountsFile> eventsFile)
    : rules_(loadRules(group.containerURL / rulesFileName, log, hasSavedRules_)),
      rulesStore_(group.containerURL / rulesFileName),
      eventsURL_(group.containerURL / eventsFileName),
      clock_(clock ? std::move(clock) : systemClock()),
      log_(std::move(log)),
      events_(eventsURL_, log_, PendingCounts::Timing{eventsWriteDelay}, std::move(eventsFile)) {
    // Reading a large rules document leaves much freed memory behind.
    ::malloc_trim(0);
    std::lock_guard<std::mutex> live(liveFiltersMutex());
    liveFilters().push_back(this);
}

LocalFilter::~LocalFilter() {
    std::lock_guard<std::mutex> live(liveFiltersMutex());
    auto& filters = liveFilters();
    filters.erase(std::remove(filters.begin(), filters.end(), this), filters.end());
    // events_ writes the latest counts as it goes.
}

void LocalFilter::flushAllEvents() {
    std::lock_guard<std::mutex> live(liveFiltersMutex());
    for (LocalFilter* filter : liveFilters()) filter->flushEvents();
}

void LocalFilter::flushEvents() { events_.flush(); }

HostDecision LocalFilter::decide(const DNSQuestion& question) {
    HostDecision decision;
    std::int64_t policySeq = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        decision = DNSMessage::decision(question, rules_.ruleSet);
        policySeq = rules_.policySeq;
    }
    switch (decision.kind) {
    case HostDecision::Kind::block:
        events_.record("bypass_attempted", "blocked_dns_query", decision.category, policySeq, clock_());
        break;
    case HostDecision::Kind::blockCustom:
        events_.record("bypass_attempted", "blocked_custom_rule", std::nullopt, policySeq, clock_());
        break;
    case HostDecision::Kind::allow:
    case HostDecision::Kind::pass:
        break;
    }
    return decision;
}

std::optional<FilterStatus> LocalFilter::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentStatus();
}

FilterStatus LocalFilter::currentStatus() const {
    FilterStatus status;
    status.running = startedAt_.has_value();
    status.policySeq = rules_.policySeq;
    status.blocklistVersion = rules_.blocklistVersion;
    if (startedAt_) status.startedAt = RFC3339::string(*startedAt_);
    status.pendingEvents = events_.pendingCount();
    return status;
}

void LocalFilter::publish(const FilterRules& rules) {
    std::lock_guard<std::mutex> saving(saveMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (rules.policySeq < rules_.policySeq) {
            throw LocalFilterError(1, "policy_seq " + std::to_string(rules.policySeq) + " is below the " +
                                          std::to_string(rules_.policySeq) + " in force");
        }
        rules_ = rules;
    }
    try {
        rulesStore_.save(rules);
    } catch (const std::exception&) {
        // The rules are in force in memory; a later run starts from the older
        // file and is brought forward by the engine's next publish.
    }
    // The encoded document was as large as the rules; give its pages back.
    ::malloc_trim(0);
}

std::vector<CoalescedEvent> LocalFilter::takeEvents() {
    try {
        return events_.handOver(clock_());
    } catch (const std::exception&) {
        return {};
    }
}

void LocalFilter::eventsQueued(const std::vector<CoalescedEvent>& events) {
    try {
        events_.remove(events);
    } catch (const std::exception&) {
        // Still in the file: handed over again after a restart at worst.
    }
}

void LocalFilter::markStarted(Instant at) {
    std::lock_guard<std::mutex> lock(mutex_);
    startedAt_ = at;
}

std::int64_t LocalFilter::policySeq() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rules_.policySeq;
}

void LocalFilter::resetRules() {
    std::lock_guard<std::mutex> saving(saveMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rules_ = FilterRules::empty();
    }
    rulesStore_.save(FilterRules::empty());
}

bool LocalFilter::resetRulesForIdentity(const std::optional<std::string>& previousDeviceId,
                                        const std::string& enrolledDeviceId) {
    if (previousDeviceId && *previousDeviceId == enrolledDeviceId) return false;
    resetRules();
    return true;
}

}  // namespace brivet

#include "keldra-proxy/LocalFilter.h"

#include <malloc.h>

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"

namespace brivet {

namespace {

std::optional<FilterRules> loadRules(const FilterRulesStore& store) {
    try {
        return store.load();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<EventCoalescer> loadEvents(const std::filesystem::path& url) {
    try {
        std::string text;
        if (!readWholeFile(url, text)) return std::nullopt;
        return JSONCoding::plainDecode<EventCoalescer>(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

LocalFilter::Clock LocalFilter::systemClock() {
    return [] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); };
}

LocalFilter::LocalFilter(const AppGroup& group, Clock clock)
    : rulesStore_(group.containerURL / rulesFileName),
      eventsURL_(group.containerURL / eventsFileName),
      clock_(clock ? std::move(clock) : systemClock()) {
    if (auto stored = loadRules(rulesStore_)) rules_ = std::move(*stored);
    // Reading a large rules document leaves much freed memory behind.
    ::malloc_trim(0);
    if (auto stored = loadEvents(eventsURL_)) events_ = std::move(*stored);
}

HostDecision LocalFilter::decide(const DNSQuestion& question) {
    std::lock_guard<std::mutex> lock(mutex_);
    HostDecision decision = DNSMessage::decision(question, rules_.ruleSet);
    switch (decision.kind) {
    case HostDecision::Kind::block:
        events_.record("bypass_attempted", "blocked_dns_query", decision.category, rules_.policySeq, clock_());
        break;
    case HostDecision::Kind::blockCustom:
        events_.record("bypass_attempted", "blocked_custom_rule", std::nullopt, rules_.policySeq, clock_());
        break;
    case HostDecision::Kind::allow:
    case HostDecision::Kind::pass:
        return decision;
    }
    // Rewritten after every blocked query, and the counts are held in memory
    // anyway: the fsyncs are skipped here.
    writeEvents(false);
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
}

std::vector<CoalescedEvent> LocalFilter::takeEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CoalescedEvent> taken;
    try {
        taken = events_.take(clock_(), false);
    } catch (const std::exception&) {
        return {};
    }
    // Durable here: a file that came back with windows already handed over
    // would send them twice.
    if (!taken.empty()) writeEvents(true);
    return taken;
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

void LocalFilter::writeEvents(bool durable) {
    try {
        AtomicWriteOptions options;
        options.durable = durable;
        options.createDirectories = false;
        atomicWrite(eventsURL_, JSONCoding::plainEncode(events_), options);
    } catch (const std::exception&) {
        // The counts stay in memory and reach the file with the next write.
    }
}

}  // namespace brivet

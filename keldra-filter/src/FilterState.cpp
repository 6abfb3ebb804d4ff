#include "keldra-filter/FilterState.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/FlowFilter.h"
#include "BrivetClient/JSONCoding.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
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

void subtract(brivet::EventCoalescer& coalescer, const std::vector<brivet::CoalescedEvent>& events) {
    for (const auto& event : events) {
        auto found = coalescer.counts.find(keyOf(event));
        if (found == coalescer.counts.end()) continue;
        found->second -= event.count;
        if (found->second <= 0) coalescer.counts.erase(found);
    }
}

}  // namespace

void DurableEventsFile::write(const std::string& text) {
    brivet::AtomicWriteOptions options;
    options.durable = true;
    options.createDirectories = false;
    const auto outcome = brivet::atomicWrite(path_, text, options);
    if (!outcome.durable) throw std::runtime_error("events file not synced: " + outcome.syncError);
}

FilterState::FilterState(std::filesystem::path stateFolder, Clock clock, std::unique_ptr<EventsFile> events,
                         WriterTiming timing)
    : folder_(std::move(stateFolder)), clock_(clock ? std::move(clock) : Clock(systemNow)),
      eventsFile_(events ? std::move(events) : std::make_unique<DurableEventsFile>(folder_ / eventsFileName)),
      timing_(timing) {
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
    writer_ = std::thread([this] { writerLoop(); });
}

FilterState::~FilterState() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    std::lock_guard<std::mutex> writing(writing_);
    brivet::EventCoalescer snapshot;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (written_ == generation_) return;
        snapshot = events_;
        generation = generation_;
    }
    writeSnapshot(snapshot, generation);
}

void FilterState::changed() {
    ++generation_;
    wake_.notify_one();
}

bool FilterState::writeSnapshot(const brivet::EventCoalescer& snapshot, std::uint64_t generation) {
    try {
        eventsFile_->write(brivet::JSONCoding::plainEncode(snapshot));
    } catch (const std::exception&) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    written_ = std::max(written_, generation);
    return true;
}

void FilterState::writerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || written_ != generation_; });
        if (stopping_) return;
        // Gathers a burst of blocks into one write.
        if (wake_.wait_for(lock, timing_.gather, [this] { return stopping_; })) return;
        lock.unlock();
        bool ok = true;
        {
            std::lock_guard<std::mutex> writing(writing_);
            brivet::EventCoalescer snapshot;
            std::uint64_t generation = 0;
            bool behind = false;
            {
                std::lock_guard<std::mutex> state(mutex_);
                behind = written_ != generation_;
                if (behind) {
                    snapshot = events_;
                    generation = generation_;
                }
            }
            if (behind) ok = writeSnapshot(snapshot, generation);
        }
        lock.lock();
        // A failed write is tried again after a while, without waiting for
        // the next block.
        if (!ok && wake_.wait_for(lock, timing_.retry, [this] { return stopping_; })) return;
    }
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
    changed();
    return decision;
}

brivet::FlowAction FilterState::decideFlow(const brivet::FlowDescription& flow) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto verdict = brivet::FlowFilter(rules_.ruleSet).verdict(flow);
    if (verdict.action == brivet::FlowAction::drop) {
        events_.recordBlock(verdict.decision, rules_.policySeq, clock_());
        changed();
    }
    return verdict.action;
}

std::vector<brivet::CoalescedEvent> FilterState::closedEvents() {
    std::lock_guard<std::mutex> writing(writing_);
    brivet::EventCoalescer snapshot;
    std::uint64_t generation = 0;
    bool behind = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot = events_;
        generation = generation_;
        behind = written_ != generation_;
    }
    // What is handed over must survive a power cut first.
    if (behind && !writeSnapshot(snapshot, generation)) return {};
    return snapshot.take(clock_(), false);
}

bool FilterState::removeHandedOver(const std::vector<brivet::CoalescedEvent>& events) {
    std::lock_guard<std::mutex> writing(writing_);
    brivet::EventCoalescer remaining;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remaining = events_;
        generation = generation_;
    }
    subtract(remaining, events);
    if (!writeSnapshot(remaining, generation)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    subtract(events_, events);
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

}  // namespace keldra::filter

#include "BrivetClient/Engine.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <limits>
#include <utility>

namespace brivet {

Json FilterStatus::toJSON() const {
    Json j = Json::object();
    j["running"] = running;
    j["policySeq"] = policySeq;
    j["blocklistVersion"] = blocklistVersion;
    if (startedAt) j["startedAt"] = *startedAt;
    j["pendingEvents"] = pendingEvents;
    return j;
}

FilterStatus FilterStatus::fromJSON(const Json& json) {
    using namespace JSONCoding;
    requireObject(json, "filter status");
    FilterStatus out;
    out.running = requireBool(json, "running");
    out.policySeq = requireInt64(json, "policySeq");
    out.blocklistVersion = requireInt64(json, "blocklistVersion");
    out.startedAt = optionalString(json, "startedAt");
    out.pendingEvents = requireInt64(json, "pendingEvents");
    return out;
}

}  // namespace brivet

namespace brivet {
namespace {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t out;
    if (__builtin_add_overflow(a, b, &out)) return b > 0 ? std::numeric_limits<std::int64_t>::max()
                                                         : std::numeric_limits<std::int64_t>::min();
    return out;
}

// A client error of the service other than 408 and 429: the batch will never
// be accepted as it is, so it is dropped rather than sent again forever. A
// 408 (the service gave up waiting) and a 429 (too many requests) say nothing
// about the batch, which is kept.
bool dropsBatch(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& e) {
        return e.kind() == APIError::Kind::http && e.status() >= 400 && e.status() <= 499 && e.status() != 408 &&
               e.status() != 429;
    } catch (...) {
        return false;
    }
}

}  // namespace

ProtectionEngine::ProtectionEngine(std::shared_ptr<ProtectionClient> client, RuleSetLoader loader,
                                   std::shared_ptr<FilterControl> filter, std::shared_ptr<EventOutbox> outbox,
                                   std::shared_ptr<HostEnvironment> environment,
                                   std::shared_ptr<FileBlocklistCache> cache, Clock clock)
    : client(std::move(client)),
      outbox(std::move(outbox)),
      loader_(std::move(loader)),
      filter_(std::move(filter)),
      environment_(std::move(environment)),
      cache_(std::move(cache)),
      clock_(clock ? std::move(clock) : ProtectionClient::systemClock()) {
    if (!this->client || !this->outbox || !filter_ || !environment_)
        throw std::invalid_argument("ProtectionEngine needs a client, filter, outbox and environment");
}

std::string ProtectionEngine::describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const APIError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

bool ProtectionEngine::isDue(const std::optional<Instant>& stored, double interval, Instant now) noexcept {
    if (!stored) return true;
    // Both instants become doubles before they are subtracted: microseconds
    // since the epoch of any real date are exact in a double, and absurd ones
    // lose precision instead of overflowing.
    const double elapsed = (static_cast<double>(now.time_since_epoch().count()) -
                            static_cast<double>(stored->time_since_epoch().count())) /
                           1e6;
    return elapsed >= interval;
}

std::int64_t ProtectionEngine::unsavedEventCount() const noexcept {
    return static_cast<std::int64_t>(unsavedFilterEvents_.size() + unsavedOwnEvents_.size());
}

std::optional<std::int64_t> ProtectionEngine::storedHighestSeq() const {
    const auto state = client->state();
    if (!state.client) return std::nullopt;
    return state.client->highestPolicySeq;
}

ProtectionEngine::TickReport ProtectionEngine::tick() {
    TickReport report;
    const Instant now = clock_();

    try {
        report.offlineReleaseFired = client->recordRuntime(environment_->monotonicSeconds());
    } catch (...) {
        report.offlineReleaseFired = false;
        report.errors.push_back("runtime: " + describe(std::current_exception()));
    }

    if (!client->identity()) {
        report.enrolled = false;
        return report;
    }

    if (isDue(lastAttestation_, attestationInterval, now)) {
        try {
            client->attestTime();
            report.attested = true;
            lastAttestation_ = now;
        } catch (...) {
            report.errors.push_back("attestation: " + describe(std::current_exception()));
        }
    }

    if (isDue(lastReleaseCheck_, releaseCheckInterval, now)) {
        try {
            report.globalRelease = client->checkGlobalRelease();
            lastReleaseCheck_ = now;
        } catch (...) {
            report.errors.push_back("release: " + describe(std::current_exception()));
        }
    }

    // Without a stored policy the refresh runs on every tick, except while a
    // rejected one is still being waited out.
    if ((!client->effectivePolicy() && !rejectionHolds(now)) || isDue(lastPolicyRefresh_, policyRefreshInterval, now))
        refreshStep(report, now);

    const MacCapabilities capabilities = capabilitiesStep(report, now);

    try {
        const HeartbeatResult result = client->heartbeat(capabilities);
        report.protectionState = result.protectionState;
        // A newer policy announced by the service is fetched now, whatever
        // the refresh interval says, unless it is the one rejected within
        // the interval: fetching it again would only be refused again.
        if (client->needsPolicyRefresh(result)) {
            if (rejectionHolds(now) && !rejectedSeq_ && rejectedAt_ == now) {
                // The timed refresh of this very tick was rejected: what the
                // service announces now is what it served a moment ago.
                rejectedSeq_ = result.policySeq;
            } else if (!rejectionHolds(now) || !rejectedSeq_ || result.policySeq > *rejectedSeq_) {
                refreshStep(report, now, result.policySeq);
            }
        }
    } catch (...) {
        report.errors.push_back("heartbeat: " + describe(std::current_exception()));
    }

    publishStep(report, now);
    deliverEvents(report, now);
    return report;
}

bool ProtectionEngine::rejectionHolds(Instant now) const noexcept {
    return rejectedAt_ && !isDue(rejectedAt_, policyRefreshInterval, now);
}

void ProtectionEngine::refreshStep(TickReport& report, Instant now, std::optional<std::int64_t> announced) {
    try {
        const ProtectionClient::RefreshOutcome outcome = client->refreshPolicy();
        lastPolicyRefresh_ = now;
        rejectedAt_.reset();
        rejectedSeq_.reset();
        report.refresh = outcome;
        if (outcome.kind == ProtectionClient::RefreshOutcome::Kind::applied)
            events_.record("policy_applied", "applied", std::nullopt, outcome.seq, now);
    } catch (const PolicyRejected& rejected) {
        // Not fetched again before the interval, unless a heartbeat
        // announces a sequence above it.
        lastPolicyRefresh_ = now;
        rejectedAt_ = now;
        rejectedSeq_ = announced;
        report.errors.push_back("policy rejected: " + rejected.reason());
        events_.record("policy_rejected", rejected.reason(), std::nullopt, storedHighestSeq(), now);
    } catch (...) {
        report.errors.push_back("policy: " + describe(std::current_exception()));
    }
}

MacCapabilities ProtectionEngine::capabilitiesStep(TickReport& report, Instant now) {
    // These host calls are not meant to fail; one that does anyway counts as
    // the safe answer (not configured, no status) instead of ending the tick.
    bool configured = false;
    try {
        configured = environment_->filterConfigured();
    } catch (...) {
        configured = false;
    }
    std::optional<FilterStatus> status;
    try {
        status = filter_->status();
    } catch (...) {
        status.reset();
    }

    std::optional<std::string> reason;
    if (configured) {
        const bool running = status && status->running;
        report.filterConfigured = true;
        report.filterRunning = running;
        filterConfiguredOnce_ = true;
        filterLostAt_.reset();
        if (!running) reason = "filter_not_running";
    } else {
        report.filterConfigured = false;
        report.filterRunning = false;
        if (filterConfiguredOnce_) {
            if (!filterLostAt_) filterLostAt_ = now;
            reason = "filter_disabled";
        } else {
            reason = "filter_not_installed";
        }
    }
    if (reason) events_.record("protection_disabled", *reason, std::nullopt, storedHighestSeq(), now);

    MacCapabilities capabilities;
    try {
        capabilities.osVersion = environment_->osVersion();
    } catch (...) {
        capabilities.osVersion.clear();
    }
    bool monitor = false;
    try {
        monitor = environment_->appMonitorRunning();
    } catch (...) {
        monitor = false;
    }
    capabilities.filterActive = report.filterConfigured && report.filterRunning;
    capabilities.appMonitorPermitted = monitor;
    capabilities.appMonitorRunning = monitor;
    capabilities.filterRevokedAt = filterLostAt_;
    capabilities.appMonitorRevokedAt.reset();
    return capabilities;
}

void ProtectionEngine::publishStep(TickReport& report, Instant now) {
    std::optional<EffectivePolicy> policy;
    if (report.filterRunning) policy = client->effectivePolicy();
    const bool outdated = policy && (!publishedRules_ || publishedRules_->policySeq != policy->policySeq ||
                                     publishedRules_->kind != policy->kind ||
                                     publishedRules_->committed != policy->committed ||
                                     !publishedRules_->missingCategories.empty());
    if (!outdated) {
        if (publishedRules_) report.missingCategories = publishedRules_->missingCategories;
        return;
    }

    RuleSetLoadResult loaded = loader_.load(*policy);
    FilterRules rules = FilterRules::make(*policy, std::move(loaded.ruleSet), loaded.missing, now);
    try {
        filter_->publish(rules);
    } catch (...) {
        report.errors.push_back("publish: " + describe(std::current_exception()));
        return;
    }
    report.rulesPublished = rules.policySeq;
    report.missingCategories = std::move(loaded.missing);
    publishedRules_ = std::move(rules);
    // Old blocklist files go only once the rules in force need none of them.
    if (report.missingCategories.empty() && cache_) cache_->prune(policy->blocklistVersion);
}

std::vector<CoalescedEvent> ProtectionEngine::saveToOutbox(std::vector<CoalescedEvent>& heldBack,
                                                           std::vector<CoalescedEvent> more) {
    heldBack.insert(heldBack.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    if (heldBack.empty()) return {};
    outbox->append(heldBack);
    std::vector<CoalescedEvent> saved;
    saved.swap(heldBack);
    return saved;
}

void ProtectionEngine::saveFilterEvents(std::vector<CoalescedEvent> more) {
    const std::vector<CoalescedEvent> saved = saveToOutbox(unsavedFilterEvents_, std::move(more));
    if (saved.empty()) return;
    try {
        filter_->eventsQueued(saved);
    } catch (...) {
        // The filter keeps them and hands them over again: at worst a record
        // the service deduplicates.
    }
}

void ProtectionEngine::deliverEvents(TickReport& report, Instant now) {
    // The filter's closed windows. A failed append keeps them for the next
    // delivery; the filter is told once they are in the outbox, so one that
    // keeps them on disk until then loses none to a crash in between.
    std::vector<CoalescedEvent> taken;
    try {
        taken = filter_->takeEvents();
    } catch (...) {
        report.errors.push_back("events: " + describe(std::current_exception()));
    }
    try {
        saveFilterEvents(std::move(taken));
    } catch (...) {
        report.errors.push_back("events: " + describe(std::current_exception()));
    }

    // The engine's own closed windows, held back the same way.
    try {
        saveToOutbox(unsavedOwnEvents_, events_.take(now, false));
    } catch (...) {
        report.errors.push_back("outbox: " + describe(std::current_exception()));
    }

    const std::size_t batchLimit =
        eventBatchSize < 1 ? 1
                           : static_cast<std::size_t>(std::min<std::uint64_t>(
                                 static_cast<std::uint64_t>(eventBatchSize), std::numeric_limits<std::size_t>::max()));
    for (;;) {
        std::vector<CoalescedEvent> batch;
        try {
            batch = outbox->pending();
        } catch (...) {
            report.errors.push_back("outbox: " + describe(std::current_exception()));
            return;
        }
        if (batch.empty()) return;
        if (batch.size() > batchLimit) batch.resize(batchLimit);
        const auto count = static_cast<std::int64_t>(batch.size());

        try {
            client->api().sendEvents(batch);
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            if (dropsBatch(error)) {
                try {
                    outbox->removeFirst(count);
                } catch (...) {
                    // The batch stays queued and is offered again next time.
                }
            }
            report.errors.push_back("events: " + describe(error));
            return;
        }
        try {
            outbox->removeFirst(count);
        } catch (...) {
            report.errors.push_back("events: " + describe(std::current_exception()));
            return;
        }
        report.eventsSent = saturatingAdd(report.eventsSent, count);
    }
}

std::int64_t ProtectionEngine::flushEvents() {
    auto drained = events_.take(clock_(), true);
    unsavedOwnEvents_.insert(unsavedOwnEvents_.end(), std::make_move_iterator(drained.begin()),
                             std::make_move_iterator(drained.end()));
    try {
        saveFilterEvents({});
        saveToOutbox(unsavedOwnEvents_, {});
    } catch (...) {
        return 0;
    }
    TickReport report;
    deliverEvents(report, clock_());
    return report.eventsSent;
}

}  // namespace brivet

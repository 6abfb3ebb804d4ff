#pragma once
// A complete engine graph over the local device service, with an in-memory
// filter and host and a clock that the test drives.

#include "keldra/TestFiles.h"
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/PendingCounts.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSetLoader.h"
#include "BrivetClient/StateStore.h"
#include "keldra/DevService.h"

namespace enginetest {

using brivet::CoalescedEvent;
using brivet::FilterRules;
using brivet::FilterStatus;
using brivet::Instant;
using nlohmann::json;

using TempDir = keldra::test::TempDir;

// Passes every request to the real transport; `after` sees each answer and
// may change it, throw, or reconfigure the service between requests.
class HookTransport final : public brivet::HTTPTransport {
public:
    explicit HookTransport(std::shared_ptr<brivet::HTTPTransport> inner) : inner(std::move(inner)) {}
    brivet::HTTPResponse send(const brivet::HTTPRequest& request) override {
        brivet::HTTPResponse response = inner->send(request);
        if (after) after(request, response);
        return response;
    }
    std::shared_ptr<brivet::HTTPTransport> inner;
    std::function<void(const brivet::HTTPRequest&, brivet::HTTPResponse&)> after;
};

class MemoryFilter final : public brivet::FilterControl {
public:
    std::optional<FilterStatus> status() override {
        ++statusCalls;
        return currentStatus;
    }
    void publish(const FilterRules& rules) override {
        if (publishFailure) throw std::runtime_error(*publishFailure);
        published.push_back(rules);
    }
    std::vector<CoalescedEvent> takeEvents() override {
        ++takeCalls;
        if (takeFailure) throw std::runtime_error(*takeFailure);
        std::vector<CoalescedEvent> out;
        out.swap(closedEvents);
        return out;
    }
    void eventsQueued(const std::vector<CoalescedEvent>& events) override { queued.push_back(events); }

    std::optional<FilterStatus> currentStatus = FilterStatus{true, 0, 0, std::nullopt, 0};
    std::vector<FilterRules> published;
    std::optional<std::string> publishFailure;
    std::vector<CoalescedEvent> closedEvents;
    std::optional<std::string> takeFailure;
    // Every list the engine said was in its outbox, in order.
    std::vector<std::vector<CoalescedEvent>> queued;
    int statusCalls = 0;
    int takeCalls = 0;
};

// A running filter whose block counts live in the data folder's
// "events-pending.json", kept as the programs keep theirs.
class CountingFilter final : public brivet::FilterControl {
public:
    CountingFilter(const std::filesystem::path& file, std::function<Instant()> clock)
        : counts(file, nullptr, brivet::CountsWriterTiming{std::chrono::milliseconds(0)}), clock(std::move(clock)) {}
    std::optional<FilterStatus> status() override { return FilterStatus{true, 0, 0, std::nullopt, 0}; }
    void publish(const FilterRules&) override {}
    std::vector<CoalescedEvent> takeEvents() override { return counts.handOver(clock()); }
    void eventsQueued(const std::vector<CoalescedEvent>& events) override {
        if (beforeRemoval) beforeRemoval();
        counts.remove(events);
    }
    void block(int times) {
        for (int i = 0; i < times; ++i) counts.record("bypass_attempted", "blocked_dns_query", "ads", 1, clock());
    }

    brivet::PendingCounts counts;
    std::function<Instant()> clock;
    // Runs when the engine has put windows in its outbox, before the filter
    // lets go of them.
    std::function<void()> beforeRemoval;
};

class MemoryHost final : public brivet::HostEnvironment {
public:
    std::string osVersion() const override { return os; }
    std::int64_t monotonicSeconds() const override { return monotonic; }
    bool filterConfigured() override {
        ++configuredCalls;
        return configured;
    }
    bool appMonitorRunning() const override { return monitor; }

    std::string os = "Debian 12";
    std::int64_t monotonic = 1000;
    bool configured = true;
    bool monitor = false;
    int configuredCalls = 0;
};

inline CoalescedEvent blockEvent(std::int64_t window, std::int64_t count = 1, std::string category = "ads") {
    const std::int64_t start = 1'700'000'100 / 900 * 900 + window * 900;
    return CoalescedEvent{"bypass_attempted",
                          "blocked_connection",
                          std::move(category),
                          1,
                          brivet::RFC3339::string(brivet::RFC3339::fromUnixSeconds(start)),
                          brivet::RFC3339::string(brivet::RFC3339::fromUnixSeconds(start + 900)),
                          count};
}

inline json rulesOf(std::initializer_list<const char*> suffixes) {
    json rules = json::array();
    for (const char* s : suffixes) rules.push_back({{"rule_type", "domain_suffix"}, {"value", s}});
    return rules;
}

// The fixture: one service, one data directory, one engine graph that can be
// dropped and rebuilt over the same directory (a restart).
class EngineFixture : public ::testing::Test {
protected:
    EngineFixture() : service(options()) {
        tokens = std::make_shared<brivet::InMemoryTokenStore>();
        build();
    }

    static brivet::dev::DevServiceOptions options() {
        brivet::dev::DevServiceOptions o;
        o.acceptCodes = {"CODE-1"};
        return o;
    }

    brivet::AppGroup group() const { return brivet::AppGroup("test.group", dir.path() / "data"); }

    // Builds client, outbox, cache and engine afresh over the data directory;
    // filter and host are kept unless asked otherwise.
    void build() {
        engine.reset();
        client.reset();
        brivet::CurlTransportOptions curlOptions;
        curlOptions.timeout = std::chrono::milliseconds(5000);
        curlOptions.maxBodyBytes = std::size_t{64} * 1024 * 1024;
        auto curl = std::make_shared<brivet::CurlTransport>(curlOptions);
        transport = std::make_shared<HookTransport>(curl);
        auto tokenStore = tokens;
        api = std::make_shared<brivet::DeviceAPI>(brivet::DeviceAPIConfiguration{service.baseURL(), "1.0.0-test"},
                                                  transport, [tokenStore] { return tokenStore->load(); });
        auto store = std::make_shared<brivet::FileStateStore>(group().stateURL(), tokens);
        const brivet::PinnedKeys keys = json::parse(service.pinnedKeysJSON()).get<brivet::PinnedKeys>();
        client = std::make_shared<brivet::ProtectionClient>(api, store, keys, "1.0.0-test", [this] { return now; });
        outbox = std::make_shared<brivet::EventOutbox>(group().outboxURL());
        cache = std::make_shared<brivet::FileBlocklistCache>(group().blocklistsURL());
        std::shared_ptr<brivet::FilterControl> chosen = otherFilter ? otherFilter : filter;
        engine = std::make_unique<brivet::ProtectionEngine>(client, brivet::RuleSetLoader(api, cache), chosen,
                                                            outbox, host, cache, [this] { return now; });
    }

    void enroll() { client->enroll("CODE-1", "test mac"); }

    // Moves wall clock and monotonic clock forward together.
    void advance(std::int64_t seconds) {
        now += std::chrono::seconds(seconds);
        host->monotonic += seconds;
    }

    brivet::ProtectionEngine::TickReport tick() { return engine->tick(); }

    std::vector<std::size_t> eventBatchSizes() const {
        std::vector<std::size_t> sizes;
        for (const auto& r : service.received(brivet::dev::Endpoint::events))
            sizes.push_back(json::parse(r.body)["events"].size());
        return sizes;
    }

    std::size_t requestsTo(brivet::dev::Endpoint endpoint) const { return service.received(endpoint).size(); }

    brivet::dev::DevService service;
    TempDir dir;
    Instant now = *brivet::RFC3339::date("2026-03-01T12:00:00Z");
    std::shared_ptr<brivet::InMemoryTokenStore> tokens;
    std::shared_ptr<MemoryFilter> filter = std::make_shared<MemoryFilter>();
    std::shared_ptr<MemoryHost> host = std::make_shared<MemoryHost>();
    // Takes the place of `filter` in the next build() when set.
    std::shared_ptr<brivet::FilterControl> otherFilter;
    std::shared_ptr<HookTransport> transport;
    std::shared_ptr<brivet::DeviceAPI> api;
    std::shared_ptr<brivet::ProtectionClient> client;
    std::shared_ptr<brivet::EventOutbox> outbox;
    std::shared_ptr<brivet::FileBlocklistCache> cache;
    std::unique_ptr<brivet::ProtectionEngine> engine;
};

}  // namespace enginetest

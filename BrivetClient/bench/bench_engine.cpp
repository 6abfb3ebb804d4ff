// Steady-state engine ticks against the local device service: the policy is
// unchanged (answered 304), one heartbeat, no events. Prints the time of one
// tick, the share spent inside HTTP round trips and inside state saves, and
// the same two requests made directly through DeviceAPI as the baseline.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/StateStore.h"
#include "keldra/DevService.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Times every request spent in the real transport.
class TimingTransport final : public brivet::HTTPTransport {
public:
    explicit TimingTransport(std::shared_ptr<brivet::HTTPTransport> inner) : inner_(std::move(inner)) {}
    brivet::HTTPResponse send(const brivet::HTTPRequest& request) override {
        const auto start = Clock::now();
        brivet::HTTPResponse response = inner_->send(request);
        spent += Clock::now() - start;
        ++calls;
        return response;
    }
    Clock::duration spent{};
    long calls = 0;

private:
    std::shared_ptr<brivet::HTTPTransport> inner_;
};

// Times every save of the state store it wraps.
class TimingStateStore final : public brivet::StateStore {
public:
    explicit TimingStateStore(std::shared_ptr<brivet::StateStore> inner) : inner_(std::move(inner)) {}
    brivet::ProtectionState load() override { return inner_->load(); }
    void save(const brivet::ProtectionState& state) override {
        const auto start = Clock::now();
        inner_->save(state);
        spent += Clock::now() - start;
    }
    Clock::duration spent{};

private:
    std::shared_ptr<brivet::StateStore> inner_;
};

class RunningFilter final : public brivet::FilterControl {
public:
    std::optional<brivet::FilterStatus> status() override { return brivet::FilterStatus{true, 0, 0, std::nullopt, 0}; }
    void publish(const brivet::FilterRules&) override {}
    std::vector<brivet::CoalescedEvent> takeEvents() override { return {}; }
    void eventsQueued(const std::vector<brivet::CoalescedEvent>&) override {}
};

class Host final : public brivet::HostEnvironment {
public:
    std::string osVersion() const override { return "Debian 12"; }
    std::int64_t monotonicSeconds() const override { return brivet::monotonicClockSeconds(); }
    bool filterConfigured() override { return true; }
    bool appMonitorRunning() const override { return false; }
};

struct Result {
    double tick = 0;     // seconds per tick
    double http = 0;     // seconds per tick inside the transport
    double saves = 0;    // seconds per tick inside state saves
    double requests = 0; // requests per tick
};

Result run(brivet::dev::DevService& service, bool fileStore, int ticks) {
    char tmpl[] = "/tmp/keldra-bench-engine-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    auto tokens = std::make_shared<brivet::InMemoryTokenStore>();
    auto timing = std::make_shared<TimingTransport>(std::make_shared<brivet::CurlTransport>());
    auto api = std::make_shared<brivet::DeviceAPI>(brivet::DeviceAPIConfiguration{service.baseURL(), "bench"}, timing,
                                                   [tokens] { return tokens->load(); });
    std::shared_ptr<brivet::StateStore> inner;
    if (fileStore)
        inner = std::make_shared<brivet::FileStateStore>(dir / "state.json", tokens);
    else
        inner = std::make_shared<brivet::InMemoryStateStore>();
    auto store = std::make_shared<TimingStateStore>(inner);
    const auto keys = json::parse(service.pinnedKeysJSON()).get<brivet::PinnedKeys>();
    auto client = std::make_shared<brivet::ProtectionClient>(api, store, keys, "bench");
    client->enroll("BENCH", "bench");
    // The in-memory store keeps the token in the state only.
    if (!fileStore) tokens->save(client->identity()->deviceToken);
    auto cache = std::make_shared<brivet::FileBlocklistCache>(dir / "blocklists");
    brivet::ProtectionEngine engine(client, brivet::RuleSetLoader(api, cache), std::make_shared<RunningFilter>(),
                                    std::make_shared<brivet::EventOutbox>(dir / "events-outbox.json"),
                                    std::make_shared<Host>(), cache);
    engine.policyRefreshInterval = 0;  // every tick asks for the policy: 304

    auto first = engine.tick();  // attests, checks, applies and publishes
    for (const auto& e : first.errors) std::fprintf(stderr, "first tick: %s\n", e.c_str());
    for (int i = 0; i < 20; ++i) engine.tick();

    timing->spent = {};
    timing->calls = 0;
    store->spent = {};
    const auto start = Clock::now();
    for (int i = 0; i < ticks; ++i) {
        auto report = engine.tick();
        if (!report.errors.empty() || !report.refresh ||
            report.refresh->kind != brivet::ProtectionClient::RefreshOutcome::Kind::unchanged) {
            std::fprintf(stderr, "unexpected tick: %s\n", report.errors.empty() ? "" : report.errors[0].c_str());
            std::exit(1);
        }
    }
    const auto wall = Clock::now() - start;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return Result{seconds(wall) / ticks, seconds(timing->spent) / ticks, seconds(store->spent) / ticks,
                  static_cast<double>(timing->calls) / ticks};
}

// The same two requests of a steady tick, made directly.
double baseline(brivet::dev::DevService& service, int rounds) {
    auto tokens = std::make_shared<brivet::InMemoryTokenStore>();
    auto api = std::make_shared<brivet::DeviceAPI>(brivet::DeviceAPIConfiguration{service.baseURL(), "bench"},
                                                   std::make_shared<brivet::CurlTransport>(),
                                                   [tokens] { return tokens->load(); });
    auto enrolled = api->enroll("BENCH", brivet::Platform::macos, "baseline", "baseline-installation");
    tokens->save(enrolled.deviceToken);
    const std::int64_t seq = service.currentPolicySeq();
    brivet::HeartbeatFacts facts("bench", "Debian 12", seq, true, true, false, false);
    for (int i = 0; i < 20; ++i) api->fetchPolicy(seq);
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (!api->fetchPolicy(seq).isNotModified()) std::exit(1);
        api->heartbeat(facts);
    }
    return seconds(Clock::now() - start) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    brivet::dev::DevServiceOptions options;
    options.acceptCodes = {"BENCH"};
    brivet::dev::DevService service(options);
    service.setBlocklist("ads", 1, json::array({{{"rule_type", "domain_suffix"}, {"value", "ads.example"}}}));
    service.setBlocklist("social", 1, json::array({{{"rule_type", "domain_suffix"}, {"value", "social.example"}}}));
    service.setPolicy(json{{"kind", "commitment"},
                           {"commitment_id", "bench"},
                           {"locked_until", "2099-01-01T00:00:00Z"},
                           {"categories", {"ads", "social"}},
                           {"blocklist_version", 1}});

    const double base = baseline(service, ticks);
    const Result file = run(service, true, ticks);
    const Result memory = run(service, false, ticks);

    std::printf("steady-state engine tick, %d ticks, %.1f requests per tick (policy 304 + heartbeat)\n", ticks,
                file.requests);
    std::printf("baseline: the same two requests alone     %9.1f us\n", base * 1e6);
    std::printf("tick with state.json (fsynced saves)      %9.1f us  (%.2fx baseline)\n", file.tick * 1e6,
                file.tick / base);
    std::printf("  inside HTTP round trips                 %9.1f us  %5.1f%%\n", file.http * 1e6,
                100 * file.http / file.tick);
    std::printf("  inside state saves                      %9.1f us  %5.1f%%\n", file.saves * 1e6,
                100 * file.saves / file.tick);
    std::printf("  engine's own work (rest)                %9.1f us  %5.1f%%\n",
                (file.tick - file.http - file.saves) * 1e6, 100 * (file.tick - file.http - file.saves) / file.tick);
    std::printf("tick with in-memory state                 %9.1f us  (%.2fx baseline)\n", memory.tick * 1e6,
                memory.tick / base);
    std::printf("  inside HTTP round trips                 %9.1f us  %5.1f%%\n", memory.http * 1e6,
                100 * memory.http / memory.tick);
    std::printf("  outside the network                     %9.1f us  %5.1f%%  (goal: under 5%%)\n",
                (memory.tick - memory.http) * 1e6, 100 * (memory.tick - memory.http) / memory.tick);
    return 0;
}

#pragma once
// A real AppState over the core's fakes, for the screens' tests: a scratch
// bundle in either mode, the local device service in-process, a filter and
// a host whose answers the test sets, and the manual executor stepped by
// hand (its clock is virtual; the engine's is the real one).

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/RFC3339.h"
#include "Keldra/AppState.h"
#include "keldra/DevService.h"
#include "keldra/TestFiles.h"

namespace keldra::test {

// The filter the engine sees: running or not, as the test says.
class SwitchFilter final : public brivet::FilterControl {
public:
    std::atomic<bool> running{true};
    std::optional<brivet::FilterStatus> status() override {
        brivet::FilterStatus s;
        s.running = running;
        return s;
    }
    void publish(const brivet::FilterRules&) override {}
    std::vector<brivet::CoalescedEvent> takeEvents() override { return {}; }
    void eventsQueued(const std::vector<brivet::CoalescedEvent>&) override {}
};

class SwitchHost final : public brivet::HostEnvironment {
public:
    std::atomic<bool> configured{true};
    std::string osVersion() const override { return "6.1.0"; }
    std::int64_t monotonicSeconds() const override { return 1000; }
    bool filterConfigured() override { return configured; }
    bool appMonitorRunning() const override { return false; }
};

// Stands in for pkexec: every run succeeds and does nothing.
class NoAdministrator final : public AdministratorRunner {
public:
    Result run(const std::vector<std::string>&) override { return {}; }
};

// A second release key, as every environment pins two.
inline constexpr const char* kSpareReleaseKey = "2rLJPFGUnvcOkX9ONhVcbXre5QUCKtHEAtjj6qHjuuc";
inline constexpr const char* kCode = "SCREENS-1";

enum class Mode { extension, beta };

struct FixtureOptions {
    Mode mode = Mode::extension;
    bool environmentFile = true;
    bool serviceInstalled = false;  // resolver-level: the unit file exists
};

struct AppFixture {
    using Options = FixtureOptions;

    TempDir dir{"keldra-screens"};
    std::unique_ptr<brivet::dev::DevService> service;
    std::shared_ptr<ManualExecutor> executor = std::make_shared<ManualExecutor>();
    std::shared_ptr<SwitchFilter> filter = std::make_shared<SwitchFilter>();
    std::shared_ptr<SwitchHost> host = std::make_shared<SwitchHost>();
    // The activation the filter installation asks; the test says what it answers.
    std::shared_ptr<FakeActivationBackend> activation = std::make_shared<FakeActivationBackend>();
    std::shared_ptr<BetaPaths> betaPaths;
    std::unique_ptr<AppState> state;

    explicit AppFixture(Options options = {}) {
        brivet::dev::DevServiceOptions serviceOptions;
        serviceOptions.name = "Keldra local";
        serviceOptions.acceptCodes = {kCode};
        service = std::make_unique<brivet::dev::DevService>(serviceOptions);
        service->setPolicy(nlohmann::json{
            {"kind", "commitment"},
            {"commitment_id", "screens"},
            {"locked_until", "2030-01-01T00:00:00Z"},
            {"categories", {"social_media", "gambling"}},
            {"custom_rules", nlohmann::json::array()},
            {"allow_rules", nlohmann::json::array()},
            {"blocklist_version", 1},
            {"offline_release_runtime_seconds", 604800},
            {"heartbeat_interval_seconds", 900},
        });
        service->setBlocklist("social_media", std::nullopt,
                              nlohmann::json::array({{{"rule_type", "domain"}, {"value", "social.test"}}}));
        service->setBlocklist("gambling", std::nullopt,
                              nlohmann::json::array({{{"rule_type", "domain"}, {"value", "casino.test"}}}));

        const auto contents = dir / "Keldra.app" / "Contents";
        std::filesystem::create_directories(contents / "Resources");
        nlohmann::json info{{"CFBundleShortVersionString", "1.0"}};
        if (options.mode == Mode::beta) info["BRIVET_BETA_PROXY"] = "YES";
        writeFile(contents / "Info.json", info.dump());
        if (options.environmentFile) writeFile(contents / "Resources" / "Environment.json", environmentJSON());

        AppServices services;
        services.executor = executor;
        const AppConfig config(Bundle(dir / "Keldra.app"));
        services.config = config;
        services.log = std::make_shared<RecordingLogger>();
        services.bus = std::make_shared<FakeSystemBus>();
        services.activation = activation;
        services.configurations = std::make_shared<FakeNetworkConfigurationStore>();
        services.keychain = std::make_shared<brivet::InMemoryKeychain>();
        services.transport = std::make_shared<brivet::CurlTransport>();
        const std::string data = (dir / "data").string();
        services.environment = [data](const std::string& name) -> std::optional<std::string> {
            if (name == "XDG_DATA_HOME") return data;
            if (name == "HOME") return data;
            return std::nullopt;
        };
        auto theFilter = filter;
        services.makeFilter = [theFilter](const std::optional<std::string>&) { return theFilter; };
        auto theHost = host;
        services.makeHost = [theHost](std::shared_ptr<FilterInstaller>, std::shared_ptr<AppLaunchMonitor>) {
            return theHost;
        };
        BetaPaths paths = BetaPaths::forBundle(config.bundle(), dir / "root");
        std::filesystem::create_directories(paths.root);
        std::filesystem::create_directories(paths.daemonPlist.parent_path());
        if (options.serviceInstalled) writeFile(paths.daemonPlist, "[Unit]\n");
        betaPaths = std::make_shared<BetaPaths>(paths);
        services.betaPaths = paths;
        services.administrator = std::make_shared<NoAdministrator>();
        services.dates = DateLocale{"en_US", "UTC"};
        state = std::make_unique<AppState>(std::move(services));
    }

    ~AppFixture() {
        // Ends the worker before the service it may be talking to.
        state.reset();
    }

    std::string environmentJSON() const {
        nlohmann::json env{
            {"name", "Keldra local"},
            {"api_base_url", service->baseURL()},
            {"dashboard_url", service->baseURL() + "/dashboard"},
            {"policy_keys", {{{"id", service->keyId(brivet::dev::KeyRole::policy)},
                              {"public", service->publicKey(brivet::dev::KeyRole::policy)}}}},
            {"release_keys", {{{"id", service->keyId(brivet::dev::KeyRole::release)},
                               {"public", service->publicKey(brivet::dev::KeyRole::release)}},
                              {{"id", "spare"}, {"public", kSpareReleaseKey}}}},
        };
        return env.dump(2);
    }

    // Runs the main thread's tasks until `done` holds.
    bool runUntil(const std::function<bool()>& done) { return executor->runUntil(done); }

    // Runs until nothing is busy and the worker has nothing left.
    bool settle() {
        return executor->runUntil([this] { return !state->busy(); });
    }

    // Enrols through the state and waits for the enrolment's own tick.
    bool enroll() {
        bool finished = false;
        state->enroll(kCode, "Screens", [&finished] { finished = true; });
        return runUntil([&] { return finished; }) && state->enrolled();
    }

    // Installs the filter through the state; the activation fails with
    // `message`.
    bool failFilterInstallation(const std::string& message) {
        activation->answerNextWith({FilterInstaller::Outcome::failed(message)});
        bool finished = false;
        state->installFilter([&finished] { finished = true; });
        return runUntil([&] { return finished; });
    }

    // Enrols through the state while the service answers the enrolment with
    // a 500 and `message`.
    bool failEnrollment(const std::string& message) {
        brivet::dev::Failure failure;
        failure.status = 500;
        failure.code = "server_error";
        failure.message = message;
        service->failEndpoint(brivet::dev::Endpoint::enroll, failure);
        bool finished = false;
        state->enroll(kCode, "Screens", [&finished] { finished = true; });
        const bool done = runUntil([&] { return finished; });
        service->clearFailure(brivet::dev::Endpoint::enroll);
        return done;
    }

    bool tick() {
        bool finished = false;
        state->tick([&finished] { finished = true; });
        return runUntil([&] { return finished; });
    }

    // Resolver-level mode: writes the service's status document with its
    // last tick `age` seconds before the virtual now.
    void writeStatus(double age, bool enrolled = true, bool filterRunning = true, std::int64_t blocked = 0) {
        const auto at = executor->now() - std::chrono::microseconds(static_cast<std::int64_t>(age * 1e6));
        nlohmann::json status{
            {"version", "0.1.0"},
            {"enrolled", enrolled},
            {"deviceId", "dev-1"},
            {"state", "protected"},
            {"filterRunning", filterRunning},
            {"dnsAsserted", true},
            {"policySeq", 3},
            {"committed", true},
            {"lockedUntil", "2030-01-01T00:00:00Z"},
            {"categories", {"social_media"}},
            {"blocked", blocked},
            {"answered", 40},
            {"lastTickAt", brivet::RFC3339::string(at)},
            {"errors", nlohmann::json::array()},
        };
        writeFile(betaPaths->statusFile(), status.dump());
        state->refreshBeta();
    }
};

}  // namespace keldra::test

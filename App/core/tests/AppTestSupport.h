#pragma once
// Shared pieces of the app-state tests: a bundle in a scratch folder, the
// app's services over fakes and the manual executor, a filter and a host
// the tests control.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "Keldra/AppState.h"
#include "keldra/TestFiles.h"

namespace apptest {

namespace fs = std::filesystem;
using nlohmann::json;

// A filter that reports what the test sets and takes any rules.
class ScriptedFilter final : public brivet::FilterControl {
public:
    std::optional<brivet::FilterStatus> status() override {
        std::lock_guard lock(mutex_);
        return status_;
    }
    void publish(const brivet::FilterRules&) override {}
    std::vector<brivet::CoalescedEvent> takeEvents() override { return {}; }
    void eventsQueued(const std::vector<brivet::CoalescedEvent>&) override {}

    void setStatus(std::optional<brivet::FilterStatus> status) {
        std::lock_guard lock(mutex_);
        status_ = std::move(status);
    }

private:
    std::mutex mutex_;
    std::optional<brivet::FilterStatus> status_ = brivet::FilterStatus{true, 0, 0, std::nullopt, 0};
};

// A host that counts engine ticks (each tick reads the monotonic clock once,
// first thing) and, when closed, holds a tick there until opened.
class GatedHost final : public brivet::HostEnvironment {
public:
    std::string osVersion() const override { return "6.1.0"; }
    std::int64_t monotonicSeconds() const override {
        std::unique_lock lock(mutex_);
        ++ticks_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        return 100;
    }
    bool filterConfigured() override { return true; }
    bool appMonitorRunning() const override { return false; }

    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    // Waits until `count` ticks have reached the host.
    bool waitForTicks(int count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ticks_ >= count; });
    }
    int ticks() const {
        std::lock_guard lock(mutex_);
        return ticks_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable int ticks_ = 0;
    bool open_ = true;
};

// Records the words it runs and answers what the test set; may write a
// status document as the service would.
class FakeAdministrator final : public keldra::AdministratorRunner {
public:
    Result run(const std::vector<std::string>& arguments) override {
        std::lock_guard lock(mutex_);
        runs.push_back(arguments);
        if (onRun) onRun();
        return answer;
    }
    void endPrompts() override { ++promptsEnded; }
    std::mutex mutex_;
    std::atomic<int> promptsEnded{0};
    std::vector<std::vector<std::string>> runs;
    Result answer{0, ""};
    std::function<void()> onRun;
};

// A minimal environment document with one policy key and two release keys.
inline json environmentDocument(const std::string& baseURL = "http://127.0.0.1:9") {
    const std::string key = "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo";
    return json{{"name", "Test service"},
                {"api_base_url", baseURL},
                {"dashboard_url", "https://dashboard.example/devices"},
                {"policy_keys", {{{"id", "p1"}, {"public", key}}}},
                {"release_keys", {{{"id", "r1"}, {"public", key}}, {{"id", "r2"}, {"public", key}}}}};
}

struct Harness {
    keldra::test::TempDir dir{"keldra-app"};
    fs::path bundle = dir / "Keldra.app";
    std::shared_ptr<keldra::ManualExecutor> executor = std::make_shared<keldra::ManualExecutor>();
    std::shared_ptr<keldra::WorkerStrand> strand = std::make_shared<keldra::WorkerStrand>(executor);
    std::shared_ptr<keldra::WorkerStrand> adminStrand = std::make_shared<keldra::WorkerStrand>(executor);
    std::shared_ptr<keldra::RecordingLogger> log = std::make_shared<keldra::RecordingLogger>();
    std::shared_ptr<keldra::FakeSystemBus> bus = std::make_shared<keldra::FakeSystemBus>();
    std::shared_ptr<keldra::FakeActivationBackend> activation = std::make_shared<keldra::FakeActivationBackend>();
    std::shared_ptr<keldra::FakeNetworkConfigurationStore> configurations =
        std::make_shared<keldra::FakeNetworkConfigurationStore>();
    std::shared_ptr<brivet::InMemoryKeychain> keychain = std::make_shared<brivet::InMemoryKeychain>();
    std::shared_ptr<ScriptedFilter> filter = std::make_shared<ScriptedFilter>();
    std::shared_ptr<GatedHost> host = std::make_shared<GatedHost>();
    std::shared_ptr<FakeAdministrator> administrator = std::make_shared<FakeAdministrator>();
    // Use the filter and host above; unset, the app builds its own.
    bool fakeFilter = true;
    bool fakeHost = true;
    json info = json::object();

    Harness() {
        fs::create_directories(bundle / "Contents" / "Resources");
        fs::create_directories(dir / "system");
        writeEnvironment(environmentDocument().dump());
    }
    ~Harness() {
        // A tick held at the host would keep the worker from ending.
        host->open();
    }

    void writeEnvironment(const std::string& text) const {
        keldra::test::writeFile(bundle / "Contents" / "Resources" / "Environment.json", text);
    }
    void removeEnvironment() const { fs::remove(bundle / "Contents" / "Resources" / "Environment.json"); }

    keldra::BetaPaths betaPaths() const {
        return keldra::BetaPaths{dir / "system" / "var-lib-keldra", dir / "system" / "keldra-proxy.service",
                                 bundle / "Contents" / "Resources"};
    }
    fs::path dataHome() const { return dir / "data"; }

    keldra::AppServices services() {
        keldra::test::writeFile(bundle / "Contents" / "Info.json", info.dump());
        keldra::AppServices s;
        s.executor = executor;
        s.strand = strand;
        s.adminStrand = adminStrand;
        s.config = keldra::AppConfig(keldra::Bundle(bundle));
        s.log = log;
        s.bus = bus;
        s.activation = activation;
        s.configurations = configurations;
        s.keychain = keychain;
        const fs::path home = dataHome();
        s.environment = [home](const std::string& name) -> std::optional<std::string> {
            if (name == "XDG_DATA_HOME") return home.string();
            if (name == "HOME") return home.string();
            return std::nullopt;
        };
        if (fakeFilter) {
            auto f = filter;
            s.makeFilter = [f](const std::optional<std::string>&) { return f; };
        }
        if (fakeHost) {
            auto h = host;
            s.makeHost = [h](std::shared_ptr<keldra::FilterInstaller>, std::shared_ptr<keldra::AppLaunchMonitor>) {
                return h;
            };
        }
        s.betaPaths = betaPaths();
        s.administrator = administrator;
        s.dates = keldra::DateLocale{"en_US", "UTC"};
        return s;
    }

    std::unique_ptr<keldra::AppState> make() { return std::make_unique<keldra::AppState>(services()); }

    // Runs the main thread until the worker has nothing left and nothing is
    // queued.
    bool settle() {
        return executor->runUntil([this] { 
            return strand->idle() && adminStrand->idle() && executor->readyCount() == 0;
        });
    }
};

// Runs `start` with a completion and settles; true when it completed.
template <class Start>
bool runToEnd(Harness& h, Start start) {
    bool done = false;
    start([&done] { done = true; });
    const bool settled = h.executor->runUntil([&] { return done; });
    return settled && done;
}

}  // namespace apptest

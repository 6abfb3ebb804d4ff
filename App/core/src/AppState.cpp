#include "Keldra/AppState.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Events.h"
#include "BrivetClient/Joined.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/RuleSetLoader.h"
#include "BrivetClient/StateStore.h"
#include "Keldra/FilterConnection.h"
#include "Keldra/SystemActivation.h"
#include "Keldra/TextRules.h"

namespace keldra {

namespace {

using brivet::joined;

constexpr const char* kTokenService = "io.tolvane.brivet";
constexpr const char* kTokenAccount = "device-token";
constexpr int kBetaWaitAttempts = 20;
constexpr double kBetaPollSeconds = 5;
constexpr double kBetaWaitSleepSeconds = 1;

// Answers the device token of the protection client built after the device
// service's client. Holds the protection client weakly: the client owns the
// service client, whose token source reads this box, and a strong hold
// would keep the pair alive for ever.
class TokenBox {
public:
    void setClient(const std::shared_ptr<brivet::ProtectionClient>& client) {
        std::lock_guard lock(mutex_);
        client_ = client;
    }
    std::optional<std::string> token() const {
        std::shared_ptr<brivet::ProtectionClient> client;
        {
            std::lock_guard lock(mutex_);
            client = client_.lock();
        }
        if (!client) return std::nullopt;
        const auto identity = client->identity();
        if (!identity) return std::nullopt;
        return identity->deviceToken;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<brivet::ProtectionClient> client_;
};

// What the worker reads of the protection client after each call, so the
// main thread never touches the client while the worker may.
struct ClientSnapshot {
    bool enrolled = false;
    std::optional<brivet::EffectivePolicy> policy;

    static ClientSnapshot of(const brivet::ProtectionClient& client) {
        return {client.identity().has_value(), client.effectivePolicy()};
    }
};

struct TickResult {
    brivet::TickReport report;
    bool dnsProxyEnabled = false;
    ClientSnapshot client;
};

// What the quit's flush leaves: the events still in the outbox, when it
// could be read.
struct FlushResult {
    std::optional<std::size_t> waiting;
};

// How many events wait in `outbox`; none when it cannot be read.
std::optional<std::size_t> waitingIn(const brivet::EventOutbox& outbox) {
    try {
        return outbox.pending().size();
    } catch (...) {
        return std::nullopt;
    }
}

struct EnableResult {
    std::optional<std::string> filterError;
    std::optional<std::string> dnsError;
};

// The message of a failure, as it came. It comes from outside (a parser, a
// tool, a server): the log line escapes it with brivet::logSafe(), and the
// panel with brivet::screenSafe() where it shows the error text.
std::string printed(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

// ---------------------------------------------------------------------------

struct AppState::Impl : std::enable_shared_from_this<AppState::Impl> {
    explicit Impl(AppServices services);

    // Fields.
    bool enrolled = false;
    std::optional<brivet::TickReport> lastReport;
    std::optional<brivet::Instant> lastTickAt;
    std::optional<InstallOutcome> installOutcome;
    bool dnsProxyEnabled = false;
    bool busy = false;
    std::optional<std::string> errorText;
    bool beta = false;
    std::optional<BetaStatus> betaStatus;
    bool betaInstalled = false;
    std::optional<ClientEnvironment> environment;
    std::shared_ptr<brivet::ProtectionEngine> engine;
    std::shared_ptr<brivet::ProtectionClient> client;
    std::shared_ptr<brivet::EventOutbox> outbox;
    std::optional<brivet::EffectivePolicy> policy;
    // An enrolment is on the worker (or queued there).
    bool enrolling = false;

    AppServices services;
    std::shared_ptr<Executor> executor;
    std::shared_ptr<WorkerStrand> strand;
    std::shared_ptr<WorkerStrand> adminStrand;
    std::shared_ptr<Logger> log;
    std::shared_ptr<FilterInstaller> installer;
    std::shared_ptr<AppLaunchMonitor> launches;
    std::shared_ptr<brivet::HostEnvironment> host;
    BetaPaths betaPaths;

    // The loop: present while `loopRunning`; a new start() or stop() moves
    // the generation on, which ends the old loop at its next step.
    bool loopRunning = false;
    std::uint64_t loopGeneration = 0;
    BusSubscription wakeToken;

    enum class StopPhase { running, stopping, stopped };
    StopPhase stopPhase = StopPhase::running;
    std::vector<Completion> stopWaiters;
    // The quit's wait for the worker passed kQuitWaitSeconds.
    bool flushCutShort = false;
    bool workerAbandoned = false;

    Observer observer;

    // --- helpers
    std::weak_ptr<Impl> weak() { return weak_from_this(); }
    void announce(Field field) {
        if (observer) observer(field);
    }
    template <class T>
    void set(T& field, T value, Field which) {
        if (field == value) return;
        field = std::move(value);
        announce(which);
    }
    void setBusy(bool value) { set(busy, value, Field::busy); }
    void setErrorText(std::optional<std::string> value) { set(errorText, std::move(value), Field::errorText); }

    void startExtension();
    void installLateCompletionHook();
    void loopStep(std::uint64_t generation);
    void tick(Completion done);
    void publishTick(TickResult result);
    void refreshBeta();
    void betaWait(int attempt, Completion done);
    void stop(Completion done);
    void quitWaitEnded();
    void quitGraceEnded();
    void flushEnded(std::optional<std::size_t> waiting);
    void finishStop();
    bool statusFresh(const BetaStatus& status) const;
};

AppState::Impl::Impl(AppServices given) : services(AppServices::system(std::move(given))) {
    executor = services.executor;
    strand = services.strand;
    adminStrand = services.adminStrand;
    log = services.log;
    betaPaths = *services.betaPaths;

    const AppConfig& config = *services.config;
    beta = config.betaProxy();
    installer = std::make_shared<FilterInstaller>(config.filterBundleID(), services.activation,
                                                  services.configurations);
    launches = std::make_shared<AppLaunchMonitor>(services.bus);
    host = services.makeHost ? services.makeHost(installer, launches)
                             : std::make_shared<LinuxHost>(installer, launches);
}

void AppState::Impl::startExtension() {
    const AppConfig& config = *services.config;
    ClientEnvironment loaded;
    try {
        loaded = ClientEnvironment::load(config.bundle());
    } catch (...) {
        const std::string text = printed(std::current_exception());
        errorText = "This build cannot start: " + text;
        log->error("startup failed: " + brivet::logSafe(text));
        installLateCompletionHook();
        return;
    }

    try {
        const brivet::AppGroup group = brivet::AppGroup::resolve(config.appGroup(), services.environment);
        auto tokens = std::make_shared<brivet::KeychainTokenStore>(services.keychain, kTokenService, kTokenAccount,
                                                                  config.keychainGroup(), config.signedBuild());
        auto store = std::make_shared<brivet::FileStateStore>(group.stateURL(), tokens);
        auto box = std::make_shared<TokenBox>();
        auto api = std::make_shared<brivet::DeviceAPI>(
            brivet::DeviceAPIConfiguration{loaded.apiBaseUrl, config.clientVersion()}, services.transport,
            [box] { return box->token(); });
        const brivet::ProtectionClient::Clock clock =
            services.engineClock ? brivet::ProtectionClient::Clock(services.engineClock)
                                 : brivet::ProtectionClient::systemClock();
        auto newClient = std::make_shared<brivet::ProtectionClient>(api, store, loaded.pinnedKeys(),
                                                                   config.clientVersion(), clock);
        box->setClient(newClient);
        auto cache = std::make_shared<brivet::FileBlocklistCache>(group.blocklistsURL());
        const auto serviceName = FilterXPCNames::machServiceName(config.filterExtensionURL());
        std::shared_ptr<brivet::FilterControl> filter =
            services.makeFilter ? services.makeFilter(serviceName) : std::make_shared<FilterConnection>(serviceName);
        // Every publish carries the signed policy its rules came from, which
        // the daemon verifies and enforces on its own.
        if (auto connection = std::dynamic_pointer_cast<FilterConnection>(filter)) {
            std::weak_ptr<brivet::ProtectionClient> weakClient = newClient;
            connection->setPolicySource([weakClient]() -> std::optional<std::string> {
                auto owner = weakClient.lock();
                if (!owner) return std::nullopt;
                return owner->state().policyEnvelope;
            });
        }
        auto newOutbox = std::make_shared<brivet::EventOutbox>(group.outboxURL());
        engine = std::make_shared<brivet::ProtectionEngine>(newClient, brivet::RuleSetLoader(api, cache), filter,
                                                            newOutbox, host, cache, clock);
        client = newClient;
        outbox = newOutbox;
    } catch (...) {
        // The stored state or the token could not be read. Starting without
        // it would enrol afresh over the old identity, so the app runs
        // without an engine and says why.
        const std::string text = printed(std::current_exception());
        errorText = "This build cannot start: " + text;
        log->error("startup failed: " + brivet::logSafe(text));
        installLateCompletionHook();
        return;
    }

    environment = std::move(loaded);
    errorText.reset();
    const ClientSnapshot snapshot = ClientSnapshot::of(*client);
    enrolled = snapshot.enrolled;
    policy = snapshot.policy;
    installLateCompletionHook();
}

void AppState::Impl::installLateCompletionHook() {
    // Outcomes arrive on the installer's delivery thread. They pass through
    // the strand activate() runs on, so that one arriving right after
    // activate() returned is stored after that call's own outcome, never
    // before it.
    std::weak_ptr<Impl> self = weak();
    std::weak_ptr<WorkerStrand> worker = adminStrand;
    installer->setOnLateCompletion([self, worker](InstallOutcome outcome) {
        auto strandNow = worker.lock();
        if (!strandNow) return;
        strandNow->run<InstallOutcome>([outcome] { return outcome; },
                                       [self](StrandResult<InstallOutcome> result) {
                                           auto state = self.lock();
                                           if (!state) return;
                                           state->set(state->installOutcome,
                                                      std::optional<InstallOutcome>(result.value()),
                                                      Field::installOutcome);
                                           state->tick({});
                                       });
    });
}

// --- Loop --------------------------------------------------------------------

void AppState::Impl::loopStep(std::uint64_t generation) {
    if (!loopRunning || generation != loopGeneration) return;
    std::weak_ptr<Impl> self = weak();
    if (beta) {
        refreshBeta();
        executor->postAfter(kBetaPollSeconds, [self, generation] {
            if (auto state = self.lock()) state->loopStep(generation);
        });
        return;
    }
    tick([self, generation] {
        auto state = self.lock();
        if (!state || !state->loopRunning || generation != state->loopGeneration) return;
        const double interval = heartbeatSleepSeconds(state->engine != nullptr, state->policy);
        state->executor->postAfter(interval, [self, generation] {
            if (auto later = self.lock()) later->loopStep(generation);
        });
    });
}

void AppState::Impl::tick(Completion done) {
    if (beta) {
        refreshBeta();
        if (done) done();
        return;
    }
    // No engine, another tick or an action in progress, or quitting: skipped.
    if (!engine || busy || stopPhase != StopPhase::running) {
        if (done) done();
        return;
    }
    setBusy(true);
    auto engineNow = engine;
    auto installerNow = installer;
    std::weak_ptr<Impl> self = weak();
    strand->run<TickResult>(
        [engineNow, installerNow] {
            TickResult result;
            result.report = engineNow->tick();
            result.dnsProxyEnabled = installerNow->isDNSProxyEnabled();
            result.client = ClientSnapshot::of(*engineNow->client);
            return result;
        },
        [self, done](StrandResult<TickResult> result) {
            if (auto state = self.lock()) {
                if (result.ok()) {
                    state->publishTick(result.value());
                } else {
                    // The engine never throws; should anything else, the
                    // tick counts as not having happened.
                    state->log->error("tick failed: " + brivet::logSafe(printed(result.error())));
                }
                state->setBusy(false);
            }
            if (done) done();
        });
}

void AppState::Impl::publishTick(TickResult result) {
    set(dnsProxyEnabled, result.dnsProxyEnabled, Field::dnsProxyEnabled);
    policy = result.client.policy;
    const brivet::TickReport& report = result.report;
    lastReport = report;
    announce(Field::lastReport);
    lastTickAt = executor->now();
    announce(Field::lastTickAt);
    set(enrolled, result.client.enrolled, Field::enrolled);
    std::string line = std::string("tick enrolled=") + (report.enrolled ? "true" : "false");
    // The state and the errors hold the service's own texts.
    line += " state=" + brivet::logSafe(report.protectionState.value_or("-"));
    line += std::string(" filter=") + (report.filterRunning ? "true" : "false");
    line += " rules=" + std::to_string(report.rulesPublished.value_or(0));
    line += " events=" + std::to_string(report.eventsSent);
    std::vector<std::string> errors;
    for (const auto& error : report.errors) errors.push_back(brivet::logSafe(error));
    line += " errors=" + joined(errors, "; ");
    log->info(line);
}

void AppState::Impl::stop(Completion done) {
    if (stopPhase == StopPhase::stopped) {
        if (done) done();
        return;
    }
    if (done) stopWaiters.push_back(std::move(done));
    if (stopPhase == StopPhase::stopping) return;
    stopPhase = StopPhase::stopping;

    loopRunning = false;
    ++loopGeneration;
    launches->stop();
    // An activation, an enable step or a service installation may wait on
    // a password prompt: given up, whatever it would have answered, and the
    // prompt itself ended, so none outlives the app. A step already running
    // as root finishes; its outcome shows at the next start.
    adminStrand->abandon();
    services.administrator->endPrompts();
    if (!engine) {
        finishStop();
        return;
    }
    // An enrolment the person started is not worth waiting for once they
    // quit: its request ends now, and the enrolment fails.
    if (enrolling) services.transport->cancelRequests();
    // Queued behind any tick or enrolment in flight on the worker, so the
    // flush never runs while the engine is busy. The flush saves every
    // event to the outbox before it sends any, so a cut wait loses none.
    auto engineNow = engine;
    auto outboxNow = outbox;
    std::weak_ptr<Impl> self = weak();
    strand->run<FlushResult>(
        [engineNow, outboxNow] {
            engineNow->flushEvents();
            return FlushResult{waitingIn(*outboxNow)};
        },
        [self](StrandResult<FlushResult> result) {
            if (auto state = self.lock()) state->flushEnded(result.ok() ? result.value().waiting : std::nullopt);
        });
    executor->postAfter(kQuitWaitSeconds, [self] {
        if (auto state = self.lock()) state->quitWaitEnded();
    });
}

void AppState::Impl::quitWaitEnded() {
    if (stopPhase != StopPhase::stopping) return;
    flushCutShort = true;
    // Every request in flight ends now and no later one goes out, so what
    // is left of a tick and of the flush runs without the service: the
    // events are saved, and the worker returns.
    services.transport->close();
    std::weak_ptr<Impl> self = weak();
    executor->postAfter(kQuitGraceSeconds, [self] {
        if (auto state = self.lock()) state->quitGraceEnded();
    });
}

void AppState::Impl::quitGraceEnded() {
    if (stopPhase != StopPhase::stopping) return;
    // The worker still waits on something other than the service (the
    // filter's link): it is left to end on its own, and the app ends.
    strand->abandon();
    workerAbandoned = true;
    flushEnded(waitingIn(*outbox));
}

void AppState::Impl::flushEnded(std::optional<std::size_t> waiting) {
    if (stopPhase != StopPhase::stopping) return;
    std::string count = "the events wait";
    if (waiting) count = std::to_string(*waiting) + (*waiting == 1 ? " event waits" : " events wait");
    const std::string rest = count + " in the outbox for the next start";
    if (flushCutShort) {
        log->log(LogLevel::notice, "quit: the flush was cut short after " +
                                       std::to_string(static_cast<int>(kQuitWaitSeconds)) + " s; " + rest);
    } else if (waiting && *waiting > 0) {
        log->log(LogLevel::notice, "quit: " + rest);
    }
    finishStop();
}

void AppState::Impl::finishStop() {
    stopPhase = StopPhase::stopped;
    std::vector<Completion> waiters = std::move(stopWaiters);
    stopWaiters.clear();
    for (auto& waiter : waiters) {
        if (waiter) waiter();
    }
}

// --- Resolver-level service ----------------------------------------------------

bool AppState::Impl::statusFresh(const BetaStatus& status) const {
    return isFresh(status.lastTickAt, executor->now());
}

void AppState::Impl::refreshBeta() {
    std::error_code error;
    const bool installed = std::filesystem::exists(betaPaths.daemonPlist, error) && !error;
    set(betaInstalled, installed, Field::betaInstalled);
    set(betaStatus, BetaStatus::read(betaPaths.statusFile()), Field::betaStatus);
    set(enrolled, betaStatus ? betaStatus->enrolled : false, Field::enrolled);
}

void AppState::Impl::betaWait(int attempt, Completion done) {
    refreshBeta();
    const bool reporting = betaStatus && betaStatus->enrolled && statusFresh(*betaStatus);
    std::weak_ptr<Impl> self = weak();
    auto finish = [self, done] {
        if (auto state = self.lock()) state->setBusy(false);
        if (done) done();
    };
    if (reporting) {
        finish();
        return;
    }
    executor->postAfter(kBetaWaitSleepSeconds, [self, attempt, done, finish] {
        auto state = self.lock();
        if (!state) {
            if (done) done();
            return;
        }
        if (attempt >= kBetaWaitAttempts) {
            finish();
            return;
        }
        state->betaWait(attempt + 1, done);
    });
}

// ---------------------------------------------------------------------------

AppState::AppState(AppServices services) : impl_(std::make_shared<Impl>(std::move(services))) {
    if (impl_->beta) {
        try {
            impl_->environment = ClientEnvironment::load(impl_->services.config->bundle());
        } catch (...) {
            // The resolver-level mode runs without it; only the "Server: "
            // line is missing.
        }
        impl_->refreshBeta();
    } else {
        impl_->startExtension();
    }
}

AppState::~AppState() {
    if (impl_) impl_->installer->setOnLateCompletion(nullptr);
}

void AppState::setObserver(Observer observer) { impl_->observer = std::move(observer); }

void AppState::start() {
    Impl& s = *impl_;
    if (s.stopPhase != Impl::StopPhase::running) return;
    if (!s.beta) {
        s.launches->start();
        std::weak_ptr<Impl> self = s.weak();
        auto executor = s.executor;
        s.wakeToken = s.services.bus->subscribeWake([self, executor] {
            executor->post([self] {
                if (auto state = self.lock()) state->tick({});
            });
        });
    }
    s.loopRunning = true;
    const std::uint64_t generation = ++s.loopGeneration;
    std::weak_ptr<Impl> self = s.weak();
    s.executor->post([self, generation] {
        if (auto state = self.lock()) state->loopStep(generation);
    });
}

void AppState::tick(Completion done) { impl_->tick(std::move(done)); }

void AppState::stop(Completion done) { impl_->stop(std::move(done)); }

bool AppState::stopping() const { return impl_->stopPhase == Impl::StopPhase::stopping; }
bool AppState::stopped() const { return impl_->stopPhase == Impl::StopPhase::stopped; }
bool AppState::workerAbandoned() const { return impl_->workerAbandoned; }

void AppState::enroll(const std::string& code, const std::string& name, Completion done) {
    Impl& s = *impl_;
    if (!s.engine) {
        if (done) done();
        return;
    }
    s.setBusy(true);
    s.setErrorText(std::nullopt);
    s.enrolling = true;
    const std::string trimmed = trimWhitespaceAndNewlines(code);
    auto client = s.client;
    std::weak_ptr<Impl> self = s.weak();
    s.strand->run<ClientSnapshot>(
        [client, trimmed, name] {
            client->enroll(trimmed, name);
            return ClientSnapshot::of(*client);
        },
        [self, done](StrandResult<ClientSnapshot> result) {
            auto state = self.lock();
            if (!state) {
                if (done) done();
                return;
            }
            state->enrolling = false;
            if (!result.ok()) {
                std::string text;
                try {
                    std::rethrow_exception(result.error());
                } catch (const brivet::APIError& error) {
                    text = AppState::describe(error);
                } catch (...) {
                    text = printed(std::current_exception());
                }
                // The service's own message: the screen shows it, and the
                // log keeps it.
                state->log->error("enrollment failed: " + brivet::logSafe(text));
                state->setErrorText(text);
                state->setBusy(false);
                if (done) done();
                return;
            }
            state->policy = result.value().policy;
            state->set(state->enrolled, true, Field::enrolled);
            state->setBusy(false);
            std::weak_ptr<Impl> again = self;
            state->tick([again, done] {
                if (auto later = again.lock()) later->setBusy(false);
                if (done) done();
            });
        });
}

void AppState::installFilter(Completion done) {
    Impl& s = *impl_;
    s.setBusy(true);
    s.setErrorText(std::nullopt);
    auto installer = s.installer;
    std::weak_ptr<Impl> self = s.weak();
    auto closingTick = [self, done] {
        auto state = self.lock();
        if (!state) {
            if (done) done();
            return;
        }
        state->setBusy(false);
        std::weak_ptr<Impl> again = self;
        state->tick([again, done] {
            if (auto later = again.lock()) later->setBusy(false);
            if (done) done();
        });
    };
    s.adminStrand->run<InstallOutcome>(
        [installer] { return installer->activate(); },
        [self, installer, closingTick, done](StrandResult<InstallOutcome> result) {
            auto state = self.lock();
            if (!state) {
                if (done) done();
                return;
            }
            const InstallOutcome outcome =
                result.ok() ? result.value() : InstallOutcome::failed(printed(result.error()));
            state->set(state->installOutcome, std::optional<InstallOutcome>(outcome), Field::installOutcome);
            if (outcome.value == InstallOutcome::Case::failed) {
                state->setErrorText("Could not install the filter: " + outcome.message);
                closingTick();
                return;
            }
            state->adminStrand->run<EnableResult>(
                [installer] {
                    EnableResult enabled;
                    try {
                        installer->enableFilter();
                    } catch (...) {
                        enabled.filterError = printed(std::current_exception());
                    }
                    try {
                        installer->enableDNSProxy();
                    } catch (...) {
                        enabled.dnsError = printed(std::current_exception());
                    }
                    return enabled;
                },
                [self, closingTick](StrandResult<EnableResult> enabledResult) {
                    if (auto later = self.lock()) {
                        const EnableResult enabled = enabledResult.value();
                        if (enabled.filterError) {
                            later->setErrorText("Could not enable the filter: " + *enabled.filterError);
                        }
                        if (enabled.dnsError) {
                            std::string text = later->errorText ? *later->errorText + " " : std::string();
                            later->setErrorText(text + "Could not enable the DNS proxy: " + *enabled.dnsError);
                        } else {
                            later->set(later->dnsProxyEnabled, true, Field::dnsProxyEnabled);
                        }
                    }
                    closingTick();
                });
        });
}

void AppState::installBeta(const std::string& code, const std::string& name, Completion done) {
    Impl& s = *impl_;
    s.setBusy(true);
    s.setErrorText(std::nullopt);
    const std::string trimmed = trimWhitespaceAndNewlines(code);
    const std::optional<std::string> givenCode = trimmed.empty() ? std::nullopt : std::optional(trimmed);
    const BetaPaths paths = s.betaPaths;
    std::shared_ptr<AdministratorRunner> runner = s.services.administrator;
    std::weak_ptr<Impl> self = s.weak();
    s.adminStrand->run<void>([paths, givenCode, name, runner] { BetaProxy::install(paths, givenCode, name, *runner); },
                        [self, done](StrandResult<void> result) {
                            auto state = self.lock();
                            if (!state) {
                                if (done) done();
                                return;
                            }
                            if (!result.ok()) {
                                state->setErrorText(printed(result.error()));
                                state->refreshBeta();
                                state->setBusy(false);
                                if (done) done();
                                return;
                            }
                            state->betaWait(1, done);
                        });
}

void AppState::refreshBeta() { impl_->refreshBeta(); }

// --- Field access ------------------------------------------------------------

bool AppState::enrolled() const { return impl_->enrolled; }
const std::optional<brivet::TickReport>& AppState::lastReport() const { return impl_->lastReport; }
const std::optional<brivet::Instant>& AppState::lastTickAt() const { return impl_->lastTickAt; }
const std::optional<InstallOutcome>& AppState::installOutcome() const { return impl_->installOutcome; }
bool AppState::dnsProxyEnabled() const { return impl_->dnsProxyEnabled; }
bool AppState::busy() const { return impl_->busy; }
const std::optional<std::string>& AppState::errorText() const { return impl_->errorText; }
bool AppState::beta() const { return impl_->beta; }
const std::optional<BetaStatus>& AppState::betaStatus() const { return impl_->betaStatus; }
bool AppState::betaInstalled() const { return impl_->betaInstalled; }
const std::optional<ClientEnvironment>& AppState::environment() const { return impl_->environment; }
bool AppState::hasEngine() const { return impl_->engine != nullptr; }
const std::optional<brivet::EffectivePolicy>& AppState::effectivePolicy() const { return impl_->policy; }
std::int64_t AppState::launchesObserved() const { return impl_->launches->launchesObserved(); }
double AppState::loopInterval() const {
    return impl_->beta ? kBetaPollSeconds : heartbeatSleepSeconds(hasEngine(), impl_->policy);
}
const AppConfig& AppState::config() const { return *impl_->services.config; }
const DateLocale& AppState::dates() const { return *impl_->services.dates; }
brivet::Instant AppState::now() const { return impl_->executor->now(); }

double heartbeatSleepSeconds(bool hasEngine, const std::optional<brivet::EffectivePolicy>& policy) {
    if (!hasEngine || !policy) return 900;
    const double wanted = static_cast<double>(std::max<std::int64_t>(policy->heartbeatIntervalSeconds, 60));
    return std::min(wanted, kLongestSleepSeconds);
}

// --- The real platform -----------------------------------------------------

AppServices AppServices::system(AppServices s) {
    if (!s.executor) throw std::invalid_argument("the app state needs a main-thread executor");
    if (!s.strand) s.strand = std::make_shared<WorkerStrand>(s.executor);
    if (!s.adminStrand) s.adminStrand = std::make_shared<WorkerStrand>(s.executor);
    if (!s.config) s.config = AppConfig::main();
    if (!s.log) s.log = std::make_shared<SystemLogger>("app");
    // A lost bus is said in the app's log, so a missed wake or launch has
    // its reason there.
    if (!s.bus) s.bus = std::make_shared<SdBusSystemBus>(SdBusSystemBus::Logging{s.log});
    if (!s.administrator) s.administrator = std::make_shared<PkexecRunner>();
    // The system helper activates the extension and saves the configurations.
    if (!s.activation) s.activation = std::make_shared<HelperActivationBackend>(s.config->bundle().url(), s.administrator);
    if (!s.configurations) {
        s.configurations = std::make_shared<FileNetworkConfigurationStore>(
            brivet::platform::networkConfigurationsFile(), std::make_shared<HelperConfigurationWriter>(s.administrator));
    }
    if (!s.keychain) {
        s.keychain = std::make_shared<brivet::FileKeychain>(
            brivet::platform::userApplicationSupport(s.environment) / "Keldra" / "keychain");
    }
    if (!s.transport) s.transport = std::make_shared<brivet::CurlTransport>();
    if (!s.betaPaths) s.betaPaths = BetaPaths::forBundle(s.config->bundle());
    if (!s.administrator) s.administrator = std::make_shared<PkexecRunner>();
    if (!s.dates) s.dates = DateLocale::fromEnvironment();
    return s;
}

std::unique_ptr<AppState> AppState::launch(std::shared_ptr<Executor> executor, std::shared_ptr<Logger> log) {
    AppServices services;
    services.executor = std::move(executor);
    services.log = std::move(log);
    return std::make_unique<AppState>(std::move(services));
}

}  // namespace keldra

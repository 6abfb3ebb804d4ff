#pragma once
// The one object that holds everything the app knows and shows.
//
// It lives on the main thread: every member below is called there, and
// everything it does on other threads comes back there through the executor.
// Every call into the engine and the protection client runs on one worker
// strand, one at a time, so an engine tick, an enrolment and the quit-time
// flush never overlap. Calls that may wait on the administrator's password
// (the filter's activation and its enable steps, the service installer) run
// on a strand of their own, so the quit never waits on a person; at quit a
// pending one is abandoned, its outcome dropped and its password prompt
// ended.
//
// Asynchronous operations take a completion that runs on the main thread
// when the operation has ended (also when it was skipped). Published fields
// announce each change through the one observer, after the change, so the
// screens redraw from the new values.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/Keychain.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/PlatformPaths.h"
#include "BrivetClient/RFC3339.h"
#include "Keldra/AppConfig.h"
#include "Keldra/BetaProxy.h"
#include "Keldra/ClientEnvironment.h"
#include "Keldra/DateText.h"
#include "Keldra/Executor.h"
#include "Keldra/FilterInstaller.h"
#include "Keldra/Host.h"
#include "Keldra/Log.h"
#include "Keldra/StatusTexts.h"
#include "Keldra/SystemBus.h"
#include "Keldra/WorkerStrand.h"

namespace keldra {

using InstallOutcome = FilterInstaller::Outcome;

// Everything the app state is built over. Only the executor is required;
// every member left unset is the real one (AppServices::system()).
struct AppServices {
    // The main thread.
    std::shared_ptr<Executor> executor;
    // The worker for the engine's and the protection client's calls; made
    // over `executor` when absent.
    std::shared_ptr<WorkerStrand> strand;
    // The worker for calls that may wait on a password prompt; made over
    // `executor` when absent.
    std::shared_ptr<WorkerStrand> adminStrand;
    // The Info values and the bundle they come from; the main bundle's.
    std::optional<AppConfig> config;
    // The channel "app" of the system log.
    std::shared_ptr<Logger> log;
    // Wake and launch events: the system's buses.
    std::shared_ptr<SystemBus> bus;
    // The filter installer's two seams: the stand-in activation backend
    // until a system helper exists, and the root-owned configuration file.
    std::shared_ptr<FilterInstaller::ActivationBackend> activation;
    std::shared_ptr<NetworkConfigurationStore> configurations;
    // Where the device token is kept: a file keychain in the user's data
    // folder ("Keldra/keychain").
    std::shared_ptr<brivet::Keychain> keychain;
    // The device service's transport: libcurl.
    std::shared_ptr<brivet::HTTPTransport> transport;
    // The environment variables the data folders follow ($XDG_DATA_HOME).
    brivet::platform::EnvironmentLookup environment = brivet::platform::processEnvironment;
    // The engine's filter for the extension's service name (absent when the
    // extension bundle names none); a FilterConnection when not set.
    std::function<std::shared_ptr<brivet::FilterControl>(const std::optional<std::string>&)> makeFilter;
    // The engine's host; a LinuxHost over the installer and the monitor
    // when not set.
    std::function<std::shared_ptr<brivet::HostEnvironment>(std::shared_ptr<FilterInstaller>,
                                                           std::shared_ptr<AppLaunchMonitor>)>
        makeHost;
    // The clock of the engine and the protection client; the system clock
    // when not set.
    std::function<brivet::Instant()> engineClock;
    // The resolver-level service's fixed places, and the administrator
    // runner (pkexec).
    std::optional<BetaPaths> betaPaths;
    std::shared_ptr<AdministratorRunner> administrator;
    // Locale and time zone of the date texts; from the environment.
    std::optional<DateLocale> dates;

    // Fills every unset member with the real one.
    static AppServices system(AppServices given);
};

class AppState {
public:
    // The published fields.
    enum class Field {
        enrolled,
        lastReport,
        lastTickAt,
        installOutcome,
        dnsProxyEnabled,
        busy,
        errorText,
        betaStatus,
        betaInstalled,
    };
    using Observer = std::function<void(Field)>;
    using Completion = std::function<void()>;

    // Chooses the mode and, in the extension mode, builds the engine's whole
    // object graph from `services`. Never fails: a start-up failure is kept
    // in errorText() and the log, and the app runs on without an engine.
    explicit AppState(AppServices services);
    ~AppState();

    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    // The app as it runs: the main bundle found from the executable, the
    // real platform layers, the given main-thread executor and log (the
    // system log's channel "app" when null).
    static std::unique_ptr<AppState> launch(std::shared_ptr<Executor> executor, std::shared_ptr<Logger> log = nullptr);

    // The one observer of published fields; replaces any earlier one.
    void setObserver(Observer observer);

    // --- Loop, wake and quit ---------------------------------------------

    // Starts the loop of the mode: in the extension mode also the launch
    // monitor and the wake observer; a second start() replaces the loop.
    void start();
    // One pass: an engine tick with publication (extension mode) or a
    // re-read of the service's status (resolver-level mode). Skipped while
    // busy.
    void tick(Completion done = {});
    // Ends the loop, stops the launch monitor, ends any password prompt and
    // any enrolment's request and, after any engine work in flight, flushes
    // the pending events. It waits kQuitWaitSeconds at most for that work:
    // then every request ends, the events stay in the outbox for the next
    // start, and one log line says so and how many wait. Runs once: a call
    // while it runs, or after it ended, completes when the first one does.
    void stop(Completion done = {});
    bool stopping() const;
    bool stopped() const;
    // The stop ended with the worker still inside a call, left to end on
    // its own: the process must end without running destructors it shares.
    bool workerAbandoned() const;

    // --- User actions ----------------------------------------------------

    void enroll(const std::string& code, const std::string& name, Completion done = {});
    void installFilter(Completion done = {});
    void installBeta(const std::string& code, const std::string& name, Completion done = {});
    void refreshBeta();

    // --- Fields ------------------------------------------------------------

    bool enrolled() const;
    const std::optional<brivet::TickReport>& lastReport() const;
    const std::optional<brivet::Instant>& lastTickAt() const;
    const std::optional<InstallOutcome>& installOutcome() const;
    bool dnsProxyEnabled() const;
    bool busy() const;
    const std::optional<std::string>& errorText() const;
    // True in the resolver-level mode; fixed for the life of the object.
    bool beta() const;
    const std::optional<BetaStatus>& betaStatus() const;
    bool betaInstalled() const;
    const std::optional<ClientEnvironment>& environment() const;
    // Present only in a successfully started extension mode.
    bool hasEngine() const;
    // The protection client's effective policy as the last call on the
    // worker left it.
    const std::optional<brivet::EffectivePolicy>& effectivePolicy() const;
    std::int64_t launchesObserved() const;
    // The sleep that follows the loop's next tick, in seconds.
    double loopInterval() const;
    // The Info values the state was built over.
    const AppConfig& config() const;
    // Locale and time zone of the date texts.
    const DateLocale& dates() const;
    // The main thread's clock.
    brivet::Instant now() const;

    // --- Texts ---------------------------------------------------------------

    std::string headline() const;
    std::string symbolName() const;
    std::optional<std::string> commitmentLine() const;
    std::optional<std::string> categoriesLine() const;
    std::vector<std::string> diagnostics() const;
    // "Last check " and the time of day of lastTickAt(); none before a tick.
    std::optional<std::string> lastCheckLine() const;
    // Resolver-level mode: the service has no fresh status or does not run.
    bool serviceNeedsRepair() const;
    // The environment's dashboard address; none without an environment.
    std::optional<std::string> dashboardUrl() const;
    // The message of a failed enrolment for a device-service error.
    static std::string describe(const brivet::APIError& error);
    // Every field the texts and the menu read, as they are now.
    AppSnapshot snapshot() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// How long the quit waits for the engine's work in flight and the flush
// before it ends their requests; and how long it then waits for the worker
// to return before it leaves it behind.
inline constexpr double kQuitWaitSeconds = 5;
inline constexpr double kQuitGraceSeconds = 1;

// The longest sleep the loop takes, in seconds: the largest whole number of
// seconds whose count of nanoseconds fits an unsigned 64-bit number.
inline constexpr double kLongestSleepSeconds = 18446744073.0;

// The loop's sleep after a tick: the policy's heartbeat interval but at
// least 60 seconds (bounded by kLongestSleepSeconds), or 900 seconds
// without an engine or a policy.
double heartbeatSleepSeconds(bool hasEngine, const std::optional<brivet::EffectivePolicy>& policy);

}  // namespace keldra

#pragma once
// The one object that holds everything the app knows and shows.
//
// It lives on the main thread: every member below is called there, and
// everything it does on other threads comes back there through the executor.
// Every call into the engine, the protection client, the filter installer
// and the service installer runs on one worker strand, one at a time, so an
// engine tick, an enrolment and the quit-time flush never overlap.
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
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"
#include "Keldra/Executor.h"

namespace keldra {

struct AppServices;
struct BetaStatus;
struct ClientEnvironment;
struct InstallOutcome;

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
    // real platform layers, the given main-thread executor.
    static std::unique_ptr<AppState> launch(std::shared_ptr<Executor> executor);

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
    // Ends the loop, stops the launch monitor and, after any engine work in
    // flight, flushes the pending events. Runs once: a call while it runs,
    // or after it ended, completes when the first one does.
    void stop(Completion done = {});
    bool stopping() const;
    bool stopped() const;

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

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// The longest sleep the loop takes, in seconds: the largest whole number of
// seconds whose count of nanoseconds fits an unsigned 64-bit number.
inline constexpr double kLongestSleepSeconds = 18446744073.0;

// The loop's sleep after a tick: the policy's heartbeat interval but at
// least 60 seconds (bounded by kLongestSleepSeconds), or 900 seconds
// without an engine or a policy.
double heartbeatSleepSeconds(bool hasEngine, const std::optional<brivet::EffectivePolicy>& policy);

}  // namespace keldra

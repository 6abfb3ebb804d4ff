#include "keldra-proxy/Program.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "BrivetClient/Events.h"
#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/Joined.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSetLoader.h"
#include "keldra-proxy/Log.h"
#include "keldra-proxy/Startup.h"
#include "keldra-proxy/StatusDocument.h"

namespace brivet {

namespace {

Instant now() { return ProtectionClient::systemClock()(); }

// Holds back the lines the parts built at start-up log (a planted data file,
// say) until the program has said which server and which directory it uses;
// from then on, or once start-up ends without getting there, lines pass
// straight through.
class DeferredLog {
public:
    using Sink = std::function<void(const std::string&)>;

    explicit DeferredLog(Sink sink) : sink_(std::move(sink)) {}

    void operator()(const std::string& message) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!released_) {
                held_.push_back(message);
                return;
            }
        }
        sink_(message);
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (released_) return;
        released_ = true;
        for (const auto& message : held_) sink_(message);
        held_.clear();
    }

private:
    Sink sink_;
    std::mutex mutex_;
    bool released_ = false;
    std::vector<std::string> held_;
};

// Lets the held lines out when start-up fails before they would be.
struct ReleaseOnExit {
    std::shared_ptr<DeferredLog> log;
    ~ReleaseOnExit() { log->release(); }
};

}  // namespace

Program::Program(Options options, ProgramSettings settings)
    : settings_(std::move(settings)), options_(std::move(options)), group_(kGroupIdentifier, {}) {
    if (!settings_.log) settings_.log = logLine;
    if (!settings_.sleep) settings_.sleep = sleepSeconds;

    // The environment file: --env when given (even empty), else the default.
    const std::filesystem::path environmentFile = options_.env ? std::filesystem::path(*options_.env)
                                                               : settings_.defaultEnvironment;
    try {
        environment_ = DevEnvironment::load(environmentFile);
    } catch (const std::exception& error) {
        log("cannot load Environment.json: " + logSafe(error.what()));
        throw ProgramExit(1);
    }

    // The data directory; a failure shows in the steps that use it.
    directory_ = std::filesystem::path(options_.dir);
    std::error_code ignored;
    std::filesystem::create_directories(directory_, ignored);

    group_ = AppGroup(kGroupIdentifier, directory_);
    tokens_ = std::make_shared<FileTokenStore>(directory_ / "device-token");
    store_ = std::make_shared<FileStateStore>(group_.stateURL(), tokens_);
    box_ = std::make_shared<TokenBox>();
    api_ = std::make_shared<DeviceAPI>(DeviceAPIConfiguration{environment_.apiBaseUrl, kClientVersion},
                                       std::make_shared<CurlTransport>(), TokenBox::tokenSource(box_));
    try {
        client_ = std::make_shared<ProtectionClient>(
            api_, store_, PinnedKeys(environment_.policyKeys, environment_.releaseKeys), kClientVersion);
    } catch (const std::exception& error) {
        log("cannot start the client: " + logSafe(error.what()));
        throw ProgramExit(1);
    }
    box_->setClient(client_);
    const auto deferred = std::make_shared<DeferredLog>(settings_.log);
    const ReleaseOnExit releaseOnExit{deferred};
    const auto startupLog = [deferred](const std::string& message) { (*deferred)(message); };
    cache_ = std::make_shared<FileBlocklistCache>(group_.blocklistsURL(), startupLog);
    filter_ = std::make_shared<LocalFilter>(group_, LocalFilter::systemClock(), startupLog);
    host_ = std::make_shared<DevHost>();
    engine_ = std::make_unique<ProtectionEngine>(client_, RuleSetLoader(api_, cache_), filter_,
                                                 std::make_shared<EventOutbox>(group_.outboxURL(), settings_.log), host_,
                                                 cache_);

    upstreams_ = chooseUpstreams(options_.upstreams, systemUpstreams(settings_.resolvConf));

    const std::optional<ListenAddress> listen = parseListenAddress(options_.listen);
    if (!listen) {
        log("--listen must be HOST:PORT");
        throw ProgramExit(2);
    }
    listen_ = *listen;
    // The settings would point at 127.0.0.1:53; anywhere else nothing would
    // answer there and the machine would lose DNS.
    if (options_.assertDNS) {
        if (const auto problem = assertDNSListenProblem(listen_.host, listen_.port)) {
            log(*problem);
            throw ProgramExit(2);
        }
        if (const auto problem = assertDNSUpstreamProblem(upstreams_)) {
            log(*problem);
            throw ProgramExit(2);
        }
    }

    statusURL_ = options_.status ? std::filesystem::path(*options_.status) : directory_ / "status.json";
    dnsRecordURL_ = directory_ / "dns-before.json";

    log("server " + logSafe(environment_.name) + " at " + logSafe(environment_.apiBaseUrl));
    log("state in " + logSafe(directory_.string()));
    deferred->release();

    // Forwarding to the proxy's own address would send queries round in a
    // loop.
    upstreams_ = upstreamsWithoutSelf(upstreams_, listen_.host, listen_.port, DNSProxy::kUpstreamPort,
                                      settings_.log);
}

Program::~Program() = default;

void Program::log(const std::string& message) const { settings_.log(message); }

int Program::runMainTask() {
    if (options_.enroll) enroll(*options_.enroll);

    if (!client_->identity()) {
        log(notEnrolledText());
        throw ProgramExit(1);
    }

    rebuildRules();
    startListener();
    filter_->markStarted(now());
    host_->setListening(true);
    log("DNS proxy listening on " + listen_.host + ":" + std::to_string(listen_.port) + ", forwarding to " +
        joined(upstreams_, ", "));

    if (options_.assertDNS) checkDNS();

    for (;;) {
        ProtectionEngine::TickReport report = engine_->tick();
        // One reading of the counters for the document and the line.
        const std::int64_t blocked = proxy_->blocked();
        const std::int64_t answered = proxy_->answered();
        // A refused token lasts until a heartbeat gets through. It is said
        // once in the log, and in the document for as long as it lasts,
        // instead of the same error of every step on every tick.
        const bool refused = takeTokenRefusals(report);
        if (refused != tokenRefused_ && (refused || report.protectionState)) {
            tokenRefused_ = refused;
            log(refused ? kTokenRefusedText : "the device service accepts this device's token again");
        }
        ProtectionEngine::TickReport shown = report;
        if (tokenRefused_) shown.errors.insert(shown.errors.begin(), kTokenRefusedText);
        writeStatus(shown, blocked, answered);
        log(tickLine(report, blocked, answered));
        if (options_.once) return 0;
        settings_.sleep(options_.interval);
        if (options_.assertDNS) checkDNS();
    }
}

void Program::enroll(const std::string& code) {
    const std::optional<DeviceIdentity> previous = client_->identity();
    DeviceIdentity identity;
    try {
        identity = client_->enroll(code, options_.name);
    } catch (...) {
        log("enrollment failed: " + logSafe(ProtectionEngine::describe(std::current_exception())));
        throw ProgramExit(1);
    }
    log("enrolled as device " + logSafe(identity.deviceId));

    // A new identity starts its policies again at a low sequence, which the
    // saved rules of the previous identity would refuse for ever.
    try {
        filter_->resetRulesForIdentity(previous ? std::optional<std::string>(previous->deviceId) : std::nullopt,
                                       identity.deviceId);
    } catch (const std::exception& error) {
        // The rules in memory are empty already, and the next publish
        // replaces the file.
        log("cannot reset the filter rules: " + logSafe(error.what()));
    }
}

void Program::rebuildRules() {
    // Rules from the file, or published since: nothing to do.
    if (filter_->hasSavedRules() || filter_->policySeq() != 0) return;
    const std::optional<EffectivePolicy> policy = client_->effectivePolicy();
    if (!policy) return;
    // The service may not answer for a long while, and the first tick waits
    // for it: only the blocklist cache is asked. The tick publishes again
    // with whatever the cache lacks.
    RuleSetLoadResult loaded;
    try {
        loaded = RuleSetLoader(nullptr, cache_).load(*policy);
        filter_->publish(FilterRules::make(*policy, std::move(loaded.ruleSet), loaded.missing, now()));
    } catch (const std::exception& error) {
        log("cannot rebuild the filter rules: " + logSafe(error.what()));
        return;
    }
    std::string line = "rebuilt the filter rules of policy " + std::to_string(policy->policySeq) +
                       " from the stored policy and the blocklist cache";
    if (!loaded.missing.empty()) {
        std::vector<std::string> missing;
        for (const auto& category : loaded.missing) missing.push_back(logSafe(category));
        line += "; not cached, left to the next tick: " + joined(missing, ", ");
    }
    log(line);
}

bool Program::takeTokenRefusals(ProtectionEngine::TickReport& report) {
    return std::erase_if(report.errors, [](const std::string& error) {
               const auto colon = error.find(": ");
               return colon != std::string::npos && error.compare(colon + 2, 8, "http 401") == 0 &&
                      (error.size() == colon + 10 || error[colon + 10] == ' ');
           }) > 0;
}

void Program::startListener() {
    auto log = settings_.log;
    auto terminate = settings_.terminate;
    auto restore = [options = options_, settings = settings_, turn = dnsTurn_] {
        std::lock_guard<std::mutex> lock(turn->mutex);
        turn->ending = true;
        restoreDNSOnExit(options, settings);
    };
    proxy_ = std::make_unique<DNSProxy>(*filter_, upstreams_, DNSProxy::kUpstreamPort, DNSProxy::kUpstreamTimeout,
                                        log, [log, terminate, restore](const std::string& error) {
                                            log("udp listener failed: " + logSafe(error));
                                            restore();
                                            if (terminate) terminate(1);
                                        });
    try {
        proxy_->start(listen_.host, listen_.port);
    } catch (const std::exception& error) {
        this->log("cannot listen on " + logSafe(options_.listen) + ": " + logSafe(error.what()) +
                  ". Port 53 needs sudo; try --listen 127.0.0.1:5354 without it.");
        throw ProgramExit(1);
    }
}

void Program::checkDNS() {
    std::lock_guard<std::mutex> lock(dnsTurn_->mutex);
    if (dnsTurn_->ending) return;
    const NetworkTool tool = settings_.networkTool ? *settings_.networkTool : NetworkTool::system();
    const bool ok = DNSSettings::assertServers(dnsRecordURL_, tool, settings_.log);
    if (!ok) log("dns settings were changed; pointed them back at 127.0.0.1");
    host_->setDNSPointsHere(ok);
}

void Program::writeStatus(const ProtectionEngine::TickReport& report, std::int64_t blocked,
                          std::int64_t answered) {
    StatusFile::make(report, *client_, *filter_, *host_, blocked, answered, now()).write(statusURL_);
}

std::string Program::tickLine(const ProtectionEngine::TickReport& report, std::int64_t blocked,
                              std::int64_t answered) {
    std::string line = std::string("tick enrolled=") + (report.enrolled ? "true" : "false");
    // The state comes from the saved policy, so it is outside text too.
    line += " state=" + logSafe(report.protectionState.value_or("unknown"));
    line += std::string(" filter=") + (report.filterRunning ? "true" : "false");
    line += " rules=" + (report.rulesPublished ? std::to_string(*report.rulesPublished) : std::string("-"));
    line += " events=" + std::to_string(report.eventsSent);
    line += " blocked=" + std::to_string(blocked);
    line += " answered=" + std::to_string(answered);
    if (!report.errors.empty()) {
        // The errors hold the service's own texts.
        std::vector<std::string> errors;
        for (const auto& error : report.errors) errors.push_back(logSafe(error));
        line += " errors=" + joined(errors, "; ");
    }
    return line;
}

std::vector<std::string> Program::chooseUpstreams(const std::optional<std::vector<std::string>>& given,
                                                  const std::vector<std::string>& system) {
    if (given) return *given;
    if (!system.empty()) return system;
    return {"1.1.1.1", "8.8.8.8"};
}

std::vector<std::string> Program::systemUpstreams(const std::filesystem::path& resolvConf) {
    std::vector<std::string> out;
    for (auto& server : ResolvConf::systemNameservers({"1.1.1.1", "8.8.8.8"}, resolvConf)) {
        if (server.starts_with("127.") || server == "::1") continue;
        out.push_back(std::move(server));
    }
    return out;
}

std::string Program::notEnrolledText() {
    return "not enrolled. Add a device on the dashboard and run again with --enroll CODE --name \"This Mac\"";
}

int runProgram(const std::vector<std::string>& arguments, ProgramSettings settings) {
    Options options;
    try {
        options = Options::parse(arguments);
    } catch (const OptionsExit& exit) {
        std::fputs(exit.standardOutput.c_str(), stdout);
        std::fputs(exit.standardError.c_str(), stderr);
        std::fflush(stdout);
        std::fflush(stderr);
        return exit.status;
    }
    if (!settings.log) settings.log = logLine;
    const Options given = options;
    const ProgramSettings kept = settings;
    try {
        Program program(std::move(options), std::move(settings));
        return program.runMainTask();
    } catch (const ProgramExit& exit) {
        if (exit.status != 0) restoreDNSOnExit(given, kept);
        return exit.status;
    } catch (const std::exception& error) {
        // Whatever ends the proxy unforeseen leaves the machine resolving.
        (kept.log ? kept.log : ProgramSettings::LogFunction(logLine))("error: " + logSafe(error.what()));
        restoreDNSOnExit(given, kept);
        return 1;
    }
}

void restoreDNSOnExit(const Options& options, const ProgramSettings& settings) {
    if (!options.assertDNS) return;
    const NetworkTool tool = settings.networkTool ? *settings.networkTool : NetworkTool::system();
    const auto result = DNSSettings::restoreServers(std::filesystem::path(options.dir), tool);
    const auto log = settings.log ? settings.log : ProgramSettings::LogFunction(logLine);
    switch (result.outcome) {
    case DNSSettings::RestoreResult::Outcome::notPointedHere:
        break;
    case DNSSettings::RestoreResult::Outcome::restored:
        log("put the DNS settings back with " + logSafe(result.script.string()) +
            ", so that names resolve while this proxy does not run");
        break;
    case DNSSettings::RestoreResult::Outcome::failed:
        log("cannot put the DNS settings back with " + logSafe(result.script.string()) + ": " +
            logSafe(result.problem) + "; they still point at 127.0.0.1");
        break;
    }
}

}  // namespace brivet

#include "keldra-filter/Daemon.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/LogText.h"
#include "keldra-filter/Configurations.h"
#include "keldra-filter/LinkServer.h"
#include "keldra-filter/SignedPolicy.h"
#include "keldra-proxy/DevEnvironment.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <stdexcept>
#include <ctime>
#include <unistd.h>

namespace keldra::filter {
namespace {

std::optional<nlohmann::json> readJSON(const std::filesystem::path& file) {
    std::string text;
    try {
        if (!brivet::readWholeFile(file, text)) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    return json;
}

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

bool parseHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    try {
        const auto value = std::stoul(text.substr(colon + 1));
        if (value > 65535) return false;
        port = static_cast<std::uint16_t>(value);
    } catch (const std::exception&) {
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return true;
}

const char* const kUsage =
    "usage: keldra-filter [--state DIR] [--configurations FILE] [--socket PATH] [--pid-file FILE] [--env FILE]\n"
    "                     [--identifier ID] [--app-executable PATH] [--dns-listen HOST:PORT]\n"
    "                     [--dns-upstream-port PORT] [--resolv-conf FILE] [--resolved-runtime DIR]\n"
    "                     [--resolved-dropin FILE] [--resolved-reload PROGRAM] [--queue NUMBER]\n"
    "                     [--queue-length PACKETS]\n"
    "                     [--iptables PROGRAM] [--ip6tables PROGRAM] [--poll-ms MS]\n"
    "       keldra-filter --reset-rules [--state DIR]\n"
    "       keldra-filter --help";

}  // namespace

std::optional<std::filesystem::path> installedAppBundle(const std::filesystem::path& stateFolder) {
    const auto json = readJSON(stateFolder / installationFileName);
    if (!json) return std::nullopt;
    const auto bundle = stringMember(*json, "appBundle");
    if (!bundle || bundle->empty()) return std::nullopt;
    return std::filesystem::path(*bundle);
}

ParsedCommand parseCommand(const std::vector<std::string>& arguments, const std::filesystem::path& executable) {
    ParsedCommand parsed;
    DaemonSettings& s = parsed.settings;
    // The extension's own Info dictionary: Contents/bin/keldra-filter ->
    // Contents/Info.json.
    if (const auto info = readJSON(executable.parent_path().parent_path() / "Info.json")) {
        if (auto id = stringMember(*info, "CFBundleIdentifier")) s.identifier = *id;
        if (auto extension = info->find("NetworkExtension"); extension != info->end() && extension->is_object()) {
            if (auto name = stringMember(*extension, "NEMachServiceName")) s.socketPath = *name;
        }
    }
    std::optional<std::filesystem::path> appExecutable;
    bool resolverFileGiven = false, runtimeGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--reset-rules") {
            parsed.resetRules = true;
            continue;
        }
        if (option == "--help" || option == "-h") {
            parsed.usage = kUsage;
            return parsed;
        }
        if (i + 1 >= arguments.size()) {
            parsed.error = "missing value for " + option + "\n" + kUsage;
            return parsed;
        }
        const std::string& value = arguments[++i];
        std::uint16_t port = 0;
        if (option == "--state") {
            s.stateFolder = value;
        } else if (option == "--configurations") {
            s.configurations = value;
        } else if (option == "--socket") {
            s.socketPath = value;
        } else if (option == "--pid-file") {
            s.pidFile = value;
        } else if (option == "--env") {
            s.environmentFile = value;
        } else if (option == "--identifier") {
            s.identifier = value;
        } else if (option == "--app-executable") {
            appExecutable = value;
        } else if (option == "--dns-listen") {
            if (!parseHostPort(value, s.dns.listenHost, s.dns.listenPort)) {
                parsed.error = "bad --dns-listen " + value;
                return parsed;
            }
        } else if (option == "--dns-upstream-port" || option == "--queue") {
            std::string host;
            if (!parseHostPort("x:" + value, host, port)) {
                parsed.error = "bad " + option + " " + value;
                return parsed;
            }
            (option == "--queue" ? s.content.queueNumber : s.dns.upstreamPort) = port;
        } else if (option == "--queue-length") {
            try {
                std::size_t used = 0;
                const unsigned long length = std::stoul(value, &used);
                if (used != value.size() || length == 0 || length > 1000000) throw std::out_of_range(value);
                s.content.queueLength = static_cast<std::uint32_t>(length);
            } catch (const std::exception&) {
                parsed.error = "bad --queue-length " + value;
                return parsed;
            }
        } else if (option == "--resolv-conf") {
            s.dns.resolverFile = value;
            resolverFileGiven = true;
        } else if (option == "--resolved-runtime") {
            s.dns.resolved.runtime = value;
            runtimeGiven = true;
        } else if (option == "--resolved-dropin") {
            s.dns.resolved.dropIn = value;
        } else if (option == "--resolved-reload") {
            s.dns.resolved.reload = {value};
        } else if (option == "--iptables") {
            s.content.iptables = value;
        } else if (option == "--ip6tables") {
            s.content.ip6tables = value;
        } else if (option == "--poll-ms") {
            try {
                s.pollInterval = std::chrono::milliseconds(std::max(10L, std::stol(value)));
            } catch (const std::exception&) {
                parsed.error = "bad --poll-ms " + value;
                return parsed;
            }
        } else {
            parsed.error = "unknown option " + option + "\n" + kUsage;
            return parsed;
        }
    }
    // A resolver file of its own (as in tests) never reaches the machine's
    // resolved unless its places are given too.
    if (resolverFileGiven && !runtimeGiven) s.dns.resolved.runtime.clear();
    const auto bundle = installedAppBundle(s.stateFolder);
    if (appExecutable) {
        s.peers.appExecutable = *appExecutable;
    } else if (bundle) {
        s.peers.appExecutable = *bundle / "Contents" / "bin" / "Keldra";
    }
    if (s.environmentFile.empty() && bundle) s.environmentFile = *bundle / "Contents" / "Resources" / "Environment.json";
    return parsed;
}

std::optional<PolicyTrust> Daemon::loadTrust() const {
    if (settings_.environmentFile.empty()) {
        log_("no installed app names an environment file: no signed policy can be verified");
        return std::nullopt;
    }
    // Whoever may write the file could pin keys of their own.
    if (!rootOwnedAllTheWay(settings_.environmentFile)) {
        log_("environment " + brivet::logSafe(settings_.environmentFile.string()) +
             " is missing or not root's alone: no signed policy can be verified");
        return std::nullopt;
    }
    try {
        const auto environment = brivet::DevEnvironment::load(settings_.environmentFile);
        return PolicyTrust{environment.apiBaseUrl, brivet::PinnedKeys(environment.policyKeys, environment.releaseKeys)};
    } catch (const std::exception& error) {
        log_("environment " + brivet::logSafe(settings_.environmentFile.string()) + " not read (" +
             brivet::logSafe(error.what()) + "): no signed policy can be verified");
        return std::nullopt;
    }
}

Daemon::Daemon(DaemonSettings settings, Log log)
    : settings_(std::move(settings)), log_(log ? std::move(log) : Log([](const std::string&) {})) {}

int Daemon::run(const std::atomic<bool>* stop) {
    FilterState state(settings_.stateFolder, {}, {}, {}, log_);
    SignedPolicy policy(state, loadTrust(), log_);
    policy.start();
    DNSProvider::restoreLeftover(settings_.stateFolder, settings_.dns, log_);
    ContentFilter content(state, settings_.content, log_);
    DNSProvider dns(state, settings_.dns, settings_.stateFolder, log_);
    LinkServer link(settings_.socketPath, state, policy, [this] { return running_.load(); },
                    settings_.peers, log_);
    try {
        link.start();
    } catch (const std::exception& error) {
        log_(std::string("cannot serve the app: ") + error.what());
        return 1;
    }
    if (!settings_.pidFile.empty()) {
        try {
            brivet::AtomicWriteOptions options;
            options.mode = 0644;
            brivet::atomicWrite(settings_.pidFile, std::to_string(::getpid()) + "\n", options);
        } catch (const std::exception& error) {
            log_(std::string("cannot write the pid file: ") + error.what());
        }
    }
    log_("serving " + settings_.socketPath.string() + " with rules of policy " + std::to_string(state.policySeq()) +
         (settings_.peers.appExecutable.empty() ? std::string(", callers: root only")
                                                : ", callers: root and " + settings_.peers.appExecutable.string()));

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    ConfigurationsReader configurations(settings_.configurations, settings_.identifier, log_,
                                        settings_.stateFolder / "configurations-in-force.json");
    ProviderSwitches current;
    bool first = true;
    while (!(stop != nullptr && stop->load())) {
        if (auto read = configurations.read()) {
            if (first || !(*read == current)) {
                log_(std::string("configurations: content filter ") + (read->contentFilter ? "on" : "off") +
                     ", DNS proxy " + (read->dnsProxy ? "on" : "off"));
            }
            current = *read;
            first = false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (current.contentFilter && !content.serving() && now >= contentRetry_) {
            try {
                content.start();
                if (!content.complete()) contentRetry_ = now + settings_.retryInterval;
            } catch (const std::exception& error) {
                log_(std::string("content filter not started: ") + brivet::logSafe(error.what()));
                contentRetry_ = now + settings_.retryInterval;
            }
        } else if (current.contentFilter && !content.complete() && now >= contentRetry_) {
            content.retryFailedFamilies();
            contentRetry_ = now + settings_.retryInterval;
        } else if (!current.contentFilter && content.serving()) {
            content.stop();
        }
        if (current.dnsProxy && !dns.serving() && now >= dnsRetry_) {
            try {
                dns.start();
            } catch (const std::exception& error) {
                log_(std::string("DNS proxy not started: ") + error.what());
                dnsRetry_ = now + settings_.retryInterval;
            }
        } else if (!current.dnsProxy && dns.serving()) {
            dns.stop();
        }
        // Running: something is switched on, and everything switched on
        // serves (the content filter in every family the kernel has).
        running_ = (current.contentFilter || current.dnsProxy) && (!current.contentFilter || content.complete()) &&
                   (!current.dnsProxy || dns.serving());

        const auto interval = settings_.pollInterval;
        timespec timeout{static_cast<time_t>(interval.count() / 1000), static_cast<long>(interval.count() % 1000) * 1000000L};
        const int signal = ::sigtimedwait(&signals, nullptr, &timeout);
        if (signal == SIGTERM || signal == SIGINT) {
            log_("stopping");
            break;
        }
    }
    running_ = false;
    content.stop();
    dns.stop();
    link.stop();
    if (!settings_.pidFile.empty()) {
        std::error_code ec;
        std::filesystem::remove(settings_.pidFile, ec);
    }
    return 0;
}

}  // namespace keldra::filter

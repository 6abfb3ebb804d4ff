#pragma once
// keldra-filter's whole run: the state, the link, and the two providers
// switched on and off as the saved network configurations say (the document
// is read again every poll interval, so changes need no restart).

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keldra-filter/ContentFilter.h"
#include "keldra-filter/DNSProvider.h"
#include "keldra-filter/PeerCheck.h"
#include "keldra-filter/SignedPolicy.h"

namespace keldra::filter {

struct DaemonSettings {
    std::filesystem::path stateFolder = "/var/lib/keldra-filter";
    std::filesystem::path configurations = "/etc/keldra/network-configurations.json";
    std::filesystem::path socketPath = "/run/keldra/filter.sock";
    std::filesystem::path pidFile;  // none when empty
    // The environment file with the service's address and the pinned keys:
    // --env, else the installed app's Contents/Resources/Environment.json.
    std::filesystem::path environmentFile;
    std::string identifier = "io.tolvane.brivet.filter";
    PeerCheck peers;
    DNSProviderSettings dns;
    ContentFilterSettings content;
    std::chrono::milliseconds pollInterval{1000};
    std::chrono::milliseconds retryInterval{10000};
};

// The installation record the activation helper leaves in the state folder:
// {"appBundle": "<path of Keldra.app>"}.
inline constexpr const char* installationFileName = "installation.json";
std::optional<std::filesystem::path> installedAppBundle(const std::filesystem::path& stateFolder);

// The settings from the command line and the extension's own bundle.
// Returns the usage text on bad options. `argv0Executable` is the running
// program (/proc/self/exe).
struct ParsedCommand {
    DaemonSettings settings;
    bool resetRules = false;
    std::optional<std::string> error;
    std::optional<std::string> usage;  // --help: the usage text, and nothing else to do
};
ParsedCommand parseCommand(const std::vector<std::string>& arguments, const std::filesystem::path& executable);

class Daemon {
public:
    using Log = std::function<void(const std::string&)>;

    Daemon(DaemonSettings settings, Log log);

    // Serves until SIGTERM or SIGINT (which the caller blocks in every
    // thread before), or until `stop` becomes true; then puts back every
    // change. Returns the exit status.
    int run(const std::atomic<bool>* stop = nullptr);

private:
    // The service's address and pinned keys; none (logged) when the
    // environment file is missing or unreadable.
    std::optional<PolicyTrust> loadTrust() const;
    void apply(bool wantContentFilter, bool wantDNSProxy, std::chrono::steady_clock::time_point now);

    DaemonSettings settings_;
    Log log_;
    std::atomic<bool> running_{false};
    std::chrono::steady_clock::time_point contentRetry_{}, dnsRetry_{};
};

}  // namespace keldra::filter

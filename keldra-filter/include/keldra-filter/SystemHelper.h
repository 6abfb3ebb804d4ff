#pragma once
// The privileged helper the app runs through pkexec (never through a shell):
//
//   keldra-helper activate BUNDLE
//       Copies the filter extension out of the app bundle BUNDLE to a
//       root-owned place (replacing any copy there, whatever its version),
//       records the bundle as the installed app, and (re)starts the daemon:
//       through the systemd unit keldra-filter.service (written, enabled,
//       restarted) where systemd runs, else directly.
//   keldra-helper save-configurations DOCUMENT
//       Writes the network-configurations document (root-owned, readable by
//       all). It never switches off or re-points a configuration that is on:
//       nothing reached through the password prompt's grace period can weaken
//       the filter.
//
// Both exit 0 on success, else 1 with the reason on standard error. Every
// fixed place lies under a root folder ("/" on a real machine; tests use a
// scratch folder).

#include <filesystem>
#include <string>
#include <vector>

namespace keldra::filter {

struct SystemPlaces {
    std::filesystem::path root = "/";

    std::filesystem::path under(const std::filesystem::path& absolute) const {
        return root == "/" ? absolute : root / absolute.relative_path();
    }
    std::filesystem::path extensionsFolder() const { return under("/usr/local/lib/keldra"); }
    std::filesystem::path stateFolder() const { return under("/var/lib/keldra-filter"); }
    std::filesystem::path configurationsFile() const { return under("/etc/keldra/network-configurations.json"); }
    std::filesystem::path unitFile() const { return under("/etc/systemd/system/keldra-filter.service"); }
    std::filesystem::path systemdRunning() const { return under("/run/systemd/system"); }
    std::filesystem::path pidFile() const { return under("/run/keldra/keldra-filter.pid"); }
    std::filesystem::path logFile() const { return under("/var/log/keldra-filter.log"); }
};

struct HelperResult {
    int status = 0;
    std::string message;  // the reason on failure
};

// Runs one helper command (the arguments after the program name).
HelperResult runSystemHelper(const std::vector<std::string>& arguments, const SystemPlaces& places);

// The systemd unit that runs the daemon at `daemon`.
std::string filterUnit(const std::filesystem::path& daemon);

// Empty when `proposed` may replace `current` (documents of the network
// configurations); otherwise why not.
std::string configurationChangeRefusal(const std::string& current, const std::string& proposed);

}  // namespace keldra::filter

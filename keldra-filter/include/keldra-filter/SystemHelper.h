#pragma once
// The privileged helper the app runs through pkexec (never through a shell):
//
//   keldra-helper activate BUNDLE
//       BUNDLE is the calling app's own bundle. The helper never takes the
//       program it runs as root from its caller: it only compares BUNDLE
//       with the app's install location, fixed when the helper was built,
//       and refuses any other. It copies the filter extension out of the
//       bundle at that location (which root must own, writable by no one
//       else all the way up) to a root-owned place (replacing any copy there,
//       whatever its version), records that bundle as the installed app, and
//       (re)starts the daemon: through the systemd unit keldra-filter.service
//       (written, enabled, restarted) where systemd runs, else directly.
//       When the copy in place is already byte for byte the one in the
//       bundle, nothing is copied and a daemon running it is left running
//       (systemd's "start" rather than "restart"); it still counts as
//       activated.
//   keldra-helper save-configurations DOCUMENT
//       Writes the network-configurations document (root-owned, readable by
//       all), compactly; one over the limits of Configurations.h is refused.
//       It never switches off or re-points a configuration that is on, as
//       the daemon reads it (a DNS proxy naming another extension is off):
//       nothing reached through the password prompt's grace period can weaken
//       the filter.
//
// Both exit 0 on success, else 1 with the reason on standard error, as it
// is (outside text such as systemctl's output included): the app escapes
// it where it shows it. Every
// fixed place lies under a root folder ("/" on a real machine; tests use a
// scratch folder). Nothing is written to a place that a user other than
// root could swap: each target and every folder above it must belong to
// root and be writable by no one else, and a symbolic link at a target is
// refused, never followed.

#include <filesystem>
#include <string>
#include <vector>

namespace keldra::filter {

struct SystemPlaces {
    std::filesystem::path root = "/";
    // Where the app bundle is installed, as an absolute path on the machine
    // (the build's install prefix joined with the app's folder); it lies
    // under `root` like every other place.
    std::filesystem::path installedApp;

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
    std::filesystem::path installedAppBundle() const { return installedApp.empty() ? installedApp : under(installedApp); }
    // Present on Debian machines that keep /usr/local writable by the group
    // staff.
    std::filesystem::path staffGroupMarker() const { return under("/etc/staff-group-for-usr-local"); }
};

struct HelperResult {
    int status = 0;
    std::string message;  // the reason on failure
};

// Runs one helper command (the arguments after the program name).
HelperResult runSystemHelper(const std::vector<std::string>& arguments, const SystemPlaces& places);

// Empty when `target` may be written by root: it is no symbolic link, and
// it (when it exists) and every folder above it belong to root and are
// writable by neither group nor others (a root-owned folder with the
// sticky bit excepted: others cannot rename or remove what root put in it).
// Otherwise a message saying which place could be swapped.
std::string unsafeTargetReason(const std::filesystem::path& target, const SystemPlaces& places);

// The systemd unit that runs the daemon at `daemon`.
std::string filterUnit(const std::filesystem::path& daemon);

// Empty when `proposed` may replace `current` (documents of the network
// configurations, read for the extension `identifier` as the daemon reads
// them); otherwise why not.
std::string configurationChangeRefusal(const std::string& current, const std::string& proposed,
                                       const std::string& identifier);

}  // namespace keldra::filter

#pragma once
// Pointing systemd-resolved at a local resolver. Where resolved manages DNS,
// programs that resolve through it never read the resolver file: it only
// names resolved's stub (127.0.0.53). There our resolver is put in front with
// a drop-in of resolved's own configuration,
//   [Resolve]
//   DNS=127.0.0.1
//   Domains=~.
// and resolved is reloaded. Removing the drop-in (and reloading) puts
// resolved's own configuration back. The servers resolved used before are
// read from its runtime resolver file, which lists its real upstreams.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brivet {

struct ResolvedPaths {
    // resolved's runtime folder; its "resolv.conf" lists the upstreams.
    std::filesystem::path runtime = "/run/systemd/resolve";
    // Our drop-in.
    std::filesystem::path dropIn = "/etc/systemd/resolved.conf.d/keldra.conf";
    // How resolved is told to read its configuration again.
    std::vector<std::string> reload = {"systemctl", "reload-or-restart", "systemd-resolved"};
};

// The address of resolved's stub listener.
extern const char* const kResolvedStub;

// True when resolved manages this machine's DNS: its runtime folder exists,
// and the resolver file is a link into it or names only the stub.
bool resolvedManagesDNS(const std::filesystem::path& resolverFile, const ResolvedPaths& paths);

// The servers resolved forwards to (its runtime resolver file), without the
// stub and without `exclude`.
std::vector<std::string> resolvedUpstreams(const ResolvedPaths& paths, const std::string& exclude = "127.0.0.1");

// The servers our drop-in names, or nothing when it is not in place.
std::optional<std::vector<std::string>> resolvedDropInServers(const ResolvedPaths& paths);

// Writes the drop-in naming `servers` and reloads resolved. Returns the
// reason on failure.
std::optional<std::string> pointResolvedAt(const std::vector<std::string>& servers, const ResolvedPaths& paths);

// Removes the drop-in (if any) and reloads resolved. Returns the reason on
// failure.
std::optional<std::string> removeResolvedDropIn(const ResolvedPaths& paths);

}  // namespace brivet

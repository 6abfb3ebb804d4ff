#pragma once
// The DNS-settings tool of this platform: the system resolver file stands for
// the machine's one network service. It answers the three argument forms the
// proxy uses:
//   -listallnetworkservices          header line, then the one service name
//   -getdnsservers SERVICE           one server per line, or the
//                                    "There aren't any DNS Servers" line
//   -setdnsservers SERVICE A [B...]  replaces the file's nameserver lines
//   -setdnsservers SERVICE Empty     removes them
// Other lines of the file (search, options, comments) are kept in place.

#include "keldra-proxy/ResolvedDropIn.h"

#include <filesystem>
#include <string>
#include <vector>

namespace brivet {

// The name under which the resolver file is listed as a network service.
extern const char* const kResolverServiceName;

// The lines of a text split at line feeds, empty ones kept, nothing trimmed;
// a final line feed ends the last line.
std::vector<std::string> splitLines(const std::string& text);

struct NetworkSetupResult {
    int status = 0;
    std::string standardOutput;
    std::string standardError;
};

// Runs one argument form against the resolver file at `resolverFile`.
NetworkSetupResult runResolverNetworkSetup(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& resolverFile);

// The same where systemd-resolved may manage DNS (see ResolvedDropIn.h).
// While it does, the service's servers are those of our drop-in, else
// resolved's upstreams; setting 127.0.0.1 alone writes the drop-in, and
// setting anything else (a restore) removes it.
NetworkSetupResult runResolverNetworkSetup(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& resolverFile,
                                           const ResolvedPaths& resolved);

// The server field of every "nameserver" line of a resolver file, in order.
std::vector<std::string> resolverFileServers(const std::string& text);

// The file with its nameserver lines replaced by `servers` (in place of the
// first old one, else at the end).
std::string replaceResolverFileServers(const std::string& text,
                                       const std::vector<std::string>& servers);

}  // namespace brivet

#pragma once
// Start-up checks of the proxy program.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brivet {

// Raises the soft limit on open files to the hard limit, so that busy
// forwarding does not run out of sockets. Returns the new soft limit, or
// nothing when the limits cannot be read or changed.
std::optional<std::uint64_t> raiseOpenFileLimit();

// --assert-dns points the system's DNS settings at 127.0.0.1, where DNS means
// port 53: only a proxy listening there serves what the settings point at.
// Returns the log line that refuses any other listen address, or nothing.
std::optional<std::string> assertDNSListenProblem(const std::string& listenHost, std::uint16_t port);

// With --assert-dns the system resolves names through this proxy, which
// could not resolve an upstream's host name before it forwards anywhere.
// Returns the log line that refuses a host-name upstream, or nothing when
// every upstream is an address.
std::optional<std::string> assertDNSUpstreamProblem(const std::vector<std::string>& upstreams);

// Sleeps a number of seconds as parsed from --interval (finite, not
// negative): whole seconds, then the remaining nanoseconds.
void sleepSeconds(double seconds);

}  // namespace brivet

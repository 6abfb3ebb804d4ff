#pragma once
// The name servers this machine would use without the proxy, read from the
// system resolver file.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brivet::ResolvConf {

inline constexpr std::string_view path = "/etc/resolv.conf";

// The addresses of the file's "nameserver" lines that are IP address
// literals, in file order, each text once, as written.
std::vector<std::string> nameservers(std::string_view text);

// True for an address that points back at this machine: any loopback or
// unspecified address (127.0.0.0/8, 0.0.0.0/8, ::1, ::, and their
// IPv4-mapped forms), in every spelling an address parser accepts.
bool pointsAtThisMachine(std::string_view address);

// The usable system name servers (none pointing back at this machine), or
// `fallback` when the file cannot be read as UTF-8 text or names none.
std::vector<std::string> systemNameservers(const std::vector<std::string>& fallback,
                                           const std::filesystem::path& file = std::filesystem::path(path));

}  // namespace brivet::ResolvConf

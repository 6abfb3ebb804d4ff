#pragma once
// The Linux places that stand in for the platform's fixed folders. Every
// program of the tree takes these paths from here and nowhere else.
//
//   the user's Application Support      $XDG_DATA_HOME, else ~/.local/share
//   the system's Application Support    /var/lib
//   the user's keychain folder           <user's Application Support>/Keychains
//
// Lookups take the environment as a function, so that tests can point every
// path at a scratch folder without touching the process environment.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace brivet::platform {

// Reads one environment variable; none when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// The process environment.
std::optional<std::string> processEnvironment(const std::string& name);

// $HOME when set and not empty, else the password database's home directory,
// else none.
std::optional<std::filesystem::path> homeDirectory(const EnvironmentLookup& environment = processEnvironment);

// The user's data folder: $XDG_DATA_HOME when it is an absolute path, else
// <home>/.local/share. Without any home directory the path stays relative
// (".local/share") rather than landing in the file system's root.
std::filesystem::path userApplicationSupport(const EnvironmentLookup& environment = processEnvironment);

// Where the user's file keychain keeps its items: "Keychains" in the user's
// data folder.
std::filesystem::path userKeychainDirectory(const EnvironmentLookup& environment = processEnvironment);

// The system-wide data folder, "/var/lib".
std::filesystem::path systemApplicationSupport();

// Fixed places of the app's system side, under `root` ("/" on a real
// machine; tests pass a scratch folder).
//   resolverServiceDirectory   <root>/var/lib/keldra: the resolver-level
//                              service's data folder (its "status.json")
//   resolverServiceUnitFile    <root>/etc/systemd/system/keldra-proxy.service
//   networkConfigurationsFile  <root>/etc/keldra/network-configurations.json:
//                              the filter's saved network configurations
std::filesystem::path resolverServiceDirectory(const std::filesystem::path& root = "/");
std::filesystem::path resolverServiceUnitFile(const std::filesystem::path& root = "/");
std::filesystem::path networkConfigurationsFile(const std::filesystem::path& root = "/");

}  // namespace brivet::platform

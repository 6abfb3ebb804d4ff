#include "BrivetClient/PlatformPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace brivet::platform {
namespace {

std::optional<std::string> passwordDatabaseHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
        result == nullptr || result->pw_dir == nullptr || result->pw_dir[0] == '\0') {
        return std::nullopt;
    }
    return std::string(result->pw_dir);
}

}  // namespace

std::optional<std::string> processEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::filesystem::path> homeDirectory(const EnvironmentLookup& environment) {
    std::optional<std::string> home = environment("HOME");
    if (!home || home->empty()) home = passwordDatabaseHome();
    if (!home) return std::nullopt;
    return std::filesystem::path(*home);
}

std::filesystem::path userApplicationSupport(const EnvironmentLookup& environment) {
    // A relative XDG_DATA_HOME is invalid and ignored.
    if (auto xdg = environment("XDG_DATA_HOME"); xdg && !xdg->empty() && xdg->front() == '/') {
        return *xdg;
    }
    return homeDirectory(environment).value_or(std::filesystem::path()) / ".local" / "share";
}

std::filesystem::path userKeychainDirectory(const EnvironmentLookup& environment) {
    return userApplicationSupport(environment) / "Keychains";
}

std::filesystem::path systemApplicationSupport() { return "/var/lib"; }

std::filesystem::path resolverServiceDirectory(const std::filesystem::path& root) {
    return root / "var" / "lib" / "keldra";
}

std::filesystem::path resolverServiceUnitFile(const std::filesystem::path& root) {
    return root / "etc" / "systemd" / "system" / "keldra-proxy.service";
}

std::filesystem::path networkConfigurationsFile(const std::filesystem::path& root) {
    return root / "etc" / "keldra" / "network-configurations.json";
}

}  // namespace brivet::platform

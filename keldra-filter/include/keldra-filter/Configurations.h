#pragma once
// The daemon's view of the two saved network configurations, read from the
// root-owned document the activation helper writes (see the app's
// FilterInstaller.h for its form):
//   {"contentFilter":{"enabled":..,"localizedDescription":..,"provider":{..}},
//    "dnsProxy":{"enabled":..,"localizedDescription":..,
//                "provider":{"providerBundleIdentifier":..,"serverAddress":..}}}

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace keldra::filter {

struct ProviderSwitches {
    // The content filter is enabled and has a provider.
    bool contentFilter = false;
    // The DNS proxy is enabled and its provider names this extension.
    bool dnsProxy = false;

    bool operator==(const ProviderSwitches&) const = default;
};

// Reads the document's switches for the extension `identifier`. A missing
// document switches both off; a malformed one gives nothing (the caller keeps
// what it had).
std::optional<ProviderSwitches> readSwitches(std::string_view document, const std::string& identifier);
std::optional<ProviderSwitches> readSwitchesFile(const std::filesystem::path& file, const std::string& identifier);

}  // namespace keldra::filter

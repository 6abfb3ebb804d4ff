#pragma once
// The daemon's view of the two saved network configurations, read from the
// root-owned document the activation helper writes (see the app's
// FilterInstaller.h for its form):
//   {"contentFilter":{"enabled":..,"localizedDescription":..,"provider":{..}},
//    "dnsProxy":{"enabled":..,"localizedDescription":..,
//                "provider":{"providerBundleIdentifier":..,"serverAddress":..}}}
//
// The document stays small: the helper writes none larger or deeper than
// the limits below, and the daemon reads none that is.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace keldra::filter {

// The largest configurations document, in bytes and in levels of nesting.
inline constexpr std::size_t kMaxConfigurationsBytes = 64 * 1024;
inline constexpr std::size_t kMaxConfigurationsDepth = 32;

// Empty when `document` keeps within those limits; otherwise why not.
std::string configurationsLimitRefusal(std::string_view document);

struct ProviderSwitches {
    // The content filter is enabled and has a provider.
    bool contentFilter = false;
    // The DNS proxy is enabled and its provider names this extension (one
    // naming another counts as off).
    bool dnsProxy = false;

    bool operator==(const ProviderSwitches&) const = default;
};

// Reads the document's switches for the extension `identifier`. A missing
// document switches both off; a malformed one, or one over the limits, gives
// nothing (the caller keeps what it had), and says why in `problem` when
// given.
std::optional<ProviderSwitches> readSwitches(std::string_view document, const std::string& identifier,
                                             std::string* problem = nullptr);
std::optional<ProviderSwitches> readSwitchesFile(const std::filesystem::path& file, const std::string& identifier,
                                                 std::string* problem = nullptr);

// The daemon's reader of the file, polled: a file it cannot use is logged
// once (again only once it has read well or failed otherwise in between),
// and gives nothing, so the configuration in force is kept. With a `kept`
// file (in the daemon's root-only state), each document read well that
// switches otherwise is copied there, and a first read that cannot use the
// file gives what was kept: a restart keeps the configuration in force too.
class ConfigurationsReader {
public:
    using Log = std::function<void(const std::string&)>;
    ConfigurationsReader(std::filesystem::path file, std::string identifier, Log log, std::filesystem::path kept = {});

    std::optional<ProviderSwitches> read();

private:
    std::filesystem::path file_;
    std::string identifier_;
    Log log_;
    std::filesystem::path kept_;
    bool first_ = true;
    std::optional<ProviderSwitches> keptSwitches_;
    std::string lastProblem_;
};

}  // namespace keldra::filter

#include "keldra-filter/Configurations.h"

#include "BrivetClient/AtomicFile.h"

#include <nlohmann/json.hpp>

namespace keldra::filter {

std::optional<ProviderSwitches> readSwitches(std::string_view document, const std::string& identifier) {
    const auto json = nlohmann::json::parse(document, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    ProviderSwitches switches;
    auto enabled = [](const nlohmann::json& configuration) {
        const auto flag = configuration.find("enabled");
        return flag != configuration.end() && flag->is_boolean() && flag->get<bool>();
    };
    if (auto filter = json.find("contentFilter"); filter != json.end() && filter->is_object()) {
        const auto provider = filter->find("provider");
        switches.contentFilter = enabled(*filter) && provider != filter->end() && provider->is_object();
    }
    if (auto proxy = json.find("dnsProxy"); proxy != json.end() && proxy->is_object()) {
        const auto provider = proxy->find("provider");
        if (enabled(*proxy) && provider != proxy->end() && provider->is_object()) {
            const auto id = provider->find("providerBundleIdentifier");
            switches.dnsProxy = id != provider->end() && id->is_string() && id->get<std::string>() == identifier;
        }
    }
    return switches;
}

std::optional<ProviderSwitches> readSwitchesFile(const std::filesystem::path& file, const std::string& identifier) {
    std::string text;
    try {
        if (!brivet::readWholeFile(file, text)) return ProviderSwitches{};
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return readSwitches(text, identifier);
}

}  // namespace keldra::filter

#include "keldra-filter/Configurations.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace keldra::filter {
std::string configurationsLimitRefusal(std::string_view document) {
    if (document.size() > kMaxConfigurationsBytes) {
        return "the configurations are " + std::to_string(document.size()) + " bytes, more than the " +
               std::to_string(kMaxConfigurationsBytes) + " they may take";
    }
    if (brivet::JSONCoding::nestingDepth(document) > kMaxConfigurationsDepth) {
        return "the configurations nest deeper than " + std::to_string(kMaxConfigurationsDepth) + " levels";
    }
    return {};
}

std::optional<ProviderSwitches> readSwitches(std::string_view document, const std::string& identifier,
                                             std::string* problem) {
    auto refuse = [&](std::string why) -> std::optional<ProviderSwitches> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    if (auto refusal = configurationsLimitRefusal(document); !refusal.empty()) return refuse(refusal);
    const auto json = nlohmann::json::parse(document, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return refuse("the configurations are not a JSON object");
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

namespace {

// The file's text and switches; nothing (and why) when it cannot be used.
std::optional<ProviderSwitches> readSwitchesText(const std::filesystem::path& file, const std::string& identifier,
                                                 std::string& text, std::string* problem) {
    text.clear();
    try {
        if (!brivet::readRegularFile(file, text, kMaxConfigurationsBytes)) return ProviderSwitches{};
    } catch (const std::exception& error) {
        if (problem) *problem = error.what();
        return std::nullopt;
    }
    return readSwitches(text, identifier, problem);
}

}  // namespace

std::optional<ProviderSwitches> readSwitchesFile(const std::filesystem::path& file, const std::string& identifier,
                                                 std::string* problem) {
    std::string text;
    return readSwitchesText(file, identifier, text, problem);
}

ConfigurationsReader::ConfigurationsReader(std::filesystem::path file, std::string identifier, Log log,
                                           std::filesystem::path kept)
    : file_(std::move(file)), identifier_(std::move(identifier)), log_(std::move(log)), kept_(std::move(kept)) {}

std::optional<ProviderSwitches> ConfigurationsReader::read() {
    const bool first = std::exchange(first_, false);
    if (first && !kept_.empty()) keptSwitches_ = readSwitchesFile(kept_, identifier_);
    std::string text, problem;
    auto switches = readSwitchesText(file_, identifier_, text, &problem);
    if (switches) {
        lastProblem_.clear();
        if (!kept_.empty() && switches != keptSwitches_) {
            try {
                brivet::atomicWrite(kept_, text.empty() ? std::string("{}") : text);
                keptSwitches_ = switches;
            } catch (const std::exception& error) {
                if (log_) log_(std::string("cannot keep the configurations in force: ") + error.what());
            }
        }
        return switches;
    }
    if (problem != lastProblem_) {
        lastProblem_ = problem;
        if (log_) log_("configurations not read: " + brivet::logSafe(problem) + "; the configuration in force is kept");
    }
    return first ? keptSwitches_ : std::nullopt;
}

}  // namespace keldra::filter

#include "Keldra/SystemActivation.h"

#include <unistd.h>

#ifndef KELDRA_SYSTEM_HELPER_PATH
#define KELDRA_SYSTEM_HELPER_PATH "/usr/local/libexec/keldra/keldra-helper"
#endif

namespace keldra {
namespace {

constexpr int kDismissed = 126;

std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The helper's reason, or `fallback`; "Cancelled." for a dismissed prompt.
std::optional<std::string> failureOf(AdministratorRunner& runner, const std::vector<std::string>& command,
                                     const std::string& fallback) {
    AdministratorRunner::Result result;
    try {
        result = runner.run(command);
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
    if (result.exitStatus == 0) return std::nullopt;
    if (result.exitStatus == kDismissed) return std::string("Cancelled.");
    auto reason = trimmed(result.standardError);
    return reason.empty() ? fallback : reason;
}

}  // namespace

std::filesystem::path systemHelperPath() { return KELDRA_SYSTEM_HELPER_PATH; }

HelperActivationBackend::HelperActivationBackend(std::filesystem::path appBundle,
                                                 std::shared_ptr<AdministratorRunner> runner,
                                                 std::filesystem::path helper)
    : appBundle_(std::move(appBundle)), runner_(std::move(runner)), helper_(std::move(helper)) {}

void HelperActivationBackend::submit(const std::string&, std::function<void(FilterInstaller::Outcome)> deliver) {
    if (::access(helper_.c_str(), X_OK) != 0) {
        deliver(FilterInstaller::Outcome::failed("the system helper is not installed at " + helper_.string()));
        return;
    }
    const auto failure = failureOf(*runner_, {helper_.string(), "activate", std::filesystem::absolute(appBundle_).string()},
                                   "The filter could not be installed.");
    deliver(failure ? FilterInstaller::Outcome::failed(*failure) : FilterInstaller::Outcome::installed());
}

HelperConfigurationWriter::HelperConfigurationWriter(std::shared_ptr<AdministratorRunner> runner,
                                                     std::filesystem::path helper)
    : runner_(std::move(runner)), helper_(std::move(helper)) {}

void HelperConfigurationWriter::write(const NetworkConfigurations& configurations) {
    if (::access(helper_.c_str(), X_OK) != 0) {
        throw ConfigurationError("the system helper is not installed at " + helper_.string());
    }
    if (auto failure = failureOf(*runner_, {helper_.string(), "save-configurations", configurations.encode()},
                                 "The configurations could not be saved.")) {
        throw ConfigurationError(*failure);
    }
}

}  // namespace keldra

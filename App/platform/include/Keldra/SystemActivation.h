#pragma once
// The real activation backend and configuration writer of FilterInstaller:
// both run the installed system helper (keldra-helper) with administrator
// rights, as an argument vector through pkexec (or directly when the app
// already runs as root); no shell is involved.
//
//   activate             <helper> activate <app bundle>
//   save configurations  <helper> save-configurations <document>
//
// The helper answers with its exit status and, on failure, its reason on
// standard error. A dismissed password prompt (pkexec's 126) reads
// "Cancelled.".

#include <filesystem>
#include <memory>
#include <string>

#include "Keldra/BetaProxy.h"
#include "Keldra/FilterInstaller.h"

namespace keldra {

// Where the helper is installed (fixed when the app is built).
std::filesystem::path systemHelperPath();

class HelperActivationBackend final : public FilterInstaller::ActivationBackend {
public:
    HelperActivationBackend(std::filesystem::path appBundle, std::shared_ptr<AdministratorRunner> runner,
                            std::filesystem::path helper = systemHelperPath());

    // Runs the helper and delivers one outcome before returning: installed,
    // or failed with the helper's reason.
    void submit(const std::string& extensionIdentifier,
                std::function<void(FilterInstaller::Outcome)> deliver) override;

private:
    std::filesystem::path appBundle_;
    std::shared_ptr<AdministratorRunner> runner_;
    std::filesystem::path helper_;
};

class HelperConfigurationWriter final : public ConfigurationWriter {
public:
    explicit HelperConfigurationWriter(std::shared_ptr<AdministratorRunner> runner,
                                       std::filesystem::path helper = systemHelperPath());

    // Throws ConfigurationError with the helper's reason.
    void write(const NetworkConfigurations& configurations) override;

private:
    std::shared_ptr<AdministratorRunner> runner_;
    std::filesystem::path helper_;
};

}  // namespace keldra

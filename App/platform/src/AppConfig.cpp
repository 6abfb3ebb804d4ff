#include "Keldra/AppConfig.h"

namespace keldra {

AppConfig::AppConfig(Bundle bundle) : bundle_(std::move(bundle)) {}

AppConfig AppConfig::main() { return AppConfig(Bundle::main()); }

std::optional<std::string> AppConfig::info(std::string_view key) const { return bundle_.info().string(key); }

bool AppConfig::betaProxy() const { return info("BRIVET_BETA_PROXY") == std::optional<std::string>("YES"); }

std::string AppConfig::filterBundleID() const { return info("BRIVET_FILTER_BUNDLE_ID").value_or(kDefaultFilterBundleID); }

std::string AppConfig::appGroup() const { return info("BRIVET_APP_GROUP").value_or(kDefaultAppGroup); }

std::string AppConfig::clientVersion() const {
    return info("CFBundleShortVersionString").value_or(kDefaultClientVersion);
}

bool AppConfig::signedBuild() const {
    auto team = info("BRIVET_TEAM_ID");
    return team && !team->empty();
}

std::filesystem::path AppConfig::filterExtensionURL() const {
    return bundle_.url() / "Contents" / "Library" / "SystemExtensions" / (filterBundleID() + ".systemextension");
}

std::optional<std::string> AppConfig::keychainGroup() const {
    if (!signedBuild()) return std::nullopt;
    return info("BRIVET_KEYCHAIN_GROUP");
}

}  // namespace keldra

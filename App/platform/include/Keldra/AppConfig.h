#pragma once
// The app's settings from its bundle's Info dictionary. Every accessor is
// evaluated on each use and never fails: a missing or non-string value reads
// as absent and the defaults below apply. A default applies only to an
// absent value; a present empty string is used as it is.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Keldra/Bundle.h"

namespace keldra {

class AppConfig {
public:
    static constexpr const char* kDefaultFilterBundleID = "io.tolvane.brivet.filter";
    static constexpr const char* kDefaultAppGroup = "group.io.tolvane.brivet";
    static constexpr const char* kDefaultClientVersion = "0.0.0";

    // Over the given bundle (tests) or the main bundle.
    explicit AppConfig(Bundle bundle);
    static AppConfig main();

    const Bundle& bundle() const noexcept { return bundle_; }

    // The Info value for `key` when it is a string; absent otherwise.
    std::optional<std::string> info(std::string_view key) const;

    // BRIVET_BETA_PROXY is exactly "YES".
    bool betaProxy() const;
    // BRIVET_FILTER_BUNDLE_ID, default "io.tolvane.brivet.filter".
    std::string filterBundleID() const;
    // BRIVET_APP_GROUP, default "group.io.tolvane.brivet".
    std::string appGroup() const;
    // CFBundleShortVersionString, default "0.0.0".
    std::string clientVersion() const;
    // BRIVET_TEAM_ID present and not empty.
    bool signedBuild() const;

    // <bundle>/Contents/Library/SystemExtensions/<filterBundleID()>.systemextension
    std::filesystem::path filterExtensionURL() const;

    // In a signed build, BRIVET_KEYCHAIN_GROUP (itself possibly absent);
    // otherwise absent, whatever BRIVET_KEYCHAIN_GROUP holds.
    std::optional<std::string> keychainGroup() const;

private:
    Bundle bundle_;
};

}  // namespace keldra

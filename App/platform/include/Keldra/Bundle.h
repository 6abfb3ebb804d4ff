#pragma once
// A bundle: a self-contained folder such as "Keldra.app/", installable
// anywhere, laid out as
//
//   Keldra.app/Contents/Info.json          the Info dictionary
//   Keldra.app/Contents/bin/Keldra         the executable
//   Keldra.app/Contents/Resources/         Environment.json, keldra-proxy,
//                                          keldra-networksetup, install.sh
//   Keldra.app/Contents/Library/SystemExtensions/<id>.systemextension/
//
// Tests build a Bundle over any folder.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Keldra/InfoDictionary.h"

namespace keldra {

class Bundle {
public:
    // The bundle rooted at `url`; its Info dictionary is read once, here
    // (a missing one is empty). Nothing needs to exist.
    explicit Bundle(std::filesystem::path url);

    // The bundle at `url` when a folder exists there; absent otherwise.
    static std::optional<Bundle> open(const std::filesystem::path& url);

    // The bundle that holds `executable`: for ".../X.app/Contents/bin/X" the
    // folder ".../X.app". An executable outside that layout makes its own
    // folder the bundle.
    static Bundle containing(const std::filesystem::path& executable);

    // The bundle of the running program (from /proc/self/exe), read once.
    static const Bundle& main();

    // The bundle's own folder.
    const std::filesystem::path& url() const noexcept { return url_; }
    // url()/"Contents".
    std::filesystem::path contentsURL() const { return url_ / "Contents"; }
    // "Contents/Resources" when that folder exists; absent otherwise.
    std::optional<std::filesystem::path> resourceURL() const;
    // The resource folder, or the bundle's own folder when it has none.
    std::filesystem::path resourcesOrBundleURL() const;
    // The file "<name>.<extension>" in resourcesOrBundleURL() when a regular
    // file (or a link to one) exists there; absent otherwise.
    std::optional<std::filesystem::path> urlForResource(std::string_view name, std::string_view extension) const;

    const InfoDictionary& info() const noexcept { return info_; }

private:
    std::filesystem::path url_;
    InfoDictionary info_;
};

}  // namespace keldra

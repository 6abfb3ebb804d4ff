#include "Keldra/Bundle.h"

#include <system_error>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"

namespace keldra {

namespace {

constexpr std::size_t kMaxInfoBytes = 1024 * 1024;

}  // namespace

InfoDictionary::InfoDictionary(nlohmann::json object) {
    if (object.is_object()) values_ = std::move(object);
}

InfoDictionary InfoDictionary::load(const std::filesystem::path& file) {
    std::error_code ec;
    auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxInfoBytes) return {};
    std::string bytes;
    try {
        if (!brivet::readWholeFile(file, bytes)) return {};
        // The strict reader checks UTF-8 and nesting depth.
        brivet::Json tree = brivet::JSONCoding::parse(bytes);
        if (!tree.is_object()) return {};
        return InfoDictionary(nlohmann::json(tree));
    } catch (const std::exception&) {
        return {};
    }
}

std::optional<std::string> InfoDictionary::string(std::string_view key) const {
    auto found = values_.find(std::string(key));
    if (found == values_.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<nlohmann::json> InfoDictionary::value(std::string_view key) const {
    auto found = values_.find(std::string(key));
    if (found == values_.end()) return std::nullopt;
    return *found;
}

Bundle::Bundle(std::filesystem::path url)
    : url_(std::move(url)), info_(InfoDictionary::load(url_ / "Contents" / "Info.json")) {}

std::optional<Bundle> Bundle::open(const std::filesystem::path& url) {
    std::error_code ec;
    if (!std::filesystem::is_directory(url, ec)) return std::nullopt;
    return Bundle(url);
}

Bundle Bundle::containing(const std::filesystem::path& executable) {
    std::filesystem::path folder = executable.parent_path();
    if (folder.filename() == "bin" && folder.parent_path().filename() == "Contents") {
        return Bundle(folder.parent_path().parent_path());
    }
    return Bundle(folder);
}

const Bundle& Bundle::main() {
    static const Bundle bundle = [] {
        std::error_code ec;
        std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) executable = std::filesystem::current_path(ec) / "Keldra";
        return containing(executable);
    }();
    return bundle;
}

std::optional<std::filesystem::path> Bundle::resourceURL() const {
    std::filesystem::path resources = contentsURL() / "Resources";
    std::error_code ec;
    if (!std::filesystem::is_directory(resources, ec)) return std::nullopt;
    return resources;
}

std::filesystem::path Bundle::resourcesOrBundleURL() const { return resourceURL().value_or(url_); }

std::optional<std::filesystem::path> Bundle::urlForResource(std::string_view name, std::string_view extension) const {
    std::string file(name);
    if (!extension.empty()) {
        file += '.';
        file += extension;
    }
    std::filesystem::path candidate = resourcesOrBundleURL() / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(candidate, ec)) return std::nullopt;
    return candidate;
}

}  // namespace keldra

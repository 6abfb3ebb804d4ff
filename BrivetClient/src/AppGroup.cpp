#include "BrivetClient/AppGroup.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/PlatformPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <vector>

namespace brivet {
namespace {

std::string versionSuffix(std::int64_t version) {
    std::string suffix(1, '@');  // built by appending: GCC 12 at -O3 warns on "@" + temporary
    suffix += std::to_string(version);
    suffix += ".json";
    return suffix;
}

}  // namespace

AppGroup AppGroup::resolve(std::string identifier) {
    return resolve(std::move(identifier), platform::processEnvironment);
}

AppGroup AppGroup::resolve(std::string identifier, const EnvironmentLookup& environment) {
    const std::filesystem::path dataHome = platform::userApplicationSupport(environment);
    return AppGroup(std::move(identifier), dataHome / "Brivet");
}

std::string FileBlocklistCache::fileName(std::string_view category, std::int64_t version) {
    std::string name;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(category.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(category.size(), INT32_MAX));
    std::int32_t offset = 0;
    while (offset < length) {
        const std::int32_t start = offset;
        UChar32 c;
        U8_NEXT(bytes, offset, length, c);
        // Bytes that are not UTF-8 (c < 0) are dropped like any other character.
        if (c < 0) continue;
        if (u_isalpha(c) || u_isdigit(c) || c == '_' || c == '-') {
            name.append(category.substr(static_cast<std::size_t>(start),
                                        static_cast<std::size_t>(offset - start)));
        }
    }
    return name + versionSuffix(version);
}

std::optional<Blocklist> FileBlocklistCache::blocklist(const std::string& category, std::int64_t version) {
    try {
        std::string text;
        if (!readWholeFile(directory / fileName(category, version), text)) return std::nullopt;
        return JSONCoding::decode<Blocklist>(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void FileBlocklistCache::store(const Blocklist& list) {
    try {
        const std::string text = JSONCoding::encode(list);
        // Creates the directory and any missing parents (mode 0700) first.
        atomicWrite(directory / fileName(list.category, list.version), text);
    } catch (const std::exception&) {
        // A list that cannot be kept is fetched again next time.
    }
}

void FileBlocklistCache::prune(std::int64_t keepingVersion) {
    const std::string suffix = versionSuffix(keepingVersion);
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) return;
    std::vector<std::filesystem::path> doomed;
    for (const std::filesystem::directory_iterator end; it != end;) {
        const std::string name = it->path().filename().string();
        if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            doomed.push_back(it->path());
        }
        it.increment(ec);
        if (ec) break;
    }
    for (const auto& path : doomed) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::optional<Blocklist> InMemoryBlocklistCache::blocklist(const std::string& category, std::int64_t version) {
    auto it = lists.find(category + "@" + std::to_string(version));
    if (it == lists.end()) return std::nullopt;
    return it->second;
}

void InMemoryBlocklistCache::store(const Blocklist& list) {
    lists.insert_or_assign(list.category + "@" + std::to_string(list.version), list);
}

}  // namespace brivet

#include "BrivetClient/AppGroup.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/Descriptor.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/PlatformPaths.h"
#include "BrivetClient/RegularFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>

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

bool isSymlink(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

struct Entry {
    std::string name;
    unsigned char type;  // DT_REG, DT_DIR, DT_LNK...
};

// The entries of an open directory, "." and ".." left out. Types the file
// system does not report are looked up without following symlinks.
std::vector<Entry> listEntries(int directoryFd) {
    std::vector<Entry> entries;
    const int copy = ::dup(directoryFd);
    if (copy < 0) return entries;
    DIR* stream = ::fdopendir(copy);
    if (stream == nullptr) {
        ::close(copy);
        return entries;
    }
    ::rewinddir(stream);
    while (const dirent* item = ::readdir(stream)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = item->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
        }
        entries.push_back({name, type});
    }
    ::closedir(stream);
    return entries;
}

// Removes one entry of an open directory: a subdirectory with everything in
// it, anything else (a symlink included) by its name. Failures are ignored.
void removeEntryAt(int directoryFd, const std::string& name, int depth = 0) {
    if (::unlinkat(directoryFd, name.c_str(), 0) == 0) return;
    if (errno != EISDIR && errno != EPERM) return;
    // Deep nesting is left for the next prune rather than risking the stack.
    if (depth > 64) return;
    Descriptor sub(::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) return;
    for (const Entry& entry : listEntries(sub.get())) removeEntryAt(sub.get(), entry.name, depth + 1);
    ::unlinkat(directoryFd, name.c_str(), AT_REMOVEDIR);
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
    const std::string name = fileName(category, version);
    try {
        Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.get() < 0) {
            if (errno == ELOOP || (errno == ENOTDIR && isSymlink(directory))) {
                throw NotRegularFileError(directory.string() + " is a symlink");
            }
            return std::nullopt;
        }
        std::string text;
        if (!readRegularFileAt(dir.get(), name, text)) return std::nullopt;
        return JSONCoding::decode<Blocklist>(text);
    } catch (const NotRegularFileError& error) {
        if (log_) log_("blocklist cache: ignoring " + name + ": " + error.what());
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int FileBlocklistCache::openRealDirectory() const {
    if (isSymlink(directory)) ::unlink(directory.c_str());
    std::error_code ec;
    std::filesystem::path parent = directory.parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void FileBlocklistCache::store(const Blocklist& list) {
    try {
        Descriptor dir(openRealDirectory());
        if (dir.get() < 0) return;
        const std::string text = JSONCoding::encode(list);
        // The rename replaces a symlink at the file's name; it never writes
        // through it.
        AtomicWriteOptions options;
        options.createDirectories = false;
        atomicWrite(directory / fileName(list.category, list.version), text, options);
    } catch (const std::exception&) {
        // A list that cannot be kept is fetched again next time.
    }
}

void FileBlocklistCache::prune(std::int64_t keepingVersion) {
    const std::string suffix = versionSuffix(keepingVersion);
    if (isSymlink(directory)) {
        // Never walk what it points to.
        Descriptor replaced(openRealDirectory());
        return;
    }
    Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) return;
    for (const Entry& entry : listEntries(dir.get())) {
        const bool keep = entry.type == DT_REG && entry.name.size() >= suffix.size() &&
                          entry.name.compare(entry.name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (!keep) removeEntryAt(dir.get(), entry.name);
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

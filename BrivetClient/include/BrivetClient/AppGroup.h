#pragma once
// Where the client library keeps its files, and the blocklist caches.
//
// `AppGroup` names the one data directory shared by engine, filter, stores and
// outbox, and the files inside it; it never creates anything. The blocklist
// caches keep lists fetched from the device service so that a rule set can be
// rebuilt without the network. Caches never fail: an entry that cannot be read
// counts as absent, and a list that cannot be written is simply not kept.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "BrivetClient/Models.h"

namespace brivet {

struct AppGroup {
    // Reads one environment variable; none when it is not set.
    using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

    std::string identifier;
    std::filesystem::path containerURL;

    // Takes the directory unchanged.
    AppGroup(std::string identifier, std::filesystem::path containerURL)
        : identifier(std::move(identifier)), containerURL(std::move(containerURL)) {}

    // Resolves the data directory for a group identifier. This platform has
    // no shared group container, so the user's data directory is used:
    // $XDG_DATA_HOME when it is set to an absolute path, else
    // $HOME/.local/share (the home directory from the password database
    // when HOME is unset or empty), with "Brivet" appended. Nothing is created.
    static AppGroup resolve(std::string identifier);
    static AppGroup resolve(std::string identifier, const EnvironmentLookup& environment);

    std::filesystem::path stateURL() const { return containerURL / "state.json"; }
    std::filesystem::path rulesURL() const { return containerURL / "filter-rules.json"; }
    std::filesystem::path outboxURL() const { return containerURL / "events-outbox.json"; }
    std::filesystem::path blocklistsURL() const { return containerURL / "blocklists"; }

    bool operator==(const AppGroup&) const = default;
};

class BlocklistCache {
public:
    virtual ~BlocklistCache() = default;
    // The list held for this category and version; none when nothing usable
    // is held.
    virtual std::optional<Blocklist> blocklist(const std::string& category, std::int64_t version) = 0;
    // Keeps the list under its own category and version.
    virtual void store(const Blocklist& list) = 0;
};

// One file per category and version in `directory`, holding the list as the
// service sends it (snake_case keys).
//
// The directory lies in a folder the user can write, so nothing here follows
// a symlink: a symlinked directory is never read, written through or walked
// (storing and pruning replace it with a real one), and a cache file that is
// a symlink or no regular file counts as missing and is removed by the next
// store or prune, never written through.
class FileBlocklistCache final : public BlocklistCache {
public:
    using Log = std::function<void(const std::string&)>;

    // `log` gets one line for every entry that is skipped because it is not a
    // regular file; none: such entries are skipped silently.
    explicit FileBlocklistCache(std::filesystem::path directory, Log log = nullptr)
        : directory(std::move(directory)), log_(std::move(log)) {}

    std::optional<Blocklist> blocklist(const std::string& category, std::int64_t version) override;
    void store(const Blocklist& list) override;
    // Removes every entry of the directory that is not a regular file of
    // `version` (subdirectories with their contents, symlinks themselves).
    void prune(std::int64_t keepingVersion);

    // The category with everything dropped that is not a Unicode letter or
    // digit, "_" or "-", then "@", the version in decimal and ".json".
    // Different categories can share a name ("a.b" and "ab").
    static std::string fileName(std::string_view category, std::int64_t version);

    const std::filesystem::path directory;

private:
    // Makes `directory` a real directory: a symlink in its place is removed
    // and a directory created. Returns it opened, or -1.
    int openRealDirectory() const;

    Log log_;
};

class InMemoryBlocklistCache final : public BlocklistCache {
public:
    std::optional<Blocklist> blocklist(const std::string& category, std::int64_t version) override;
    void store(const Blocklist& list) override;

    // Keyed by the whole category, "@" and the version in decimal.
    std::map<std::string, Blocklist> lists;
};

}  // namespace brivet

#include "BrivetClient/AppGroup.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <set>
#include <unistd.h>

#include "StoresTestSupport.h"

namespace brivet {
namespace {

using storestest::readFile;
using storestest::TempDir;
using storestest::writeFile;

AppGroup::EnvironmentLookup env(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    };
}

Blocklist list(std::string category, std::int64_t version, std::vector<BlockRule> rules = {}) {
    return Blocklist{std::move(category), version, std::move(rules)};
}

TEST(AppGroup, ResolvesTheUserDataDirectory) {
    EXPECT_EQ(AppGroup::resolve("grp", env({{"XDG_DATA_HOME", "/data/x"}, {"HOME", "/home/u"}})),
              AppGroup("grp", "/data/x/Brivet"));
    // Empty or relative XDG_DATA_HOME is ignored.
    for (std::string xdg : {"", "rel/dir"}) {
        EXPECT_EQ(AppGroup::resolve("grp", env({{"XDG_DATA_HOME", xdg}, {"HOME", "/home/u"}})).containerURL,
                  "/home/u/.local/share/Brivet");
    }
    EXPECT_EQ(AppGroup::resolve("grp", env({{"HOME", "/home/u"}})).containerURL, "/home/u/.local/share/Brivet");

    // Without HOME the password database answers.
    struct passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(AppGroup::resolve("grp", env({})).containerURL,
              std::filesystem::path(pw->pw_dir) / ".local/share/Brivet");
    EXPECT_EQ(AppGroup::resolve("grp", env({{"HOME", ""}})).containerURL,
              std::filesystem::path(pw->pw_dir) / ".local/share/Brivet");
}

TEST(AppGroup, LocationsAreDerivedAndNothingIsCreated) {
    TempDir tmp;
    const AppGroup group("io.grp", tmp.path() / "Brivet");
    EXPECT_EQ(group.identifier, "io.grp");
    EXPECT_EQ(group.stateURL(), tmp.path() / "Brivet/state.json");
    EXPECT_EQ(group.rulesURL(), tmp.path() / "Brivet/filter-rules.json");
    EXPECT_EQ(group.outboxURL(), tmp.path() / "Brivet/events-outbox.json");
    EXPECT_EQ(group.blocklistsURL(), tmp.path() / "Brivet/blocklists");
    EXPECT_FALSE(std::filesystem::exists(group.containerURL));
}

TEST(FileBlocklistCache, FileNames) {
    EXPECT_EQ(FileBlocklistCache::fileName("ads", 3), "ads@3.json");
    EXPECT_EQ(FileBlocklistCache::fileName("../x y", 1), "xy@1.json");
    EXPECT_EQ(FileBlocklistCache::fileName("", 1), "@1.json");
    EXPECT_EQ(FileBlocklistCache::fileName("ads", -2), "ads@-2.json");
    EXPECT_EQ(FileBlocklistCache::fileName("a.b", 4), FileBlocklistCache::fileName("ab", 4));
    EXPECT_EQ(FileBlocklistCache::fileName("social_media-2", 1), "social_media-2@1.json");
    // Letters and digits outside ASCII stay; symbols and broken bytes go.
    EXPECT_EQ(FileBlocklistCache::fileName("Café\xd9\xa3日本", 1), "Café\xd9\xa3日本@1.json");
    EXPECT_EQ(FileBlocklistCache::fileName("a\xF0\x9F\x94\x92" "b\xff\xc3", 1), "ab@1.json");
    EXPECT_EQ(FileBlocklistCache::fileName(std::string_view("a\0b", 3), 1), "ab@1.json");
}

TEST(FileBlocklistCache, StoresServiceShapedFilesAndReadsThemBack) {
    TempDir tmp;
    const auto dir = tmp.path() / "group" / "blocklists";
    FileBlocklistCache cache(dir);
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_EQ(cache.blocklist("ads", 3), std::nullopt);

    const Blocklist ads = list("ads", 3, {{"domain", "ads.example"}, {"domain_suffix", "track.example"}});
    cache.store(ads);
    EXPECT_EQ(cache.blocklist("ads", 3), ads);
    EXPECT_EQ(cache.blocklist("ads", 4), std::nullopt);

    const auto file = dir / "ads@3.json";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(nlohmann::json::parse(readFile(file)), nlohmann::json::parse(R"({
        "category": "ads", "version": 3,
        "rules": [{"rule_type": "domain", "value": "ads.example"},
                  {"rule_type": "domain_suffix", "value": "track.example"}]})"));

    // A second store replaces the file.
    cache.store(list("ads", 3));
    EXPECT_EQ(cache.blocklist("ads", 3), list("ads", 3));
    EXPECT_EQ(storestest::entryCount(dir), 1u);
}

TEST(FileBlocklistCache, ReturnsWhatTheFileHoldsAndUnreadableMeansAbsent) {
    TempDir tmp;
    FileBlocklistCache cache(tmp.path());
    // "a.b" and "ab" share one file; the file cache returns it as read.
    cache.store(list("a.b", 1, {{"domain", "x.example"}}));
    EXPECT_EQ(cache.blocklist("ab", 1), list("a.b", 1, {{"domain", "x.example"}}));

    writeFile(tmp.path() / "bad@1.json", "{not json");
    EXPECT_EQ(cache.blocklist("bad", 1), std::nullopt);
    writeFile(tmp.path() / "norules@1.json", R"({"category":"norules","version":1})");
    EXPECT_EQ(cache.blocklist("norules", 1), std::nullopt);
    writeFile(tmp.path() / "textver@1.json", R"({"category":"textver","version":"1","rules":[]})");
    EXPECT_EQ(cache.blocklist("textver", 1), std::nullopt);
    std::filesystem::create_directory(tmp.path() / "dir@1.json");
    EXPECT_EQ(cache.blocklist("dir", 1), std::nullopt);
}

TEST(FileBlocklistCache, StoreIntoAnUncreatableDirectoryIsSilent) {
    TempDir tmp;
    writeFile(tmp.path() / "file", "x");
    FileBlocklistCache cache(tmp.path() / "file" / "blocklists");
    EXPECT_NO_THROW(cache.store(list("ads", 1)));
    EXPECT_EQ(cache.blocklist("ads", 1), std::nullopt);
    EXPECT_EQ(readFile(tmp.path() / "file"), "x");
}

TEST(FileBlocklistCache, PruneKeepsOnlyOneVersion) {
    TempDir tmp;
    FileBlocklistCache cache(tmp.path());
    for (const auto& l : {list("ads", 3), list("malware", 3), list("ads", 2), list("ads", 13), list("x", -3)}) {
        cache.store(l);
    }
    writeFile(tmp.path() / "notes.txt", "n");
    writeFile(tmp.path() / ".hidden", "h");
    std::filesystem::create_directories(tmp.path() / "sub@2.json" / "deeper");
    writeFile(tmp.path() / "sub@2.json" / "deeper" / "f", "f");

    cache.prune(3);
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path())) left.insert(e.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"ads@3.json", "malware@3.json"}));
    EXPECT_EQ(cache.blocklist("ads", 3), list("ads", 3));

    FileBlocklistCache missing(tmp.path() / "nope");
    EXPECT_NO_THROW(missing.prune(1));
}

std::set<std::string> namesIn(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
}

bool isSymlink(const std::filesystem::path& path) { return std::filesystem::is_symlink(path); }

// The cache folder lies where the user can write: a symlink there must never
// lead pruning, reading or storing to another folder's files.
TEST(FileBlocklistCache, SymlinkedFolderIsNeverFollowed) {
    TempDir tmp;
    const auto elsewhere = tmp.path() / "elsewhere";
    std::filesystem::create_directories(elsewhere / "sub");
    writeFile(elsewhere / "precious.txt", "p");
    writeFile(elsewhere / "ads@1.json", R"({"category":"ads","version":1,"rules":[]})");
    const auto folder = tmp.path() / "blocklists";
    std::vector<std::string> lines;

    std::filesystem::create_directory_symlink(elsewhere, folder);
    FileBlocklistCache cache(folder, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(cache.blocklist("ads", 1), std::nullopt);
    EXPECT_EQ(lines.size(), 1u);
    cache.prune(1);
    EXPECT_FALSE(isSymlink(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(namesIn(elsewhere), (std::set<std::string>{"ads@1.json", "precious.txt", "sub"}));

    // Storing replaces a symlinked folder with a real one as well.
    std::filesystem::remove(folder);
    std::filesystem::create_directory_symlink(elsewhere, folder);
    cache.store(list("malware", 1));
    EXPECT_FALSE(isSymlink(folder));
    EXPECT_EQ(namesIn(folder), (std::set<std::string>{"malware@1.json"}));
    EXPECT_EQ(namesIn(elsewhere), (std::set<std::string>{"ads@1.json", "precious.txt", "sub"}));
    EXPECT_EQ(cache.blocklist("malware", 1), list("malware", 1));
}

TEST(FileBlocklistCache, EntriesThatAreNoRegularFilesCountAsMissingAndGo) {
    ::alarm(60);  // a reader stuck on the FIFO ends the test
    TempDir tmp;
    const auto folder = tmp.path() / "blocklists";
    std::filesystem::create_directories(folder);
    const auto outside = tmp.path() / "outside.json";
    writeFile(outside, R"({"category":"ads","version":1,"rules":[]})");
    std::filesystem::create_symlink(outside, folder / "ads@1.json");
    std::filesystem::create_symlink(outside, folder / "adult@1.json");
    ASSERT_EQ(::mkfifo((folder / "social@1.json").c_str(), 0600), 0);
    std::filesystem::create_directory_symlink(tmp.path(), folder / "loop@1.json");
    std::vector<std::string> lines;
    FileBlocklistCache cache(folder, [&](const std::string& line) { lines.push_back(line); });

    EXPECT_EQ(cache.blocklist("ads", 1), std::nullopt);
    EXPECT_EQ(cache.blocklist("social", 1), std::nullopt);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ads@1.json"), std::string::npos) << lines[0];

    // A store replaces the symlink itself; the file it pointed to stays.
    cache.store(list("ads", 1, {{"domain", "x.example"}}));
    EXPECT_FALSE(isSymlink(folder / "ads@1.json"));
    EXPECT_EQ(cache.blocklist("ads", 1), list("ads", 1, {{"domain", "x.example"}}));
    EXPECT_EQ(readFile(outside), R"({"category":"ads","version":1,"rules":[]})");

    // Pruning keeps only regular files of the version, and removes symlinks
    // themselves, never what they point to.
    cache.prune(1);
    EXPECT_EQ(namesIn(folder), (std::set<std::string>{"ads@1.json"}));
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(tmp.path() / "blocklists"));
    ::alarm(0);
}

TEST(InMemoryBlocklistCache, KeysOnTheWholeCategoryAndKeepsTheLastList) {
    InMemoryBlocklistCache cache;
    EXPECT_EQ(cache.blocklist("ads", 1), std::nullopt);
    cache.store(list("ads", 1, {{"domain", "one.example"}}));
    cache.store(list("ads", 1, {{"domain", "two.example"}}));
    cache.store(list("a.b", 1));
    EXPECT_EQ(cache.blocklist("ads", 1), list("ads", 1, {{"domain", "two.example"}}));
    EXPECT_EQ(cache.blocklist("ab", 1), std::nullopt);
    EXPECT_EQ(cache.blocklist("a.b", 1), list("a.b", 1));
    EXPECT_EQ(cache.lists.size(), 2u);
    EXPECT_EQ(cache.lists.count("ads@1"), 1u);
}

}  // namespace
}  // namespace brivet

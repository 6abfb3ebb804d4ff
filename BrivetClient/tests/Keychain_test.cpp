#include "BrivetClient/Keychain.h"

#include <gtest/gtest.h>

#include <set>

#include "StoresTestSupport.h"

namespace brivet {
namespace {

using Call = InMemoryKeychain::Call;

using storestest::readFile;
using storestest::entryCount;
using storestest::modeOf;
using storestest::TempDir;
using storestest::writeFile;

TEST(InMemoryTokenStore, LoadSaveDelete) {
    InMemoryTokenStore store(std::string("t0"));
    EXPECT_EQ(store.load(), "t0");
    store.save("t1");
    EXPECT_EQ(store.token, "t1");
    store.deleteToken();
    store.deleteToken();
    EXPECT_EQ(store.load(), std::nullopt);
}

class KeychainTokenStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<InMemoryKeychain> keychain = std::make_shared<InMemoryKeychain>();
    KeychainTokenStore store{keychain, "svc", "device-token", std::nullopt, false};
    KeychainQuery query{"svc", "device-token", std::nullopt, false};
};

TEST_F(KeychainTokenStoreTest, LoadWithoutItemIsNone) {
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST_F(KeychainTokenStoreTest, FirstSaveAddsWithAccessibilityLaterSavesUpdate) {
    store.save("first");
    store.save("second");
    EXPECT_EQ(keychain->itemCount(), 1u);
    EXPECT_EQ(store.load(), "second");

    auto calls = keychain->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].call, Call::update);
    EXPECT_EQ(calls[1], (InMemoryKeychain::RecordedCall{
                            Call::add, query, std::string("first"),
                            KeychainAccessibility::afterFirstUnlockThisDeviceOnly}));
    // An update never sets the accessibility class.
    EXPECT_EQ(calls[2], (InMemoryKeychain::RecordedCall{Call::update, query,
                                                        std::string("second"), std::nullopt}));
    EXPECT_EQ(calls[3].call, Call::copyMatching);
}

TEST_F(KeychainTokenStoreTest, DeleteTwiceSucceeds) {
    store.save("tok");
    store.deleteToken();
    EXPECT_NO_THROW(store.deleteToken());
    EXPECT_EQ(keychain->itemCount(), 0u);
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST_F(KeychainTokenStoreTest, DataThatIsNotUTF8OrAbsentFailsToDecode) {
    for (std::optional<std::string> data :
         {std::optional<std::string>(std::string("\xff\xfe", 2)),
          std::optional<std::string>(std::string("a\xc0\xaf")),          // overlong "/"
          std::optional<std::string>(std::string("\xed\xa0\x80")),       // surrogate
          std::optional<std::string>(std::string("\xe2\x82")),           // truncated
          std::optional<std::string>()}) {
        keychain->putItem(query, data);
        try {
            store.load();
            ADD_FAILURE() << "expected a decode failure";
        } catch (const KeychainError& e) {
            EXPECT_EQ(e, KeychainError(-26275, "load"));
        }
    }
    keychain->putItem(query, std::string("caf\xc3\xa9 \xf0\x9f\x94\x92"));
    EXPECT_EQ(store.load(), "caf\xc3\xa9 \xf0\x9f\x94\x92");
}

TEST_F(KeychainTokenStoreTest, OtherStatusesFailWithTheOperationWord) {
    keychain->injectStatus(Call::copyMatching, -25308);
    try {
        store.load();
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e.status(), -25308);
        EXPECT_EQ(e.operation(), "load");
    }

    // A failed update other than "not found" never falls back to add.
    keychain->injectStatus(Call::update, -25293);
    try {
        store.save("x");
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e, KeychainError(-25293, "update"));
    }
    for (const auto& c : keychain->calls()) EXPECT_NE(c.call, Call::add);

    keychain->injectStatus(Call::update, std::nullopt);
    keychain->injectStatus(Call::add, -25299);
    try {
        store.save("x");
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e, KeychainError(-25299, "add"));
    }

    keychain->injectStatus(Call::deleteItem, -61);
    try {
        store.deleteToken();
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e, KeychainError(-61, "delete"));
    }
}

TEST(KeychainTokenStore, BaseQueryCarriesGroupAndDataProtection) {
    auto keychain = std::make_shared<InMemoryKeychain>();
    KeychainTokenStore store(keychain, "io.svc", "acct", std::string("TEAM.group"), true);
    store.save("t");
    const KeychainQuery expected{"io.svc", "acct", std::string("TEAM.group"), true};
    for (const auto& c : keychain->calls()) EXPECT_EQ(c.query, expected);
    // Another account is another item.
    KeychainTokenStore other(keychain, "io.svc", "acct2", std::string("TEAM.group"), true);
    EXPECT_EQ(other.load(), std::nullopt);
}

TEST(KeychainError, MessageAndEquality) {
    KeychainError e(-12345, "add");
    EXPECT_EQ(e.message(), "OSStatus -12345");
    EXPECT_STREQ(e.what(), "OSStatus -12345");
    EXPECT_EQ(KeychainError(7, "load").message(), "OSStatus 7");
    EXPECT_FALSE(KeychainError(1, "load") == KeychainError(1, "add"));
    EXPECT_FALSE(KeychainError(1, "load") == KeychainError(2, "load"));
}

TEST(FileKeychain, TokenRoundTripWithPrivateModes) {
    TempDir tmp;
    const auto dir = tmp.path() / "a" / "keychain";
    auto keychain = std::make_shared<FileKeychain>(dir);
    KeychainTokenStore store(keychain, "io.tolvane.brivet", "device-token", std::nullopt, true);

    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dir));  // reading creates nothing

    store.save("secret-1");
    store.save("secret-2");
    EXPECT_EQ(store.load(), "secret-2");
    EXPECT_EQ(modeOf(dir), 0700u);
    const auto item = keychain->itemPath({"io.tolvane.brivet", "device-token", std::nullopt, true});
    EXPECT_EQ(item.parent_path(), dir);
    EXPECT_EQ(modeOf(item), 0600u);
    EXPECT_EQ(readFile(item), "secret-2");

    // Exactly one file: no second item and no temporary files left behind.
    EXPECT_EQ(entryCount(dir), 1u);

    store.deleteToken();
    EXPECT_NO_THROW(store.deleteToken());
    EXPECT_FALSE(std::filesystem::exists(item));
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST(FileKeychain, TheDefaultFolderIsTheUsersKeychainFolder) {
    const brivet::platform::EnvironmentLookup env = [](const std::string& name) -> std::optional<std::string> {
        if (name == "XDG_DATA_HOME") return "/data/u";
        return std::nullopt;
    };
    EXPECT_EQ(brivet::platform::userKeychainDirectory(env), "/data/u/Keychains");
    EXPECT_EQ(FileKeychain().directory(), brivet::platform::userKeychainDirectory());
}

TEST(FileKeychain, TightensAWideDirectory) {
    TempDir tmp;
    const auto dir = tmp.path() / "kc";
    std::filesystem::create_directory(dir);
    ::chmod(dir.c_str(), 0755);
    FileKeychain keychain(dir);
    EXPECT_EQ(keychain.add({"s", "a", std::nullopt, false}, "x",
                           KeychainAccessibility::afterFirstUnlockThisDeviceOnly),
              KeychainStatus::success);
    EXPECT_EQ(modeOf(dir), 0700u);
}

TEST(FileKeychain, StatusesOfTheFourCalls) {
    TempDir tmp;
    FileKeychain keychain(tmp.path() / "kc");
    const KeychainQuery q{"s", "a", std::nullopt, false};
    const auto acc = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    EXPECT_EQ(keychain.copyMatching(q).status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.update(q, "x"), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.deleteItem(q), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.add(q, "x", acc), KeychainStatus::success);
    EXPECT_EQ(keychain.add(q, "y", acc), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyMatching(q), (KeychainCopyResult{0, std::string("x")}));
    EXPECT_EQ(keychain.update(q, std::string("\0z", 2)), KeychainStatus::success);
    EXPECT_EQ(keychain.copyMatching(q), (KeychainCopyResult{0, std::string("\0z", 2)}));
    EXPECT_EQ(keychain.deleteItem(q), KeychainStatus::success);
}

TEST(FileKeychain, DistinctQueriesNeverShareAFile) {
    TempDir tmp;
    FileKeychain keychain(tmp.path());
    const std::vector<KeychainQuery> queries = {
        {"a+b", "c", std::nullopt, false}, {"a", "b+c", std::nullopt, false},
        {"a", "b", std::nullopt, false},   {"a", "b", std::string(""), false},
        {"a", "b", std::string("g"), false}, {"a.b", "c", std::nullopt, false},
        {"a%2Eb", "c", std::nullopt, false}, {"../x", "/etc/passwd", std::nullopt, false},
        {"", "", std::nullopt, false},
    };
    std::set<std::filesystem::path> paths;
    for (const auto& q : queries) {
        const auto p = keychain.itemPath(q);
        EXPECT_EQ(p.parent_path(), tmp.path()) << p;
        EXPECT_NE(p.filename().string().front(), '.') << p;
        paths.insert(p);
    }
    EXPECT_EQ(paths.size(), queries.size());
}

TEST(FileKeychain, NotUTF8OnDiskFailsToLoad) {
    TempDir tmp;
    auto keychain = std::make_shared<FileKeychain>(tmp.path());
    const KeychainQuery q{"s", "a", std::nullopt, false};
    ASSERT_EQ(keychain->add(q, "\x80\x81", KeychainAccessibility::afterFirstUnlockThisDeviceOnly), 0);
    KeychainTokenStore store(keychain, "s", "a", std::nullopt, false);
    try {
        store.load();
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e, KeychainError(-26275, "load"));
    }
}

TEST(FileKeychain, StorageFailureIsAnError) {
    TempDir tmp;
    const auto blocker = tmp.path() / "file";
    writeFile(blocker, "x");
    auto keychain = std::make_shared<FileKeychain>(blocker / "kc");
    KeychainTokenStore store(keychain, "s", "a", std::nullopt, false);
    try {
        store.save("t");
        ADD_FAILURE();
    } catch (const KeychainError& e) {
        EXPECT_EQ(e, KeychainError(KeychainStatus::ioFailed, "add"));
    }
    // An item path that is a directory cannot be read.
    FileKeychain direct(tmp.path());
    std::filesystem::create_directory(direct.itemPath({"s", "a", std::nullopt, false}));
    EXPECT_EQ(direct.copyMatching({"s", "a", std::nullopt, false}).status, KeychainStatus::ioFailed);
}

}  // namespace
}  // namespace brivet

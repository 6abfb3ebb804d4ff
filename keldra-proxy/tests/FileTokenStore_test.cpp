#include "keldra-proxy/FileTokenStore.h"

#include "keldra/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "BrivetClient/StateStore.h"

namespace {

using namespace brivet;
namespace fs = std::filesystem;
using keldra::test::TempDir;
using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;

// A symlinked or planted token file is never sent as the bearer token.
TEST(FileTokenStoreTest, TokenFileThatIsNoRegularFileFailsToLoad) {
    ::alarm(60);  // a reader stuck on the FIFO ends the test
    TempDir dir;
    keldra::test::writeFile(dir.path() / "other", "contents of another file");
    fs::create_symlink(dir.path() / "other", dir.path() / "device-token");
    EXPECT_THROW(FileTokenStore(dir.path() / "device-token").load(), TokenFileError);
    ASSERT_EQ(::mkfifo((dir.path() / "fifo-token").c_str(), 0600), 0);
    EXPECT_THROW(FileTokenStore(dir.path() / "fifo-token").load(), TokenFileError);
    ::alarm(0);
}

TEST(FileTokenStoreTest, SaveLoadDelete) {
    TempDir dir;
    FileTokenStore store(dir.path() / "device-token");
    EXPECT_EQ(store.load(), std::nullopt);
    store.deleteToken();  // nothing to remove is no error

    store.save("tok-123");
    EXPECT_EQ(store.load(), "tok-123");
    EXPECT_EQ(modeOf(store.url), 0600u);

    // A wider file from elsewhere is tightened when it is replaced.
    ::chmod(store.url.c_str(), 0644);
    store.save("tok-456");
    EXPECT_EQ(store.load(), "tok-456");
    EXPECT_EQ(modeOf(store.url), 0600u);

    store.deleteToken();
    EXPECT_FALSE(fs::exists(store.url));
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST(FileTokenStoreTest, SurroundingWhitespaceIsNotPartOfTheToken) {
    TempDir dir;
    FileTokenStore store(dir.path() / "device-token");
    writeFile(store.url, "tok-123\n");
    EXPECT_EQ(store.load(), "tok-123");
    writeFile(store.url, " \t\r\n tok 123\xC2\xA0\xE2\x80\xA8\n");
    EXPECT_EQ(store.load(), "tok 123");
    // A blank file is an empty token, not a missing one.
    writeFile(store.url, " \n\n");
    EXPECT_EQ(store.load(), "");
    writeFile(store.url, "");
    EXPECT_EQ(store.load(), "");
}

TEST(FileTokenStoreTest, DamagedTokenFileFails) {
    TempDir dir;
    FileTokenStore store(dir.path() / "device-token");
    for (const std::string& bytes : {std::string("tok\xFF\n"), std::string("tok\xC3"), std::string("\xED\xA0\x80"),
                                    std::string("\xC0\xAF")}) {
        writeFile(store.url, bytes);
        EXPECT_THROW(store.load(), TokenFileError) << bytes;
    }
    // A directory in the token's place can be neither read nor removed.
    fs::remove(store.url);
    fs::create_directory(store.url);
    fs::create_directory(store.url / "inside");
    EXPECT_THROW(store.load(), TokenFileError);
    EXPECT_THROW(store.deleteToken(), TokenFileError);
    EXPECT_THROW(store.save("tok"), TokenFileError);
}

TEST(FileTokenStoreTest, SaveDoesNotCreateTheDirectory) {
    TempDir dir;
    FileTokenStore store(dir.path() / "missing" / "device-token");
    EXPECT_THROW(store.save("tok"), TokenFileError);
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

// The state store keeps the token in the file store, never in "state.json",
// and a deleted token file reads back as not enrolled.
TEST(FileTokenStoreTest, BacksTheStateStore) {
    TempDir dir;
    auto tokens = std::make_shared<FileTokenStore>(dir.path() / "device-token");
    FileStateStore store(dir.path() / "state.json", tokens);
    ProtectionState state;
    state.installationId = "inst-1";
    state.identity = DeviceIdentity{"dev-1", "inst-1", "secret-token"};
    store.save(state);
    EXPECT_EQ(tokens->load(), "secret-token");
    EXPECT_EQ(modeOf(tokens->url), 0600u);
    const std::string text = readFile(dir.path() / "state.json");
    EXPECT_EQ(text.find("secret-token"), std::string::npos);
    EXPECT_EQ(store.load().identity, state.identity);

    tokens->deleteToken();
    EXPECT_EQ(store.load().identity, std::nullopt);
}

TEST(TokenBoxTest, TokenComesFromTheHeldClient) {
    auto box = std::make_shared<TokenBox>();
    const DeviceAPI::TokenSource source = TokenBox::tokenSource(box);
    EXPECT_EQ(source(), std::nullopt);

    auto stateStore = std::make_shared<InMemoryStateStore>();
    auto api = std::make_shared<DeviceAPI>(DeviceAPIConfiguration{"http://127.0.0.1:9", "test"}, nullptr, source);
    {
        auto unenrolled = std::make_shared<ProtectionClient>(api, stateStore, PinnedKeys{}, "test");
        box->setClient(unenrolled);
        EXPECT_EQ(source(), std::nullopt);
    }
    stateStore->state.identity = DeviceIdentity{"dev-1", "inst-1", "tok-9"};
    auto client = std::make_shared<ProtectionClient>(api, stateStore, PinnedKeys{}, "test");
    box->setClient(client);
    EXPECT_EQ(box->client(), client);
    EXPECT_EQ(source(), "tok-9");
    // The box does not keep a client alive.
    client.reset();
    EXPECT_EQ(source(), std::nullopt);
}

}  // namespace

TEST(FileTokenStore, LoadingRemovesTokenCopiesLeftByAKilledWriter) {
    keldra::test::TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const auto leftover = dir.path() / (".device-token.tmp-" + std::to_string(child) + "-0123456789ab");
    keldra::test::writeFile(leftover, "old-secret");
    FileTokenStore store(dir.path() / "device-token");
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(leftover));
}

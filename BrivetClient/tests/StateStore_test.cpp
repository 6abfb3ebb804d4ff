#include "BrivetClient/StateStore.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "StoresTestSupport.h"

namespace brivet {
namespace {

using storestest::readFile;
using storestest::entryCount;
using storestest::modeOf;
using storestest::TempDir;
using storestest::writeFile;

ProtectionState enrolledState() {
    ProtectionState state;
    state.installationId = "inst-1";
    state.identity = DeviceIdentity{"dev-1", "inst-1", "tok-secret"};
    BrivetCore::ClientState client("dev-1", "inst-1");
    client.highestPolicySeq = 7;
    client.policy = JSONValue::Object{{"policy_seq", JSONValue(7)},
                                      {"categories", JSONValue(JSONValue::Array{"ads", "adult"})},
                                      {"kind", JSONValue("commitment")}};
    client.policyBytes = "eyJ0eXBlIjoiZGV2aWNlX3BvbGljeSJ9";
    state.client = client;
    state.trustedTimeHighWater = "2025-03-01T08:05:09Z";
    state.lastServerContact = "2025-03-01T08:06:00Z";
    state.lastRejectedPolicy = "rollback";
    state.offlineRelease.accumulatedSeconds = 120;
    state.offlineRelease.lastMonotonicSeconds = -5;
    state.offlineReleasedAt = "2025-03-02T00:00:00Z";
    state.globalRelease = GlobalReleaseRecord{"rel-1", "incident", "2025-03-01T00:00:00Z", "2025-03-01T00:01:00Z"};
    return state;
}

template <class F>
StateFileError::Kind stateErrorKind(F&& f) {
    try {
        f();
    } catch (const StateFileError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "expected a StateFileError";
    return StateFileError::Kind::read;
}

TEST(FileStateStore, MissingFileLoadsEmptyAndCreatesNothing) {
    TempDir tmp;
    const auto url = tmp.path() / "sub" / "state.json";
    FileStateStore store(url, std::make_shared<InMemoryTokenStore>());
    EXPECT_EQ(store.load(), ProtectionState{});
    EXPECT_FALSE(std::filesystem::exists(url.parent_path()));
}

TEST(FileStateStore, LoadingRemovesOnlyTheTemporaryFilesOfKilledWriters) {
    TempDir tmp;
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const auto dead = tmp.path() / (".state.json.tmp-" + std::to_string(child) + "-0123456789ab");
    const auto live = tmp.path() / (".state.json.tmp-" + std::to_string(::getpid()) + "-0123456789ab");
    writeFile(dead, "{\"offlineRelease\":");
    writeFile(live, "{}");
    FileStateStore store(tmp.path() / "state.json", nullptr);
    EXPECT_EQ(entryCount(tmp.path()), 2u);  // construction touches nothing
    EXPECT_EQ(store.load(), ProtectionState{});
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(live));
}

TEST(FileStateStore, EmptyStateIsWrittenExactlyAndPrivately) {
    TempDir tmp;
    const auto url = tmp.path() / "a" / "b" / "state.json";
    // Even with a permissive umask the file is never wider than 0600.
    const mode_t old = ::umask(0);
    FileStateStore(url, nullptr).save(ProtectionState{});
    ::umask(old);
    EXPECT_EQ(readFile(url), R"({"offlineRelease":{"accumulatedSeconds":0}})");
    EXPECT_EQ(modeOf(url), 0600u);
    EXPECT_EQ(entryCount(url.parent_path()), 1u);  // no temporary file left

    // An existing wider file is replaced by a private one.
    ::chmod(url.c_str(), 0644);
    FileStateStore(url, nullptr).save(ProtectionState{});
    EXPECT_EQ(modeOf(url), 0600u);
}

TEST(FileStateStore, TokenIsKeptInTheTokenStoreNotTheFile) {
    TempDir tmp;
    const auto url = tmp.path() / "state.json";
    auto tokens = std::make_shared<InMemoryTokenStore>();
    FileStateStore store(url, tokens);
    const ProtectionState state = enrolledState();

    store.save(state);
    EXPECT_EQ(state.identity->deviceToken, "tok-secret");  // caller's copy unchanged
    EXPECT_EQ(tokens->token, "tok-secret");
    const std::string text = readFile(url);
    EXPECT_NE(text.find(R"("deviceToken":"")"), std::string::npos) << text;
    EXPECT_EQ(text.find("tok-secret"), std::string::npos);

    EXPECT_EQ(store.load(), state);

    // Without a token store the token stays in the file.
    FileStateStore plain(tmp.path() / "plain.json", nullptr);
    plain.save(state);
    EXPECT_NE(readFile(tmp.path() / "plain.json").find(R"("deviceToken":"tok-secret")"), std::string::npos);
    EXPECT_EQ(plain.load(), state);
}

TEST(FileStateStore, LostTokenLoadsAsNotEnrolled) {
    TempDir tmp;
    auto tokens = std::make_shared<InMemoryTokenStore>();
    FileStateStore store(tmp.path() / "state.json", tokens);
    store.save(enrolledState());
    tokens->deleteToken();

    ProtectionState expected = enrolledState();
    expected.identity.reset();
    expected.client.reset();
    EXPECT_EQ(store.load(), expected);
}

TEST(FileStateStore, FileFormat) {
    TempDir tmp;
    const auto url = tmp.path() / "state.json";
    FileStateStore(url, nullptr).save(enrolledState());
    EXPECT_EQ(nlohmann::json::parse(readFile(url)), nlohmann::json::parse(R"({
        "installationId": "inst-1",
        "identity": {"deviceId": "dev-1", "installationId": "inst-1", "deviceToken": "tok-secret"},
        "client": {"device_id": "dev-1", "installation_id": "inst-1", "highest_policy_seq": 7,
                   "policy": {"policy_seq": 7, "categories": ["ads", "adult"], "kind": "commitment"},
                   "policy_bytes": "eyJ0eXBlIjoiZGV2aWNlX3BvbGljeSJ9"},
        "trustedTimeHighWater": "2025-03-01T08:05:09Z",
        "lastServerContact": "2025-03-01T08:06:00Z",
        "lastRejectedPolicy": "rollback",
        "offlineRelease": {"accumulatedSeconds": 120, "lastMonotonicSeconds": -5},
        "offlineReleasedAt": "2025-03-02T00:00:00Z",
        "globalRelease": {"keyId": "rel-1", "reason": "incident",
                          "effectiveAt": "2025-03-01T00:00:00Z", "recordedAt": "2025-03-01T00:01:00Z"}})"));

    // Any key order, nulls as absent, unknown members ignored.
    writeFile(url, R"({"future":{"x":1},"installationId":null,"identity":null,"client":null,
        "globalRelease":null,"offlineRelease":{"lastMonotonicSeconds":null,"accumulatedSeconds":5},
        "lastRejectedPolicy":"bad_signature"})");
    ProtectionState expected;
    expected.offlineRelease.accumulatedSeconds = 5;
    expected.lastRejectedPolicy = "bad_signature";
    EXPECT_EQ(FileStateStore(url, nullptr).load(), expected);
}

TEST(FileStateStore, UndecodableFilesFailAndAreNeverReplaced) {
    TempDir tmp;
    const auto url = tmp.path() / "state.json";
    auto tokens = std::make_shared<InMemoryTokenStore>(std::string("tok"));
    FileStateStore store(url, tokens);
    const std::vector<std::string> bad = {
        "",
        "{not json",
        "[]",
        "{}",
        R"({"offlineRelease":null})",
        R"({"offlineRelease":{}})",
        R"({"offlineRelease":{"accumulatedSeconds":1.5}})",
        R"({"offlineRelease":{"accumulatedSeconds":"1"}})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"installationId":5})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"identity":{"deviceId":"d","installationId":"i"}})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"identity":"d"})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"client":{"device_id":"d"}})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"client":{"device_id":"d","installation_id":"i","highest_policy_seq":"x"}})",
        R"({"offlineRelease":{"accumulatedSeconds":0},"globalRelease":{"keyId":"k"}})",
        "{\"offlineRelease\":{\"accumulatedSeconds\":0},\"lastServerContact\":\"\xff\"}",
    };
    for (const auto& text : bad) {
        writeFile(url, text);
        EXPECT_EQ(stateErrorKind([&] { store.load(); }), StateFileError::Kind::decode) << text;
        EXPECT_EQ(readFile(url), text);
    }
    try {
        store.load();
    } catch (const StateFileError& e) {
        EXPECT_NE(std::string(e.what()).find(url.string()), std::string::npos) << e.what();
    }

    std::filesystem::remove(url);
    std::filesystem::create_directory(url);
    EXPECT_EQ(stateErrorKind([&] { store.load(); }), StateFileError::Kind::read);
}

TEST(FileStateStore, TokenStoreFailuresPassUnchangedAndNothingIsWritten) {
    TempDir tmp;
    const auto url = tmp.path() / "state.json";
    auto keychain = std::make_shared<InMemoryKeychain>();
    auto tokens = std::make_shared<KeychainTokenStore>(keychain, "svc", "device-token", std::nullopt, false);
    FileStateStore store(url, tokens);
    store.save(ProtectionState{});
    const std::string before = readFile(url);

    keychain->injectStatus(InMemoryKeychain::Call::update, -25293);
    EXPECT_THROW(
        {
            try {
                store.save(enrolledState());
            } catch (const KeychainError& e) {
                EXPECT_EQ(e, KeychainError(-25293, "update"));
                throw;
            }
        },
        KeychainError);
    EXPECT_EQ(readFile(url), before);

    keychain->injectStatus(InMemoryKeychain::Call::update, std::nullopt);
    store.save(enrolledState());
    keychain->injectStatus(InMemoryKeychain::Call::copyMatching, -25308);
    EXPECT_THROW(store.load(), KeychainError);
}

TEST(FileStateStore, EncodeAndWriteFailures) {
    TempDir tmp;
    const auto url = tmp.path() / "state.json";
    auto tokens = std::make_shared<InMemoryTokenStore>(std::string("old-token"));
    FileStateStore store(url, tokens);
    store.save(ProtectionState{});

    // A text that is not UTF-8 cannot be written; neither file nor token change.
    ProtectionState broken = enrolledState();
    broken.lastRejectedPolicy = std::string("\xc3(");
    EXPECT_EQ(stateErrorKind([&] { store.save(broken); }), StateFileError::Kind::encode);
    EXPECT_EQ(tokens->token, "old-token");
    EXPECT_EQ(readFile(url), R"({"offlineRelease":{"accumulatedSeconds":0}})");

    writeFile(tmp.path() / "file", "x");
    FileStateStore blocked(tmp.path() / "file" / "state.json", nullptr);
    EXPECT_EQ(stateErrorKind([&] { blocked.save(ProtectionState{}); }), StateFileError::Kind::write);
}

TEST(InMemoryStateStore, CountsEverySave) {
    InMemoryStateStore store;
    EXPECT_EQ(store.load(), ProtectionState{});
    EXPECT_EQ(store.saves, 0);
    store.save(enrolledState());
    store.save(enrolledState());
    EXPECT_EQ(store.saves, 2);
    EXPECT_EQ(store.load(), enrolledState());
}

}  // namespace
}  // namespace brivet

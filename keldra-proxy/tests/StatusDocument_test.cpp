#include "keldra-proxy/StatusDocument.h"

#include "keldra/TestFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keldra-proxy/DevHost.h"
#include "keldra-proxy/LocalFilter.h"

namespace {

using namespace brivet;
namespace fs = std::filesystem;
using keldra::test::TempDir;
using keldra::test::modeOf;
using keldra::test::readFile;

std::vector<std::string> keysOf(const nlohmann::json& json) {
    std::vector<std::string> keys;
    for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
    return keys;
}

// A client enrolled as dev-7 under a commitment over two categories.
std::shared_ptr<ProtectionClient> committedClient() {
    auto store = std::make_shared<InMemoryStateStore>();
    store->state.installationId = "inst-7";
    store->state.identity = DeviceIdentity{"dev-7", "inst-7", "tok"};
    BrivetCore::ClientState core("dev-7", "inst-7");
    core.highestPolicySeq = 9;
    core.policy = JSONValue::Object{
        {"policy_seq", JSONValue(9.0)},
        {"kind", JSONValue(std::string("commitment"))},
        {"commitment_id", JSONValue(std::string("c-1"))},
        {"locked_until", JSONValue(std::string("2027-03-01T00:00:00Z"))},
        {"categories", JSONValue(JSONValue::Array{JSONValue(std::string("social")), JSONValue(std::string("adult"))})},
    };
    store->state.client = core;
    auto api = std::make_shared<DeviceAPI>(DeviceAPIConfiguration{"http://127.0.0.1:9", kProxyClientVersion}, nullptr,
                                           DeviceAPI::TokenSource{});
    return std::make_shared<ProtectionClient>(api, store, PinnedKeys{}, kProxyClientVersion);
}

TickReport reportWithErrors(std::vector<std::string> errors) {
    TickReport report;
    report.protectionState = "protected";
    report.filterRunning = true;
    report.errors = std::move(errors);
    return report;
}

TEST(StatusDocumentTest, DocumentFromAKnownTick) {
    TempDir dir;
    auto client = committedClient();
    LocalFilter filter(AppGroup("dev-proxy", dir.path()));
    FilterRules rules;
    rules.policySeq = 9;
    filter.publish(rules);
    DevHost host;
    host.setListening(true);
    host.setDNSPointsHere(true);

    const StatusFile status =
        StatusFile::make(reportWithErrors({"policy: http 503 unavailable", "events: transport down"}), *client, filter,
                         host, 12, 340, RFC3339::fromUnixSeconds(1'800'000'000));
    const fs::path target = dir.path() / "status.json";
    status.write(target);
    EXPECT_EQ(modeOf(target), 0644u);

    const std::string text = readFile(target);
    const nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"answered", "blocked", "categories", "committed", "deviceId",
                                                      "dnsAsserted", "enrolled", "errors", "filterRunning",
                                                      "lastTickAt", "lockedUntil", "policySeq", "state", "version"}));
    EXPECT_EQ(json, nlohmann::json::parse(R"({
        "answered": 340, "blocked": 12, "categories": ["adult", "social"], "committed": true,
        "deviceId": "dev-7", "dnsAsserted": true, "enrolled": true,
        "errors": ["policy: http 503 unavailable", "events: transport down"], "filterRunning": true,
        "lastTickAt": "2027-01-15T08:00:00Z", "lockedUntil": "2027-03-01T00:00:00Z", "policySeq": 9,
        "state": "protected", "version": "0.1.0-macos-beta"})"));
    // Keys appear in the text in sorted order, pretty-printed.
    EXPECT_LT(text.find("\"answered\""), text.find("\"blocked\""));
    EXPECT_LT(text.find("\"state\""), text.find("\"version\""));
    EXPECT_NE(text.find("\n  \"answered\": 340,\n"), std::string::npos);
}

TEST(StatusDocumentTest, OptionalKeysAreLeftOutNotNull) {
    TickReport report;  // no protection state, no errors
    const StatusFile status = StatusFile::make(report, DeviceIdentity{"dev-1", "inst-1", "tok"}, std::nullopt, 0,
                                               std::nullopt, 0, 0, RFC3339::fromUnixSeconds(0));
    const nlohmann::json json = status.toJSON();
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"answered", "blocked", "categories", "committed", "deviceId",
                                                      "enrolled", "errors", "filterRunning", "lastTickAt",
                                                      "policySeq", "version"}));
    EXPECT_EQ(json["committed"], false);
    EXPECT_EQ(json["categories"], nlohmann::json::array());
    EXPECT_EQ(json["errors"], nlohmann::json::array());
    EXPECT_EQ(json["policySeq"], 0);
    EXPECT_EQ(json["lastTickAt"], "1970-01-01T00:00:00Z");

    // A failed DNS check is written as false, not left out.
    const StatusFile checked = StatusFile::make(report, std::nullopt, std::nullopt, 0, false, 0, 0,
                                                RFC3339::fromUnixSeconds(0));
    EXPECT_EQ(checked.toJSON()["dnsAsserted"], false);
    EXPECT_EQ(checked.toJSON()["enrolled"], false);
    EXPECT_FALSE(checked.toJSON().contains("deviceId"));
}

TEST(StatusDocumentTest, UnwritableTargetKeepsThePreviousDocument) {
    TempDir dir;
    const fs::path target = dir.path() / "status.json";
    StatusFile first;
    first.blocked = 1;
    first.write(target);
    const std::string before = readFile(target);

    // A directory that does not exist is not created, and nothing throws.
    StatusFile second;
    second.blocked = 2;
    second.write(dir.path() / "missing" / "status.json");
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));

    // A target that cannot be replaced stays as it was.
    const fs::path blocked = dir.path() / "taken";
    fs::create_directories(blocked / "inside");
    second.write(blocked);
    EXPECT_TRUE(fs::is_directory(blocked / "inside"));
    EXPECT_EQ(readFile(target), before);

    // A wider or narrower old file ends up 0644 after the next write.
    ::chmod(target.c_str(), 0600);
    second.write(target);
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(nlohmann::json::parse(readFile(target))["blocked"], 2);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// The document is replaced, never written through, and no mode is set on a
// path: a symlink to a secret or a directory given as --status stay as they
// were.
TEST(StatusDocumentTest, WritesANewWorldReadableFileAndChangesNothingElse) {
    TempDir dir;
    const fs::path secret = dir.path() / "secret";
    keldra::test::writeFile(secret, "token");
    ::chmod(secret.c_str(), 0600);
    const fs::path target = dir.path() / "status.json";
    fs::create_symlink(secret, target);
    StatusFile status;
    status.blocked = 5;

    const mode_t previous = ::umask(077);
    status.write(target);
    ::umask(previous);
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(nlohmann::json::parse(readFile(target))["blocked"], 5);
    EXPECT_EQ(readFile(secret), "token");
    EXPECT_EQ(modeOf(secret), 0600u);

    const fs::path folder = dir.path() / "folder";
    fs::create_directory(folder);
    ::chmod(folder.c_str(), 0700);
    status.write(folder);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST(StatusDocumentTest, ErrorTextThatIsNotUTF8StillWrites) {
    TempDir dir;
    const fs::path target = dir.path() / "status.json";
    StatusFile status;
    status.errors = {"heartbeat: transport bad \xFF byte"};
    status.write(target);
    const nlohmann::json json = nlohmann::json::parse(readFile(target));
    EXPECT_EQ(json["errors"][0], "heartbeat: transport bad \xEF\xBF\xBD byte");
}

}  // namespace

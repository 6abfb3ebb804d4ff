// The bundle, its Info values and the environment file.
#include <gtest/gtest.h>

#include <string>

#include "BrivetClient/JSONCoding.h"
#include "Keldra/AppConfig.h"
#include "Keldra/ClientEnvironment.h"
#include "keldra/TestFiles.h"

namespace {

using keldra::AppConfig;
using keldra::Bundle;
using keldra::ClientEnvironment;
using keldra::EnvironmentError;
using keldra::test::TempDir;
using keldra::test::writeFile;

struct BundleDir {
    TempDir dir{"keldra-bundle"};
    std::filesystem::path app = dir / "Keldra.app";
    BundleDir() { std::filesystem::create_directories(app / "Contents" / "Resources"); }
    void info(const std::string& json) { writeFile(app / "Contents" / "Info.json", json); }
    void environment(const std::string& json) { writeFile(app / "Contents" / "Resources" / "Environment.json", json); }
    Bundle bundle() const { return Bundle(app); }
};

const char* kKey1 = R"({"id":"p1","public":"nFl-B0Yr5rPIeAVvIrWfaSbkgl-J379ZnExMHd5pzzI"})";
const char* kKey2 = R"({"id":"r1","public":"glKOtDdedeirlF-qwFbOqg270B9Eq72cCC1MhUkyAVE","state":"active"})";
const char* kKey3 = R"({"id":"r2","public":"2rLJPFGUnvcOkX9ONhVcbXre5QUCKtHEAtjj6qHjuuc"})";

std::string environmentJSON(const std::string& policy, const std::string& release,
                            const std::string& extra = R"("dashboard_url":"https://dash.example/x?a=1",)") {
    return R"({"name":"Test","api_base_url":"https://api.example/v1",)" + extra + R"("policy_keys":[)" + policy +
           R"(],"release_keys":[)" + release + "]}";
}

TEST(InfoAndConfig, StringValuesDefaultsAndTypes) {
    BundleDir b;
    b.info(R"({"BRIVET_BETA_PROXY": true, "BRIVET_APP_GROUP": "", "BRIVET_FILTER_BUNDLE_ID": 7,
              "CFBundleShortVersionString": "2.1", "BRIVET_TEAM_ID": "", "BRIVET_KEYCHAIN_GROUP": "grp"})");
    AppConfig config(b.bundle());
    EXPECT_EQ(config.info("BRIVET_BETA_PROXY"), std::nullopt);  // a boolean reads as absent
    EXPECT_FALSE(config.betaProxy());
    EXPECT_EQ(config.appGroup(), "");  // present and empty is used
    EXPECT_EQ(config.filterBundleID(), "io.tolvane.brivet.filter");  // a number is absent
    EXPECT_EQ(config.clientVersion(), "2.1");
    EXPECT_FALSE(config.signedBuild());
    EXPECT_EQ(config.keychainGroup(), std::nullopt);  // empty team id: no group whatever it says
    EXPECT_EQ(config.filterExtensionURL(),
              b.app / "Contents/Library/SystemExtensions/io.tolvane.brivet.filter.systemextension");

    b.info(R"({"BRIVET_BETA_PROXY": "YES", "BRIVET_TEAM_ID": "T1", "BRIVET_FILTER_BUNDLE_ID": "x.y"})");
    AppConfig signedConfig(b.bundle());
    EXPECT_TRUE(signedConfig.betaProxy());
    EXPECT_TRUE(signedConfig.signedBuild());
    EXPECT_EQ(signedConfig.keychainGroup(), std::nullopt);  // signed, but no group set
    EXPECT_EQ(signedConfig.appGroup(), "group.io.tolvane.brivet");
    EXPECT_EQ(signedConfig.clientVersion(), "0.0.0");
    EXPECT_EQ(signedConfig.filterExtensionURL().filename(), "x.y.systemextension");

    for (const char* notYes : {R"({"BRIVET_BETA_PROXY":"yes"})", R"({"BRIVET_BETA_PROXY":"YES "})", "[1,2]",
                               "not json", R"({"BRIVET_BETA_PROXY":"YES")"}) {
        b.info(notYes);
        EXPECT_FALSE(AppConfig(b.bundle()).betaProxy()) << notYes;
    }
}

TEST(InfoAndConfig, MainBundleFromExecutablePath) {
    EXPECT_EQ(Bundle::containing("/opt/Keldra.app/Contents/bin/Keldra").url(), "/opt/Keldra.app");
    EXPECT_EQ(Bundle::containing("/usr/local/bin/tool").url(), "/usr/local/bin");

    BundleDir b;
    EXPECT_EQ(b.bundle().resourcesOrBundleURL(), b.app / "Contents" / "Resources");
    std::filesystem::remove(b.app / "Contents" / "Resources");
    EXPECT_EQ(b.bundle().resourcesOrBundleURL(), b.app);
    EXPECT_FALSE(Bundle::open(b.dir / "nothing-here").has_value());
}

TEST(Environment, LoadsAndCountsKeys) {
    BundleDir b;
    b.environment(environmentJSON(kKey1, std::string(kKey2) + "," + kKey3));
    ClientEnvironment environment = ClientEnvironment::load(b.bundle());
    EXPECT_EQ(environment.name, "Test");
    EXPECT_EQ(environment.apiBaseUrl, "https://api.example/v1");
    EXPECT_EQ(environment.dashboardUrl, "https://dash.example/x?a=1");
    ASSERT_EQ(environment.releaseKeys.size(), 2u);
    EXPECT_EQ(environment.releaseKeys[0].state, std::optional<std::string>("active"));
    EXPECT_EQ(environment.pinnedKeys().policyKeys, environment.policyKeys);

    auto caseOf = [](const std::string& json) -> std::string {
        try {
            ClientEnvironment::decode(json);
            return "loaded";
        } catch (const EnvironmentError& error) {
            return error.what();
        } catch (const brivet::DecodingError&) {
            return "decoding";
        }
    };
    EXPECT_EQ(caseOf(environmentJSON(kKey1, kKey2)), "keysIncomplete");  // one release key
    EXPECT_EQ(caseOf(environmentJSON("", std::string(kKey1) + "," + kKey2 + "," + kKey3)), "keysIncomplete");
    // Camel-case keys match too: the conversion leaves them alone.
    EXPECT_EQ(caseOf(R"({"name":"n","apiBaseUrl":"http://a","dashboardUrl":"http://d","policyKeys":[)" +
                     std::string(kKey1) + R"(],"releaseKeys":[)" + kKey2 + "," + kKey3 + "]}"),
              "loaded");
    EXPECT_EQ(caseOf(environmentJSON(kKey1, std::string(kKey2) + "," + kKey3, "")), "decoding");  // no dashboard
    EXPECT_EQ(caseOf(environmentJSON(kKey1, std::string(kKey2) + "," + kKey3, R"("dashboard_url":"not a url",)")),
              "decoding");
    EXPECT_EQ(caseOf(environmentJSON(kKey1, std::string(kKey2) + "," + kKey3, R"("dashboard_url":5,)")), "decoding");
    EXPECT_EQ(caseOf(environmentJSON(R"({"id":1,"public":"x"})", std::string(kKey2) + "," + kKey3)), "decoding");
    EXPECT_EQ(caseOf(R"({"name":"n","api_base_url":"http://a","dashboard_url":"http://d","policy_keys":{},
                       "release_keys":[]})"),
              "decoding");
    EXPECT_EQ(caseOf("[]"), "decoding");
    EXPECT_EQ(caseOf("{\"name\":\"\xff\"}"), "decoding");
    EXPECT_EQ(caseOf(std::string(100000, '[') + std::string(100000, ']')), "decoding");  // no stack overflow
}

TEST(Environment, MissingAndUnreadableFiles) {
    BundleDir b;
    try {
        ClientEnvironment::load(b.bundle());
        FAIL() << "loaded without a file";
    } catch (const EnvironmentError& error) {
        EXPECT_EQ(error, EnvironmentError(EnvironmentError::Case::missing));
        EXPECT_STREQ(error.what(), "missing");
    }
    // A folder in its place is no resource either.
    std::filesystem::create_directory(b.app / "Contents" / "Resources" / "Environment.json");
    EXPECT_THROW(ClientEnvironment::load(b.bundle()), EnvironmentError);
    std::filesystem::remove(b.app / "Contents" / "Resources" / "Environment.json");

    b.environment("{ broken");
    EXPECT_THROW(ClientEnvironment::load(b.bundle()), brivet::DecodingError);
    if (::geteuid() != 0) {
        b.environment(environmentJSON(kKey1, std::string(kKey2) + "," + kKey3));
        std::filesystem::permissions(b.app / "Contents" / "Resources" / "Environment.json",
                                     std::filesystem::perms::none);
        try {
            ClientEnvironment::load(b.bundle());
            FAIL() << "read an unreadable file";
        } catch (const ClientEnvironment::ReadError& error) {
            EXPECT_NE(std::string(error.what()).find("Permission denied"), std::string::npos) << error.what();
        }
    }
}

TEST(Environment, ShippedResourceIsValid) {
    auto file = std::filesystem::path(KELDRA_SOURCE_DIR) / "App" / "Resources" / "Environment.json";
    ClientEnvironment environment = ClientEnvironment::decode(keldra::test::readFile(file));
    EXPECT_FALSE(environment.policyKeys.empty());
    EXPECT_GE(environment.releaseKeys.size(), 2u);
}

}  // namespace

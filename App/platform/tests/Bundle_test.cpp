// The app bundle the build leaves in the build tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "Keldra/AppConfig.h"
#include "Keldra/BetaProxy.h"
#include "Keldra/ClientEnvironment.h"
#include "Keldra/StatusTexts.h"
#include "keldra/TestFiles.h"

namespace {

TEST(BuildTreeBundle, HoldsInfoEnvironmentAndTheService) {
    keldra::Bundle bundle(KELDRA_APP_BUNDLE);
    keldra::AppConfig config(bundle);
    EXPECT_EQ(config.info("CFBundleExecutable"), std::optional<std::string>("Keldra"));
    EXPECT_EQ(config.filterBundleID(), "io.tolvane.brivet.filter");
    EXPECT_TRUE(config.info("CFBundleShortVersionString").has_value());
    // Either mode, as the build was configured.
    auto mode = config.info("BRIVET_BETA_PROXY");
    EXPECT_TRUE(!mode || *mode == "YES");

    keldra::ClientEnvironment environment = keldra::ClientEnvironment::load(bundle);
    EXPECT_FALSE(environment.name.empty());

    auto resources = keldra::BetaPaths::forBundle(bundle).resources;
    EXPECT_EQ(resources, std::filesystem::path(KELDRA_APP_BUNDLE) / "Contents" / "Resources");
    EXPECT_TRUE(std::filesystem::exists(resources / "keldra-proxy"));
    EXPECT_TRUE(std::filesystem::exists(resources / "keldra-networksetup"));
    EXPECT_EQ(std::filesystem::exists(resources / "install.sh"),
              std::filesystem::exists(std::filesystem::path(KELDRA_SOURCE_DIR) / "App/Resources/install.sh"));

    // Not the installed app: no team ID, so Details says the filter cannot
    // load from this copy.
    EXPECT_FALSE(config.info("BRIVET_TEAM_ID"));
    EXPECT_FALSE(config.signedBuild());
}

// The bundle `cmake --install` lays out, in a scratch DESTDIR.
TEST(InstalledBundle, CarriesATeamIDSoDetailsShowsASignedBuildWithTheTokenWhereItWas) {
    keldra::test::TempDir dir("app-install");
    const std::string command = "DESTDIR='" + (dir / "root").string() + "' cmake --install '" KELDRA_BINARY_DIR
                                "' --prefix /opt/keldra >'" + (dir / "install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << keldra::test::readFile(dir / "install.log");

    std::optional<std::filesystem::path> app;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "root")) {
        const auto& path = entry.path();
        if (path.filename() == "Info.json" && path.parent_path().filename() == "Contents" &&
            path.parent_path().parent_path().extension() == ".app") {
            app = path.parent_path().parent_path();
        }
    }
    ASSERT_TRUE(app) << "no app bundle installed";
    keldra::AppConfig config{keldra::Bundle(*app)};
    ASSERT_TRUE(config.info("BRIVET_TEAM_ID"));
    EXPECT_FALSE(config.info("BRIVET_TEAM_ID")->empty());
    EXPECT_TRUE(config.signedBuild());
    EXPECT_FALSE(config.keychainGroup());
    EXPECT_EQ(config.info("CFBundleExecutable"), std::optional<std::string>("Keldra"));

    keldra::AppSnapshot snapshot;
    snapshot.hasEngine = true;
    snapshot.signedBuild = config.signedBuild();
    const auto lines = keldra::texts::diagnostics(snapshot);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Unsigned build: the filter cannot load"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Signed build"), 1);
}

}  // namespace

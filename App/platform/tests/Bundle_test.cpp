// The app bundle the build leaves in the build tree.
#include <gtest/gtest.h>

#include "Keldra/AppConfig.h"
#include "Keldra/BetaProxy.h"
#include "Keldra/ClientEnvironment.h"

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
}

}  // namespace

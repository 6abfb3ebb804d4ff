// Activation outcomes, the waiting callers, late completion, and the two
// network configurations.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "Keldra/FilterInstaller.h"
#include "keldra/TestFiles.h"

namespace {

using keldra::ContentFilterConfiguration;
using keldra::DNSProxyConfiguration;
using keldra::FakeActivationBackend;
using keldra::FakeNetworkConfigurationStore;
using keldra::FilterInstaller;
using keldra::NetworkConfigurations;
using Outcome = FilterInstaller::Outcome;

struct InstallerTest : ::testing::Test {
    std::shared_ptr<FakeActivationBackend> backend = std::make_shared<FakeActivationBackend>();
    std::shared_ptr<FakeNetworkConfigurationStore> store = std::make_shared<FakeNetworkConfigurationStore>();
    FilterInstaller installer{"io.tolvane.brivet.filter", backend, store};
    std::mutex lateMutex;
    std::vector<Outcome> late;

    void SetUp() override {
        installer.setOnLateCompletion([this](Outcome outcome) {
            std::lock_guard lock(lateMutex);
            late.push_back(std::move(outcome));
        });
    }
    std::vector<Outcome> lateOutcomes() {
        std::lock_guard lock(lateMutex);
        return late;
    }
};

TEST_F(InstallerTest, FirstOutcomeAnswersLaterOnesGoToLateCompletion) {
    backend->answerNextWith({Outcome::needsUserApproval()});
    EXPECT_EQ(installer.activate(), Outcome::needsUserApproval());
    EXPECT_EQ(backend->submitted(), std::vector<std::string>{"io.tolvane.brivet.filter"});
    EXPECT_TRUE(lateOutcomes().empty());

    ASSERT_TRUE(backend->deliver(Outcome::installed()));  // the user approved
    EXPECT_EQ(lateOutcomes(), std::vector<Outcome>{Outcome::installed()});

    // A new request answered at once on the submitting thread.
    backend->answerNextWith({Outcome::failed("blocked by policy"), Outcome::willCompleteAfterReboot()});
    EXPECT_EQ(installer.activate(), Outcome::failed("blocked by policy"));
    EXPECT_EQ(lateOutcomes().back(), Outcome::willCompleteAfterReboot());
}

TEST_F(InstallerTest, SecondCallerWhileOneWaitsGetsTheSameFirstOutcome) {
    auto first = std::async(std::launch::async, [&] { return installer.activate(); });
    backend->waitForSubmissions(1);
    auto second = std::async(std::launch::async, [&] { return installer.activate(); });
    // Give the second caller time to join the waiting request.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(backend->submitted().size(), 1u);  // no second request
    backend->deliver(Outcome::needsUserApproval());
    EXPECT_EQ(first.get(), Outcome::needsUserApproval());
    EXPECT_EQ(second.get(), Outcome::needsUserApproval());
    backend->deliver(Outcome::installed());
    EXPECT_EQ(lateOutcomes(), std::vector<Outcome>{Outcome::installed()});  // nobody resumed twice
}

TEST(InstallerOutcome, PrintedForms) {
    EXPECT_EQ(Outcome::installed().printed(), "installed");
    EXPECT_EQ(Outcome::needsUserApproval().printed(), "needsUserApproval");
    EXPECT_EQ(Outcome::willCompleteAfterReboot().printed(), "willCompleteAfterReboot");
    EXPECT_EQ(Outcome::failed("no helper").printed(), "failed(\"no helper\")");

    FilterInstaller installer("x", std::make_shared<FilterInstaller::UnavailableActivationBackend>(),
                              std::make_shared<FakeNetworkConfigurationStore>());
    Outcome outcome = installer.activate();
    EXPECT_EQ(outcome.value, Outcome::Case::failed);
    EXPECT_NE(outcome.message.find("no system helper"), std::string::npos);
}

TEST_F(InstallerTest, EnablingKeepsAnExistingFilterProviderAndAlwaysReplacesTheDNSProvider) {
    EXPECT_FALSE(installer.isFilterEnabled());
    EXPECT_FALSE(installer.isDNSProxyEnabled());

    NetworkConfigurations existing;
    existing.contentFilter.provider = ContentFilterConfiguration::Provider{false, true};
    existing.dnsProxy = DNSProxyConfiguration{true, DNSProxyConfiguration::Provider{"other.id", "Other"}, "Other"};
    store->set(existing);
    EXPECT_FALSE(installer.isDNSProxyEnabled());  // enabled, but names another extension

    installer.enableFilter();
    installer.enableDNSProxy();
    NetworkConfigurations now = store->current();
    EXPECT_EQ(now.contentFilter, (ContentFilterConfiguration{true, ContentFilterConfiguration::Provider{false, true}, "Keldra"}));
    EXPECT_EQ(now.dnsProxy, (DNSProxyConfiguration{
                                true, DNSProxyConfiguration::Provider{"io.tolvane.brivet.filter", "Keldra"}, "Keldra DNS"}));
    EXPECT_TRUE(installer.isFilterEnabled());
    EXPECT_TRUE(installer.isDNSProxyEnabled());

    store->set({});
    installer.enableFilter();
    EXPECT_EQ(store->current().contentFilter.provider, (ContentFilterConfiguration::Provider{true, false}));

    // Load and save failures come out of enable unchanged; the queries say false.
    store->failContentFilterSave("save refused");
    store->failDNSProxyLoad("load refused");
    try {
        installer.enableFilter();
        FAIL();
    } catch (const keldra::ConfigurationError& error) {
        EXPECT_STREQ(error.what(), "save refused");
    }
    EXPECT_THROW(installer.enableDNSProxy(), keldra::ConfigurationError);
    EXPECT_FALSE(installer.isDNSProxyEnabled());
    store->failContentFilterLoad("load refused");
    EXPECT_FALSE(installer.isFilterEnabled());
}

TEST(NetworkConfigurationFile, ReadsTheRootDocumentAndWritesOnlyThroughTheWriter) {
    keldra::test::TempDir dir("keldra-netcfg");
    auto file = dir / "network-configurations.json";
    keldra::FileNetworkConfigurationStore store(file, std::make_shared<keldra::UnavailableConfigurationWriter>());
    EXPECT_EQ(store.loadAll(), NetworkConfigurations{});  // nothing saved yet

    NetworkConfigurations saved;
    saved.contentFilter = {true, ContentFilterConfiguration::Provider{true, false}, "Keldra"};
    saved.dnsProxy = {true, DNSProxyConfiguration::Provider{"io.tolvane.brivet.filter", "Keldra"}, "Keldra DNS"};
    keldra::test::writeFile(file, saved.encode());
    EXPECT_EQ(store.loadAll(), saved);
    EXPECT_EQ(NetworkConfigurations::decode(R"({"contentFilter":{"enabled":false,"provider":null}})"),
              NetworkConfigurations{});

    FilterInstaller installer("io.tolvane.brivet.filter", std::make_shared<FilterInstaller::UnavailableActivationBackend>(),
                              std::make_shared<keldra::FileNetworkConfigurationStore>(
                                  file, std::make_shared<keldra::UnavailableConfigurationWriter>()));
    EXPECT_TRUE(installer.isFilterEnabled());
    EXPECT_TRUE(installer.isDNSProxyEnabled());
    EXPECT_THROW(installer.enableFilter(), keldra::ConfigurationError);  // no helper to write
    EXPECT_EQ(store.loadAll(), saved);

    for (const char* bad : {"not json", "[]", R"({"contentFilter":{"enabled":"yes"}})",
                            R"({"dnsProxy":{"enabled":true,"provider":{"serverAddress":"x"}}})"}) {
        keldra::test::writeFile(file, bad);
        EXPECT_THROW(store.loadAll(), keldra::ConfigurationError) << bad;
        EXPECT_FALSE(installer.isFilterEnabled()) << bad;
    }
}

}  // namespace

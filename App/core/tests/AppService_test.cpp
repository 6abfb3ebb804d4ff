// The app state against the local device service: enrolment, ticks with a
// real policy, the loop's interval from it, and the whole road in the
// extension mode with the fake filter extension on a real socket.
#include "AppServiceSupport.h"

#include "BrivetClient/LogText.h"
#include "Keldra/MenuModel.h"
#include "Keldra/Testing/FakeFilterServer.h"

using namespace apptest;
using keldra::AppState;

namespace {

class AppService : public ::testing::Test {
protected:
    AppService() : service(options()) {}

    static brivet::dev::DevServiceOptions options() {
        brivet::dev::DevServiceOptions o;
        o.acceptCodes = {"CODE-1"};
        return o;
    }

    void SetUp() override { prepareService(service, h); }

    bool enroll(AppState& app, const std::string& code = "CODE-1", const std::string& name = "Mac") {
        return runToEnd(h, [&](auto done) { app.enroll(code, name, done); });
    }

    brivet::dev::DevService service;
    Harness h;
};

}  // namespace

TEST_F(AppService, EnrolmentTrimsTheCodeKeepsTheNameAndTicksOnce) {
    service.setPolicy(demoPolicy(900));
    auto app = h.make();
    std::vector<AppState::Field> changes;
    app->setObserver([&](AppState::Field field) { changes.push_back(field); });
    ASSERT_TRUE(enroll(*app, "  CODE-1\n", "  Kid's Mac "));
    EXPECT_TRUE(app->enrolled());
    EXPECT_FALSE(app->busy());
    EXPECT_FALSE(app->errorText());
    ASSERT_EQ(service.devices().size(), 1u);
    EXPECT_EQ(service.devices()[0].name, "  Kid's Mac ");
    EXPECT_EQ(h.host->ticks(), 1);
    ASSERT_TRUE(app->lastReport());
    EXPECT_TRUE(app->lastReport()->enrolled);
    EXPECT_EQ(app->lastReport()->rulesPublished, service.currentPolicySeq());
    ASSERT_TRUE(app->effectivePolicy());
    EXPECT_EQ(app->commitmentLine(), "Committed until Jan 1, 2030, 12:00\u202fAM");
    EXPECT_EQ(app->categoriesLine(), "ads");
    EXPECT_EQ(app->headline(), "Protected");
    EXPECT_EQ(app->symbolName(), "checkmark.shield.fill");
    EXPECT_EQ(changes.front(), AppState::Field::busy);
    EXPECT_EQ(changes.back(), AppState::Field::busy);

    // A new app over the same keychain and data folder starts enrolled.
    auto again = h.make();
    EXPECT_TRUE(again->enrolled());
    EXPECT_TRUE(again->effectivePolicy());
}

TEST_F(AppService, FailedEnrolmentsShowTheServiceMessageLogItAndDoNotTick) {
    auto app = h.make();
    ASSERT_TRUE(enroll(*app, "WRONG"));
    EXPECT_EQ(app->errorText(), "That enrollment code is not valid.");
    EXPECT_FALSE(app->enrolled());
    EXPECT_FALSE(app->busy());
    EXPECT_EQ(h.host->ticks(), 0);

    service.stop();
    ASSERT_TRUE(enroll(*app));
    ASSERT_TRUE(app->errorText());
    EXPECT_EQ(app->errorText()->rfind("Could not reach the server: ", 0), 0u) << *app->errorText();

    // One log line for each, the message escaped as the log escapes.
    std::vector<std::string> lines;
    for (const auto& entry : h.log->entries())
        if (entry.message.rfind("enrollment failed: ", 0) == 0) lines.push_back(entry.message);
    EXPECT_EQ(lines, (std::vector<std::string>{"enrollment failed: That enrollment code is not valid.",
                                               "enrollment failed: " + brivet::logSafe(*app->errorText())}));
}

TEST_F(AppService, CheckNowDuringAnEnrolmentIsSkippedAndTheEnrolmentsOwnTickRuns) {
    service.setPolicy(demoPolicy(900));
    auto app = h.make();
    bool enrolled = false;
    app->enroll("CODE-1", "Mac", [&] { enrolled = true; });
    bool checked = false;
    app->tick([&] { checked = true; });
    EXPECT_TRUE(checked);  // skipped at once
    ASSERT_TRUE(h.executor->runUntil([&] { return enrolled; }));
    EXPECT_EQ(h.host->ticks(), 1);
    EXPECT_EQ(service.counters().enrollments, 1);
}

TEST_F(AppService, TheLoopSleepsThePolicysIntervalFromTheNextSleepOn) {
    service.setPolicy(demoPolicy(30));
    auto app = h.make();
    ASSERT_TRUE(enroll(*app));
    app->start();
    h.settle();
    EXPECT_EQ(h.executor->nextTimerIn(), 60.0);

    service.setPolicy(demoPolicy(3600));
    h.executor->advance(60);
    h.settle();
    EXPECT_EQ(app->loopInterval(), 3600.0);
    EXPECT_EQ(h.executor->nextTimerIn(), 3600.0);
    EXPECT_TRUE(runToEnd(h, [&](auto done) { app->stop(done); }));
}

TEST_F(AppService, ExtensionModeEndToEnd) {
    const fs::path socket = h.dir / "filter.sock";
    keldra::testing::FakeFilterServer extension(socket);
    const fs::path extensionBundle =
        h.bundle / "Contents" / "Library" / "SystemExtensions" / "io.tolvane.brivet.filter.systemextension";
    fs::create_directories(extensionBundle / "Contents");
    keldra::test::writeFile(extensionBundle / "Contents" / "Info.json",
                            json{{"NetworkExtension", {{"NEMachServiceName", socket.string()}}}}.dump());
    keldra::NetworkConfigurations configured;
    configured.contentFilter.enabled = true;
    configured.contentFilter.provider = keldra::ContentFilterConfiguration::Provider{};
    h.configurations->set(configured);
    h.fakeFilter = false;
    h.fakeHost = false;
    const std::int64_t seq = service.setPolicy(demoPolicy(900));

    auto app = h.make();
    app->start();
    h.settle();
    EXPECT_FALSE(app->lastReport()->enrolled);

    // Enrol: the closing tick publishes the policy's rules to the extension.
    ASSERT_TRUE(enroll(*app));
    ASSERT_EQ(extension.published().size(), 1u);
    EXPECT_EQ(extension.published()[0].policySeq, seq);
    EXPECT_TRUE(app->lastReport()->filterRunning);
    EXPECT_EQ(app->headline(), "Protected");

    // Events the extension holds reach the service at the next tick.
    brivet::CoalescedEvent blocked{"bypass_attempted", "blocked_custom_rule", std::nullopt, seq,
                                   "2026-12-08T10:00:00Z", "2026-12-08T10:15:00Z", 3};
    extension.queueEvents({blocked});
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
    EXPECT_EQ(app->lastReport()->eventsSent, 1);
    EXPECT_TRUE(extension.queuedEvents().empty());
    auto types = [&] {
        std::vector<std::string> out;
        for (const auto& event : service.acceptedEvents()) out.push_back(event.value("type", ""));
        return out;
    };
    EXPECT_EQ(types(), (std::vector<std::string>{"bypass_attempted"}));

    // Quitting flushes the engine's own open windows.
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->stop(done); }));
    EXPECT_EQ(types(), (std::vector<std::string>{"bypass_attempted", "policy_applied"}));
}

TEST_F(AppService, AnExtensionThatIsGoneLeavesTheFilterNotRunningAndNoHang) {
    h.fakeFilter = false;  // no extension bundle: no service name
    service.setPolicy(demoPolicy(900));
    auto app = h.make();
    ASSERT_TRUE(enroll(*app));
    EXPECT_FALSE(app->lastReport()->filterRunning);
    EXPECT_EQ(app->headline(), "Network filter is not running");
    EXPECT_EQ(keldra::MenuModel::of(*app).prompt, keldra::MenuPrompt::filter);
}

// The app state: start-up in both modes, the loop, wake and quit, and the
// user actions, over fakes and the manual executor.
#include "AppTestSupport.h"

#include <algorithm>

#include "BrivetClient/LogText.h"
#include "Keldra/MenuModel.h"

using namespace apptest;
using keldra::AppState;
using keldra::FilterInstaller;
using keldra::LogLevel;

namespace {

using Outcome = FilterInstaller::Outcome;

void writeStatus(const keldra::BetaPaths& paths, const json& document) {
    fs::create_directories(paths.root);
    keldra::test::writeFile(paths.statusFile(), document.dump());
}

json statusDocument(const std::string& lastTickAt, bool enrolled) {
    return json{{"version", "0.1.0-macos-beta"}, {"enrolled", enrolled}, {"filterRunning", true},
                {"policySeq", 3},  {"committed", false},  {"categories", json::array()},
                {"blocked", 0},    {"answered", 0},       {"lastTickAt", lastTickAt},
                {"errors", json::array()}};
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up

TEST(AppStateStartup, OnlyExactlyYESSelectsTheResolverLevelMode) {
    const std::vector<std::pair<json, bool>> rows = {
        {json("YES"), true}, {json("yes"), false}, {json("YES "), false}, {json(true), false}, {json(1), false}};
    for (const auto& [value, beta] : rows) {
        Harness h;
        h.info["BRIVET_BETA_PROXY"] = value;
        auto app = h.make();
        EXPECT_EQ(app->beta(), beta) << value.dump();
        EXPECT_EQ(app->hasEngine(), !beta) << value.dump();
    }
}

TEST(AppStateStartup, AFailedEnvironmentLoadLeavesNoEngineAndSaysWhy) {
    struct Row {
        std::optional<std::string> environment;  // none: no file
        std::string printed;
    };
    json oneRelease = environmentDocument();
    oneRelease["release_keys"].erase(1);
    const std::vector<Row> rows = {{std::nullopt, "missing"}, {oneRelease.dump(), "keysIncomplete"}};
    for (const auto& row : rows) {
        Harness h;
        if (row.environment) {
            h.writeEnvironment(*row.environment);
        } else {
            h.removeEnvironment();
        }
        auto app = h.make();
        EXPECT_FALSE(app->hasEngine());
        EXPECT_FALSE(app->environment());
        EXPECT_FALSE(app->enrolled());
        EXPECT_EQ(app->errorText(), "This build cannot start: " + row.printed);
        const auto entries = h.log->entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0], (keldra::RecordingLogger::Entry{LogLevel::error, "startup failed: " + row.printed}));

        // Ticks and enrolment do nothing.
        EXPECT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
        EXPECT_TRUE(runToEnd(h, [&](auto done) { app->enroll("CODE", "Mac", done); }));
        EXPECT_FALSE(app->busy());
        EXPECT_EQ(app->errorText(), "This build cannot start: " + row.printed);
        EXPECT_EQ(h.host->ticks(), 0);

        // The late-completion hook is still installed.
        h.activation->answerNextWith({Outcome::needsUserApproval()});
        ASSERT_TRUE(runToEnd(h, [&](auto done) { app->installFilter(done); }));
        h.activation->deliver(Outcome::installed());
        h.settle();
        EXPECT_EQ(app->installOutcome(), Outcome::installed());
    }
}

TEST(AppStateStartup, AnEnvironmentWithInvalidUTF8IsReportedWithItsBytesEscaped) {
    Harness h;
    h.writeEnvironment("{\"name\": \"Bad \xff\xfe\x1b[2J \\\\ name\"}");
    auto app = h.make();
    EXPECT_FALSE(app->hasEngine());
    ASSERT_TRUE(app->errorText());
    EXPECT_EQ(app->errorText()->rfind("This build cannot start: ", 0), 0u);
    const auto entries = h.log->entries();
    ASSERT_EQ(entries.size(), 1u);
    // Shown in the panel and in the log, each escaped once in its own way.
    const auto shown = keldra::MenuModel::of(*app).message;
    ASSERT_TRUE(shown);
    for (const std::string& text : {shown->text, entries[0].message}) {
        for (const char c : std::string("\xff\xfe\x1b")) {
            EXPECT_EQ(text.find(c), std::string::npos) << text;
        }
        EXPECT_NE(text.find("\\x"), std::string::npos) << text;  // shown as an escape
    }
    EXPECT_EQ(shown->text, brivet::screenSafe(*app->errorText()));
    EXPECT_EQ(entries[0].message, "startup failed: " + brivet::logSafe(app->errorText()->substr(25)));
}

TEST(AppStateStartup, AnUnreadableStoredStateStartsNoEngineRatherThanEnrollingAfresh) {
    Harness h;
    fs::create_directories(h.dataHome() / "Brivet");
    keldra::test::writeFile(h.dataHome() / "Brivet" / "state.json", "{not json");
    auto app = h.make();
    EXPECT_FALSE(app->hasEngine());
    ASSERT_TRUE(app->errorText());
    EXPECT_EQ(app->errorText()->rfind("This build cannot start: ", 0), 0u);
    EXPECT_EQ(h.log->entries().size(), 1u);
}

TEST(AppStateStartup, ResolverLevelModeIgnoresABrokenEnvironmentAndReadsTheServiceAtOnce) {
    Harness h;
    h.info["BRIVET_BETA_PROXY"] = "YES";
    h.writeEnvironment("{broken");
    const auto paths = h.betaPaths();
    keldra::test::writeFile(paths.daemonPlist, "[Unit]\n");
    writeStatus(paths, statusDocument(brivet::RFC3339::string(h.executor->now()), true));
    auto app = h.make();
    EXPECT_FALSE(app->errorText());
    EXPECT_FALSE(app->environment());
    EXPECT_TRUE(h.log->entries().empty());
    EXPECT_TRUE(app->betaInstalled());
    ASSERT_TRUE(app->betaStatus());
    EXPECT_TRUE(app->enrolled());
    EXPECT_EQ(app->diagnostics().front(), "Beta: blocking at the resolver, service installed");
}

TEST(AppStateStartup, RefreshBetaFollowsTheFilesAndRefusesMalformedDocuments) {
    Harness h;
    h.info["BRIVET_BETA_PROXY"] = "YES";
    auto app = h.make();
    EXPECT_FALSE(app->betaInstalled());
    EXPECT_FALSE(app->betaStatus());
    EXPECT_FALSE(app->enrolled());

    const auto paths = h.betaPaths();
    json missingField = statusDocument("2026-01-01T00:00:00Z", true);
    missingField.erase("policySeq");
    json wrongType = statusDocument("2026-01-01T00:00:00Z", true);
    wrongType["enrolled"] = "yes";
    for (const json& bad : {missingField, wrongType}) {
        writeStatus(paths, bad);
        app->refreshBeta();
        EXPECT_FALSE(app->betaStatus()) << bad.dump();
        EXPECT_FALSE(app->enrolled());
    }
    writeStatus(paths, statusDocument("2026-01-01T00:00:00Z", true));
    app->refreshBeta();
    EXPECT_TRUE(app->enrolled());
}

// ---------------------------------------------------------------------------
// Loop, wake and quit

TEST(AppStateLoop, SleepsTheHeartbeatIntervalButAtLeastAMinute) {
    brivet::EffectivePolicy policy;
    const std::vector<std::pair<std::int64_t, double>> rows = {
        {30, 60}, {0, 60}, {-5, 60}, {60, 60}, {3600, 3600}, {INT64_MAX, keldra::kLongestSleepSeconds}};
    for (const auto& [interval, sleep] : rows) {
        policy.heartbeatIntervalSeconds = interval;
        EXPECT_EQ(keldra::heartbeatSleepSeconds(true, policy), sleep) << interval;
    }
    EXPECT_EQ(keldra::heartbeatSleepSeconds(true, std::nullopt), 900);
    EXPECT_EQ(keldra::heartbeatSleepSeconds(false, policy), 900);
}

TEST(AppStateLoop, TicksThenSleepsAndStopsWhenAskedWithoutAnEngineToo) {
    for (bool withEngine : {true, false}) {
        Harness h;
        if (!withEngine) h.removeEnvironment();
        auto app = h.make();
        app->start();
        h.settle();
        EXPECT_EQ(h.host->ticks(), withEngine ? 1 : 0);
        ASSERT_EQ(h.executor->nextTimerIn(), 900.0);
        h.executor->advance(899);
        h.settle();
        EXPECT_EQ(h.host->ticks(), withEngine ? 1 : 0);
        h.executor->advance(1);
        h.settle();
        EXPECT_EQ(h.host->ticks(), withEngine ? 2 : 0);
        if (withEngine) {
            ASSERT_TRUE(app->lastReport());
            EXPECT_FALSE(app->lastReport()->enrolled);
        }

        EXPECT_TRUE(runToEnd(h, [&](auto done) { app->stop(done); }));
        h.executor->advance(10000);
        h.settle();
        EXPECT_EQ(h.host->ticks(), withEngine ? 2 : 0);
    }
}

TEST(AppStateLoop, ResolverLevelModeRereadsTheStatusEveryFiveSecondsWithoutBusyOrLog) {
    Harness h;
    h.info["BRIVET_BETA_PROXY"] = "YES";
    auto app = h.make();
    std::vector<AppState::Field> changes;
    app->setObserver([&](AppState::Field field) { changes.push_back(field); });
    app->start();
    h.settle();
    EXPECT_EQ(h.executor->nextTimerIn(), 5.0);
    EXPECT_FALSE(app->betaStatus());

    writeStatus(h.betaPaths(), statusDocument(brivet::RFC3339::string(h.executor->now()), true));
    h.executor->advance(5);
    EXPECT_TRUE(app->betaStatus());
    EXPECT_TRUE(app->enrolled());
    EXPECT_EQ(changes, (std::vector<AppState::Field>{AppState::Field::betaStatus, AppState::Field::enrolled}));

    EXPECT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
    EXPECT_FALSE(app->busy());
    EXPECT_TRUE(h.log->entries().empty());
    EXPECT_EQ(h.bus->activeSubscriptions(), 0u);
}

TEST(AppStateLoop, AWakeDuringATickGivesNoSecondTick) {
    Harness h;
    auto app = h.make();
    app->start();
    EXPECT_EQ(h.bus->activeSubscriptions(), 2u);  // wake and launches
    h.host->close();
    h.executor->runReady();
    ASSERT_TRUE(h.host->waitForTicks(1));
    EXPECT_TRUE(app->busy());

    h.bus->wake();
    h.executor->runReady();
    h.host->open();
    h.settle();
    EXPECT_EQ(h.host->ticks(), 1);
    EXPECT_FALSE(app->busy());

    // A wake at rest ticks.
    h.bus->wake();
    h.settle();
    EXPECT_EQ(h.host->ticks(), 2);

    // The launch monitor counts while started, until the quit.
    h.bus->launch("app-org.example.Browser@123.service");
    EXPECT_EQ(app->launchesObserved(), 1);
    EXPECT_TRUE(runToEnd(h, [&](auto done) { app->stop(done); }));
    h.bus->launch("app-org.example.Browser@124.service");
    EXPECT_EQ(app->launchesObserved(), 1);
    EXPECT_EQ(app->diagnostics().back(), "App launches observed: 1");
}

TEST(AppStateLoop, QuitDuringATickFlushesAfterItAndASecondQuitWaitsForTheFirst) {
    Harness h;
    auto app = h.make();
    app->start();
    h.host->close();
    h.executor->runReady();
    ASSERT_TRUE(h.host->waitForTicks(1));

    int firstDone = 0;
    int secondDone = 0;
    app->stop([&] { ++firstDone; });
    app->stop([&] { ++secondDone; });
    h.executor->runReady();
    EXPECT_TRUE(app->stopping());
    EXPECT_FALSE(h.strand->idle());  // the tick holds the worker; the flush waits behind it
    EXPECT_EQ(firstDone + secondDone, 0);

    h.host->open();
    ASSERT_TRUE(h.executor->runUntil([&] { return firstDone == 1 && secondDone == 1; }));
    EXPECT_TRUE(app->stopped());
    EXPECT_TRUE(app->lastReport());  // the tick was published before the quit ended

    // After the quit nothing ticks any more; a third stop completes at once.
    h.bus->wake();
    h.settle();
    EXPECT_EQ(h.host->ticks(), 1);
    bool third = false;
    app->stop([&] { third = true; });
    EXPECT_TRUE(third);
}

TEST(AppStateLoop, AQuitHeldByAWaitOtherThanTheServiceEndsASecondAfterItsWaitWithoutTheWorker) {
    Harness h;
    auto app = h.make();
    app->start();
    h.host->close();  // the tick waits on the host, where no request can be ended
    h.executor->runReady();
    ASSERT_TRUE(h.host->waitForTicks(1));

    bool stopped = false;
    app->stop([&] { stopped = true; });
    h.executor->advance(keldra::kQuitWaitSeconds);
    EXPECT_FALSE(stopped);
    h.executor->advance(keldra::kQuitGraceSeconds);
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(h.strand->idle()) << "the worker is left behind";
    ASSERT_FALSE(h.log->entries().empty());
    EXPECT_EQ(h.log->entries().back().message,
              "quit: the flush was cut short after 5 s; 0 events wait in the outbox for the next start");
}

TEST(AppStateLoop, TheTickLogLineUsesDashAndZeroAndJoinsErrors) {
    Harness h;
    auto app = h.make();
    h.filter->setStatus(std::nullopt);
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
    const auto entries = h.log->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, LogLevel::info);
    EXPECT_EQ(entries[0].message, "tick enrolled=false state=- filter=false rules=0 events=0 errors=");
    EXPECT_EQ(app->lastTickAt(), h.executor->now());
}

// ---------------------------------------------------------------------------
// Filter installation

TEST(AppStateInstallFilter, EnablesBothConfigurationsAfterAnyOutcomeButFailedAndThenTicks) {
    for (const Outcome& outcome :
         {Outcome::installed(), Outcome::needsUserApproval(), Outcome::willCompleteAfterReboot()}) {
        Harness h;
        auto app = h.make();
        h.activation->answerNextWith({outcome});
        ASSERT_TRUE(runToEnd(h, [&](auto done) { app->installFilter(done); }));
        EXPECT_EQ(app->installOutcome(), outcome);
        EXPECT_FALSE(app->errorText());
        EXPECT_TRUE(app->dnsProxyEnabled());
        EXPECT_FALSE(app->busy());
        EXPECT_EQ(h.host->ticks(), 1);
        const auto saved = h.configurations->current();
        EXPECT_TRUE(saved.contentFilter.enabled);
        EXPECT_TRUE(saved.dnsProxy.enabled);
    }
}

TEST(AppStateInstallFilter, FailuresEndInTheErrorText) {
    struct Row {
        std::optional<std::string> activationFailure;
        std::optional<std::string> filterFailure;
        std::optional<std::string> dnsFailure;
        std::string errorText;
        bool dnsProxyEnabled;
        // The panel's error line, when it differs from the error text.
        std::optional<std::string> shown = std::nullopt;
    };
    const std::vector<Row> rows = {
        {"not allowed", std::nullopt, std::nullopt, "Could not install the filter: not allowed", false},
        {std::nullopt, "no rights", std::nullopt, "Could not enable the filter: no rights", true},
        {std::nullopt, std::nullopt, "disk full", "Could not enable the DNS proxy: disk full", false},
        {std::nullopt, "no rights", "disk full",
         "Could not enable the filter: no rights Could not enable the DNS proxy: disk full", false},
        // pkexec's own refusal, and a tool's message with a backslash: kept
        // as they came, escaped once where the panel shows them.
        {"Not authorized\n\nThis incident has been reported.", std::nullopt, std::nullopt,
         "Could not install the filter: Not authorized\n\nThis incident has been reported.", false,
         "Could not install the filter: Not authorized\\n\\nThis incident has been reported."},
        {std::nullopt, "Job failed.\nSee C:\\log", std::nullopt, "Could not enable the filter: Job failed.\nSee C:\\log",
         true, "Could not enable the filter: Job failed.\\nSee C:\\log"},
    };
    for (const auto& row : rows) {
        Harness h;
        auto app = h.make();
        h.activation->answerNextWith(
            {row.activationFailure ? Outcome::failed(*row.activationFailure) : Outcome::installed()});
        h.configurations->failContentFilterSave(row.filterFailure);
        h.configurations->failDNSProxySave(row.dnsFailure);
        ASSERT_TRUE(runToEnd(h, [&](auto done) { app->installFilter(done); }));
        EXPECT_EQ(app->errorText(), row.errorText);
        EXPECT_EQ(app->dnsProxyEnabled(), row.dnsProxyEnabled);
        EXPECT_FALSE(app->busy());
        EXPECT_EQ(h.host->ticks(), 1);  // a failed installation still ticks
        // What the panel shows: the form's error line (not enrolled here).
        const keldra::MenuModel panel = keldra::MenuModel::of(*app);
        ASSERT_TRUE(panel.form && panel.form->error);
        const std::string shown = panel.form->error->text;
        EXPECT_EQ(shown, row.shown.value_or(row.errorText));
        if (row.activationFailure) {
            // The Details line shows the same failure the same way.
            const std::string message = shown.substr(std::string("Could not install the filter: ").size());
            const auto details = app->diagnostics();
            EXPECT_NE(std::find(details.begin(), details.end(), "Extension: failed(\"" + message + "\")"),
                      details.end())
                << message;
        }
    }
}

TEST(AppStateInstallFilter, ALateCompletionDuringTheInstallationIsKeptAndTicksOnlyOnce) {
    Harness h;
    auto app = h.make();
    bool done = false;
    app->installFilter([&] { done = true; });
    h.activation->waitForSubmissions(1);
    ASSERT_TRUE(h.activation->deliver(Outcome::needsUserApproval()));
    ASSERT_TRUE(h.activation->deliver(Outcome::installed()));  // nobody waits any more
    ASSERT_TRUE(h.executor->runUntil([&] { return done; }));
    h.settle();
    EXPECT_EQ(app->installOutcome(), Outcome::installed());
    EXPECT_TRUE(app->dnsProxyEnabled());
    EXPECT_EQ(h.host->ticks(), 1);
    EXPECT_EQ(h.activation->submitted().size(), 1u);

    // A later completion at rest is stored and ticks, without enabling again.
    h.configurations->failContentFilterSave("would have been saved again");
    h.activation->deliver(Outcome::willCompleteAfterReboot());
    h.settle();
    EXPECT_EQ(app->installOutcome(), Outcome::willCompleteAfterReboot());
    EXPECT_FALSE(app->errorText());
    EXPECT_EQ(h.host->ticks(), 2);
}

TEST(AppStateInstallFilter, QuitDuringAnActivationWaitingOnAPasswordEndsThePromptFlushesAtOnceAndDropsTheOutcome) {
    Harness h;
    auto app = h.make();
    bool installDone = false;
    app->installFilter([&] { installDone = true; });
    h.activation->waitForSubmissions(1);  // the prompt is up; nobody answers it

    bool stopped = false;
    app->stop([&] { stopped = true; });
    ASSERT_TRUE(h.executor->runUntil([&] { return stopped; }));
    EXPECT_TRUE(app->stopped());
    EXPECT_EQ(h.administrator->promptsEnded, 1) << "no password prompt outlives the app";

    // The person answers after the quit: nothing of it is kept.
    ASSERT_TRUE(h.activation->deliver(Outcome::installed()));
    h.settle();
    EXPECT_FALSE(app->installOutcome());
    EXPECT_FALSE(h.configurations->current().contentFilter.enabled);
    EXPECT_FALSE(h.configurations->current().dnsProxy.enabled);
    EXPECT_FALSE(installDone);
    EXPECT_EQ(h.host->ticks(), 0);
}

// ---------------------------------------------------------------------------
// Resolver-level installation

class AppStateInstallBeta : public ::testing::Test {
protected:
    void SetUp() override {
        h.info["BRIVET_BETA_PROXY"] = "YES";
        const fs::path resources = h.bundle / "Contents" / "Resources";
        for (const char* name : {"keldra-proxy", "keldra-networksetup", "install.sh"}) {
            keldra::test::writeFile(resources / name, "#!/bin/sh\n");
        }
        app = h.make();
    }

    // The service writes its document when the install runs.
    void serviceWrites(json document) {
        const auto paths = h.betaPaths();
        h.administrator->onRun = [paths, document] {
            keldra::test::writeFile(paths.daemonPlist, "[Unit]\n");
            writeStatus(paths, document);
        };
    }

    // Starts the installation and runs until the installer has answered.
    void install(const std::string& code = "CODE-1") {
        app->installBeta(code, "Kid's Mac", [this] { done = true; });
        h.settle();
    }

    Harness h;
    std::unique_ptr<AppState> app;
    bool done = false;
};

TEST_F(AppStateInstallBeta, AFreshEnrolledStatusEndsTheWaitAfterTheFirstRead) {
    serviceWrites(statusDocument(brivet::RFC3339::string(h.executor->now() - std::chrono::seconds(5)), true));
    const auto start = h.executor->now();
    install();
    EXPECT_TRUE(done);
    EXPECT_FALSE(app->busy());
    EXPECT_EQ(h.executor->now(), start);
    EXPECT_TRUE(app->betaInstalled());
    EXPECT_TRUE(app->enrolled());
    ASSERT_EQ(h.administrator->runs.size(), 1u);
    EXPECT_EQ(h.administrator->runs[0][3], "CODE-1");
    EXPECT_EQ(h.administrator->runs[0][4], "Kid's Mac");
}

TEST_F(AppStateInstallBeta, AStaleUnenrolledOrUnreadableStatusWaitsAllTwentyAttempts) {
    const auto now = h.executor->now();
    const std::vector<json> documents = {
        statusDocument(brivet::RFC3339::string(now - std::chrono::seconds(601)), true),
        statusDocument(brivet::RFC3339::string(now), false),
        statusDocument("yesterday", true),
    };
    for (const json& document : documents) {
        done = false;
        serviceWrites(document);
        const auto start = h.executor->now();
        install();
        h.executor->advance(19);
        EXPECT_FALSE(done) << document.dump();
        EXPECT_TRUE(app->busy());
        h.executor->advance(1);
        EXPECT_TRUE(done) << document.dump();
        EXPECT_FALSE(app->busy());
        EXPECT_EQ(h.executor->now() - start, std::chrono::seconds(20));
        EXPECT_FALSE(app->errorText());
        EXPECT_EQ(h.executor->timerCount(), 0u);
    }
}

TEST_F(AppStateInstallBeta, ABlankCodeIsNoCodeAndAFailureIsShownAfterARefresh) {
    h.administrator->answer = {1, "  the script broke\n"};
    h.administrator->onRun = [paths = h.betaPaths()] { keldra::test::writeFile(paths.daemonPlist, "x"); };
    install("   ");
    EXPECT_TRUE(done);
    ASSERT_EQ(h.administrator->runs.size(), 1u);
    EXPECT_EQ(h.administrator->runs[0][3], "");
    EXPECT_EQ(app->errorText(), "the script broke");
    EXPECT_TRUE(app->betaInstalled());
    EXPECT_FALSE(app->busy());

    done = false;
    h.administrator->answer = {126, ""};
    install();
    EXPECT_EQ(app->errorText(), "Cancelled.");
}

TEST_F(AppStateInstallBeta, AnIncompleteBundleFailsBeforeAnyPrompt) {
    fs::remove(h.bundle / "Contents" / "Resources" / "keldra-networksetup");
    install();
    EXPECT_TRUE(h.administrator->runs.empty());
    EXPECT_EQ(app->errorText(), "This copy of the app is missing its service. Download it again.");
}

// The app's whole road in its extension mode with the real keldra-filter in
// place of a fake: the local device service, the real app state driven by
// the manual executor, the daemon on a real socket.
#include "AppServiceSupport.h"

#include "BrivetClient/Events.h"
#include "DaemonTestSupport.h"

using namespace apptest;
using keldra::AppState;
namespace kt = keldra::filter::test;

TEST(ExtensionEndToEnd, EnrolPublishToTheDaemonTakeItsEventsAndQuit) {
    if (::geteuid() != 0) GTEST_SKIP() << "the daemon runs as root";
    brivet::dev::DevServiceOptions options;
    options.acceptCodes = {"CODE-1"};
    brivet::dev::DevService service(options);
    Harness h;
    prepareService(service, h);
    const std::int64_t seq = service.setPolicy(demoPolicy(900));

    // The daemon with its DNS proxy on (on a port of its own, with a scratch
    // resolver file), holding a closed window of blocks from before.
    const kt::DaemonFiles files{h.dir / "daemon"};
    fs::create_directories(files.state());
    keldra::test::writeFile(files.resolverFile(), "nameserver 192.0.2.53\n");
    brivet::EventCoalescer earlier;
    earlier.record("bypass_attempted", "blocked_custom_rule", std::nullopt, seq, brivet::RFC3339::fromUnixSeconds(1'765'000'000));
    keldra::test::writeFile(files.state() / "events-pending.json", brivet::JSONCoding::plainEncode(earlier));
    // It trusts the keys of the app's environment file, as it does the
    // installed app's.
    const std::vector<std::string> daemonOptions{"--dns-listen", "127.0.0.1:0", "--env",
                                           (h.bundle / "Contents" / "Resources" / "Environment.json").string()};
    kt::RunningDaemon daemon(files, daemonOptions, true);
    ASSERT_TRUE(daemon.ready()) << files.logText();
    ASSERT_TRUE(kt::waitFor([&] { return files.logText().find("answering DNS") != std::string::npos; })) << files.logText();

    const fs::path extensionBundle =
        h.bundle / "Contents" / "Library" / "SystemExtensions" / "io.tolvane.brivet.filter.systemextension";
    fs::create_directories(extensionBundle / "Contents");
    keldra::test::writeFile(extensionBundle / "Contents" / "Info.json",
                            json{{"NetworkExtension", {{"NEMachServiceName", files.socket().string()}}}}.dump());
    keldra::NetworkConfigurations configured;
    configured.contentFilter.enabled = true;
    configured.contentFilter.provider = keldra::ContentFilterConfiguration::Provider{};
    h.configurations->set(configured);
    h.fakeFilter = false;
    h.fakeHost = false;

    auto app = h.make();
    app->start();
    h.settle();
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->enroll("CODE-1", "Mac", done); }));
    EXPECT_TRUE(app->lastReport()->filterRunning);
    EXPECT_EQ(app->headline(), "Protected");
    // The rules reached the daemon and are in force there.
    EXPECT_EQ(brivet::FilterRulesStore(files.state() / "filter-rules.json").load()->policySeq, seq);
    EXPECT_EQ(app->lastReport()->eventsSent, 1);

    auto types = [&] {
        std::vector<std::string> out;
        for (const auto& event : service.acceptedEvents()) out.push_back(event.value("reason", ""));
        return out;
    };
    EXPECT_EQ(types(), (std::vector<std::string>{"blocked_custom_rule"}));
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
    EXPECT_EQ(types().size(), 1u);  // handed over once

    // The daemon is killed and started again while the app keeps its
    // connection; the very next tick reaches the new daemon, publishes a
    // newer policy to it and shows the filter running.
    daemon.stop(SIGKILL);
    kt::RunningDaemon restarted(files, daemonOptions, true);
    ASSERT_TRUE(restarted.ready()) << files.logText();
    // Running once its DNS proxy answers again (the log holds both runs).
    ASSERT_TRUE(kt::waitFor([&] {
        const std::string text = files.logText();
        const auto first = text.find("answering DNS");
        return first != std::string::npos && text.find("answering DNS", first + 1) != std::string::npos;
    })) << files.logText();
    const std::int64_t newer = service.setPolicy(demoPolicy(900));
    ASSERT_GT(newer, seq);
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->tick(done); }));
    EXPECT_TRUE(app->lastReport()->filterRunning) << testing::PrintToString(app->lastReport()->errors);
    EXPECT_EQ(app->lastReport()->rulesPublished, std::optional<std::int64_t>(newer));
    EXPECT_EQ(app->headline(), "Protected");
    EXPECT_EQ(brivet::FilterRulesStore(files.state() / "filter-rules.json").load()->policySeq, newer);
    ASSERT_TRUE(runToEnd(h, [&](auto done) { app->stop(done); }));
}

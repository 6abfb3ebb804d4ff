// The program's start-up and main loop, in-process against the local device
// service.
#include "RealDNS.h"

#include "keldra-proxy/Program.h"
#include "keldra/DevService.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <functional>

using namespace keldra_test;
namespace fs = std::filesystem;
using brivet::Program;
using nlohmann::json;

namespace {

TEST(ProgramTickLine, PiecesInOrderWithErrorsOnlyWhenThereAreAny) {
    brivet::ProtectionEngine::TickReport report;
    report.enrolled = true;
    report.protectionState = "protected";
    report.filterRunning = true;
    report.rulesPublished = 7;
    report.eventsSent = 12;
    EXPECT_EQ(Program::tickLine(report, 3, 40),
              "tick enrolled=true state=protected filter=true rules=7 events=12 blocked=3 answered=40");

    brivet::ProtectionEngine::TickReport bare;
    bare.enrolled = false;
    bare.errors = {"policy: http 500 server_error", "heartbeat: transport connection refused"};
    EXPECT_EQ(Program::tickLine(bare, 0, 0),
              "tick enrolled=false state=unknown filter=false rules=- events=0 blocked=0 answered=0 "
              "errors=policy: http 500 server_error; heartbeat: transport connection refused");
}

TEST(ProgramLog, TextFromOutsideStaysOnItsOwnLine) {
    // A service message that would read as a tick of its own.
    brivet::ProtectionEngine::TickReport report;
    report.enrolled = false;
    report.errors = {"policy: http 403 denied\n2026-12-09T06:00:00Z tick enrolled=true state=protected"};
    EXPECT_EQ(Program::tickLine(report, 0, 0),
              "tick enrolled=false state=unknown filter=false rules=- events=0 blocked=0 answered=0 "
              "errors=policy: http 403 denied\\n2026-12-09T06:00:00Z tick enrolled=true state=protected");
    report.errors.clear();
    report.protectionState = "protected\u202e\nforged";
    EXPECT_EQ(Program::tickLine(report, 0, 0),
              "tick enrolled=false state=protected\\u202e\\nforged filter=false rules=- events=0 blocked=0 answered=0");

    TempDir dir;
    const fs::path env = dir.path() / "env.json";
    std::ofstream(env) << R"({"name":"n\nforged\u0007","api_base_url":"http://127.0.0.1:9","policy_keys":[],"release_keys":[]})";
    brivet::Options options;
    options.env = env.string();
    options.dir = (dir.path() / "data\nforged\u202e\\").string();
    options.once = true;
    std::vector<std::string> logged;
    brivet::ProgramSettings settings;
    settings.log = [&](const std::string& line) { logged.push_back(line); };
    try {
        Program program(std::move(options), settings);
        program.runMainTask();
    } catch (const brivet::ProgramExit&) {
    }
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[0], "server n\\nforged\\x07 at http://127.0.0.1:9");
    // A direction override would turn the rest of the line around.
    EXPECT_EQ(logged[1], "state in " + dir.path().string() + "/data\\nforged\\u202e\\\\");
}

TEST(ProgramUpstreams, CommandLineThenSystemThenFallback) {
    TempDir dir;
    const fs::path resolv = dir.path() / "resolv.conf";

    // An empty list given on the command line forwards nowhere.
    EXPECT_EQ(Program::chooseUpstreams(std::vector<std::string>{}, {"9.9.9.9"}), std::vector<std::string>{});
    EXPECT_EQ(Program::chooseUpstreams(std::vector<std::string>{"a", ""}, {"9.9.9.9"}),
              (std::vector<std::string>{"a", ""}));

    std::ofstream(resolv) << "nameserver 127.0.0.53\nnameserver 9.9.9.9\nnameserver ::1\nnameserver 1.0.0.1\n";
    EXPECT_EQ(Program::chooseUpstreams(std::nullopt, Program::systemUpstreams(resolv)),
              (std::vector<std::string>{"9.9.9.9", "1.0.0.1"}));

    // Only loopback servers: the fixed pair.
    std::ofstream(resolv, std::ios::trunc) << "nameserver 127.0.0.1\n";
    EXPECT_EQ(Program::chooseUpstreams(std::nullopt, Program::systemUpstreams(resolv)),
              (std::vector<std::string>{"1.1.1.1", "8.8.8.8"}));
}

// Thrown by the test's sleep to leave the endless loop.
struct LoopDone {};

TEST(ProgramLoop, TicksSleepTheIntervalAndReassertTheDNSSettingsEachPass) {
    KELDRA_REQUIRE_REAL_DNS();
    MachineLock lock;
    {
        // --assert-dns needs 127.0.0.1:53; skip where something else holds it.
        FD probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        auto address = endpoint("127.0.0.1", 53);
        if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            GTEST_SKIP() << "127.0.0.1:53 is in use";
        }
    }

    TempDir dir;
    brivet::dev::DevServiceOptions serviceOptions;
    serviceOptions.acceptCodes = {"LOOP-1"};
    brivet::dev::DevService service(serviceOptions);
    service.setPolicy(json{{"kind", "standard"}, {"categories", json::array()}, {"custom_rules", json::array()},
                           {"allow_rules", json::array()}, {"blocklist_version", 1},
                           {"offline_release_runtime_seconds", 604800}, {"heartbeat_interval_seconds", 900}});
    const fs::path env = dir.path() / "env.json";
    service.writeEnvironmentFile(env);
    // The machine's resolver file as the DNS-settings tool sees it.
    const fs::path resolv = dir.path() / "resolv.conf";
    std::ofstream(resolv) << "nameserver 9.9.9.9\n";

    brivet::Options options;
    options.env = env.string();
    options.dir = (dir.path() / "data").string();
    options.listen = "127.0.0.1:53";
    options.upstreams = std::vector<std::string>{};
    options.enroll = "LOOP-1";
    options.assertDNS = true;
    options.interval = 12.5;

    std::vector<std::string> logged;
    std::vector<double> sleeps;
    std::vector<json> statuses;
    brivet::ProgramSettings settings;
    settings.log = [&](const std::string& line) { logged.push_back(line); };
    settings.networkTool = brivet::NetworkTool{{KELDRA_NETWORKSETUP_PATH, "--resolv-conf", resolv.string()}};
    settings.sleep = [&](double seconds) {
        sleeps.push_back(seconds);
        statuses.push_back(json::parse(readFile(dir.path() / "data" / "status.json"), nullptr, false));
        // Between the second and third pass something re-points the resolver.
        if (sleeps.size() == 2) std::ofstream(resolv, std::ios::trunc) << "nameserver 8.8.4.4\n";
        if (sleeps.size() == 3) throw LoopDone{};
    };

    {
        Program program(options, settings);
        EXPECT_EQ(program.statusURL(), dir.path() / "data" / "status.json");
        EXPECT_THROW(program.runMainTask(), LoopDone);
        ASSERT_NE(program.proxy(), nullptr);
    }

    ASSERT_EQ(service.devices().size(), 1u);
    const std::string changed = "dns settings were changed; pointed them back at 127.0.0.1";
    const std::vector<std::string> expected = {
        "server Keldra dev service at " + service.baseURL(),
        "state in " + (dir.path() / "data").string(),
        "enrolled as device " + service.devices()[0].deviceId,
        "DNS proxy listening on 127.0.0.1:53, forwarding to ",
        changed,
        // The check changed the settings: the filter counts as not configured.
        "tick enrolled=true state=protected filter=false rules=- events=0 blocked=0 answered=0",
        "tick enrolled=true state=protected filter=true rules=1 events=0 blocked=0 answered=0",
        changed,
        "tick enrolled=true state=protected filter=false rules=- events=0 blocked=0 answered=0",
    };
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(sleeps, (std::vector<double>{12.5, 12.5, 12.5}));

    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0]["dnsAsserted"], false);
    EXPECT_EQ(statuses[1]["dnsAsserted"], true);
    EXPECT_EQ(statuses[1]["policySeq"], 1);
    EXPECT_EQ(statuses[2]["dnsAsserted"], false);

    // The settings point here; the record keeps what was there first.
    EXPECT_EQ(readFile(resolv).find("8.8.4.4"), std::string::npos);
    EXPECT_NE(readFile(resolv).find("nameserver 127.0.0.1"), std::string::npos);
    const std::string record = readFile(dir.path() / "data" / "dns-before.json");
    EXPECT_NE(record.find("9.9.9.9"), std::string::npos) << record;
    EXPECT_EQ(record.find("8.8.4.4"), std::string::npos) << record;
    EXPECT_TRUE(fs::exists(dir.path() / "data" / "dns-restore.sh"));
}

// An enrolled data directory whose DNS settings an earlier run with
// --assert-dns pointed here, in a scratch resolver file.
struct PointedHere : ::testing::Test {
    void SetUp() override {
        brivet::dev::DevServiceOptions serviceOptions;
        serviceOptions.acceptCodes = {"CODE-1"};
        service = std::make_unique<brivet::dev::DevService>(serviceOptions);
        service->setPolicy(json{{"kind", "blocking_only"}, {"categories", json::array()},
                                {"custom_rules", {{{"rule_type", "domain"}, {"value", "blocked.test"}}}},
                                {"blocklist_version", 1}, {"heartbeat_interval_seconds", 900}});
        service->writeEnvironmentFile(env);
        const std::uint16_t port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        listen = "127.0.0.1:" + std::to_string(port);
        ASSERT_EQ(run({"--enroll", "CODE-1", "--once", "--listen", listen, "--upstream", "127.0.0.2"}), 0);
        std::ofstream(resolv) << "search lan\nnameserver 192.0.2.53\n";
        pointHere();
    }

    void pointHere() {
        EXPECT_FALSE(brivet::DNSSettings::assertServers(data / "dns-before.json", tool));
        ASSERT_EQ(readFile(resolv), "search lan\nnameserver 127.0.0.1\n");
    }

    int run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--env", env.string(), "--dir", data.string()});
        brivet::ProgramSettings settings;
        settings.log = [&](const std::string& line) { logged.push_back(line); };
        settings.networkTool = tool;
        return brivet::runProgram(arguments, settings);
    }

    TempDir dir;
    std::unique_ptr<brivet::dev::DevService> service;
    fs::path env = dir.path() / "env.json";
    fs::path data = dir.path() / "data";
    fs::path resolv = dir.path() / "resolv.conf";
    brivet::NetworkTool tool{{KELDRA_NETWORKSETUP_PATH, "--resolv-conf", resolv.string()}};
    std::string listen;
    std::vector<std::string> logged;
};

TEST_F(PointedHere, AProxyThatCannotStartPutsTheDNSSettingsBackFirst) {
    const std::string state = readFile(data / "state.json");
    const std::string token = readFile(data / "device-token");
    const auto start = [&] {
        logged.clear();
        return run({"--assert-dns", "--listen", "127.0.0.1:53", "--upstream", "192.0.2.53"});
    };
    const std::string restored = "put the DNS settings back with " + (data / "dns-restore.sh").string() +
                                 ", so that names resolve while this proxy does not run";
    std::ofstream(dir.path() / "elsewhere") << state;
    for (const auto& [file, damage] : std::vector<std::pair<std::string, std::string>>{
             {"state.json", "\x01\xff garbage"}, {"state.json", state.substr(0, state.size() / 2)},
             {"state.json", "link"}, {"state.json", "fifo"}, {"state.json", "folder"}, {"device-token", "\xff\xfe"},
             {"device-token", "link"}, {"device-token", "fifo"}, {"device-token", "folder"}}) {
        SCOPED_TRACE(file + " " + damage);
        const fs::path at = data / file;
        fs::remove(at);
        if (damage == "link") fs::create_symlink(dir.path() / "elsewhere", at);
        else if (damage == "fifo") ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
        else if (damage == "folder") fs::create_directory(at);
        else std::ofstream(at) << damage;
        EXPECT_EQ(start(), 1);
        ASSERT_EQ(logged.size(), 2u) << ::testing::PrintToString(logged);
        EXPECT_TRUE(logged[0].starts_with("cannot start the client: ")) << logged[0];
        EXPECT_EQ(logged[1], restored);
        EXPECT_EQ(readFile(resolv), "search lan\nnameserver 192.0.2.53\n");

        fs::remove_all(at);
        std::ofstream(at) << (file == "state.json" ? state : token);
        fs::permissions(at, fs::perms(0600));
        pointHere();
    }

    // Settings that no longer point here are left alone; a restore script
    // that does not put them back is named.
    std::ofstream(data / "state.json", std::ios::trunc) << "{";
    std::ofstream(resolv, std::ios::trunc) << "search lan\nnameserver 198.51.100.7\n";
    EXPECT_EQ(start(), 1);
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(readFile(resolv), "search lan\nnameserver 198.51.100.7\n");
    pointHere();
    std::ofstream(data / "dns-restore.sh", std::ios::trunc) << "exit 0\n";
    EXPECT_EQ(start(), 1);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[1], "cannot put the DNS settings back with " + (data / "dns-restore.sh").string() +
                             ": the script did not change them; they still point at 127.0.0.1");
}

TEST_F(PointedHere, ATokenTheServiceRefusesIsSaidOnceAndInTheStatusDocument) {
    // A token cut short: read, sent, refused on every call.
    const std::string token = readFile(data / "device-token");
    std::ofstream(data / "device-token", std::ios::trunc) << token.substr(0, token.size() / 2);
    logged.clear();
    std::vector<json> statuses;
    brivet::Options options;
    options.env = env.string();
    options.dir = data.string();
    options.listen = listen;
    options.upstreams = std::vector<std::string>{"127.0.0.2"};
    brivet::ProgramSettings settings;
    settings.log = [&](const std::string& line) { logged.push_back(line); };
    settings.sleep = [&](double) {
        statuses.push_back(json::parse(readFile(data / "status.json"), nullptr, false));
        if (statuses.size() == 3) throw LoopDone{};
    };
    Program program(options, settings);
    EXPECT_THROW(program.runMainTask(), LoopDone);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), std::string(Program::kTokenRefusedText)), 1);
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](const std::string& line) {
                  return line.starts_with("tick ") && line.find("401") == std::string::npos;
              }), 3);
    for (const auto& status : statuses) {
        EXPECT_EQ(status["errors"][0], Program::kTokenRefusedText) << status.dump();
        EXPECT_EQ(status["errors"].dump().find(": http 401"), std::string::npos) << status.dump();
    }
}

TEST(ProgramStartUp, FailuresLogTheirLineAndEndWithTheirStatus) {
    TempDir dir;
    const fs::path env = dir.path() / "env.json";
    std::ofstream(env) << R"({"name":"n","api_base_url":"http://127.0.0.1:9","policy_keys":[],"release_keys":[]})";

    auto start = [&](brivet::Options options, std::vector<std::string>& logged) {
        brivet::ProgramSettings settings;
        settings.log = [&](const std::string& line) { logged.push_back(line); };
        try {
            Program program(std::move(options), settings);
            return program.runMainTask();
        } catch (const brivet::ProgramExit& exit) {
            return exit.status;
        }
    };

    brivet::Options options;
    options.env = env.string();
    options.dir = (dir.path() / "nested" / "data").string();
    options.once = true;

    // A fresh directory is created with its parents, then the device is not enrolled.
    std::vector<std::string> logged;
    EXPECT_EQ(start(options, logged), 1);
    EXPECT_TRUE(fs::is_directory(dir.path() / "nested" / "data"));
    EXPECT_EQ(logged, (std::vector<std::string>{"server n at http://127.0.0.1:9",
                                                "state in " + options.dir, Program::notEnrolledText()}));

    // An empty --env is a path that cannot be read.
    logged.clear();
    brivet::Options emptyEnv = options;
    emptyEnv.env = "";
    EXPECT_EQ(start(emptyEnv, logged), 1);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].starts_with("cannot load Environment.json: ")) << logged[0];

    // The line about an upstream that is the proxy itself comes after the
    // two start-up lines.
    logged.clear();
    brivet::Options selfUpstream = options;
    selfUpstream.listen = "127.0.0.1:53";
    selfUpstream.upstreams = std::vector<std::string>{"127.0.0.1", "9.9.9.9"};
    EXPECT_EQ(start(selfUpstream, logged), 1);
    EXPECT_EQ(logged, (std::vector<std::string>{"server n at http://127.0.0.1:9", "state in " + options.dir,
                                                "upstream 127.0.0.1 is this proxy's own address; not forwarding to it",
                                                Program::notEnrolledText()}));

    // With --assert-dns the system would resolve a host-name upstream
    // through the proxy: refused before anything starts.
    logged.clear();
    brivet::Options namedUpstream = selfUpstream;
    namedUpstream.assertDNS = true;
    namedUpstream.upstreams = std::vector<std::string>{"9.9.9.9", "dns.example"};
    EXPECT_EQ(start(namedUpstream, logged), 2);
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "upstream dns.example is a host name; with --assert-dns give upstreams as addresses, "
                          "since the system would resolve the name through this proxy"}));

    // Planted data files: their lines wait until the two start-up lines are
    // out, and still come when start-up fails before them.
    {
        TempDir planted;
        const fs::path data = planted.path() / "data";
        fs::create_directories(data / "filter-rules.json");
        ASSERT_EQ(::mkfifo((data / "events-pending.json").c_str(), 0600), 0);
        brivet::Options plantedOptions = options;
        plantedOptions.dir = data.string();
        const auto isFileLine = [](const std::string& line) {
            return line.starts_with("the saved filter rules in ") ||
                   line.starts_with("the pending block counts in ");
        };

        logged.clear();
        EXPECT_EQ(start(plantedOptions, logged), 1);
        ASSERT_EQ(logged.size(), 5u);
        EXPECT_EQ(logged[0], "server n at http://127.0.0.1:9");
        EXPECT_EQ(logged[1], "state in " + data.string());
        EXPECT_TRUE(logged[2].starts_with("the saved filter rules in " + (data / "filter-rules.json").string() +
                                          " cannot be used (")) << logged[2];
        EXPECT_TRUE(logged[2].ends_with("; moved it aside to filter-rules.json.bad")) << logged[2];
        EXPECT_TRUE(logged[3].starts_with("the pending block counts in ")) << logged[3];
        EXPECT_EQ(logged[4], Program::notEnrolledText());

        // Both were moved aside; planted again, they are said again.
        EXPECT_TRUE(fs::is_directory(data / "filter-rules.json.bad"));
        EXPECT_FALSE(fs::exists(data / "filter-rules.json"));
        fs::create_directories(data / "filter-rules.json");
        ASSERT_EQ(::mkfifo((data / "events-pending.json").c_str(), 0600), 0);
        logged.clear();
        plantedOptions.listen = "no-port";
        EXPECT_EQ(start(plantedOptions, logged), 2);
        ASSERT_EQ(logged.size(), 3u);
        EXPECT_EQ(logged[0], "--listen must be HOST:PORT");
        EXPECT_TRUE(isFileLine(logged[1]) && isFileLine(logged[2])) << logged[1] << " / " << logged[2];
    }

    // Without --env the build's default file is read.
    logged.clear();
    brivet::Options defaultEnv = options;
    defaultEnv.env.reset();
    brivet::ProgramSettings settings;
    settings.defaultEnvironment = env;
    settings.log = [&](const std::string& line) { logged.push_back(line); };
    Program program(defaultEnv, settings);
    EXPECT_EQ(program.environment().name, "n");
}

}  // namespace

// keldra-proxy as a process against the local device service: enrolment,
// the files it leaves, blocked and forwarded names over real DNS clients, and
// the road of a block event to the service.
#include "RealDNS.h"

#include "keldra/DevService.h"

#include <array>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace keldra_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;
using keldra::test::modeOf;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// A log line without its time stamp ("2026-01-31T09:05:00Z message").
std::string message(const std::string& line) {
    const auto blank = line.find(' ');
    return blank == std::string::npos ? line : line.substr(blank + 1);
}

bool hasTimeStamp(const std::string& line) {
    return line.size() > 21 && line[4] == '-' && line[10] == 'T' && line[19] == 'Z' && line[20] == ' ';
}

// The proxy started in the background, its standard output in a file. With
// `stopSignalsIgnored` it starts with SIGINT, SIGTERM and SIGHUP ignored, as
// the installer and a shell's background commands start it.
class RunningProxy {
public:
    RunningProxy(std::vector<std::string> words, fs::path log, bool stopSignalsIgnored = false)
        : log_(std::move(log)) {
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // An ignored signal stays ignored across exec.
        const std::array stops{SIGINT, SIGTERM, SIGHUP};
        std::array<struct sigaction, 3> before{};
        if (stopSignalsIgnored) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            for (std::size_t i = 0; i < stops.size(); ++i) ::sigaction(stops[i], &ignore, &before[i]);
        }
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        if (stopSignalsIgnored) {
            for (std::size_t i = 0; i < stops.size(); ++i) ::sigaction(stops[i], &before[i], nullptr);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~RunningProxy() { stop(); }

    // Waits until the log holds `text` (up to about ten seconds).
    bool waitFor(const std::string& text) const {
        for (int i = 0; i < 200; ++i) {
            if (readFile(log_).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    // SIGTERM; true when the proxy ended within ten seconds (else it is
    // killed).
    bool stop() {
        if (pid_ <= 0) return true;
        ::kill(pid_, SIGTERM);
        bool ended = false;
        for (int i = 0; i < 200 && !ended; ++i) {
            ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
            if (!ended) std::this_thread::sleep_for(50ms);
        }
        if (!ended) killHard();
        pid_ = -1;
        return ended;
    }
    std::string output() const { return readFile(log_); }
    // Ends it as a crash would: no handler runs, nothing is flushed.
    void killHard() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    fs::path log_;
    pid_t pid_ = -1;
};

json demoPolicy(const std::string& customName) {
    return json{{"kind", "commitment"},
                {"commitment_id", "c-1"},
                {"locked_until", "2030-01-01T00:00:00Z"},
                {"categories", {"ads"}},
                {"custom_rules", {{{"rule_type", "domain"}, {"value", customName}}}},
                {"allow_rules", {{{"rule_type", "domain"}, {"value", "ok.ads.test"}}}},
                {"blocklist_version", 1},
                {"offline_release_runtime_seconds", 604800},
                {"heartbeat_interval_seconds", 900}};
}

class EndToEnd : public ::testing::Test {
protected:
    EndToEnd() : service(serviceOptions()) {}

    static brivet::dev::DevServiceOptions serviceOptions() {
        brivet::dev::DevServiceOptions options;
        options.acceptCodes = {"CODE-1"};
        return options;
    }

    void SetUp() override {
        env = dir.path() / "env.json";
        data = dir.path() / "data";
        service.writeEnvironmentFile(env);
        service.setBlocklistDocument("ads", json{{"version", 1},
                                                 {"rules", {{{"rule_type", "domain_suffix"}, {"value", "ads.test"}}}}});
        policySeq = service.setPolicy(demoPolicy("blocked.test"));
        port = freeLoopbackPort();
        ASSERT_NE(port, 0);
    }

    std::vector<std::string> words(const std::vector<std::string>& extra) const {
        std::vector<std::string> out = {KELDRA_PROXY_PATH, "--env", env.string(), "--dir", data.string(),
                                        "--listen", "127.0.0.1:" + std::to_string(port)};
        out.insert(out.end(), extra.begin(), extra.end());
        return out;
    }

    // Runs the proxy to its end; returns its status, standard output in `output`.
    int run(const std::vector<std::string>& extra, std::string& output) {
        std::string command;
        for (const auto& w : words(extra)) {
            std::string quoted = "'";
            for (char c : w) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            command += quoted + "' ";
        }
        const auto result = runCommand(command + "2>/dev/null", false);
        output = result.output;
        return result.status;
    }

    json readJSON(const fs::path& path) const { return json::parse(readFile(path), nullptr, false); }

    TempDir dir;
    brivet::dev::DevService service;
    fs::path env;
    fs::path data;
    std::int64_t policySeq = 0;
    std::uint16_t port = 0;
};

TEST_F(EndToEnd, EnrolOnceWritesStateTokenAndStatusAndOneCleanTick) {
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--name", "Test Box", "--once", "--upstream", "127.0.0.2"}, output), 0)
        << output;

    ASSERT_EQ(service.devices().size(), 1u);
    const brivet::dev::DeviceRecord device = service.devices()[0];
    EXPECT_EQ(device.name, "Test Box");

    const auto logged = lines(output);
    ASSERT_EQ(logged.size(), 5u) << output;
    for (const auto& line : logged) EXPECT_TRUE(hasTimeStamp(line)) << line;
    EXPECT_EQ(message(logged[0]), "server Keldra dev service at " + service.baseURL());
    EXPECT_EQ(message(logged[1]), "state in " + data.string());
    EXPECT_EQ(message(logged[2]), "enrolled as device " + device.deviceId);
    EXPECT_EQ(message(logged[3]),
              "DNS proxy listening on 127.0.0.1:" + std::to_string(port) + ", forwarding to 127.0.0.2");
    EXPECT_EQ(message(logged[4]), "tick enrolled=true state=protected filter=true rules=" +
                                      std::to_string(policySeq) + " events=0 blocked=0 answered=0");

    // The token file holds the service's token, readable by its owner only.
    EXPECT_EQ(modeOf(data / "device-token"), 0600u);
    EXPECT_EQ(readFile(data / "device-token"), device.deviceToken);
    EXPECT_EQ(modeOf(data / "state.json"), 0600u);
    const json state = readJSON(data / "state.json");
    ASSERT_TRUE(state.is_object()) << readFile(data / "state.json");
    EXPECT_NE(readFile(data / "state.json").find(device.deviceId), std::string::npos);
    // The token lives in its own file only.
    EXPECT_EQ(readFile(data / "state.json").find(device.deviceToken), std::string::npos);

    // The status document, readable by observers, with the documented keys.
    EXPECT_EQ(modeOf(data / "status.json"), 0644u);
    const json status = readJSON(data / "status.json");
    ASSERT_TRUE(status.is_object()) << readFile(data / "status.json");
    std::vector<std::string> keys;
    for (const auto& [key, value] : status.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"answered", "blocked", "categories", "committed", "deviceId", "enrolled",
                                              "errors", "filterRunning", "lastTickAt", "lockedUntil", "policySeq",
                                              "state", "version"}));
    EXPECT_EQ(status["version"], "0.1.0-macos-beta");
    EXPECT_EQ(status["enrolled"], true);
    EXPECT_EQ(status["deviceId"], device.deviceId);
    EXPECT_EQ(status["state"], "protected");
    EXPECT_EQ(status["filterRunning"], true);
    EXPECT_EQ(status["policySeq"], policySeq);
    EXPECT_EQ(status["committed"], true);
    EXPECT_EQ(status["lockedUntil"], "2030-01-01T00:00:00Z");
    EXPECT_EQ(status["categories"], json::array({"ads"}));
    EXPECT_EQ(status["errors"], json::array());

    // The rules in force are on disk; the service saw the whole first tick.
    EXPECT_EQ(readJSON(data / "filter-rules.json")["policySeq"], policySeq);
    const auto counters = service.counters();
    EXPECT_EQ(counters.enrollments, 1);
    EXPECT_EQ(counters.acknowledgements, 1);
    EXPECT_EQ(counters.heartbeats, 1);
    EXPECT_EQ(counters.timeAttestations, 1);
    EXPECT_EQ(service.devices()[0].acknowledgedSeq, policySeq);
}

TEST_F(EndToEnd, ProgramStopsEarlyWithoutEnrolmentOrWithABadCode) {
    std::string output;
    // A fresh data directory: two start-up lines, then the refusal.
    EXPECT_EQ(run({"--once"}, output), 1);
    auto logged = lines(output);
    ASSERT_EQ(logged.size(), 3u) << output;
    EXPECT_EQ(message(logged[2]),
              "not enrolled. Add a device on the dashboard and run again with --enroll CODE --name \"This Mac\"");
    EXPECT_FALSE(fs::exists(data / "status.json"));

    EXPECT_EQ(run({"--enroll", "WRONG", "--once"}, output), 1);
    logged = lines(output);
    ASSERT_EQ(logged.size(), 3u) << output;
    EXPECT_TRUE(message(logged[2]).starts_with("enrollment failed: http 4")) << output;
    EXPECT_EQ(service.counters().rejectedEnrollments, 1);
    EXPECT_FALSE(fs::exists(data / "device-token"));

    // A state file that cannot be read stops the client from starting.
    std::ofstream(data / "state.json") << "{not json";
    EXPECT_EQ(run({"--once"}, output), 1);
    logged = lines(output);
    ASSERT_EQ(logged.size(), 1u) << output;
    EXPECT_TRUE(message(logged[0]).starts_with("cannot start the client: ")) << output;
}

TEST_F(EndToEnd, ATakenListenAddressEndsTheProgramWithTheHint) {
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once"}, output), 0) << output;
    FD taken(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    auto address = endpoint("127.0.0.1", port);
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    EXPECT_EQ(run({"--once"}, output), 1);
    const auto logged = lines(output);
    ASSERT_EQ(logged.size(), 3u) << output;
    const std::string text = message(logged[2]);
    EXPECT_TRUE(text.starts_with("cannot listen on 127.0.0.1:" + std::to_string(port) + ": ")) << text;
    EXPECT_TRUE(text.ends_with(". Port 53 needs sudo; try --listen 127.0.0.1:5354 without it.")) << text;
}

TEST_F(EndToEnd, AReaderOfTheLogThatGoesAwayNeverStopsTheProxy) {
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once"}, output), 0) << output;

    // keldra-proxy … | head -n 1, with SIGPIPE at its default action as a
    // shell leaves it.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    auto arguments = words({"--interval", "0.1", "--upstream", "127.0.0.9"});
    std::vector<char*> argv;
    for (auto& w : arguments) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);

    std::string first;
    char c = 0;
    while (waitReadable(out[0], 10000ms) && ::read(out[0], &c, 1) == 1 && c != '\n') first += c;
    ::close(out[0]);
    EXPECT_NE(first.find("server Keldra dev service"), std::string::npos) << first;

    // Several ticks later, each with a line nobody reads, it still serves.
    std::this_thread::sleep_for(1500ms);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "ended with status " << status;
    const auto answer = udpExchange("127.0.0.1", port, buildQuery("blocked.test"), 2000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(rcode(*answer), 3);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &status, 0);
}

TEST_F(EndToEnd, ReenrolmentWithANewCodeResetsTheSavedRules) {
    // The first identity reached a high policy sequence.
    service.setPolicyWithSequence(demoPolicy("blocked.test"), 40);
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once"}, output), 0) << output;
    EXPECT_EQ(readJSON(data / "filter-rules.json")["policySeq"], 40);

    // A new device starts again at a low sequence.
    service.setPolicyWithSequence(demoPolicy("other.test"), 3);
    service.acceptEnrollmentCode("CODE-2");
    ASSERT_EQ(run({"--enroll", "CODE-2", "--once"}, output), 0) << output;
    const auto logged = lines(output);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(message(logged.back()), "tick enrolled=true state=protected filter=true rules=3 events=0 blocked=0 "
                                      "answered=0")
        << output;
    ASSERT_EQ(service.devices().size(), 2u);
    EXPECT_NE(service.devices()[0].deviceId, service.devices()[1].deviceId);
    EXPECT_EQ(readJSON(data / "filter-rules.json")["policySeq"], 3);
    const json status = readJSON(data / "status.json");
    EXPECT_EQ(status["policySeq"], 3);
    EXPECT_EQ(status["deviceId"], service.devices()[1].deviceId);

    // The same identity keeps its rules: a later run publishes nothing new.
    ASSERT_EQ(run({"--once"}, output), 0) << output;
    EXPECT_NE(output.find("rules=3 "), std::string::npos) << output;
    EXPECT_EQ(readJSON(data / "filter-rules.json")["policySeq"], 3);
}

TEST_F(EndToEnd, BlockedNamesAnswerNxdomainAndTheirEventsReachTheService) {
    KELDRA_REQUIRE_REAL_DNS();
    MachineLock lock;
    Dnsmasq dnsmasq;
    ASSERT_TRUE(dnsmasq.ready());

    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once"}, output), 0) << output;
    {
        RunningProxy proxy(words({"--upstream", Dnsmasq::kAddress, "--interval", "0.2"}), dir.path() / "proxy.log");
        ASSERT_TRUE(proxy.waitFor("tick enrolled=true")) << proxy.output();

        // A custom rule and a category, over UDP and TCP; neither reaches the upstream.
        EXPECT_NE(dig(port, "blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_NE(dig(port, "+tcp blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_NE(dig(port, "x.ads.test AAAA").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_EQ(dnsmasq.queriesFor("blocked.test"), 0);
        EXPECT_EQ(dnsmasq.queriesFor("x.ads.test"), 0);
        // An allowed name gets the upstream's answer over both transports.
        EXPECT_NE(dig(port, "allowed.test A").output.find("192.0.2.10"), std::string::npos);
        EXPECT_NE(dig(port, "+tcp allowed.test A").output.find("192.0.2.10"), std::string::npos);

        // The counts show in a later tick line and in the status document.
        EXPECT_TRUE(proxy.waitFor(" blocked=3 answered=2")) << proxy.output();
        EXPECT_TRUE(proxy.waitFor("tick enrolled=true state=protected filter=true rules=- events=0 blocked=3"))
            << proxy.output();
        const json status = readJSON(data / "status.json");
        EXPECT_GE(status["blocked"].get<int>(), 3);
        EXPECT_EQ(status["errors"], json::array());
    }

    // The events wait on disk for their window to close.
    const json pending = readJSON(data / "events-pending.json");
    const std::string pendingText = pending.dump();
    EXPECT_NE(pendingText.find("blocked_custom_rule"), std::string::npos) << pendingText;
    EXPECT_NE(pendingText.find("blocked_dns_query"), std::string::npos) << pendingText;
    EXPECT_NE(pendingText.find("bypass_attempted"), std::string::npos) << pendingText;
    EXPECT_EQ(service.counters().eventsAccepted, 0);

    // Half an hour later their window has closed: move them back in time.
    std::function<void(json&)> shift = [&](json& node) {
        if (node.is_object()) {
            for (auto& [key, value] : node.items()) {
                if (key == "windowStart" && value.is_number_integer()) value = value.get<std::int64_t>() - 1800;
                else shift(value);
            }
        } else if (node.is_array()) {
            for (auto& value : node) shift(value);
        }
    };
    json moved = pending;
    shift(moved);
    ASSERT_NE(moved, pending);
    std::ofstream(data / "events-pending.json", std::ios::trunc) << moved.dump();

    // The next tick takes them from the filter and delivers them.
    ASSERT_EQ(run({"--once", "--upstream", Dnsmasq::kAddress}, output), 0) << output;
    EXPECT_NE(output.find(" events=2 "), std::string::npos) << output;
    EXPECT_EQ(output.find("errors="), std::string::npos) << output;
    const auto counters = service.counters();
    EXPECT_EQ(counters.eventsAccepted, 2);
    EXPECT_EQ(counters.eventCountTotal, 3);
    std::set<std::string> reasons;
    for (const auto& event : service.acceptedEvents()) reasons.insert(event.value("reason", ""));
    EXPECT_EQ(reasons, (std::set<std::string>{"blocked_custom_rule", "blocked_dns_query"}));
    EXPECT_EQ(readFile(data / "events-pending.json").find("bypass_attempted"), std::string::npos);
}

TEST_F(EndToEnd, AnEventHandedOverBeforeAKillReachesTheServiceDespiteADamagedOutbox) {
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once", "--upstream", "127.0.0.2"}, output), 0) << output;

    // A damaged outbox, and a blocked lookup from an hour ago waiting in the
    // filter's file; the service does not take events for now.
    std::ofstream(data / "events-outbox.json", std::ios::trunc) << "[{\"type\":";
    const auto hourAgo = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count() - 3600;
    const json key = {{"type", "bypass_attempted"}, {"reason", "blocked_custom_rule"}, {"policySeq", policySeq},
                      {"windowStart", hourAgo / 900 * 900}};
    std::ofstream(data / "events-pending.json", std::ios::trunc) << json{{"counts", {key, 2}}}.dump();
    brivet::dev::Failure unavailable;
    unavailable.status = 503;
    unavailable.code = "unavailable";
    service.failEndpoint(brivet::dev::Endpoint::events, unavailable);

    {
        RunningProxy proxy(words({"--upstream", "127.0.0.2", "--interval", "0.2"}), dir.path() / "proxy.log");
        ASSERT_TRUE(proxy.waitFor("http 503 unavailable")) << proxy.output();
        proxy.killHard();
    }
    // The filter has let go of the event; it waits in a fresh outbox.
    EXPECT_EQ(readFile(data / "events-pending.json").find("blocked_custom_rule"), std::string::npos);
    EXPECT_EQ(readFile(data / "events-outbox.json.bad"), "[{\"type\":");
    EXPECT_NE(readFile(data / "events-outbox.json").find("blocked_custom_rule"), std::string::npos);

    service.clearFailure(brivet::dev::Endpoint::events);
    ASSERT_EQ(run({"--once", "--upstream", "127.0.0.2"}, output), 0) << output;
    EXPECT_EQ(service.counters().eventsAccepted, 1);
    EXPECT_EQ(service.counters().eventCountTotal, 2);
    ASSERT_EQ(service.acceptedEvents().size(), 1u);
    EXPECT_EQ(service.acceptedEvents()[0].value("reason", ""), "blocked_custom_rule");
}

// A damaged file at start while the service hangs: the engine's first tick
// waits on the service, but the rules are rebuilt from the stored policy and
// the blocklist cache before the first query, and the log says what was
// wrong.
TEST_F(EndToEnd, DamagedFilesAtStartWhileTheServiceHangsStillBlockFromTheFirstQuery) {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/dig";
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once", "--upstream", "127.0.0.2"}, output), 0) << output;
    const std::string rules = readFile(data / "filter-rules.json");
    ASSERT_TRUE(fs::exists(data / "blocklists" / "ads@1.json"));
    service.delayEndpoint(brivet::dev::Endpoint::any, std::chrono::minutes(5));

    struct Row {
        std::string file;
        std::string content;  // empty: missing; "/": a directory
        std::string said;     // a line the log holds
    };
    const std::string rebuilt = "rebuilt the filter rules of policy " + std::to_string(policySeq) +
                                " from the stored policy and the blocklist cache";
    const std::string rulesAside = "the saved filter rules in " + (data / "filter-rules.json").string() +
                                   " cannot be used (";
    const std::string countsAside = "the pending block counts in " + (data / "events-pending.json").string() +
                                    " cannot be used (";
    for (const Row& row : {Row{"filter-rules.json", "\x01garbage", rulesAside}, Row{"filter-rules.json", "", rebuilt},
                           Row{"filter-rules.json", rules.substr(0, rules.size() / 2), rulesAside},
                           Row{"filter-rules.json", "/", rebuilt},
                           Row{"events-pending.json", "{\"counts\":[{\"type\"", countsAside},
                           Row{"events-pending.json", "[]", countsAside}}) {
        SCOPED_TRACE(row.file + " holding " + row.content);
        fs::remove_all(data / "filter-rules.json");
        std::ofstream(data / "filter-rules.json") << rules;
        fs::remove_all(data / row.file);
        if (row.content == "/") {
            fs::create_directory(data / row.file);
        } else if (!row.content.empty()) {
            std::ofstream(data / row.file) << row.content;
        }
        RunningProxy proxy(words({"--upstream", "127.0.0.2", "--interval", "3600"}), dir.path() / "proxy.log");
        ASSERT_TRUE(proxy.waitFor("DNS proxy listening")) << proxy.output();
        EXPECT_NE(dig(port, "blocked.test A").output.find("status: NXDOMAIN"), std::string::npos) << proxy.output();
        EXPECT_NE(dig(port, "x.ads.test A").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_EQ(proxy.output().find(" tick "), std::string::npos) << "the service answered";
        EXPECT_NE(proxy.output().find(row.said), std::string::npos) << proxy.output();
        if (row.content.size() > 1) {
            EXPECT_EQ(readFile(data / (row.file + ".bad")), row.content);
            fs::remove(data / (row.file + ".bad"));
        }
        proxy.stop();
    }
}

// Blocked queries reach the events file from a writer shortly after; a stop
// signal right after them still leaves every count on disk.
// Started with the stop signals ignored, as the installer starts it, it
// still stops on them: it waits for them blocked, and a blocked signal is
// delivered even when ignored.
TEST_F(EndToEnd, StopSignalWritesThePendingBlockCounts) {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/dig";
    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once", "--upstream", "127.0.0.2"}, output), 0) << output;
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "started with the stop signals ignored" : "started with them at their defaults");
        RunningProxy proxy(words({"--upstream", "127.0.0.2", "--interval", "3600"}), dir.path() / "proxy.log",
                           ignored);
        ASSERT_TRUE(proxy.waitFor("tick enrolled=true")) << proxy.output();
        for (int i = 0; i < 3; ++i) {
            EXPECT_NE(dig(port, "blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        }
        EXPECT_TRUE(proxy.stop()) << "SIGTERM did not end the proxy";
        const json pending = readJSON(data / "events-pending.json");
        ASSERT_TRUE(pending.is_object() && pending["counts"].is_array()) << pending.dump();
        std::int64_t total = 0;
        for (std::size_t i = 1; i < pending["counts"].size(); i += 2) total += pending["counts"][i].get<std::int64_t>();
        EXPECT_EQ(total, 3) << pending.dump();
        fs::remove(data / "events-pending.json");
    }
}

// Blocks made while the data folder is full are not left in memory only:
// once space is back the next tick writes them, so a kill -9 after that tick
// loses none of them.
TEST_F(EndToEnd, BlockCountsFromAFullFolderAreWrittenByTheNextTickAndSurviveAKill) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a small tmpfs as the data folder";
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/dig";
    // A mount namespace of this thread's own (the proxies it starts inherit
    // it): the small folder is seen by nobody else and goes with the test.
    if (::unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace: " << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    fs::create_directories(data);
    ASSERT_EQ(::mount("tmpfs", data.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0700"), 0)
        << std::strerror(errno);
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{data};

    std::string output;
    ASSERT_EQ(run({"--enroll", "CODE-1", "--once", "--upstream", "127.0.0.2"}, output), 0) << output;
    auto ticks = [](const std::string& text) {
        std::size_t count = 0;
        for (const auto& line : lines(text)) count += line.find(" tick enrolled=") != std::string::npos;
        return count;
    };
    {
        RunningProxy proxy(words({"--upstream", "127.0.0.2", "--interval", "0.3"}), dir.path() / "proxy.log");
        ASSERT_TRUE(proxy.waitFor("tick enrolled=true")) << proxy.output();

        // Fill the folder to its last byte.
        {
            std::ofstream filler(data / "filler", std::ios::binary);
            const std::string chunk(4096, 'x');
            for (int i = 0; i < 1024 && filler; ++i) filler.write(chunk.data(), chunk.size()), filler.flush();
        }
        for (int i = 0; i < 5; ++i) {
            EXPECT_NE(dig(port, "blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        }
        // Ticks come and go with the folder full; the counts cannot be on disk.
        ASSERT_TRUE(proxy.waitFor(" blocked=5")) << proxy.output();
        EXPECT_EQ(readFile(data / "events-pending.json").find("blocked_custom_rule"), std::string::npos);

        // Space comes back; one tick later a kill -9.
        fs::remove(data / "filler");
        const std::size_t before = ticks(proxy.output());
        for (int i = 0; i < 400 && ticks(proxy.output()) < before + 2; ++i) std::this_thread::sleep_for(50ms);
        ASSERT_GE(ticks(proxy.output()), before + 2) << proxy.output();
        proxy.killHard();
    }

    // After a restart, once the blocks' window has closed, every count
    // reaches the service.
    json pending = readJSON(data / "events-pending.json");
    ASSERT_TRUE(pending.is_object() && pending["counts"].is_array()) << pending.dump();
    for (std::size_t i = 0; i < pending["counts"].size(); i += 2) {
        auto& key = pending["counts"][i];
        key["windowStart"] = key["windowStart"].get<std::int64_t>() - 1800;
    }
    std::ofstream(data / "events-pending.json", std::ios::trunc) << pending.dump();
    ASSERT_EQ(run({"--once", "--upstream", "127.0.0.2"}, output), 0) << output;
    EXPECT_EQ(service.counters().eventCountTotal, 5) << output;
    ASSERT_EQ(service.acceptedEvents().size(), 1u);
    EXPECT_EQ(service.acceptedEvents()[0].value("reason", ""), "blocked_custom_rule");
}

}  // namespace

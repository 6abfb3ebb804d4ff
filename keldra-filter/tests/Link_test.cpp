// The daemon against the app's own FilterConnection on a real socket.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "BrivetClient/Events.h"
#include "BrivetClient/JSONCoding.h"
#include "keldra/DevService.h"
#include "DaemonTestSupport.h"
#include "Keldra/FilterConnection.h"
#include "filter-link/FilterWire.h"
#include "keldra-filter/LinkServer.h"
#include "keldra-filter/LogLimiter.h"
#include "keldra-filter/PeerCheck.h"
#include "NamespaceLab.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using namespace std::chrono_literals;
using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::writeFile;
using nlohmann::json;

// A connection to the daemon's socket; -1 when none.
int connectTo(const std::filesystem::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.string().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// With AddressSanitizer, resident sizes say little (shadow memory, freed
// memory held in quarantine).
#if defined(__SANITIZE_ADDRESS__)
#define KELDRA_RESIDENT_SIZES_MEAN_LITTLE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELDRA_RESIDENT_SIZES_MEAN_LITTLE 1
#endif
#endif

// The resident memory of a process, in bytes.
std::size_t residentBytes(pid_t pid) {
    const auto status = readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6)) * 1024;
}

struct LinkFixture : ::testing::Test {
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the daemon runs as root";
    }
    keldra::test::TempDir folder{"keldra-filter-link"};
    DaemonFiles files{folder.path()};

    FilterConnection connect() { return FilterConnection(files.socket().string(), 5000ms); }
};

// The daemon with the local device service's keys: root publishes on the
// socket, with envelopes the service signed (or forged ones).
struct SignedFixture : LinkFixture {
    void SetUp() override {
        LinkFixture::SetUp();
        if (IsSkipped()) return;
        service.writeEnvironmentFile(environment);
        service.setBlocklist("ads", 3, json::array({{{"rule_type", "domain_suffix"}, {"value", "ads.example"}}}));
        service.setBlocklist("trackers", 3, json::array({{{"rule_type", "domain"}, {"value", "t.trackers.example"}}}));
    }

    std::vector<std::string> options() const { return {"--env", environment.string()}; }

    // A committed policy of ads and trackers for device dev-1.
    static json payload(std::int64_t seq, const std::string& device = "dev-1") {
        return json{{"type", "device_policy"}, {"v", 1}, {"device_id", device}, {"installation_id", "inst-1"},
                    {"policy_seq", seq}, {"kind", "commitment"}, {"commitment_id", "c-1"},
                    {"locked_until", "2030-01-01T00:00:00Z"}, {"categories", {"ads", "trackers"}},
                    {"custom_rules", {{{"rule_type", "domain"}, {"value", "blocked.test"}}}},
                    {"allow_rules", {{{"rule_type", "domain"}, {"value", "ok.ads.example"}}}},
                    {"blocklist_version", 3}};
    }
    static brivet::FilterRules empty(std::int64_t seq) {
        brivet::FilterRules rules;
        rules.policySeq = seq;
        return rules;
    }
    std::string sign(const json& document) const {
        return service.signEnvelope(brivet::dev::KeyRole::policy, document.dump());
    }
    // What the app builds from a policy with the service's lists.
    static brivet::FilterRules rulesFor(const json& document) {
        brivet::JSONValue value;
        from_json(document, value);
        const brivet::EffectivePolicy policy(*value.objectValue(), false);
        const std::vector<brivet::Blocklist> lists{{"ads", 3, {{"domain_suffix", "ads.example"}}},
                                                   {"trackers", 3, {{"domain", "t.trackers.example"}}}};
        return brivet::FilterRules::make(policy, brivet::RuleSet(policy, lists), {},
                                         brivet::RFC3339::fromUnixSeconds(1'800'000'000));
    }
    // Root's publish; the refusal, none when accepted.
    std::optional<std::string> publish(const brivet::FilterRules& rules, std::optional<std::string> envelope) {
        auto link = connect();
        link.setPolicySource([&] { return envelope; });
        try {
            link.publish(rules);
            return std::nullopt;
        } catch (const FilterConnection::Failure& failure) {
            return failure.description();
        }
    }
    // The names of the policy that the rules in force let through.
    std::vector<std::string> unblocked() const {
        const auto rules = brivet::FilterRulesStore(files.state() / "filter-rules.json").load();
        std::vector<std::string> out;
        for (const char* name : {"x.ads.example", "t.trackers.example", "blocked.test"}) {
            if (!rules || rules->ruleSet.decide(name).kind == brivet::HostDecision::Kind::pass) out.push_back(name);
        }
        if (rules && rules->ruleSet.decide("ok.ads.example").kind != brivet::HostDecision::Kind::allow) {
            out.push_back("ok.ads.example is not allowed");
        }
        return out;
    }
    // Waits until the daemon holds the service's own lists for its policy.
    bool complete() const {
        return waitFor([&] {
            const auto rules = brivet::FilterRulesStore(files.state() / "filter-rules.json").load();
            return rules && rules->isComplete();
        });
    }

    brivet::dev::DevService service;
    std::filesystem::path environment = folder / "Environment.json";
};

TEST_F(SignedFixture, OnlyWhatTheServiceSignedIsEnforcedAndItSurvivesRestarts) {
    const std::int64_t top = std::numeric_limits<std::int64_t>::max();
    {
        RunningDaemon daemon(files, options());
        ASSERT_TRUE(daemon.ready()) << files.logText();
        EXPECT_EQ(connect().status()->policySeq, 0);
        ASSERT_EQ(publish(rulesFor(payload(7)), sign(payload(7))), std::nullopt) << files.logText();
        ASSERT_TRUE(complete()) << files.logText();
        EXPECT_EQ(connect().status()->policySeq, 7);
        EXPECT_EQ(modeOf(files.state() / "client-state.json"), 0600u);

        // What a user who poses as the app, or edits its files, can send.
        json tampered = json::parse(sign(payload(7)));
        tampered["payload_b64"] = json::parse(sign(payload(8)))["payload_b64"];
        json foreign = payload(9, "dev-2");
        foreign["kind"] = "blocking_only";
        foreign["categories"] = json::array();
        json withoutAds = payload(7);
        withoutAds["categories"] = {"trackers"};
        const struct {
            const char* what;
            brivet::FilterRules rules;
            std::optional<std::string> envelope;
            std::string reason;
        } rows[] = {
            {"empty rules, same sequence", empty(7), sign(payload(7)), "the rules leave out entries of ads that policy 7 blocks"},
            {"empty rules, highest sequence", empty(top), sign(payload(7)), "the rules are of policy 9223372036854775807, the signed policy is 7"},
            {"no envelope", empty(8), std::nullopt, "the publish carries no signed policy"},
            {"tampered envelope", empty(8), tampered.dump(), "the signed policy was refused: bad_signature"},
            {"older envelope", empty(6), sign(payload(6)), "the signed policy was refused: rollback"},
            {"another device, uncommitted", empty(9), sign(foreign), "the signed policy was refused: device_mismatch"},
            {"a category left out", rulesFor(withoutAds), sign(payload(7)), "the rules leave out entries of ads that policy 7 blocks"},
        };
        for (const auto& row : rows) {
            EXPECT_EQ(publish(row.rules, row.envelope), std::optional<std::string>(row.reason)) << row.what;
            EXPECT_EQ(unblocked(), std::vector<std::string>{}) << row.what;
        }
        EXPECT_EQ(connect().status()->policySeq, 7);
        // Newer rules with more blocking than the policy are taken.
        brivet::FilterRules more = rulesFor(payload(8));
        more.ruleSet = brivet::RuleSet({"ads", "trackers"}, {{"domain", "blocked.test"}, {"domain", "extra.test"}},
                                       {{"domain", "ok.ads.example"}},
                                       {{"ads", 3, {{"domain_suffix", "ads.example"}}},
                                        {"trackers", 3, {{"domain", "t.trackers.example"}}}});
        EXPECT_EQ(publish(more, sign(payload(8))), std::nullopt);
        // An app that could not load a list says so, and is not refused for
        // leaving it out; the daemon's entries stay in force.
        brivet::FilterRules lacking = rulesFor(withoutAds);
        lacking.policySeq = 8;
        lacking.missingCategories = {"ads"};
        EXPECT_EQ(publish(lacking, sign(payload(8))), std::nullopt);
        EXPECT_EQ(unblocked(), std::vector<std::string>{});
    }
    {
        // The verified policy comes back before anyone publishes, and a
        // damaged rules file is set aside and rebuilt from it.
        writeFile(files.state() / "filter-rules.json", "{\"policySeq\":");
        RunningDaemon daemon(files, options());
        ASSERT_TRUE(daemon.ready());
        EXPECT_EQ(connect().status()->policySeq, 8);
        EXPECT_EQ(unblocked(), std::vector<std::string>{});
        EXPECT_TRUE(std::filesystem::exists(files.state() / "filter-rules.json.bad"));
        EXPECT_NE(files.logText().find("the rules in force are damaged"), std::string::npos) << files.logText();
        EXPECT_EQ(publish(empty(8), sign(payload(7))), "the signed policy was refused: rollback");

        // A signed release ends the commitment: the daemon follows it,
        // one category fewer.
        json released = payload(9);
        released["categories"] = {"trackers"};
        released["release"] = {{"reason", "terminated_exceptionally"}};
        EXPECT_EQ(publish(empty(8), sign(released)), "the rules are of policy 8, the signed policy is 9");
        EXPECT_EQ(unblocked(), std::vector<std::string>{"x.ads.example"});
        EXPECT_EQ(publish(rulesFor(released), sign(released)), std::nullopt);
    }
    {
        // A damaged policy state is set aside too; the rules in force hold.
        writeFile(files.state() / "client-state.json", "[");
        RunningDaemon daemon(files, options());
        ASSERT_TRUE(daemon.ready());
        EXPECT_EQ(connect().status()->policySeq, 9);
        EXPECT_TRUE(std::filesystem::exists(files.state() / "client-state.json.bad"));
        EXPECT_NE(files.logText().find("the verified policy state is damaged"), std::string::npos);
    }
    // A machine enrolled anew starts from no rules and no verified policy
    // after --reset-rules.
    auto reset = runCommand({KELDRA_FILTER_PATH, "--reset-rules", "--state", files.state().string()});
    EXPECT_TRUE(reset.succeeded()) << reset.standardError;
    EXPECT_FALSE(std::filesystem::exists(files.state() / "client-state.json"));
    RunningDaemon daemon(files, options());
    ASSERT_TRUE(daemon.ready());
    EXPECT_EQ(connect().status()->policySeq, 0);
    EXPECT_EQ(publish(rulesFor(payload(1, "dev-3")), sign(payload(1, "dev-3"))), std::nullopt);
}

TEST_F(SignedFixture, RulesOfBeforeHoldUntilTheFirstSignedPolicy) {
    // A daemon updated over the rules file of an older version, trusting
    // the keys of the installed app's environment file.
    brivet::FilterRulesStore(files.state() / "filter-rules.json").save(sampleRules(7));
    const auto bundle = folder / "Keldra.app";
    service.writeEnvironmentFile(bundle / "Contents/Resources/Environment.json");
    writeFile(files.state() / "installation.json", json{{"appBundle", bundle.string()}}.dump());
    RunningDaemon daemon(files);
    ASSERT_TRUE(daemon.ready());
    EXPECT_EQ(publish(empty(8), std::nullopt), "the publish carries no signed policy");
    EXPECT_EQ(connect().status()->policySeq, 7);
    EXPECT_EQ(brivet::FilterRulesStore(files.state() / "filter-rules.json").load(), sampleRules(7));
    // The service's lists are not to be had yet: the daemon takes the app's
    // entries for categories it never had, and allow rules only from the
    // policy.
    service.failEndpoint(brivet::dev::Endpoint::blocklist, brivet::dev::Failure{});
    brivet::FilterRules loose = rulesFor(payload(8));
    loose.ruleSet = brivet::RuleSet({"ads", "trackers"}, {{"domain", "blocked.test"}},
                                    {{"domain", "ok.ads.example"}, {"domain_suffix", "t.trackers.example"}},
                                    {{"ads", 3, {{"domain_suffix", "ads.example"}}},
                                     {"trackers", 3, {{"domain", "t.trackers.example"}}}});
    EXPECT_EQ(publish(loose, sign(payload(8))), "the rules allow names that policy 8 does not allow");
    EXPECT_EQ(unblocked(), std::vector<std::string>{});
    EXPECT_EQ(brivet::FilterRulesStore(files.state() / "filter-rules.json").load()->missingCategories,
              (std::vector<std::string>{"ads", "trackers"}));
    service.clearFailures();
}

TEST_F(LinkFixture, EventsAreHandedOverExactlyOnceAcrossRestarts) {
    // Two closed windows and one still open, as a run before left them.
    brivet::EventCoalescer events;
    const auto old = brivet::RFC3339::fromUnixSeconds(1'700'000'000);
    events.record("bypass_attempted", "blocked_dns_query", "ads", 7, old);
    events.record("bypass_attempted", "blocked_dns_query", "ads", 7, old);
    events.record("bypass_attempted", "blocked_connection", "ads", 7, old + std::chrono::hours(1));
    events.record("bypass_attempted", "blocked_custom_rule", std::nullopt, 7,
                  std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
    std::filesystem::create_directories(files.state());
    writeFile(files.state() / "events-pending.json", brivet::JSONCoding::plainEncode(events));
    {
        RunningDaemon daemon(files);
        ASSERT_TRUE(daemon.ready());
        auto link = connect();
        EXPECT_EQ(link.status()->pendingEvents, 4);
        const auto taken = link.takeEvents();
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_EQ(taken[0].count, 2);
        EXPECT_EQ(taken[0].reason, "blocked_dns_query");
        EXPECT_EQ(taken[1].reason, "blocked_connection");
        EXPECT_TRUE(link.takeEvents().empty());
        EXPECT_EQ(link.status()->pendingEvents, 1);
        daemon.stop(SIGKILL);
    }
    RunningDaemon daemon(files);
    ASSERT_TRUE(daemon.ready());
    auto link = connect();
    EXPECT_TRUE(link.takeEvents().empty());
    EXPECT_EQ(link.status()->pendingEvents, 1);  // the open window is kept
}

TEST_F(LinkFixture, BadFramesAndForeignPeersAreRefusedWithoutHarm) {
    // The installed app: a root-owned folder holding its executable.
    const auto installed = folder / "Keldra.app/Contents/bin";
    std::filesystem::create_directories(installed);
    for (auto path = installed; path != folder.path().parent_path(); path = path.parent_path()) {
        std::filesystem::permissions(path, std::filesystem::perms(0755));
    }
    std::filesystem::copy_file(KELDRA_LINK_PROBE_PATH, installed / "Keldra");
    RunningDaemon daemon(files, {"--app-executable", (installed / "Keldra").string()});
    ASSERT_TRUE(daemon.ready());

    auto rawFrame = [&](const std::string& bytes) {
        const int fd = connectTo(files.socket());
        if (fd < 0) return std::string("no connection");
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char reply[64];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        ::close(fd);
        return n <= 0 ? std::string("closed") : std::string(reply, static_cast<std::size_t>(n));
    };
    EXPECT_EQ(rawFrame(std::string("\x7f\xff\xff\xff", 4)), "closed");  // 2 GiB announced
    EXPECT_EQ(rawFrame(filterwire::framePrefix(9) + "{garbage!"), "closed");
    EXPECT_EQ(rawFrame(filterwire::framePrefix(22) + R"({"id":1,"call":"nope"})"), "closed");

    auto asNobody = [&](const std::filesystem::path& program) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            ::execl(program.c_str(), program.c_str(), files.socket().c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asNobody(installed / "Keldra"), 0);        // the installed app
    EXPECT_EQ(asNobody(KELDRA_LINK_PROBE_PATH), 1);      // any other program
    EXPECT_NE(files.logText().find("refused a caller: uid 65534"), std::string::npos) << files.logText();

    // The daemon still serves.
    auto link = connect();
    EXPECT_TRUE(link.status().has_value());
}

TEST_F(LinkFixture, RequestsHeldOpenOnEveryConnectionLeaveTheDaemonSmall) {
    RunningDaemon daemon(files);
    ASSERT_TRUE(daemon.ready());
    const auto descriptors = [&] {
        const std::filesystem::path open = "/proc/" + std::to_string(daemon.pid()) + "/fd";
        return std::distance(std::filesystem::directory_iterator(open), {});
    };
    const auto idle = descriptors();
    // 32 connections, each sending all but 1 MiB of a request of the largest
    // size and holding it open: by root (who may call), and by a child
    // running as nobody on connections root opened.
    constexpr std::size_t kMiB = 1024 * 1024;
    constexpr std::size_t kFrame = filterwire::kMaxFrameBytes;
    struct Row {
        const char* sender;
        bool nobody;
        std::size_t allowedGrowth;  // one large request, 64 KiB on each other connection
    };
    for (const Row& row : {Row{"root", false, kFrame + 24 * kMiB}, Row{"nobody", true, 24 * kMiB}}) {
        const std::size_t before = residentBytes(daemon.pid());
        const pid_t sender = ::fork();
        if (sender == 0) {
            std::vector<int> fds;
            for (int i = 0; i < 32; ++i) fds.push_back(connectTo(files.socket()));
            if (row.nobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            const std::string prefix = filterwire::framePrefix(filterwire::kMaxFrameBytes), blanks(kMiB, ' ');
            std::vector<std::size_t> left(fds.size(), kFrame - kMiB);
            for (const int fd : fds) ::send(fd, prefix.data(), prefix.size(), MSG_NOSIGNAL);
            while (true) {
                for (std::size_t i = 0; i < fds.size(); ++i) {
                    const ssize_t n = left[i] == 0 ? 0 : ::send(fds[i], blanks.data(), std::min(kMiB, left[i]),
                                                                 MSG_NOSIGNAL | MSG_DONTWAIT);
                    left[i] -= static_cast<std::size_t>(std::max<ssize_t>(n, 0));
                }
                ::usleep(200);
            }
        }
        std::size_t most = 0;
        for (const auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
            most = std::max(most, residentBytes(daemon.pid()));
            if (most > before + row.allowedGrowth) break;  // no need to fill the machine
            std::this_thread::sleep_for(10ms);
        }
        ::kill(sender, SIGKILL);
        ::waitpid(sender, nullptr, 0);
        EXPECT_TRUE(waitFor([&] { return descriptors() == idle; })) << row.sender << ": " << descriptors();
#ifndef KELDRA_RESIDENT_SIZES_MEAN_LITTLE
        EXPECT_LT(most, before + row.allowedGrowth) << row.sender << ": " << before / kMiB << " MiB before";
#endif
        std::cout << row.sender << ": daemon resident " << before / kMiB << " MiB before, at most " << most / kMiB
                  << " MiB while held\n";
    }
    // A whole request of the largest size made of empty objects, each of
    // which would take some 30 times its text once parsed: refused before
    // its tree is built, the connection closed.
    {
        const std::size_t before = residentBytes(daemon.pid());
        const std::string head = R"({"id":1,"call":"publish","rules":{"a":[)", tail = "{}]}}";
        std::string message = head;
        message.reserve(kFrame);
        while (message.size() + 3 + tail.size() <= kFrame) message += "{},";
        message += tail;
        std::size_t most = 0;
        std::atomic<bool> answered{false};
        std::thread watcher([&] {
            for (const auto end = std::chrono::steady_clock::now() + 10s;
                 !answered && std::chrono::steady_clock::now() < end;) {
                most = std::max(most, residentBytes(daemon.pid()));
                std::this_thread::sleep_for(5ms);
            }
        });
        const int fd = connectTo(files.socket());
        const std::string frame = filterwire::framePrefix(message.size()) + message;
        EXPECT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
        char byte = 0;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "a reply to a request that was not refused";
        std::this_thread::sleep_for(50ms);
        answered = true;
        ::close(fd);
        watcher.join();
#ifndef KELDRA_RESIDENT_SIZES_MEAN_LITTLE
        EXPECT_LT(most, before + kFrame + 64 * kMiB) << before / kMiB << " MiB before";
#endif
        std::cout << "a whole request of empty objects: daemon resident " << before / kMiB << " MiB before, at most "
                  << most / kMiB << " MiB\n";
        EXPECT_TRUE(files.logText().find("reading it would take more than") != std::string::npos) << files.logText();
    }
    EXPECT_TRUE(connect().status().has_value()) << files.logText();
}

// Silent and slow connections of a server with short time-outs.
TEST(LinkLimits, SilentAndSlowConnectionsAreClosedAndTheAppConnectsAgain) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root may call without an app installed";
    keldra::test::TempDir folder("keldra-filter-limits");
    FilterState state(folder / "state");
    LinkLimits limits;
    limits.idle = 600ms;
    limits.request = 300ms;
    SignedPolicy policy(state, std::nullopt, {});
    LinkServer server(folder / "filter.sock", state, policy, {}, PeerCheck{}, {}, limits);
    server.start();
    const std::string status = filterwire::encodeStatusRequest(1);
    const std::string request = filterwire::framePrefix(status.size()) + status;
    struct Row {
        const char* sent;
        std::string bytes;
        std::chrono::milliseconds closedAfter;
    };
    for (const Row& row : {Row{"nothing", "", limits.idle}, Row{"a length alone", filterwire::framePrefix(100), limits.request},
                           Row{"half a request", request.substr(0, 12), limits.request},
                           Row{"a request, then nothing", request, limits.idle}}) {
        const int fd = connectTo(folder / "filter.sock");
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(::send(fd, row.bytes.data(), row.bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(row.bytes.size()));
        std::string received;
        bool closed = false;
        for (pollfd entry{fd, POLLIN, 0}; !closed && ::poll(&entry, 1, 3000) == 1;) {
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            closed = n <= 0;
            if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        }
        const auto took = std::chrono::steady_clock::now() - start;
        ::close(fd);
        EXPECT_TRUE(closed) << row.sent;
        EXPECT_GE(took, row.closedAfter * 8 / 10) << row.sent;
        EXPECT_LT(took, row.closedAfter + 1s) << row.sent;
        EXPECT_EQ(received.empty(), row.bytes != request) << row.sent;  // only a request is answered
    }
    // The app's connection, closed while it waited, is opened anew for the
    // next call.
    FilterConnection link((folder / "filter.sock").string(), 2000ms);
    EXPECT_TRUE(link.status().has_value());
    std::this_thread::sleep_for(limits.idle + 300ms);
    EXPECT_TRUE(link.status().has_value());
}

// The installed app (a copy of the probe in a root-owned folder) and any
// other program a user runs, both reachable by nobody.
struct CallerFixture : LinkFixture {
    void SetUp() override {
        LinkFixture::SetUp();
        if (IsSkipped()) return;
        std::filesystem::create_directories(installed.parent_path());
        for (auto path = installed.parent_path(); path != folder.path().parent_path(); path = path.parent_path()) {
            std::filesystem::permissions(path, std::filesystem::perms(0755));
        }
        std::filesystem::copy_file(KELDRA_LINK_PROBE_PATH, installed);
    }

    // Copies the probe to `path` (folders made reachable by all) as a
    // user's own program.
    std::filesystem::path usersProgram(const std::filesystem::path& path) {
        std::filesystem::create_directories(path.parent_path());
        for (auto at = path.parent_path(); at != folder.path(); at = at.parent_path()) {
            std::filesystem::permissions(at, std::filesystem::perms(0755));
        }
        std::filesystem::copy_file(KELDRA_LINK_PROBE_PATH, path);
        return path;
    }

    // Starts `program` with `arguments` as `uid`, in a user and pid
    // namespace of its own when asked (as a sandbox would, and as any user
    // can).
    pid_t startAs(uid_t uid, const std::filesystem::path& program, std::vector<std::string> arguments,
                  bool ownPidNamespace = false) {
        std::vector<std::string> words{program.string(), files.socket().string()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        if (ownPidNamespace) {
            words.insert(words.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                         "--regid=" + std::to_string(uid), "--clear-groups", "/usr/bin/unshare",
                                         "-Urp", "--fork"});
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!ownPidNamespace && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(3);
            std::vector<char*> argv;
            for (auto& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // The same as nobody, waited for; its exit status.
    int asNobody(const std::filesystem::path& program, std::vector<std::string> arguments,
                 bool ownPidNamespace = false, uid_t uid = 65534) {
        const pid_t pid = startAs(uid, program, std::move(arguments), ownPidNamespace);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::filesystem::path installed = folder / "Keldra.app/Contents/bin/Keldra";
};

TEST_F(CallerFixture, ARequestIsCheckedAgainstTheProcessThatSentIt) {
    RunningDaemon daemon(files, {"--app-executable", installed.string()});
    ASSERT_TRUE(daemon.ready());
    const auto other = usersProgram(folder / "user/probe");

    // The app connects (and is let in), then a child of its with another
    // program holds the connection and publishes on it.
    EXPECT_EQ(asNobody(installed, {"hand-on", other.string()}), 1);
    EXPECT_TRUE(waitFor([&] { return files.logText().find("runs " + other.string() + ", not the installed app") !=
                                     std::string::npos; }))
        << files.logText();

    // Connect, fork a child that keeps the socket, exec the app: the child's
    // requests are its own, whichever process the connection started in.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const pid_t racer = ::fork();
        if (racer == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            ::execl(other.c_str(), other.c_str(), files.socket().c_str(), "race", installed.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // The racer and the child it leaves behind both end here.
        for (int ended = 0; ended < 2;) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, 0);
            if (pid < 0) break;
            ++ended;
            if (pid != racer) {
                EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << "attempt " << attempt;
            }
        }
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);

    auto link = connect();
    EXPECT_EQ(link.status()->policySeq, 0);
    EXPECT_NO_THROW(link.takeEvents());  // root still may call
    EXPECT_EQ(asNobody(installed, {}), 0);  // and so does the app itself
}

TEST_F(CallerFixture, ACallerInAPidNamespaceOfItsOwnIsRefusedEvenNamingTheApp) {
    if (runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/unshare", "-Urp",
                    "--fork", "/bin/true"}).status != 0) {
        GTEST_SKIP() << "skipped: this machine lets no unprivileged user make a user and pid namespace";
    }
    RunningDaemon daemon(files, {"--app-executable", installed.string()});
    ASSERT_TRUE(daemon.ready());
    // The installed app started in a sandbox of its own is refused as well.
    EXPECT_EQ(asNobody(installed, {}, true), 1);
    EXPECT_TRUE(waitFor([&] { return files.logText().find("runs in another pid namespace than the daemon's") !=
                                     std::string::npos; }))
        << files.logText();

    // Connect, exec the app; a child sends requests with credentials that
    // name it, with and without refused connects queued ahead.
    for (const char* flooders : {"0", "4"}) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            asNobody(KELDRA_LINK_PROBE_PATH, {"race", installed.string(), flooders}, true);
            EXPECT_EQ(connect().status()->policySeq, 0) << flooders << " flooders, attempt " << attempt;
        }
    }
    EXPECT_EQ(asNobody(installed, {}), 0);  // the app outside a sandbox still may
}

TEST_F(CallerFixture, ConnectionsHeldOpenLeaveOneForRootAndForEveryUsersApp) {
    RunningDaemon daemon(files, {"--app-executable", installed.string()});
    ASSERT_TRUE(daemon.ready());
    // Five users each run the app, which connects 40 times and sends
    // nothing on what it got, or only the length of a large request (all
    // but one then wait for the one room there is for such).
    const std::vector<uid_t> users{65530, 65531, 65532, 65533, 65534};
    for (const char* mode : {"keep", "large"}) {
        SCOPED_TRACE(mode);
        std::vector<pid_t> holders;
        for (const uid_t uid : users) holders.push_back(startAs(uid, installed, {mode, "40"}));
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(connect().status().has_value());
        for (const uid_t uid : users) EXPECT_EQ(asNobody(installed, {}, false, uid), 0) << "the app of uid " << uid;
        for (const pid_t holder : holders) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
    }
}

TEST_F(CallerFixture, AFloodOfRefusalsAndForgedLinesCannotFillOrForgeTheLog) {
    RunningDaemon daemon(files, {"--app-executable", installed.string()});
    ASSERT_TRUE(daemon.ready());

    // A program whose path holds what would read as the daemon's own lines.
    const std::string forged = "\n1999-01-01T00:00:00Z configurations: content filter off, DNS proxy off\n"
                               "1999-01-01T00:00:00Z stopped filtering connections";
    const auto liar = usersProgram(folder / ("liar" + forged));
    EXPECT_EQ(asNobody(liar, {}), 1);
    ASSERT_TRUE(waitFor([&] { return files.logText().find("liar\\n1999") != std::string::npos; })) << files.logText();
    int mentions = 0;
    const auto log = files.logText();
    for (std::size_t at = 0; at < log.size();) {
        const auto end = std::min(log.find('\n', at), log.size());
        const auto line = log.substr(at, end - at);
        EXPECT_FALSE(line.starts_with("1999-01-01T00:00:00Z")) << line;
        if (line.find("liar") != std::string::npos) ++mentions;
        at = end + 1;
    }
    EXPECT_EQ(mentions, 1) << log;

    // 10,000 refused connections from a program at a long path.
    std::filesystem::path deep = folder / "flood";
    for (int level = 0; level < 16; ++level) deep /= std::string(200, 'a' + level);
    const auto flooder = usersProgram(deep / "probe");
    const auto before = std::filesystem::file_size(files.log());
    EXPECT_EQ(asNobody(flooder, {"flood", "10000"}), 0);
    ASSERT_TRUE(waitFor([&] { return files.logText().find("refused a caller from uid 65534: left out ") != std::string::npos; }))
        << files.logText().substr(before, 20000);
    const auto grown = std::filesystem::file_size(files.log()) - before;
    // A refusal line carries at most 512 bytes of the path, and there is one
    // a second with its count: minutes of flooding, not the 30 MiB that ten
    // thousand full lines would be.
    EXPECT_LT(grown, 256u * 1024u) << grown;
    EXPECT_EQ(files.logText().find(deep.string()), std::string::npos);  // cut at 512 bytes

    // A second of rules refused to an allowed caller (root here): a fifth of
    // what five seconds may add.
    auto link = connect();
    const auto beforeRules = std::filesystem::file_size(files.log());
    int refused = 0;
    for (const auto end = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < end;) {
        EXPECT_THROW(link.publish(sampleRules(6)), FilterConnection::Failure);
        ++refused;
    }
    EXPECT_TRUE(waitFor([&] { return files.logText().find("refused rules from uid 0: left out ") != std::string::npos; }));
    EXPECT_LT(std::filesystem::file_size(files.log()) - beforeRules, 256u * 1024u / 5) << refused << " refused";

    // The daemon still serves.
    EXPECT_TRUE(connect().status().has_value());
}

TEST(Command, HelpPrintsTheUsageAloneAndSucceeds) {
    const auto help = runCommand({KELDRA_FILTER_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.standardOutput.starts_with("usage: keldra-filter ")) << help.standardOutput;
    EXPECT_EQ(help.standardError, "");
}

TEST(LogLimiter, OneLineASecondPerKindAndUserThenTheCountLeftOut) {
    std::vector<std::string> lines;
    auto now = std::chrono::steady_clock::time_point{};
    {
        LogLimiter limited([&](const std::string& line) { lines.push_back(line); }, std::chrono::seconds(1),
                           [&] { return now; });
        for (int i = 0; i < 5; ++i) limited.log("refused a caller", 1000, "refused " + std::to_string(i));
        limited.log("refused a caller", 1001, "another user");
        limited.log("too many connections", 1000, "another kind");
        EXPECT_TRUE(limited.flush());  // counts held back within the second
        EXPECT_EQ(lines, (std::vector<std::string>{"refused 0", "another user", "another kind"}));

        now += std::chrono::milliseconds(1000);
        EXPECT_FALSE(limited.flush());
        EXPECT_EQ(lines.back(), "refused a caller from uid 1000: left out 4 more lines like this");
        limited.log("refused a caller", 1000, "counted");  // within the second after the count
        now += std::chrono::seconds(1);
        limited.log("blocked a connection", LogLimiter::anyUser, "blocked");
        limited.log("blocked a connection", LogLimiter::anyUser, "blocked again");
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"refused 0", "another user", "another kind",
                                               "refused a caller from uid 1000: left out 4 more lines like this",
                                               "blocked", "blocked a connection: left out 1 more line like this",
                                               "refused a caller from uid 1000: left out 1 more line like this"}));
}

TEST(LogLimiter, AStalledLogHoldsUpNeitherOtherCallersNorThePacketPath) {
    using namespace std::chrono_literals;
    std::mutex stall;
    std::unique_lock<std::mutex> stalled(stall);
    std::vector<std::string> written;
    std::mutex writtenLock;
    const auto slowLog = [&](const std::string& line) {
        std::lock_guard<std::mutex> wait(stall);
        std::lock_guard<std::mutex> lock(writtenLock);
        written.push_back(line);
    };
    {
        // A limiter writes outside its lock: while one caller's line is
        // stuck in the log, another kind goes on being counted.
        LogLimiter limited(slowLog);
        std::thread stuck([&] { limited.log("refused a caller", 1000, "stuck"); });
        std::this_thread::sleep_for(50ms);
        const auto started = std::chrono::steady_clock::now();
        std::atomic<bool> counted{false};
        std::thread other([&] {
            limited.log("refused a caller", 1000, "counted");
            limited.flush();
            counted = true;
        });
        EXPECT_TRUE(waitFor([&] { return counted.load(); }, 1s));
        // A writer takes lines at once, keeps at most its capacity and
        // counts the rest, then writes them in order once the log moves.
        LogWriter writer(slowLog, 3);
        const auto handOver = writer.handOver();
        for (int i = 0; i < 6; ++i) handOver("line " + std::to_string(i));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        stalled.unlock();
        stuck.join();
        other.join();
    }
    // The writer's lines in order; the two threads' lines in any, before,
    // after or between them.
    std::vector<std::string> writers, others;
    for (const auto& line : written) {
        (line.starts_with("line ") || line.starts_with("log writer:") ? writers : others).push_back(line);
    }
    EXPECT_EQ(writers,
              (std::vector<std::string>{"line 0", "line 1", "line 2", "log writer: left out 3 lines while the log was slow"}));
    std::sort(others.begin(), others.end());
    EXPECT_EQ(others, (std::vector<std::string>{"refused a caller from uid 1000: left out 1 more line like this", "stuck"}));
}

TEST(PeerCheck, OnlyRootOwnedInstallationsCount) {
    keldra::test::TempDir folder("keldra-peer");
    EXPECT_FALSE(rootOwnedAllTheWay("relative/path"));
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files";
    const auto app = folder / "Keldra";
    writeFile(app, "x");
    std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(app, std::filesystem::perms(0755));
    EXPECT_TRUE(rootOwnedAllTheWay(app));  // /tmp is root-owned and sticky

    // The pid names the app now, but the process the kernel handed on ended
    // before the check (so its pid may have gone to the app): refused.
    const auto probe = folder / "App";
    std::filesystem::copy_file(KELDRA_LINK_PROBE_PATH, probe);
    const pid_t running = ::fork();
    if (running == 0) {
        ::execl(probe.c_str(), probe.c_str(), "socket", "hold", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    auto handle = [](pid_t pid) { return std::make_shared<const ProcessHandle>(int(::syscall(SYS_pidfd_open, pid, 0))); };
    const auto endedHandle = handle(ended);
    ::waitpid(ended, nullptr, 0);
    ASSERT_TRUE(waitFor([&] {
        std::error_code ec;
        return std::filesystem::read_symlink("/proc/" + std::to_string(running) + "/exe", ec) == probe;
    }));
    const PeerCheck appCheck{probe, "/proc"};
    EXPECT_EQ(appCheck.refusal({running, 1000, handle(running)}), "");
    EXPECT_NE(appCheck.refusal({running, 1000, endedHandle}).find("ended before it was checked"), std::string::npos);
    ::kill(running, SIGKILL);
    ::waitpid(running, nullptr, 0);
    std::filesystem::permissions(app, std::filesystem::perms(0775));
    EXPECT_FALSE(rootOwnedAllTheWay(app));
    std::filesystem::permissions(app, std::filesystem::perms(0755));
    ASSERT_EQ(::chown(folder.path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(rootOwnedAllTheWay(app));  // a user's folder could swap it
    PeerCheck check{app, "/proc"};
    EXPECT_EQ(check.refusal({1234, 0, nullptr}), "");
    EXPECT_NE(check.refusal({::getpid(), 1000, nullptr}).find("not the installed app"), std::string::npos);

}

}  // namespace
}  // namespace keldra::filter

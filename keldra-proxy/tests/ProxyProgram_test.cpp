// The keldra-proxy program as a user runs it.
#include "RealDNS.h"

#include "BrivetClient/FilterRules.h"
#include "BrivetClient/Models.h"
#include "keldra-proxy/Options.h"

#include <fcntl.h>

using namespace keldra_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

class ProxyProgram : public ::testing::Test {
protected:
    void SetUp() override {
        env = dir.path() / "env.json";
        std::ofstream(env) << R"({"name":"test deployment","api_base_url":"http://127.0.0.1:9",)"
                           << R"("policy_keys":[{"id":"k1","public":"AAAA"}],"release_keys":[],"other":true})";
        data = dir.path() / "data";
    }

    // Runs the program to its end; standard output and error apart.
    CommandResult run(const std::string& arguments, std::string* standardError = nullptr) {
        const fs::path err = dir.path() / "stderr";
        auto result = runCommand(std::string(KELDRA_PROXY_PATH) + " " + arguments + " 2>" + quoted(err.string()), false);
        if (standardError) {
            *standardError = readText(err);
        }
        return result;
    }
    std::string base() const { return "--env " + quoted(env.string()) + " --dir " + quoted(data.string()); }

    TempDirectory dir;
    fs::path env;
    fs::path data;
};

TEST_F(ProxyProgram, CommandLineMistakesEndWithTheirTextsAndStatuses) {
    std::string err;
    auto help = run("--once -h", &err);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output, std::string(brivet::kUsageLine) + "\n");

    auto unknown = run("--once --bogus -h", &err);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(err, "unknown argument --bogus\n");
    EXPECT_EQ(unknown.output, "");

    for (const char* listen : {"127.0.0.1", ":53", "127.0.0.1:70000", "[::1]:53", "127.0.0.1:0", "nonsense"}) {
        auto bad = run(base() + " --listen " + quoted(listen));
        EXPECT_EQ(bad.status, 2) << listen;
        EXPECT_TRUE(bad.output.ends_with(" --listen must be HOST:PORT\n")) << bad.output;
        EXPECT_EQ(bad.output.find("server "), std::string::npos);
    }

    // The settings would point at 127.0.0.1:53 while nothing serves there.
    auto assertElsewhere = run(base() + " --assert-dns --listen 127.0.0.1:5354");
    EXPECT_EQ(assertElsewhere.status, 2);
    EXPECT_NE(assertElsewhere.output.find("--assert-dns"), std::string::npos) << assertElsewhere.output;
    EXPECT_EQ(assertElsewhere.output.find("server "), std::string::npos);

    auto noEnvironment = run("--env " + quoted((dir.path() / "missing.json").string()));
    EXPECT_EQ(noEnvironment.status, 1);
    EXPECT_NE(noEnvironment.output.find(" cannot load Environment.json: "), std::string::npos);

    std::ofstream(env) << R"({"name":"x","api_base_url":"http://h","policy_keys":[]})";
    auto lacksKeys = run(base());
    EXPECT_EQ(lacksKeys.status, 1);
    EXPECT_NE(lacksKeys.output.find(" cannot load Environment.json: "), std::string::npos);
}

TEST_F(ProxyProgram, ServesTheStoredRulesOverUdpAndTcp) {
    KELDRA_REQUIRE_REAL_DNS();
    MachineLock lock;
    Dnsmasq dnsmasq;
    ASSERT_TRUE(dnsmasq.ready());

    brivet::FilterRules rules;
    rules.policySeq = 3;
    rules.ruleSet = brivet::RuleSet({"ads"}, {brivet::BlockRule{"domain", "blocked.test"}}, {}, {});
    brivet::FilterRulesStore(data / "filter-rules.json").save(rules);

    // A free port for both listeners.
    std::uint16_t port = 0;
    for (std::uint16_t candidate = 25354; candidate < 25454 && port == 0; ++candidate) {
        FD u(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        FD t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        auto sa = endpoint("127.0.0.1", candidate);
        if (::bind(u.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
            ::bind(t.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            port = candidate;
        }
    }
    ASSERT_NE(port, 0);

    const fs::path log = dir.path() / "proxy.log";
    std::vector<std::string> words = {KELDRA_PROXY_PATH, "--env", env.string(), "--dir", data.string(),
                                      "--listen", "127.0.0.1:" + std::to_string(port), "--upstream",
                                      std::string(Dnsmasq::kAddress) + ",127.0.0.1", "--interval", "0.2"};
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    bool listening = false;
    for (int i = 0; i < 100 && !listening; ++i) {
        std::this_thread::sleep_for(50ms);
        listening = readText(log).find("DNS proxy listening on") != std::string::npos;
    }
    EXPECT_TRUE(listening) << readText(log);
    if (listening) {
        EXPECT_NE(dig(port, "blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_NE(dig(port, "+tcp blocked.test A").output.find("status: NXDOMAIN"), std::string::npos);
        EXPECT_NE(dig(port, "allowed.test A").output.find("192.0.2.10"), std::string::npos);
        EXPECT_NE(dig(port, "+tcp allowed.test A").output.find("192.0.2.10"), std::string::npos);
        EXPECT_EQ(dnsmasq.queriesFor("blocked.test"), 0);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string text = readText(log);
    EXPECT_NE(text.find(" server test deployment at http://127.0.0.1:9\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" state in " + data.string() + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(", forwarding to 127.0.0.2, 127.0.0.1\n"), std::string::npos) << text;
}

}  // namespace

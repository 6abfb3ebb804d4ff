// The chain's installation per address family, against a recorded stand-in
// for iptables and ip6tables.
#include "keldra-filter/FirewallChain.h"

#include "keldra-filter/Command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace keldra::filter {
namespace {

struct FakeTables {
    std::vector<std::vector<std::string>> commands;
    // A command fails when its program is in `broken`, or when it uses the
    // bpf match and `noBPF` holds.
    std::vector<std::string> broken;
    bool noBPF = false;

    FirewallChain::Runner runner() {
        return [this](const std::vector<std::string>& argv, std::string& error) {
            commands.push_back(argv);
            if (std::find(broken.begin(), broken.end(), argv[0]) != broken.end()) {
                error = argv[0] + " v1.8.9: can't initialize table";
                return false;
            }
            if (noBPF && std::find(argv.begin(), argv.end(), "bpf") != argv.end()) {
                error = "Couldn't load match `bpf'";
                return false;
            }
            return true;
        };
    }
    // Whether the jump into the chain was added, and not removed after.
    bool inForce(const std::string& program) const {
        bool jumped = false;
        for (const auto& c : commands) {
            // "<program> -w <seconds> <verb> ...": the wait for the lock is bounded.
            if (c[0] != program || c.size() < 4 || c[1] != "-w" || c[2] != "5") continue;
            if (c[3] == "-I" && c.back() == FirewallChain::chainName) jumped = true;
            if (c[3] == "-D" || c[3] == "-X") jumped = false;
        }
        return jumped;
    }
};

TEST(FirewallChain, EachFamilyIsInstalledOnItsOwn) {
    FakeTables tables;
    tables.broken = {"ip6tables"};
    FirewallChain chain(7, "iptables", "ip6tables", tables.runner(), [](AddressFamily) { return true; });
    const auto families = chain.install();
    ASSERT_EQ(families.size(), 2u);
    EXPECT_EQ(families[0].state, FamilyChain::State::installed);
    EXPECT_TRUE(families[0].payloadMatch);
    EXPECT_EQ(families[1].state, FamilyChain::State::failed);
    EXPECT_EQ(families[1].error, "ip6tables: ip6tables v1.8.9: can't initialize table");
    EXPECT_TRUE(tables.inForce("iptables"));
    EXPECT_FALSE(tables.inForce("ip6tables"));

    // A kernel without IPv6 has nothing to filter there.
    FakeTables fresh;
    FirewallChain noIPv6(7, "iptables", "ip6tables", fresh.runner(),
                         [](AddressFamily family) { return family == AddressFamily::ipv4; });
    EXPECT_EQ(noIPv6.install()[1].state, FamilyChain::State::absent);
    EXPECT_FALSE(fresh.inForce("ip6tables"));
}

TEST(FirewallChain, WithoutTheBPFMatchEveryPacketOfAnUndecidedConnectionIsQueued) {
    FakeTables tables;
    tables.noBPF = true;
    FirewallChain chain(7, "iptables", "ip6tables", tables.runner(), [](AddressFamily) { return true; });
    const auto families = chain.install();
    for (const auto& family : families) {
        EXPECT_EQ(family.state, FamilyChain::State::installed);
        EXPECT_FALSE(family.payloadMatch);
    }
    EXPECT_TRUE(tables.inForce("iptables"));
    EXPECT_TRUE(tables.inForce("ip6tables"));
    const auto& queueRule = tables.commands[tables.commands.size() - 2];  // before the jump
    EXPECT_EQ(std::find(queueRule.begin(), queueRule.end(), "bpf"), queueRule.end());
    EXPECT_NE(std::find(queueRule.begin(), queueRule.end(), "NFQUEUE"), queueRule.end());
}

TEST(FirewallChain, WhereTheRestoreProgramServesTheChainIsReplacedInOneTransaction) {
    FakeTables tables;
    std::vector<std::pair<std::string, std::string>> scripts;
    bool leftBehind = false;  // a jump an earlier run left in place
    std::mutex mutex;         // remove() runs both families at once
    const auto restore = [&](const std::string& program, const std::string& script, std::string& error) {
        std::lock_guard<std::mutex> lock(mutex);
        scripts.emplace_back(program, script);
        if (script.find("-D OUTPUT") != std::string::npos && !leftBehind) {
            error = "Bad rule (does a matching rule exist in that chain?)";
            return false;
        }
        return true;
    };
    FirewallChain chain(7, "iptables", "ip6tables", tables.runner(), [](AddressFamily) { return true; }, restore);
    for (const auto& family : chain.install()) EXPECT_EQ(family.state, FamilyChain::State::installed);
    EXPECT_TRUE(tables.commands.empty());
    // Tried under a jump left behind, then put in place and hooked.
    ASSERT_EQ(scripts.size(), 4u);
    const std::string& script = scripts[1].second;
    EXPECT_EQ(scripts[1].first, "iptables");
    EXPECT_TRUE(script.starts_with("*filter\n:KELDRA_FILTER - [0:0]\n-A KELDRA_FILTER ")) << script;
    EXPECT_TRUE(script.ends_with("\n-I OUTPUT 1 -j KELDRA_FILTER\nCOMMIT\n")) << script;
    EXPECT_NE(script.find(" --bytecode \"" + FirewallChain::payloadBytecode(AddressFamily::ipv4) + "\" "), std::string::npos);
    EXPECT_EQ(static_cast<std::size_t>(std::count(script.begin(), script.end(), '\n')),
              2 + chain.rules(AddressFamily::ipv4).size() + 2);

    // A chain left behind keeps its jump while its rules are replaced; a
    // removal is one run per family.
    leftBehind = true;
    scripts.clear();
    chain.install(AddressFamily::ipv6);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_NE(scripts[0].second.find("\n-D OUTPUT -j KELDRA_FILTER\n"), std::string::npos);
    scripts.clear();
    chain.remove();
    EXPECT_EQ(scripts.size(), 2u);
    EXPECT_TRUE(tables.commands.empty());
}

TEST(Command, AProgramPastItsTimeLimitIsKilled) {
    using namespace std::chrono_literals;
    // Still writing, or with its outputs closed: either way the caller
    // waits no longer than the limit.
    for (const char* script : {"echo started; sleep 30", "exec >/dev/null 2>&1; sleep 30"}) {
        const auto started = std::chrono::steady_clock::now();
        const auto result = runCommand({"sh", "-c", script}, {}, 300ms);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << script;
        EXPECT_TRUE(result.timedOut) << script;
        EXPECT_EQ(result.status, 128 + 9) << script;
        EXPECT_NE(result.standardError.find("stopped after"), std::string::npos) << script;
    }
    const auto quick = runCommand({"sh", "-c", "echo fine"}, {}, 5000ms);
    EXPECT_FALSE(quick.timedOut);
    EXPECT_EQ(quick.standardOutput, "fine\n");
}

}  // namespace
}  // namespace keldra::filter

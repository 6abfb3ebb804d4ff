// The DNS-proxy provider in a network namespace of its own: it answers on
// 127.0.0.1:53 there, forwards to a dnsmasq in the second namespace, and
// points a scratch resolver file at itself and back.
#include <gtest/gtest.h>

#include "BrivetClient/Events.h"
#include "BrivetClient/JSONCoding.h"
#include "DaemonTestSupport.h"
#include "NamespaceLab.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;
using keldra::test::readFile;
using keldra::test::writeFile;

std::string dig(NamespaceLab& lab, const std::string& name, bool tcp = false) {
    std::vector<std::string> words{"dig", "@127.0.0.1", "+time=3", "+tries=1", name};
    if (tcp) words.push_back("+tcp");
    return lab.run(lab.client(), words).standardOutput;
}

TEST(DNSProviderNamespace, AnswersBlockedNamesItselfForwardsTheRestAndPutsTheResolverFileBack) {
    NamespaceLab lab("dns");
    if (!lab.skipReason().empty()) GTEST_SKIP() << "DNS provider namespace test skipped: " << lab.skipReason();
    if (::access("/usr/sbin/dnsmasq", X_OK) != 0 || ::access("/usr/bin/dig", X_OK) != 0) {
        GTEST_SKIP() << "DNS provider namespace test skipped: needs dnsmasq and dig";
    }
    keldra::test::TempDir folder("keldra-filter-dns");
    const DaemonFiles files{folder.path()};
    brivet::FilterRulesStore(files.state() / "filter-rules.json").save(sampleRules());
    const std::string former = "# from DHCP\nsearch lan\nnameserver " + std::string(kServerAddress) + "\n";
    writeFile(files.resolverFile(), former);
    files.setConfigurations(false, true);

    lab.start(lab.server(),
              {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--bind-interfaces",
               "--user=root", "--pid-file=" + (folder / "dnsmasq.pid").string(),
               std::string("--listen-address=") + kServerAddress, "--address=/allowed.test/192.0.2.10",
               "--address=/blocked.test/192.0.2.20"},
              folder / "dnsmasq.log");
    const pid_t daemon = lab.start(lab.client(), files.command(), files.log());
    ASSERT_TRUE(waitFor([&] { return files.logText().find("answering DNS on 127.0.0.1:53") != std::string::npos; }))
        << files.logText();
    EXPECT_EQ(readFile(files.resolverFile()), "# from DHCP\nsearch lan\nnameserver 127.0.0.1\n");

    ASSERT_TRUE(waitFor([&] { return dig(lab, "allowed.test").find("192.0.2.10") != std::string::npos; }))
        << dig(lab, "allowed.test") << files.logText();
    EXPECT_NE(dig(lab, "blocked.test").find("status: NXDOMAIN"), std::string::npos);
    EXPECT_NE(dig(lab, "www.ads.example", true).find("status: NXDOMAIN"), std::string::npos);
    EXPECT_NE(dig(lab, "allowed.test", true).find("192.0.2.10"), std::string::npos);

    // The blocks reach the events file shortly after they are answered.
    std::map<std::string, std::int64_t> byReason;
    EXPECT_TRUE(waitFor([&] {
        if (!std::filesystem::exists(files.state() / "events-pending.json")) return false;
        const auto events = brivet::JSONCoding::plainDecode<brivet::EventCoalescer>(
            readFile(files.state() / "events-pending.json"));
        byReason.clear();
        for (const auto& [key, count] : events.counts) byReason[key.reason] += count;
        return byReason["blocked_custom_rule"] == 1 && byReason["blocked_dns_query"] == 1;
    }));
    EXPECT_EQ(byReason["blocked_custom_rule"], 1);
    EXPECT_EQ(byReason["blocked_dns_query"], 1);

    // Disabling the configuration puts the resolver file back.
    files.setConfigurations(false, false);
    ASSERT_TRUE(waitFor([&] { return files.logText().find("stopped answering DNS") != std::string::npos; }));
    EXPECT_EQ(readFile(files.resolverFile()), former);
    EXPECT_EQ(dig(lab, "allowed.test").find("192.0.2.10"), std::string::npos);

    // Enabled again and killed: the next start puts the file back first.
    files.setConfigurations(false, true);
    ASSERT_TRUE(waitFor([&] { return readFile(files.resolverFile()).find("127.0.0.1") != std::string::npos; }));
    ::kill(daemon, SIGKILL);
    files.setConfigurations(false, false);
    lab.start(lab.client(), files.command(), files.log());
    ASSERT_TRUE(waitFor([&] {
        return readFile(files.resolverFile()) == former && !std::filesystem::exists(files.state() / "dns-before.json");
    })) << files.logText();
}

}  // namespace
}  // namespace keldra::filter

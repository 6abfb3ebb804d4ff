#include "keldra-proxy/DNSSettings.h"
#include "keldra-proxy/ResolverNetworkSetup.h"

#include "BrivetClient/AtomicFile.h"
#include "keldra/TestFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using brivet::DNSRecord;
using brivet::NetworkTool;
namespace DNSSettings = brivet::DNSSettings;
using keldra::test::modeOf;
using keldra::test::readFile;
using keldra::test::TempDir;
using keldra::test::writeFile;

namespace {

std::string hex(const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A stand-in for the platform tool: services and their servers come from
// files, and every -setdnsservers call is logged.
class FakeTool {
public:
    FakeTool() {
        const fs::path script = dir_.path() / "tool.sh";
        writeFile(script,
             "#!/bin/sh\n"
             "d='" + dir_.path().string() + "'\n"
             "key() { printf %s \"$1\" | od -An -tx1 | tr -d ' \\n'; }\n"
             "case \"$1\" in\n"
             "-listallnetworkservices) cat \"$d/services\" ;;\n"
             "-getdnsservers) f=\"$d/servers-$(key \"$2\")\"\n"
             "  if [ -f \"$f\" ]; then cat \"$f\"; else echo \"There aren't any DNS Servers set on $2.\"; fi ;;\n"
             "-setdnsservers) s=\"$2\"; shift 2; printf '%s\\n' \"$@\" > \"$d/servers-$(key \"$s\")\"\n"
             "  printf '%s\\n' \"$s\" >> \"$d/calls\" ;;\n"
             "esac\n");
        ::chmod(script.c_str(), 0755);
        tool_.command = {script.string()};
        setServices("An asterisk (*) denotes that a network service is disabled.\n");
    }
    void setServices(const std::string& output) { writeFile(dir_.path() / "services", output); }
    void setServers(const std::string& service, const std::string& output) {
        writeFile(dir_.path() / ("servers-" + hex(service)), output);
    }
    std::string calls() const { return readFile(dir_.path() / "calls"); }
    const NetworkTool& tool() const { return tool_; }

private:
    TempDir dir_;
    NetworkTool tool_;
};

const std::string kHeader =
    "#!/bin/sh\n# Puts the DNS settings back to what they were before Keldra. Written by keldra-proxy.\n";

TEST(DNSSettings, ParsesServicesAndServersAsTheToolPrintsThem) {
    FakeTool fake;
    fake.setServices("An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n*Bluetooth PAN\n\n Ethernet \n");
    fake.setServers("Wi-Fi", "8.8.8.8\n\n1.1.1.1\n");
    EXPECT_EQ(DNSSettings::services(fake.tool()), (std::vector<std::string>{"Wi-Fi", " Ethernet "}));
    EXPECT_EQ(DNSSettings::servers(fake.tool(), "Wi-Fi"), (std::vector<std::string>{"8.8.8.8", "1.1.1.1"}));
    EXPECT_EQ(DNSSettings::servers(fake.tool(), " Ethernet "), std::vector<std::string>{});

    // Output that is not UTF-8, and a tool that cannot start, read as nothing.
    fake.setServers("Wi-Fi", "8.8.8.8\n\xff\xfe\n");
    EXPECT_FALSE(DNSSettings::servers(fake.tool(), "Wi-Fi"));
    EXPECT_FALSE(DNSSettings::run(NetworkTool{{"/nonexistent/tool"}}, {"-listallnetworkservices"}));
    EXPECT_TRUE(DNSSettings::services(NetworkTool{{"/nonexistent/tool"}}).empty());
}

TEST(DNSSettings, RestoreScriptQuotesServiceNamesAndServers) {
    DNSRecord record = {{"Mac's Wi-Fi", {"192.168.1.1", "fe80::1'; rm -rf /; '"}}, {"Ethernet", {}}};
    EXPECT_EQ(DNSSettings::restoreScript(NetworkTool{{"/usr/sbin/networksetup"}}, record),
              kHeader +
                  "/usr/sbin/networksetup -setdnsservers 'Ethernet' Empty\n"
                  "/usr/sbin/networksetup -setdnsservers 'Mac'\\''s Wi-Fi' '192.168.1.1' "
                  "'fe80::1'\\''; rm -rf /; '\\'''\n");
    EXPECT_EQ(DNSSettings::restoreScript(NetworkTool{{"/opt/my tools/ns", "--resolv-conf", "/tmp/r"}}, {{"a", {}}}),
              kHeader + "'/opt/my tools/ns' --resolv-conf /tmp/r -setdnsservers 'a' Empty\n");
}

TEST(DNSSettings, AssertRecordsOnceAndPointsEveryServiceHere) {
    TempDir data;
    const fs::path record = data.path() / "dns-before.json";
    FakeTool fake;
    fake.setServices("An asterisk (*) denotes that a network service is disabled.\nMac's Wi-Fi\nEthernet\nUSB\n*Off\n");
    fake.setServers("Mac's Wi-Fi", "127.0.0.1\n8.8.8.8\n");
    fake.setServers("USB", "127.0.0.1\n");

    EXPECT_FALSE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(fake.calls(), "Mac's Wi-Fi\nEthernet\n");
    const auto json = nlohmann::json::parse(readFile(record));
    EXPECT_EQ(json, nlohmann::json({{"Mac's Wi-Fi", {"127.0.0.1", "8.8.8.8"}}, {"Ethernet", nlohmann::json::array()}}));
    const std::string script = readFile(data.path() / "dns-restore.sh");
    EXPECT_EQ(script, DNSSettings::restoreScript(fake.tool(), {{"Mac's Wi-Fi", {"127.0.0.1", "8.8.8.8"}},
                                                               {"Ethernet", {}}}));
    EXPECT_NE(script.find("'Mac'\\''s Wi-Fi'"), std::string::npos);

    // Everything points here now: nothing to change, same files.
    EXPECT_TRUE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(nlohmann::json::parse(readFile(record)), json);
    EXPECT_EQ(readFile(data.path() / "dns-restore.sh"), script);
    EXPECT_EQ(fake.calls(), "Mac's Wi-Fi\nEthernet\n");

    // A user re-points a service: it is pointed back, the record keeps the
    // servers from before the first change.
    fake.setServers("Ethernet", "9.9.9.9\n");
    EXPECT_FALSE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(nlohmann::json::parse(readFile(record)), json);
    EXPECT_EQ(fake.calls(), "Mac's Wi-Fi\nEthernet\nEthernet\n");
}

TEST(DNSSettings, NoServicesWritesAnEmptyRecordAndAHeaderOnlyScript) {
    TempDir data;
    const fs::path record = data.path() / "dns-before.json";
    EXPECT_TRUE(DNSSettings::assertServers(record, NetworkTool{{"/nonexistent/tool"}}));
    EXPECT_EQ(readFile(record), "{}");
    EXPECT_EQ(readFile(data.path() / "dns-restore.sh"), kHeader);
}

TEST(DNSSettings, TheRecordOfTheOriginalServersIsNeverLost) {
    TempDir data;
    const fs::path record = data.path() / "dns-before.json";
    FakeTool fake;
    fake.setServices("An asterisk (*) denotes that a network service is disabled.\nWi-Fi\nEthernet\n");
    fake.setServers("Wi-Fi", "10.0.0.1\n");
    // Servers that cannot be read: the service is neither recorded as having
    // none nor re-pointed this round.
    fake.setServers("Ethernet", "\xc3\x28\n");

    // A record that cannot be decoded is moved aside, not overwritten.
    writeFile(record, "{\"Wi-Fi\": [\"192.168.1.1\"");
    EXPECT_FALSE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(readFile(data.path() / "dns-before.json.bad"), "{\"Wi-Fi\": [\"192.168.1.1\"");
    EXPECT_EQ(nlohmann::json::parse(readFile(record)), nlohmann::json({{"Wi-Fi", {"10.0.0.1"}}}));
    EXPECT_EQ(fake.calls(), "Wi-Fi\n");

    // A second bad record does not replace the first one set aside.
    writeFile(record, "[1, 2]");
    std::vector<std::string> lines;
    DNSSettings::assertServers(record, fake.tool(), [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines, std::vector<std::string>{"the record of the DNS servers in " + record.string() +
                                              " cannot be used (not an object of server lists); moved it aside to "
                                              "dns-before.json.bad.1"});
    EXPECT_EQ(readFile(data.path() / "dns-before.json.bad"), "{\"Wi-Fi\": [\"192.168.1.1\"");
    EXPECT_EQ(readFile(data.path() / "dns-before.json.bad.1"), "[1, 2]");

    // Once readable, the service is recorded and pointed here.
    fake.setServers("Ethernet", "10.0.0.2\n");
    EXPECT_FALSE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(nlohmann::json::parse(readFile(record))["Ethernet"], nlohmann::json({"10.0.0.2"}));
}

TEST(DNSSettings, RecordIsWrittenBeforeAnyServiceChangesAndSkippedChangesWhenItCannotBe) {
    TempDir data;
    FakeTool fake;
    fake.setServices("An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n");
    fake.setServers("Wi-Fi", "10.0.0.1\n");
    // The record's folder is a plain file: nothing can be written there.
    writeFile(data.path() / "plain", "");
    const fs::path record = data.path() / "plain" / "dns-before.json";
    EXPECT_FALSE(DNSSettings::assertServers(record, fake.tool()));
    EXPECT_EQ(fake.calls(), "");
    EXPECT_EQ(DNSSettings::servers(fake.tool(), "Wi-Fi"), std::vector<std::string>{"10.0.0.1"});
}

// The platform tool of this system, over a resolver file of the test's own.
class ResolverTool : public ::testing::Test {
protected:
    void SetUp() override {
        resolver = dir.path() / "resolv.conf";
        tool.command = {KELDRA_NETWORKSETUP_PATH, "--resolv-conf", resolver.string()};
    }
    TempDir dir;
    fs::path resolver;
    NetworkTool tool;
};

TEST_F(ResolverTool, AnswersTheThreeFormsOverTheResolverFile) {
    const std::string original = "# managed by hand\nsearch example.net\nnameserver 192.168.1.1\noptions edns0\n"
                                 "nameserver 2001:db8::53 # second\n";
    writeFile(resolver, original);
    EXPECT_EQ(DNSSettings::services(tool), std::vector<std::string>{brivet::kResolverServiceName});
    EXPECT_EQ(DNSSettings::servers(tool, "resolv.conf"),
              (std::vector<std::string>{"192.168.1.1", "2001:db8::53"}));

    EXPECT_TRUE(DNSSettings::run(tool, {"-setdnsservers", "resolv.conf", "127.0.0.1"}));
    EXPECT_EQ(readFile(resolver), "# managed by hand\nsearch example.net\nnameserver 127.0.0.1\noptions edns0\n");
    EXPECT_EQ(modeOf(resolver), 0644u);

    EXPECT_TRUE(DNSSettings::run(tool, {"-setdnsservers", "resolv.conf", "Empty"}));
    EXPECT_EQ(DNSSettings::servers(tool, "resolv.conf"), std::vector<std::string>{});
    EXPECT_NE(DNSSettings::run(tool, {"-getdnsservers", "resolv.conf"})->find("There aren't any DNS Servers"),
              std::string::npos);

    // Only address literals reach the file; nothing changes otherwise.
    const std::string before = readFile(resolver);
    EXPECT_FALSE(DNSSettings::run(tool, {"-setdnsservers", "resolv.conf", "1.1.1.1\nnameserver 6.6.6.6"}));
    EXPECT_FALSE(DNSSettings::run(tool, {"-setdnsservers", "Wi-Fi", "1.1.1.1"}));
    EXPECT_EQ(readFile(resolver), before);
}

TEST_F(ResolverTool, AssertPointsTheResolverHereAndTheScriptPutsItBack) {
    const std::string original = "search lan\nnameserver 10.1.2.3\nnameserver 10.1.2.4\n";
    writeFile(resolver, original);
    const fs::path record = dir.path() / "dns-before.json";

    EXPECT_FALSE(DNSSettings::assertServers(record, tool));
    EXPECT_EQ(readFile(resolver), "search lan\nnameserver 127.0.0.1\n");
    EXPECT_TRUE(DNSSettings::assertServers(record, tool));

    const std::string command = "/bin/sh '" + (dir.path() / "dns-restore.sh").string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(resolver), original);
}

TEST_F(ResolverTool, AResolverWithoutServersIsRestoredEmptyAndALinkIsFollowed) {
    const fs::path real = dir.path() / "real-resolv.conf";
    writeFile(real, "options rotate\n");
    fs::create_symlink(real, resolver);
    const fs::path record = dir.path() / "dns-before.json";

    EXPECT_FALSE(DNSSettings::assertServers(record, tool));
    EXPECT_TRUE(fs::is_symlink(resolver));
    EXPECT_EQ(readFile(real), "options rotate\nnameserver 127.0.0.1\n");
    EXPECT_NE(readFile(dir.path() / "dns-restore.sh").find("-setdnsservers 'resolv.conf' Empty\n"), std::string::npos);

    const int status = std::system(("/bin/sh '" + (dir.path() / "dns-restore.sh").string() + "'").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(real), "options rotate\n");
}

}  // namespace

#include "keldra-proxy/Options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

using brivet::Options;
using brivet::OptionsExit;
using brivet::parseListenAddress;
using Args = std::vector<std::string>;

namespace {

int exitStatus(const Args& args, std::string* out = nullptr, std::string* err = nullptr) {
    try {
        Options::parse(args);
    } catch (const OptionsExit& exit) {
        if (out) *out = exit.standardOutput;
        if (err) *err = exit.standardError;
        return exit.status;
    }
    return -1;
}

TEST(Options, NoArgumentsGiveTheDefaults) {
    const Options o = Options::parse({});
    EXPECT_FALSE(o.env);
    EXPECT_EQ(o.listen, "127.0.0.1:5354");
    EXPECT_FALSE(o.upstreams);
    EXPECT_FALSE(o.enroll);
    EXPECT_FALSE(o.once);
    EXPECT_EQ(o.interval, 60.0);
    EXPECT_FALSE(o.assertDNS);
    EXPECT_FALSE(o.status);
    EXPECT_FALSE(o.name.empty());
    EXPECT_TRUE(o.dir.ends_with("/Keldra Dev Proxy"));
    EXPECT_EQ(o.dir.find("Library"), std::string::npos);
    EXPECT_NE(o.dir.front(), '~');
}

TEST(Options, DefaultDirectoryIsInTheUsersDataFolder) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string before = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/srv/data-home", 1);
    EXPECT_EQ(Options::defaultDirectory(), "/srv/data-home/Keldra Dev Proxy");
    ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_TRUE(Options::defaultDirectory().ends_with("/.local/share/Keldra Dev Proxy"));
    if (saved) ::setenv("XDG_DATA_HOME", before.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
}

TEST(Options, FlagsTakeTheNextArgumentWhateverItIsAndTheLastValueWins) {
    const Options o = Options::parse({"--env", "--once", "--dir", "~/x", "--listen", "nonsense", "--enroll", "C1",
                                      "--enroll", "C2", "--name", "Box", "--assert-dns", "--status", "s.json"});
    EXPECT_EQ(o.env, "--once");
    EXPECT_FALSE(o.once);
    EXPECT_EQ(o.dir, "~/x");  // no tilde expansion for --dir
    EXPECT_EQ(o.listen, "nonsense");
    EXPECT_EQ(o.enroll, "C2");
    EXPECT_EQ(o.name, "Box");
    EXPECT_TRUE(o.assertDNS);
    EXPECT_EQ(o.status, "s.json");

    // A value flag at the end takes the empty string: present, not absent.
    EXPECT_EQ(Options::parse({"--status"}).status, "");
    EXPECT_EQ(Options::parse({"--env"}).env, "");
    EXPECT_EQ(Options::parse({"--upstream"}).upstreams, std::vector<std::string>{});
    EXPECT_EQ(Options::parse({"--interval"}).interval, 60.0);
}

TEST(Options, HelpAndUnknownArgumentsEndTheProcessInTheOrderMet) {
    std::string out, err;
    EXPECT_EQ(exitStatus({"--once", "-h"}, &out, &err), 0);
    EXPECT_EQ(out, std::string(brivet::kUsageLine) + "\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(exitStatus({"--help"}), 0);

    EXPECT_EQ(exitStatus({"--once", "--bogus", "-h"}, &out, &err), 2);
    EXPECT_EQ(err, "unknown argument --bogus\n");
    EXPECT_EQ(out, "");
    // Exact, case-sensitive flags; no flag=value form.
    EXPECT_EQ(exitStatus({"--ONCE"}), 2);
    EXPECT_EQ(exitStatus({"--env=x"}, nullptr, &err), 2);
    EXPECT_EQ(err, "unknown argument --env=x\n");
}

TEST(Options, UpstreamListsDropEmptyPiecesAndKeepBlankOnes) {
    EXPECT_EQ(Options::parse({"--upstream", "9.9.9.9 ,,1.0.0.1"}).upstreams,
              (std::vector<std::string>{"9.9.9.9", "1.0.0.1"}));
    EXPECT_EQ(Options::parse({"--upstream", "a, ,b"}).upstreams, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Options::parseUpstreams(",\t1.1.1.1\t,"), std::vector<std::string>{"1.1.1.1"});
}

TEST(Options, IntervalReadsWholeNumbersAndFallsBackToSixty) {
    EXPECT_EQ(Options::parseInterval("30"), 30.0);
    EXPECT_EQ(Options::parseInterval("1e1"), 10.0);
    EXPECT_EQ(Options::parseInterval("+2.5"), 2.5);
    EXPECT_EQ(Options::parseInterval("0"), 0.0);
    for (const char* bad : {"abc", "30s", " 30", "\t30", "", "30 "}) {
        EXPECT_EQ(Options::parseInterval(bad), 60.0) << bad;
    }
    EXPECT_EQ(Options::parseInterval(std::string("3\0" "0", 3)), 60.0);
    // Values the loop cannot sleep for fall back too.
    for (const char* unsleepable : {"-1", "-0.5", "inf", "nan", "1e300", "18446744074"}) {
        EXPECT_EQ(Options::parseInterval(unsleepable), 60.0) << unsleepable;
    }
    EXPECT_EQ(Options::parseInterval("18446744073"), 18446744073.0);
}

TEST(ListenAddress, NeedsHostAndANonZeroSixteenBitPort) {
    EXPECT_EQ(parseListenAddress("127.0.0.1:5354"), (brivet::ListenAddress{"127.0.0.1", 5354}));
    EXPECT_EQ(parseListenAddress("localhost:53"), (brivet::ListenAddress{"localhost", 53}));
    EXPECT_EQ(parseListenAddress("::127.0.0.1:53"), (brivet::ListenAddress{"127.0.0.1", 53}));
    EXPECT_EQ(parseListenAddress("127.0.0.1:65535")->port, 65535);
    for (const char* bad : {"127.0.0.1", ":53", "127.0.0.1:70000", "[::1]:53", "nonsense", "127.0.0.1:0",
                            "127.0.0.1:5x", "127.0.0.1:-1", "a:1:2", ""}) {
        EXPECT_FALSE(parseListenAddress(bad)) << bad;
    }
}

}  // namespace

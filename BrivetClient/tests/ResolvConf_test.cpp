#include "BrivetClient/ResolvConf.h"

#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

namespace ResolvConf = brivet::ResolvConf;
namespace fs = std::filesystem;
using V = std::vector<std::string>;

namespace {

struct TempFile {
    fs::path path;
    explicit TempFile(const std::string& text) {
        char tmpl[] = "/tmp/keldra-resolv-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        ::close(fd);
        path = tmpl;
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() { fs::remove(path); }
};

}  // namespace

TEST(ResolvConf, ParsesNameserverLines) {
    EXPECT_EQ(ResolvConf::nameservers("nameserver 192.168.1.1 # home router\n"), V{"192.168.1.1"});
    EXPECT_EQ(ResolvConf::nameservers(";nameserver 192.168.1.1\n"), V{});
    EXPECT_EQ(ResolvConf::nameservers("Nameserver 1.1.1.1\nnameserver\nnameserver#1.1.1.1\n"), V{});
    EXPECT_EQ(ResolvConf::nameservers("nameserver dns.example.com\nsearch lan\n"), V{});
    EXPECT_EQ(ResolvConf::nameservers("nameserver 9.9.9.9\nnameserver 1.1.1.1\nnameserver 9.9.9.9 extra\n"),
              (V{"9.9.9.9", "1.1.1.1"}));
    EXPECT_EQ(ResolvConf::nameservers("nameserver 9.9.9.9\r\nnameserver 1.1.1.1\r\n"), (V{"9.9.9.9", "1.1.1.1"}));
    EXPECT_EQ(ResolvConf::nameservers("\t nameserver\t\t2001:db8::1%eth0  \n"), V{"2001:db8::1%eth0"});
    // Every Unicode line break ends a line; Unicode spaces separate fields.
    EXPECT_EQ(ResolvConf::nameservers("nameserver 1.1.1.1\u2028nameserver 2.2.2.2\u0085nameserver\u00A03.3.3.3"
                                      "\vnameserver 4.4.4.4\fnameserver 5.5.5.5\rnameserver 6.6.6.6"),
              (V{"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4", "5.5.5.5", "6.6.6.6"}));
    EXPECT_EQ(ResolvConf::nameservers("options ndots:1\nnameserver ::1; comment"), V{"::1"});
}

TEST(ResolvConf, RecognisesEverySpellingOfThisMachine) {
    for (const char* local : {"127.0.0.1", "127.1.2.3", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1", "0.0.0.0", "::",
                              "0:0::0", "::ffff:0.0.0.0", "[::1]", "::1%lo", "0177.0.0.1", "+127.0.0.1", "0127.0.0.1",
                              "000.000.000.000", "0::1", "::FFFF:7F00:1", "0.1.2.3"}) {
        EXPECT_TRUE(ResolvConf::pointsAtThisMachine(local)) << local;
    }
    for (const char* remote : {"192.168.1.1", "10.0.0.53", "2001:db8::1", "fe80::1%en0", "::ffff:8.8.8.8", "1.1.1.1",
                               "128.0.0.1", "cafe:babe"}) {
        EXPECT_FALSE(ResolvConf::pointsAtThisMachine(remote)) << remote;
    }
}

TEST(ResolvConf, SystemNameserversDropThisMachineOrFallBack) {
    const V fallback = {"9.9.9.9", "149.112.112.112"};
    {
        TempFile f("nameserver 127.0.0.53\nnameserver 192.168.1.1\nnameserver ::1\nnameserver 2001:db8::53\n");
        EXPECT_EQ(ResolvConf::systemNameservers(fallback, f.path), (V{"192.168.1.1", "2001:db8::53"}));
    }
    {
        TempFile f("nameserver 127.0.0.1\nnameserver ::1\nnameserver 0:0:0:0:0:0:0:1\nnameserver ::ffff:127.0.0.1\n"
                   "nameserver 0.0.0.0\nnameserver ::\n");
        EXPECT_EQ(ResolvConf::systemNameservers(fallback, f.path), fallback);
    }
    {
        TempFile f("search lan\n");
        EXPECT_EQ(ResolvConf::systemNameservers(fallback, f.path), fallback);
    }
    {
        TempFile f("nameserver 192.168.1.1\n# \xFF\xFE\n");
        EXPECT_EQ(ResolvConf::systemNameservers(fallback, f.path), fallback);
    }
    EXPECT_EQ(ResolvConf::systemNameservers(fallback, "/nonexistent/keldra/resolv.conf"), fallback);
    EXPECT_EQ(ResolvConf::systemNameservers(fallback, "/tmp"), fallback);
    EXPECT_EQ(ResolvConf::path, "/etc/resolv.conf");
}

#include "keldra-filter/ServerName.h"

#include <gtest/gtest.h>

#include "PacketBuilders.h"

namespace keldra::filter {
namespace {

using namespace keldra::filter::test;

ServerNameResult readBytes(const Bytes& bytes) { return ServerName::read(std::span<const std::uint8_t>(bytes)); }

TEST(ServerNameTLS, FindsTheNameWhateverTheExtensionOrder) {
    const Bytes versions = extension(0x002b, {0x02, 0x03, 0x04});
    const Bytes alpn = extension(0x0010, {0x00, 0x03, 0x02, 'h', '2'});
    const Bytes sni = serverNameExtension("Ads.Example.com");
    for (const auto& order : std::vector<std::vector<Bytes>>{{sni, versions, alpn}, {versions, alpn, sni},
                                                             {alpn, sni, versions}}) {
        EXPECT_EQ(readBytes(clientHello(order)), ServerNameResult::found("Ads.Example.com"));
    }
    EXPECT_EQ(readBytes(clientHello({versions, alpn})), ServerNameResult::none());
}

TEST(ServerNameTLS, WaitsForTheWholeFirstRecordUpTo16KiB) {
    const Bytes hello = clientHelloFor("late.example.com", 15000);
    ASSERT_GT(hello.size(), 15000u);
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5}, std::size_t{1400},
                            hello.size() - 1}) {
        EXPECT_EQ(ServerName::read(std::span<const std::uint8_t>(hello).first(cut)), ServerNameResult::needMore())
            << cut;
    }
    EXPECT_EQ(readBytes(hello), ServerNameResult::found("late.example.com"));
    // Bytes after the first record change nothing.
    Bytes more = hello;
    append(more, Bytes(100, 0x17));
    EXPECT_EQ(readBytes(more), ServerNameResult::found("late.example.com"));
}

TEST(ServerNameTLS, MalformedRecordsHaveNoName) {
    Bytes hello = clientHelloFor("x.example");
    Bytes oversized = hello;
    oversized[3] = 0x40;  // a record length of 16 KiB + more
    oversized[4] = 0x01;
    EXPECT_EQ(readBytes(oversized), ServerNameResult::none());
    Bytes notHello = hello;
    notHello[5] = 0x02;  // ServerHello
    EXPECT_EQ(readBytes(notHello), ServerNameResult::none());
    EXPECT_EQ(readBytes({0x16, 0x02}), ServerNameResult::none());
    EXPECT_EQ(readBytes({0x16, 0x03, 0x01, 0x00, 0x00}), ServerNameResult::none());
    // An extension whose length runs past the record.
    Bytes cut = clientHello({serverNameExtension("y.example")});
    cut[cut.size() - 12] = 0xff;
    EXPECT_NE(readBytes(cut).kind, ServerNameResult::Kind::found);
    // A name with a control character or a blank is no name.
    EXPECT_EQ(readBytes(clientHelloFor("a\nb.example")), ServerNameResult::none());
    EXPECT_EQ(readBytes(clientHelloFor("")), ServerNameResult::none());
}

TEST(ServerNameHTTP, ReadsTheHostHeader) {
    EXPECT_EQ(ServerName::read("GET / HTTP/1.1\r\nHost: ads.example.com\r\n\r\n"),
              ServerNameResult::found("ads.example.com"));
    EXPECT_EQ(ServerName::read("POST /a HTTP/1.0\r\nAccept: */*\r\nhOST:\t x.test:8080 \r\n\r\n"),
              ServerNameResult::found("x.test"));
    EXPECT_EQ(ServerName::read("GET / HTTP/1.1\nHost: [2001:db8::1]:80\n\n"), ServerNameResult::found("[2001:db8::1]"));
    EXPECT_EQ(ServerName::read("GET / HTTP/1.1\r\nX-Host: a.test\r\n\r\n"), ServerNameResult::none());
    EXPECT_EQ(ServerName::read("GET / HTTP/1.1\r\nHost: \r\n\r\n"), ServerNameResult::none());
}

TEST(ServerNameHTTP, WaitsForTheHeaderLineAndGivesUpOnOtherProtocols) {
    EXPECT_EQ(ServerName::read(""), ServerNameResult::needMore());
    EXPECT_EQ(ServerName::read("GE"), ServerNameResult::needMore());
    EXPECT_EQ(ServerName::read("GET / HTTP/1.1\r\nHost: ads.exa"), ServerNameResult::needMore());
    EXPECT_EQ(ServerName::read("SSH-2.0-OpenSSH\r\n"), ServerNameResult::none());
    EXPECT_EQ(ServerName::read("get / HTTP/1.1\r\nHost: a\r\n\r\n"), ServerNameResult::none());
    EXPECT_EQ(ServerName::read("GET /\r\n"), ServerNameResult::none());  // HTTP/0.9
    EXPECT_EQ(ServerName::read("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), ServerNameResult::none());
    // A head that goes on past 16 KiB without a Host line is given up.
    std::string head = "GET / HTTP/1.1\r\nX-Pad: " + std::string(ServerName::maxHTTPHead, 'a');
    EXPECT_EQ(ServerName::read(head), ServerNameResult::none());
}

}  // namespace
}  // namespace keldra::filter

#include "BrivetClient/DNSMessage.h"

#include <gtest/gtest.h>

using brivet::DNSQuestion;
using brivet::HostDecision;
using brivet::RuleSet;
namespace DNSMessage = brivet::DNSMessage;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

// A query with the given header bytes 2-3, counts and name labels.
Bytes query(const std::vector<std::string>& labels, std::uint8_t flags = 0x01, std::uint16_t qdcount = 1,
            std::uint16_t qtype = 1, std::uint16_t qclass = 1) {
    Bytes m = {0x12, 0x34, flags, 0x00, static_cast<std::uint8_t>(qdcount >> 8), static_cast<std::uint8_t>(qdcount),
               0, 0, 0, 0, 0, 0};
    for (const auto& l : labels) {
        m.push_back(static_cast<std::uint8_t>(l.size()));
        m.insert(m.end(), l.begin(), l.end());
    }
    m.push_back(0);
    m.push_back(static_cast<std::uint8_t>(qtype >> 8));
    m.push_back(static_cast<std::uint8_t>(qtype));
    m.push_back(static_cast<std::uint8_t>(qclass >> 8));
    m.push_back(static_cast<std::uint8_t>(qclass));
    return m;
}

const char* kAcceptanceQuery =
    "BEEF 0100 0001 0000 0000 0001 03 616473 07 6578616d706c65 03 636f6d 00 0001 0001"
    // OPT record: root name, type 41, UDP size 4096, no extended flags, no data.
    "00 0029 1000 00 00 0000 0000";

}  // namespace

TEST(DNSMessage, AcceptanceQueryAndAnswerBytes) {
    const Bytes q = fromHex(kAcceptanceQuery);
    EXPECT_EQ(DNSMessage::question(q), DNSQuestion("ads.example.com", 1, 1));
    EXPECT_EQ(DNSMessage::questionSectionEnd(q), std::optional<std::size_t>(33));
    EXPECT_EQ(DNSMessage::nxdomainResponse(q),
              fromHex("BEEF 8183 0001 0000 0000 0000 03616473076578616D706C6503636F6D00 0001 0001"));
    const std::string asText(q.begin(), q.end());
    EXPECT_EQ(DNSMessage::question(asText), DNSQuestion("ads.example.com", 1, 1));
    EXPECT_EQ(DNSMessage::nxdomainResponse(asText), DNSMessage::nxdomainResponse(q));
}

TEST(DNSMessage, HeaderChecks) {
    EXPECT_FALSE(DNSMessage::question(Bytes{}));
    const Bytes header = fromHex("1234 0100 0001 0000 0000 0000");
    EXPECT_FALSE(DNSMessage::question(header));
    EXPECT_FALSE(DNSMessage::questionSectionEnd(header));
    EXPECT_FALSE(DNSMessage::nxdomainResponse(header));

    const Bytes root = query({});
    ASSERT_EQ(root.size(), 17u);
    EXPECT_EQ(DNSMessage::question(root), DNSQuestion("", 1, 1));
    EXPECT_EQ(DNSMessage::questionSectionEnd(root), std::optional<std::size_t>(17));

    EXPECT_FALSE(DNSMessage::question(query({"a", "example"}, 0x81)));          // a response
    EXPECT_FALSE(DNSMessage::question(query({"a", "example"}, 0x01, 0)));       // QDCOUNT 0
    EXPECT_TRUE(DNSMessage::question(query({"a", "example"}, 0x01, 0x0100)));  // only the high byte set
    // The opcode is not looked at.
    EXPECT_TRUE(DNSMessage::question(query({"a"}, 0x78)));
}

TEST(DNSMessage, LabelRules) {
    EXPECT_TRUE(DNSMessage::question(query({std::string(63, 'x')})));
    EXPECT_FALSE(DNSMessage::question(query({std::string(64, 'x')})));

    // Compression pointers and the reserved label types are refused.
    Bytes pointer = fromHex("1234 0100 0001 0000 0000 0000 C00C 0001 0001");
    EXPECT_FALSE(DNSMessage::question(pointer));
    pointer[12] = 0x40;
    EXPECT_FALSE(DNSMessage::question(pointer));
    pointer[12] = 0x80;
    EXPECT_FALSE(DNSMessage::question(pointer));

    EXPECT_EQ(DNSMessage::question(query(std::vector<std::string>(127, "a")))->name.size(), 253u);
    EXPECT_FALSE(DNSMessage::question(query(std::vector<std::string>(128, "a"))));

    EXPECT_FALSE(DNSMessage::question(query({"\xFF\xFE"})));
    EXPECT_FALSE(DNSMessage::question(query({"\xC0\x80"})));          // overlong NUL
    EXPECT_FALSE(DNSMessage::question(query({"\xED\xA0\x80"})));      // surrogate
    EXPECT_EQ(DNSMessage::question(query({"caf\xC3\xA9", "fr"}))->name, "caf\u00E9.fr");
    EXPECT_EQ(DNSMessage::question(query({"Mixed", "CASE", "Text"}))->name, "Mixed.CASE.Text");
    // A dot inside a label is taken as it is.
    EXPECT_EQ(DNSMessage::question(query({"a.b", "c"}))->name, "a.b.c");
}

TEST(DNSMessage, TruncatedMessagesYieldNothing) {
    const Bytes full = query({"ads", "example", "com"}, 0x01, 1, 28, 1);
    EXPECT_EQ(DNSMessage::question(full), DNSQuestion("ads.example.com", 28, 1));
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(DNSMessage::question(cut)) << n;
        EXPECT_FALSE(DNSMessage::nxdomainResponse(cut)) << n;
    }
    // A label that ends exactly at the end of the message.
    EXPECT_FALSE(DNSMessage::question(fromHex("1234 0100 0001 0000 0000 0000 03 616263")));
    // A label length running past the end.
    EXPECT_FALSE(DNSMessage::question(fromHex("1234 0100 0001 0000 0000 0000 3F 616263 00 0001 0001")));
}

TEST(DNSMessage, LargestMessages) {
    // 127 labels of 63 bytes (a name far beyond the usual limit), then
    // padding up to the largest message size.
    Bytes big = query(std::vector<std::string>(127, std::string(63, 'z')));
    const std::size_t end = big.size();
    big.resize(65535, 0xC0);
    const auto q = DNSMessage::question(big);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->name.size(), 127u * 64 - 1);
    EXPECT_EQ(DNSMessage::nxdomainResponse(big)->size(), end);

    // A header followed only by length bytes that run past the end.
    Bytes lengths(65535, 0x3F);
    lengths[2] = 0;
    EXPECT_FALSE(DNSMessage::question(lengths));
}

TEST(DNSMessage, NxdomainKeepsOnlyTheFirstQuestion) {
    Bytes two = query({"a", "example"}, 0x01, 2);
    const std::size_t firstEnd = two.size();
    const Bytes second = query({"b", "example"});
    two.insert(two.end(), second.begin() + 12, second.end());
    const auto answer = DNSMessage::nxdomainResponse(two);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), firstEnd);
    EXPECT_EQ((*answer)[5], 1);
    EXPECT_EQ(DNSMessage::question(two)->name, "a.example");

    // Byte 2: QR set, opcode and RD kept, AA and TC cleared.
    EXPECT_EQ((*DNSMessage::nxdomainResponse(query({"a"}, 0x01)))[2], 0x81);
    EXPECT_EQ((*DNSMessage::nxdomainResponse(query({"a"}, 0x7F)))[2], 0xF9);
    EXPECT_EQ((*DNSMessage::nxdomainResponse(query({"a"}, 0x00)))[3], 0x83);
}

TEST(DNSMessage, DecisionByClass) {
    const RuleSet rules({"ads"}, {}, {}, {{"ads", 1, {{"domain_suffix", "example.com"}}}});
    EXPECT_EQ(DNSMessage::decision(DNSQuestion("x.Example.com", 1, 1), rules), HostDecision::block("ads"));
    EXPECT_EQ(DNSMessage::decision(DNSQuestion("x.example.com", 28, 255), rules), HostDecision::block("ads"));
    EXPECT_EQ(DNSMessage::decision(DNSQuestion("x.example.com", 1, 3), rules), HostDecision::pass());
    EXPECT_EQ(DNSMessage::decision(DNSQuestion("other.org", 1, 1), rules), HostDecision::pass());
}

// The library's building blocks: UTF-8, base64url, JSON reading and writing,
// timestamps, curve points and the policy comparison helpers.
#include "TestSigning.h"
#include "ed25519.h"
#include "json.h"
#include "keys.h"
#include "policy.h"
#include "timestamp.h"
#include "utf8.h"

#include <gtest/gtest.h>

#include <string>

using namespace brivet::core;

namespace {

std::string deep(size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

std::string bytesText(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

ed25519::PublicKey keyFromHex(const std::string& hex) {
    ed25519::PublicKey k{};
    for (size_t i = 0; i < 32; ++i) k[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return k;
}

}  // namespace

TEST(Utf8, AcceptsWellFormedAndRefusesMalformed) {
    EXPECT_TRUE(utf8::valid(""));
    EXPECT_TRUE(utf8::valid("plain"));
    EXPECT_TRUE(utf8::valid("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));  // é € 😀
    EXPECT_TRUE(utf8::valid("\xF4\x8F\xBF\xBF"));                      // U+10FFFF
    EXPECT_FALSE(utf8::valid("\xC0\xAF"));                             // overlong "/"
    EXPECT_FALSE(utf8::valid("\xE0\x80\xAF"));                         // overlong three-byte
    EXPECT_FALSE(utf8::valid("\xED\xA0\x80"));                         // surrogate U+D800
    EXPECT_FALSE(utf8::valid("\xF4\x90\x80\x80"));                     // above U+10FFFF
    EXPECT_FALSE(utf8::valid("\xE2\x82"));                             // truncated
    EXPECT_FALSE(utf8::valid("\x80"));                                 // lone continuation
    EXPECT_FALSE(utf8::valid("\xFF"));
}

TEST(Base64url, DecodingRules) {
    EXPECT_EQ(bytesText(*keys::b64_decode("")), "");
    EXPECT_EQ(bytesText(*keys::b64_decode("QQ")), "A");
    EXPECT_EQ(bytesText(*keys::b64_decode("QQ=")), "A");   // fewer "=" than canonical
    EXPECT_EQ(bytesText(*keys::b64_decode("QQ==")), "A");  // canonical
    EXPECT_FALSE(keys::b64_decode("QQ==="));               // one too many
    EXPECT_EQ(bytesText(*keys::b64_decode("QUI")), "AB");
    EXPECT_FALSE(keys::b64_decode("QUI=="));
    EXPECT_FALSE(keys::b64_decode("QUJD="));  // no padding is due at all
    EXPECT_FALSE(keys::b64_decode("="));
    EXPECT_FALSE(keys::b64_decode("Q=Q="));   // "=" inside
    EXPECT_FALSE(keys::b64_decode("Q"));      // a lone character is no byte
    EXPECT_FALSE(keys::b64_decode("QR"));     // unused low bits set
    EXPECT_FALSE(keys::b64_decode("QUJ"));
    EXPECT_FALSE(keys::b64_decode("+/8"));    // standard alphabet refused
    EXPECT_FALSE(keys::b64_decode("QU I"));
    EXPECT_EQ(keys::b64_decode("-_8")->size(), 2u);
}

TEST(Base64url, EncodingRoundTripsWithoutPadding) {
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<uint8_t>(i));
        const std::string text = keys::b64_encode(all);
        EXPECT_EQ(text.find('='), std::string::npos);
        EXPECT_EQ(text, brivet::testing::b64url(all));
        EXPECT_EQ(*keys::b64_decode(text), all);
    }
}

TEST(JsonReader, BlanksBomAndTrailingText) {
    EXPECT_TRUE(json::parse(" \t\r\n{} \n"));
    EXPECT_FALSE(json::parse("{} x"));
    EXPECT_FALSE(json::parse("\xEF\xBB\xBF{}"));
    EXPECT_FALSE(json::parse(" \xEF\xBB\xBF{}"));
    EXPECT_FALSE(json::parse("\f{}"));
    EXPECT_FALSE(json::parse(""));
    EXPECT_FALSE(json::parse("{}{}"));
    EXPECT_FALSE(json::parse("[1,]"));
    EXPECT_FALSE(json::parse("{\"a\":1 /* c */}"));
    EXPECT_FALSE(json::parse(std::string("[\"a\0b\"]", 7)));
    EXPECT_FALSE(json::parse(std::string("{}\0", 3)));
    EXPECT_FALSE(json::parse(std::string("{}\0 x", 5)));
    EXPECT_FALSE(json::parse("[\"\xC0\xAF\"]"));
    EXPECT_FALSE(json::parse("[\"\\ud800\"]"));  // lone surrogate escape
}

TEST(JsonReader, DepthLimitIs128) {
    EXPECT_TRUE(json::parse(deep(128)));
    EXPECT_FALSE(json::parse(deep(129)));
    EXPECT_FALSE(json::parse(deep(100000)));  // no recursion, no stack overflow
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    objects += "1" + std::string(128, '}');
    EXPECT_TRUE(json::parse(objects));
    EXPECT_FALSE(json::parse("[" + objects + "]"));
}

TEST(JsonReader, NumbersKeepTheirKind) {
    auto v = *json::parse("[1, 1.0, -4, 18446744073709551615, 9223372036854775808, 1e2, 100000000000000000000000]");
    EXPECT_TRUE(v[0].is_number_integer());
    EXPECT_TRUE(v[1].is_number_float());
    EXPECT_EQ(*json::int64Of(&v[2]), -4);
    EXPECT_FALSE(json::int64Of(&v[3]));  // above the signed range
    EXPECT_FALSE(json::int64Of(&v[4]));
    EXPECT_FALSE(json::int64Of(&v[5]));  // exponent form is not an integer
    EXPECT_TRUE(v[6].is_number_float());
    EXPECT_FALSE(json::parse("[1e400]"));  // does not fit a double
    EXPECT_FALSE(json::parse("[-1e400]"));
}

TEST(JsonReader, RepeatedKeysKeepLastValueAndAreReported) {
    std::vector<json::Duplicate> dups;
    auto v = *json::parse(R"({"a":1,"b":{"c":[{"x":1,"x":2}]},"a":3})", &dups);
    EXPECT_EQ(v["a"], 3);
    EXPECT_EQ(v["b"]["c"][0]["x"], 2);
    ASSERT_EQ(dups.size(), 2u);
    EXPECT_EQ(dups[0].path, (std::vector<std::string>{"b", "c", "0"}));
    EXPECT_EQ(dups[0].key, "x");
    EXPECT_TRUE(dups[1].path.empty());
    EXPECT_EQ(dups[1].key, "a");
}

TEST(JsonEquality, IntegersAndFractionsDiffer) {
    auto eq = [](const char* a, const char* b) { return json::equal(*json::parse(a), *json::parse(b)); };
    EXPECT_FALSE(eq("1", "1.0"));
    EXPECT_TRUE(eq("1.0", "1.00"));
    EXPECT_TRUE(eq("-3", "-3"));
    EXPECT_TRUE(eq("0", "-0"));
    EXPECT_TRUE(eq(R"({"a":1,"b":[true,null]})", R"({"b":[true,null],"a":1})"));
    EXPECT_FALSE(eq(R"({"a":1})", R"({"a":1,"b":1})"));
    EXPECT_FALSE(eq(R"({"a":[1]})", R"({"a":[1.0]})"));
    EXPECT_FALSE(eq("[1,2]", "[2,1]"));
    EXPECT_FALSE(eq("\"1\"", "1"));
}

TEST(JsonWriter, CompactSortedAndNumbersInTheirKind) {
    auto v = *json::parse(R"({"b":5.0,"a":[1.5,-0.0,1e300,-7],"\u00e9":"\u0001\"\\\n/é","B":null,"ok":true})");
    EXPECT_EQ(json::dump(v), "{\"B\":null,\"a\":[1.5,-0.0,1e+300,-7],\"b\":5.0,\"ok\":true,"
                             "\"\xC3\xA9\":\"\\u0001\\\"\\\\\\n/\xC3\xA9\"}");
    // What is written reads back to equal values.
    auto again = json::parse(json::dump(*json::parse("[0.1,123456789.125,18446744073709551615,-9223372036854775808]")));
    EXPECT_EQ(json::dump(*again), "[0.1,123456789.125,18446744073709551615,-9223372036854775808]");
    // A double stays a double and an integer an integer, also once read back.
    const char* kinds = "[1.0,-0.0,1e2,1e22,0.0,9007199254740993,18446744073709551615,-1,1.5e-7]";
    const std::string written = json::dump(*json::parse(kinds));
    EXPECT_EQ(written, "[1.0,-0.0,100.0,1e+22,0.0,9007199254740993,18446744073709551615,-1,1.5e-07]");
    EXPECT_TRUE(json::equal(*json::parse(written), *json::parse(kinds)));
    EXPECT_EQ(json::dump(*json::parse(written)), written);
}

TEST(Timestamp, ParsesRfc3339AndComparesAsInstants) {
    auto t = [](const char* s) { return timestamp::parse(s); };
    ASSERT_TRUE(t("2030-01-01T00:00:00Z"));
    EXPECT_EQ(*t("2030-01-01T01:00:00+01:00"), *t("2030-01-01T00:00:00Z"));
    EXPECT_LT(*t("2029-12-31T23:00:00Z"), *t("2030-01-01T00:00:00Z"));
    EXPECT_GT(*t("2029-12-31T23:00:00-02:00"), *t("2030-01-01T00:00:00Z"));
    EXPECT_LT(*t("2030-06-01T12:00:00Z"), *t("2030-06-01T12:00:00.5Z"));
    EXPECT_EQ(*t("2030-06-01t12:00:00z"), *t("2030-06-01T12:00:00Z"));
    EXPECT_EQ(t("1970-01-01T00:00:00Z")->seconds, 0);
    EXPECT_EQ(t("1969-12-31T23:59:59.250Z")->seconds, -1);
    EXPECT_EQ(t("1969-12-31T23:59:59.250Z")->nanos, 250000000u);
    EXPECT_EQ(t("2030-06-01T12:00:00.1234567891234Z")->nanos, 123456789u);
    EXPECT_TRUE(t("2024-02-29T00:00:00Z"));
    for (const char* bad : {"2023-02-29T00:00:00Z", "2030-13-01T00:00:00Z", "2030-00-01T00:00:00Z",
                            "2030-01-32T00:00:00Z", "2030-01-01T24:00:00Z", "2030-01-01T00:60:00Z",
                            "2030-12-31T23:59:60Z", "2030-01-01T00:00:00", "2030-01-01 00:00:00Z",
                            "2030-01-01T00:00:00.Z", "2030-01-01T00:00:00+0100", "2030-01-01T00:00:00+24:00",
                            "2030-01-01T00:00:00+01:60", "20300-01-01T00:00:00Z", "2030-1-01T00:00:00Z",
                            "2030-01-01T00:00:00Zx", "+030-01-01T00:00:00Z", "now", ""})
        EXPECT_FALSE(t(bad)) << bad;
}

TEST(Timestamp, FormatsUtcWholeSecondsWithinYearRange) {
    EXPECT_EQ(timestamp::format(*timestamp::parse("2030-06-01T12:00:00.750Z")), "2030-06-01T12:00:00Z");
    EXPECT_EQ(timestamp::format(*timestamp::parse("2030-01-01T01:00:00+01:00")), "2030-01-01T00:00:00Z");
    EXPECT_EQ(timestamp::format(*timestamp::parse("1969-12-31T23:59:59.999Z")), "1969-12-31T23:59:59Z");
    EXPECT_EQ(timestamp::format(*timestamp::parse("0000-01-01T00:00:00Z")), "0000-01-01T00:00:00Z");
    EXPECT_EQ(timestamp::format(*timestamp::parse("9999-12-31T23:59:59Z")), "9999-12-31T23:59:59Z");
    // Offsets can carry an instant out of the writable years.
    const auto low = *timestamp::parse("0000-01-01T00:30:00+01:00");
    const auto high = *timestamp::parse("9999-12-31T23:30:00-01:00");
    EXPECT_FALSE(timestamp::formattable(low));
    EXPECT_FALSE(timestamp::formattable(high));
    EXPECT_EQ(timestamp::format(low), "");
    EXPECT_EQ(timestamp::format(high), "");
}

TEST(EdwardsPoint, RecognisesValidCompressedPoints) {
    // Base point, identity and the order-2 point (y = -1).
    EXPECT_TRUE(ed25519::isValidPoint(keyFromHex("5866666666666666666666666666666666666666666666666666666666666666")));
    auto identity = keyFromHex("0100000000000000000000000000000000000000000000000000000000000000");
    EXPECT_TRUE(ed25519::isValidPoint(identity));
    identity[31] |= 0x80;  // x = 0 has no negative form
    EXPECT_FALSE(ed25519::isValidPoint(identity));
    auto minusOne = keyFromHex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    EXPECT_TRUE(ed25519::isValidPoint(minusOne));
    minusOne[31] |= 0x80;
    EXPECT_FALSE(ed25519::isValidPoint(minusOne));
    // y = 0 is a point; its non-canonical form y = p is refused.
    EXPECT_TRUE(ed25519::isValidPoint(keyFromHex("0000000000000000000000000000000000000000000000000000000000000000")));
    EXPECT_FALSE(ed25519::isValidPoint(keyFromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")));
    EXPECT_FALSE(ed25519::isValidPoint(keyFromHex("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")));
    // y = 2, 7, 8, 11 have no x on the curve; 3 and 9 do (either sign).
    for (uint8_t y : {2, 7, 8, 11}) {
        ed25519::PublicKey k{};
        k[0] = y;
        EXPECT_FALSE(ed25519::isValidPoint(k)) << int(y);
    }
    for (uint8_t y : {3, 9}) {
        ed25519::PublicKey k{};
        k[0] = y;
        EXPECT_TRUE(ed25519::isValidPoint(k)) << int(y);
        k[31] = 0x80;
        EXPECT_TRUE(ed25519::isValidPoint(k)) << int(y);
    }
}

TEST(EdwardsPoint, AgreesWithReferenceDecompression) {
    // Whether y = 0 ... 255 (sign bit clear) decodes, from an independent
    // big-integer computation of RFC 8032's decoding.
    const std::string smallY =
        "1101111001100011101101011111111011010101101110001001101111101111"
        "0101001000010110000011110111000001001110000010011000100111000001"
        "1101010000110101100001110000000011100110000110101010110100010001"
        "1101001011011000011011100110110000010000101011110010001110111011";
    for (size_t y = 0; y < 256; ++y) {
        ed25519::PublicKey k{};
        k[0] = static_cast<uint8_t>(y);
        EXPECT_EQ(ed25519::isValidPoint(k), smallY[y] == '1') << y;
    }
    const std::pair<const char*, bool> random[] = {
    {"52f22665a60c12d289185d950ee8813609166f6b113d178d6c0fd3901ff239a1", false},
    {"a095f20f9395650cf9380b8edb224a6b248a1e924e8fd0ae2e1a9492a3305f18", false},
    {"8cb610900f9e347fae886dc6507795ec745c4c3fcb2eb2c73e14934c867ee057", true},
    {"ba72499bfa121e836b2ac15726ee7d6b0af6ab13c38e92cae0d15057b159987f", false},
    {"94cc7411d717f14579b2aa100fbbb34fa593feaed27248b762e3ab5805f0765a", true},
    {"2b9c1d7e0f37c44921bd3f6564eadf7f142a72668c47e223d16edd8c47b46afc", true},
    {"5baee261f53b26152d263ba83b037cd4962e434801256b885e9c9051f320b0db", false},
    {"83f39ea7adbd0d74e6dec7f3dfaecc8f646566641a7ba2660f3011fc3570291c", false},
    {"57990d1a0091268919f25d9d0612df359d6026a240f4589a5d791f1dd97cfefa", true},
    {"777a7b4f15241abf57bd437ad4b129840534f3f3875c25b08bea06c2874cfaa4", false},
    {"dd17b2d842845de82a5bc539888ac78054a2399ccfc9fcc2da31ce3dd166bdcd", false},
    {"3a33847e5bbb07fd07ca47784231b19af45872ceefb9fc59f4f95d14381a3a78", false},
    {"5516cdf2f8b8657666bef215b9282bfe20072697e777cea7259cd398fa79a8ef", true},
    {"59278c8c210503ccf8b9a61a86bfef236ffcdf31d3df360740364a803dc39653", true},
    {"428b6bd5210fe8bd5ae575a995d0e7846bd3eae080218826868204df70c62e9b", false},
    {"01c6cc262c24799eb91e8e0f53ae84878e7bc8c61be28f0e3f30460ac5198173", true},
    {"8f07c2e4e91071539cf9819b8333b146738288ce7a81f13fb285e0e0f1ed42ec", true},
    {"159bdb381143dc1f740256fe8d6aedea449f210b86b53df01cf829430c2e33ee", false},
    {"4fa04e87c2344a7280ac2d4558cd04fe40090304bb818dfa3083793eef721ba8", true},
    };
    for (const auto& [hex, valid] : random) EXPECT_EQ(ed25519::isValidPoint(keyFromHex(hex)), valid) << hex;
}

TEST(EdwardsPoint, EveryGeneratedPublicKeyIsAPoint) {
    for (int i = 0; i < 200; ++i) {
        auto key = brivet::testing::generateKey("k");
        EXPECT_TRUE(ed25519::isValidPoint(key.pub)) << key.publicB64();
    }
}

TEST(PolicyHelpers, SubsetCountsDuplicatesAndKinds) {
    auto sub = [](const char* a, const char* b) {
        auto x = json::parse(a), y = json::parse(b);
        return policy::subset(&*x, &*y);
    };
    EXPECT_TRUE(sub(R"(["a","b"])", R"(["b","a","c"])"));
    EXPECT_FALSE(sub(R"(["a","b"])", R"(["a"])"));
    EXPECT_FALSE(sub(R"(["a","a"])", R"(["a"])"));
    EXPECT_TRUE(sub(R"(["a","a"])", R"(["a","x","a"])"));
    EXPECT_FALSE(sub("[1]", "[1.0]"));
    EXPECT_TRUE(sub(R"([{"h":"x","k":1}])", R"([{"k":1,"h":"x"}])"));
    EXPECT_TRUE(sub("null", "5"));        // non-arrays are empty lists
    EXPECT_TRUE(sub("{}", "[]"));
    EXPECT_FALSE(sub(R"(["a"])", "\"a\""));
    EXPECT_TRUE(policy::subset(nullptr, nullptr));
}

TEST(PolicyHelpers, OrdinalRanks) {
    auto rank = [](const char* text) {
        auto v = json::parse(text);
        return policy::ordinal(&*v);
    };
    const __int128 max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
    EXPECT_EQ(policy::ordinal(nullptr), 0);
    EXPECT_EQ(rank("null"), 0);
    EXPECT_EQ(rank("7"), 7);
    EXPECT_EQ(rank("-7"), -7);
    EXPECT_EQ(rank("18446744073709551615"), static_cast<__int128>(UINT64_MAX));
    EXPECT_EQ(rank("6.9"), 6);
    EXPECT_EQ(rank("-6.9"), -6);
    EXPECT_EQ(rank("1e300"), max);
    EXPECT_EQ(rank("-1e300"), -max - 1);
    EXPECT_EQ(rank("\"b8\""), max);
    EXPECT_EQ(rank("true"), max);
    EXPECT_EQ(rank("[]"), max);
}

TEST(PolicyHelpers, CommittedNeedsKindAndTextId) {
    auto committed = [](const char* text) { return policy::committed(*json::parse(text)); };
    EXPECT_TRUE(committed(R"({"kind":"commitment","commitment_id":"c1"})"));
    EXPECT_TRUE(committed(R"({"kind":"commitment","commitment_id":""})"));
    EXPECT_FALSE(committed(R"({"kind":"commitment"})"));
    EXPECT_FALSE(committed(R"({"kind":"commitment","commitment_id":7})"));
    EXPECT_FALSE(committed(R"({"kind":"blocking_only","commitment_id":"c1"})"));
}

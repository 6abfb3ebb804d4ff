#include "BrivetClient/JSONCoding.h"

#include <gtest/gtest.h>

using namespace brivet;
using namespace brivet::JSONCoding;

TEST(JSONCoding, KeyConversionBothWays) {
    EXPECT_EQ(toSnakeCase("policySeq"), "policy_seq");
    EXPECT_EQ(toSnakeCase("acknowledgedPolicySeq"), "acknowledged_policy_seq");
    EXPECT_EQ(toSnakeCase("myURLValue"), "my_url_value");
    EXPECT_EQ(toSnakeCase("myURL"), "my_url");
    EXPECT_EQ(toSnakeCase("type"), "type");
    EXPECT_EQ(toSnakeCase("already_snake"), "already_snake");
    EXPECT_EQ(toSnakeCase("_oneTwo_"), "_one_two_");
    EXPECT_EQ(toSnakeCase(""), "");

    EXPECT_EQ(toCamelCase("policy_seq"), "policySeq");
    EXPECT_EQ(toCamelCase("policySeq"), "policySeq");  // no underscore: unchanged
    EXPECT_EQ(toCamelCase("__one_two__"), "__oneTwo__");
    EXPECT_EQ(toCamelCase("a__b"), "aB");
    EXPECT_EQ(toCamelCase("_"), "_");
    EXPECT_EQ(toCamelCase(""), "");
}

TEST(JSONCoding, ConvertsNestedKeysAndKeepsOrder) {
    const Json camel = Json::parse(R"({"zetaKey":1,"alphaKey":{"innerKey":[{"deepKey":true}]}})");
    EXPECT_EQ(encode(camel), R"({"zeta_key":1,"alpha_key":{"inner_key":[{"deep_key":true}]}})");
    EXPECT_EQ(plainEncode(camel), R"({"zetaKey":1,"alphaKey":{"innerKey":[{"deepKey":true}]}})");
    EXPECT_EQ(decodeTree(encode(camel)), camel);
}

TEST(JSONCoding, MalformedTextIsADecodingError) {
    for (std::string text : {std::string(""), std::string("{"), std::string("{\"a\":}"),
                             std::string("{\"a\":\"\xff\"}"), std::string("{\"a\":\"\xc3\"}"),
                             std::string("[1e400]"), std::string(100000, '['), std::string("nul")}) {
        EXPECT_THROW(decodeTree(text), DecodingError) << text.substr(0, 20);
    }
    // Deep but within reason is fine.
    EXPECT_NO_THROW(decodeTree(std::string(100, '[') + std::string(100, ']')));
}

TEST(JSONCoding, StrictFieldAccess) {
    const Json obj = Json::parse(
        R"({"i":5,"f":5.0,"frac":2.5,"q":"5","big":9223372036854775808,"neg":-9223372036854775808,
            "hugeFloat":1e300,"b":true,"s":"x","n":null})");
    EXPECT_EQ(requireInt64(obj, "i"), 5);
    EXPECT_EQ(requireInt64(obj, "f"), 5);
    EXPECT_EQ(requireInt64(obj, "neg"), std::numeric_limits<std::int64_t>::min());
    EXPECT_THROW(requireInt64(obj, "frac"), DecodingError);
    EXPECT_THROW(requireInt64(obj, "q"), DecodingError);
    EXPECT_THROW(requireInt64(obj, "big"), DecodingError);
    EXPECT_THROW(requireInt64(obj, "hugeFloat"), DecodingError);
    EXPECT_THROW(requireInt64(obj, "b"), DecodingError);
    EXPECT_THROW(requireInt64(obj, "missing"), DecodingError);
    EXPECT_THROW(requireString(obj, "n"), DecodingError);
    EXPECT_THROW(requireString(obj, "i"), DecodingError);
    EXPECT_THROW(requireBool(obj, "s"), DecodingError);
    EXPECT_EQ(optionalString(obj, "n"), std::nullopt);
    EXPECT_EQ(optionalString(obj, "missing"), std::nullopt);
    EXPECT_THROW(optionalInt64(obj, "s"), DecodingError);
    EXPECT_THROW(requireString(Json::array(), "x"), DecodingError);
}

TEST(JSONCoding, EncodingRejectsBrokenUTF8) {
    Json value = Json::object();
    value["name"] = std::string("\xff\xfe");
    EXPECT_THROW(encode(value), EncodingError);
    EXPECT_THROW(plainEncode(value), EncodingError);
}

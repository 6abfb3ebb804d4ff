#include "BrivetClient/UTF8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;
namespace utf8 = brivet::utf8;

TEST(UTF8, AcceptsEveryLengthAtItsBounds) {
    EXPECT_TRUE(utf8::isValid(""));
    EXPECT_TRUE(utf8::isValid("plain ascii\n"s + '\0'));
    EXPECT_TRUE(utf8::isValid("\xC2\x80"));          // U+0080, smallest two-byte
    EXPECT_TRUE(utf8::isValid("\xDF\xBF"));          // U+07FF
    EXPECT_TRUE(utf8::isValid("\xE0\xA0\x80"));      // U+0800, smallest three-byte
    EXPECT_TRUE(utf8::isValid("\xED\x9F\xBF"));      // U+D7FF, just below the surrogates
    EXPECT_TRUE(utf8::isValid("\xEE\x80\x80"));      // U+E000, just above them
    EXPECT_TRUE(utf8::isValid("\xF0\x90\x80\x80"));  // U+10000, smallest four-byte
    EXPECT_TRUE(utf8::isValid("\xF4\x8F\xBF\xBF"));  // U+10FFFF
    EXPECT_TRUE(utf8::isValid("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"));
}

TEST(UTF8, RefusesOverlongSurrogatesAndTooLarge) {
    EXPECT_FALSE(utf8::isValid("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(utf8::isValid("\xC1\xBF"));
    EXPECT_FALSE(utf8::isValid("\xE0\x9F\xBF"));      // overlong U+07FF
    EXPECT_FALSE(utf8::isValid("\xF0\x8F\xBF\xBF"));  // overlong U+FFFF
    EXPECT_FALSE(utf8::isValid("\xED\xA0\x80"));      // U+D800
    EXPECT_FALSE(utf8::isValid("\xED\xBF\xBF"));      // U+DFFF
    EXPECT_FALSE(utf8::isValid("\xF4\x90\x80\x80"));  // U+110000
    EXPECT_FALSE(utf8::isValid("\xF5\x80\x80\x80"));
    EXPECT_FALSE(utf8::isValid("\xFF"));
}

TEST(UTF8, RefusesStrayAndTruncatedSequences) {
    EXPECT_FALSE(utf8::isValid("\x80"));
    EXPECT_FALSE(utf8::isValid("a\xBF"));
    EXPECT_FALSE(utf8::isValid("\xC3"));
    EXPECT_FALSE(utf8::isValid("\xE2\x82"));
    EXPECT_FALSE(utf8::isValid("\xF0\x9F\x98"));
    EXPECT_FALSE(utf8::isValid("\xE2\x82" "a"));      // continuation replaced by ASCII
    EXPECT_FALSE(utf8::isValid("ok \xC3\xBC then \xC3"));
}

TEST(UTF8, DecodeStepsOverOneSequenceAndStaysPutOnFailure) {
    const std::string text = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80\xC3";
    std::size_t at = 0;
    std::uint32_t codePoint = 0;
    ASSERT_TRUE(utf8::decode(text, at, codePoint));
    EXPECT_EQ(at, 1u);
    EXPECT_EQ(codePoint, U'a');
    ASSERT_TRUE(utf8::decode(text, at, codePoint));
    EXPECT_EQ(at, 3u);
    EXPECT_EQ(codePoint, 0xFCu);
    ASSERT_TRUE(utf8::decode(text, at, codePoint));
    EXPECT_EQ(at, 6u);
    EXPECT_EQ(codePoint, 0x20ACu);
    ASSERT_TRUE(utf8::decode(text, at, codePoint));
    EXPECT_EQ(at, 10u);
    EXPECT_EQ(codePoint, 0x1F600u);
    EXPECT_FALSE(utf8::decode(text, at, codePoint));  // truncated at the end
    EXPECT_EQ(at, 10u);
}

}  // namespace

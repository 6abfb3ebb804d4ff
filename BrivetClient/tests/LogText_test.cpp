#include "BrivetClient/LogText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using brivet::logSafe;

TEST(LogText, PlainTextAndUnicodeStayAsTheyAre) {
    EXPECT_EQ(logSafe("/usr/bin/python3 -c x"), "/usr/bin/python3 -c x");
    EXPECT_EQ(logSafe("b\xc3\xbc" "cher.example"), "b\xc3\xbc" "cher.example");
    EXPECT_EQ(logSafe(""), "");
}

TEST(LogText, NothingCanStartALineOfItsOwn) {
    // A program path that tries to write a line of the daemon's own.
    const std::string forged = "/tmp/x\n2026-12-09T06:00:00Z configurations: content filter off\r\x1b[2K";
    const std::string safe = logSafe(forged);
    EXPECT_EQ(safe.find('\n'), std::string::npos);
    EXPECT_EQ(safe.find('\r'), std::string::npos);
    EXPECT_EQ(safe.find('\x1b'), std::string::npos);
    EXPECT_EQ(safe, "/tmp/x\\n2026-12-09T06:00:00Z configurations: content filter off\\r\\x1b[2K");
    // C1 controls and the Unicode line separators are escaped too; a
    // backslash is doubled so an escape can never be faked.
    EXPECT_EQ(logSafe("a\xc2\x85" "b\xe2\x80\xa8" "c\\n"), "a\\u0085b\\u2028c\\\\n");
    EXPECT_EQ(logSafe(std::string("nul\0x", 5)), "nul\\x00x");
}

TEST(LogText, InvisibleAndDirectionChangingCharactersAreEscapedButTheJoinersStay) {
    struct Row {
        std::string text;
        std::string log;
        std::string screen;
    };
    const std::vector<Row> rows = {
        // "Code invalid" written backwards inside a right-to-left override.
        {"Code \u202edilavni\u202c: x", "Code \\u202edilavni\\u202c: x", "Code \\u202edilavni\\u202c: x"},
        {"a\u202ab\u202bc\u202dd", "a\\u202ab\\u202bc\\u202dd", "a\\u202ab\\u202bc\\u202dd"},
        {"\u2066x\u2067y\u2068z\u2069", "\\u2066x\\u2067y\\u2068z\\u2069", "\\u2066x\\u2067y\\u2068z\\u2069"},
        {"zero\u200bwidth\u2060joiner\ufeff", "zero\\u200bwidth\\u2060joiner\\ufeff",
         "zero\\u200bwidth\\u2060joiner\\ufeff"},
        {"\u200e\u200f\u00ad\U000e0001", "\\u200e\\u200f\\u00ad\\U000e0001", "\\u200e\\u200f\\u00ad\\U000e0001"},
        // Emoji sequences and scripts that need the joiners keep them.
        {"\U0001f469\u200d\U0001f4bb \u0915\u094d\u200c\u0937", "\U0001f469\u200d\U0001f4bb \u0915\u094d\u200c\u0937",
         "\U0001f469\u200d\U0001f4bb \u0915\u094d\u200c\u0937"},
        // The screen keeps a backslash as it is; the log doubles it.
        {"C:\\dir\\n", "C:\\\\dir\\\\n", "C:\\dir\\n"},
        {"Not authorized\n\nThis incident has been reported.", "Not authorized\\n\\nThis incident has been reported.",
         "Not authorized\\n\\nThis incident has been reported."},
        {"bad\xff\x1b[2J\xc2\x85", "bad\\xff\\x1b[2J\\u0085", "bad\\xff\\x1b[2J\\u0085"},
        // A combining mark with no base before it stands on a dotted circle:
        // at the start, after a blank, an escape or a stray byte; all the
        // marks of one run share the circle. A mark on a letter stays.
        {"\u0301\u0301\u0308", "\u25cc\u0301\u0301\u0308", "\u25cc\u0301\u0301\u0308"},
        {"http 500 \u0301x", "http 500 \u25cc\u0301x", "http 500 \u25cc\u0301x"},
        {"a\n\u20dd\u200b\u0903\xff\u0301", "a\\n\u25cc\u20dd\\u200b\u25cc\u0903\\xff\u25cc\u0301",
         "a\\n\u25cc\u20dd\\u200b\u25cc\u0903\\xff\u25cc\u0301"},
        {"cafe\u0301 \\\u0301", "cafe\u0301 \\\\\u0301", "cafe\u0301 \\\u0301"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(logSafe(row.text), row.log) << row.log;
        EXPECT_EQ(brivet::screenSafe(row.text), row.screen) << row.screen;
    }
}

TEST(LogText, MalformedUTF8IsWrittenByteByByte) {
    EXPECT_EQ(logSafe("ok\xff\xc3"), "ok\\xff\\xc3");
    EXPECT_EQ(logSafe("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // a surrogate
}

TEST(LogText, LongTextIsCutAndSaysHowMuchWasLeftOut) {
    const std::string path(4096, 'a');
    const std::string safe = logSafe(path);
    EXPECT_EQ(safe, std::string(512, 'a') + "... (3584 more bytes)");
    // A cut inside a character leaves its first bytes escaped, never raw.
    const std::string cut = logSafe(std::string(511, 'a') + "\xc3\xbc", 512);
    EXPECT_EQ(cut, std::string(511, 'a') + "\\xc3... (1 more bytes)");
    // The screen cuts before the character instead, and counts its bytes.
    EXPECT_EQ(brivet::screenSafe(std::string(511, 'a') + "\xc3\xbc"), std::string(511, 'a') + "... (2 more bytes)");
    EXPECT_EQ(brivet::screenSafe(std::string(510, 'a') + "\xf0\x9f\x98\x80!"), std::string(510, 'a') + "... (5 more bytes)");
    EXPECT_EQ(brivet::screenSafe(std::string(4096, 'b')), std::string(512, 'b') + "... (3584 more bytes)");
    EXPECT_EQ(brivet::screenSafe(std::string(512, 'b')), std::string(512, 'b'));
}

TEST(LogText, ASinkNeverWritesMoreThanOneLine) {
    EXPECT_EQ(brivet::oneLogLine("tick enrolled=true b\xc3\xbc" "cher"), "tick enrolled=true b\xc3\xbc" "cher");
    EXPECT_EQ(brivet::oneLogLine("a\nb\r\x7f\x1b"), "a\\x0ab\\x0d\\x7f\\x1b");
}

}  // namespace

#include "BrivetClient/LogText.h"

#include "BrivetClient/UTF8.h"

#include <unicode/uchar.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace brivet {
namespace {

void appendByte(std::string& out, unsigned char byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    out += text;
}

void appendCodePoint(std::string& out, std::uint32_t codePoint) {
    char escape[12];
    if (codePoint <= 0xFFFF) {
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(codePoint));
    } else {
        std::snprintf(escape, sizeof escape, "\\U%08x", static_cast<unsigned>(codePoint));
    }
    out += escape;
}

// Characters that show nothing of their own or change how the text around
// them is shown: the Unicode line separators and the format characters,
// less the two joiners that emoji sequences and several scripts need.
bool invisible(std::uint32_t codePoint) {
    if (codePoint == 0x2028 || codePoint == 0x2029) return true;
    if (codePoint == 0x200C || codePoint == 0x200D) return false;
    return u_charType(static_cast<UChar32>(codePoint)) == U_FORMAT_CHAR;
}

// Combining marks: shown on the character before them.
bool combining(std::uint32_t codePoint) {
    const auto type = u_charType(static_cast<UChar32>(codePoint));
    return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK || type == U_ENCLOSING_MARK;
}

// A mark with no base character before it would stack on whatever stands
// there (a blank, an escape, the text before this one) or show as nothing:
// it is shown on a dotted circle, as text tools show it.
constexpr std::string_view kDottedCircle = "\xE2\x97\x8C";  // U+25CC

enum class Backslash { doubled, kept };

std::string escaped(std::string_view text, std::size_t limit, Backslash backslash, bool cutAtCharacter) {
    std::string out;
    std::string_view kept = text.substr(0, limit);
    if (cutAtCharacter && kept.size() < text.size()) {
        // Back to the start of the character that crosses the limit, so the
        // screen never shows a piece of one.
        std::size_t end = kept.size();
        std::size_t back = 0;
        while (end > 0 && back < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
            ++back;
        }
        std::size_t at = end;
        std::uint32_t ignored = 0;
        if (end < kept.size() && utf8::decode(text, at, ignored) && at > kept.size()) kept = text.substr(0, end);
    }
    out.reserve(kept.size() + 16);
    // Whether the last character shown can carry a combining mark.
    bool base = false;
    std::size_t at = 0;
    while (at < kept.size()) {
        const std::size_t start = at;
        std::uint32_t codePoint = 0;
        if (!utf8::decode(kept, at, codePoint)) {
            appendByte(out, static_cast<unsigned char>(kept[at]));
            ++at;
            base = false;
            continue;
        }
        switch (codePoint) {
        case '\n': out += "\\n"; base = false; continue;
        case '\r': out += "\\r"; base = false; continue;
        case '\t': out += "\\t"; base = false; continue;
        case '\\': out += backslash == Backslash::doubled ? "\\\\" : "\\"; base = true; continue;
        default: break;
        }
        if (codePoint < 0x20 || codePoint == 0x7F) {
            appendByte(out, static_cast<unsigned char>(codePoint));
            base = false;
        } else if ((codePoint >= 0x80 && codePoint < 0xA0) || invisible(codePoint)) {
            appendCodePoint(out, codePoint);
            base = false;
        } else if (combining(codePoint)) {
            if (!base) out += kDottedCircle;
            out.append(kept.substr(start, at - start));
            base = true;
        } else {
            out.append(kept.substr(start, at - start));
            // The joiners belong to the character before them.
            if (codePoint != 0x200C && codePoint != 0x200D) {
                base = u_charType(static_cast<UChar32>(codePoint)) != U_SPACE_SEPARATOR;
            }
        }
    }
    if (text.size() > kept.size()) out += "... (" + std::to_string(text.size() - kept.size()) + " more bytes)";
    return out;
}

}  // namespace

std::string logSafe(std::string_view text, std::size_t limit) {
    return escaped(text, limit, Backslash::doubled, false);
}

std::string screenSafe(std::string_view text, std::size_t limit) {
    return escaped(text, limit, Backslash::kept, true);
}

std::string oneLogLine(std::string_view message) {
    std::string line;
    line.reserve(message.size());
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            appendByte(line, byte);
        } else {
            line += c;
        }
    }
    return line;
}

std::string formatLogLine(long long unixSeconds, const std::string& message) {
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(stamp) + " " + message;
}

void writeLogLine(std::FILE* stream, std::string_view line) {
    const std::string text = std::string(line) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0) {
        std::clearerr(stream);
    }
}

}  // namespace brivet

#include "BrivetClient/LogText.h"

#include "BrivetClient/UTF8.h"

#include <cstdint>
#include <cstdio>

namespace brivet {
namespace {

void appendByte(std::string& out, unsigned char byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    out += text;
}

}  // namespace

std::string logSafe(std::string_view text, std::size_t limit) {
    std::string out;
    const std::string_view kept = text.substr(0, limit);
    out.reserve(kept.size() + 16);
    std::size_t at = 0;
    while (at < kept.size()) {
        const std::size_t start = at;
        std::uint32_t codePoint = 0;
        if (!utf8::decode(kept, at, codePoint)) {
            appendByte(out, static_cast<unsigned char>(kept[at]));
            ++at;
            continue;
        }
        switch (codePoint) {
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        case '\\': out += "\\\\"; continue;
        default: break;
        }
        if (codePoint < 0x20 || codePoint == 0x7F) {
            appendByte(out, static_cast<unsigned char>(codePoint));
        } else if ((codePoint >= 0x80 && codePoint < 0xA0) || codePoint == 0x2028 || codePoint == 0x2029) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(codePoint));
            out += escape;
        } else {
            out.append(kept.substr(start, at - start));
        }
    }
    if (text.size() > kept.size()) out += "... (" + std::to_string(text.size() - kept.size()) + " more bytes)";
    return out;
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

}  // namespace brivet

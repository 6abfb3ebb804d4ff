#include "BrivetClient/UTF8.h"

namespace brivet::utf8 {

bool decode(std::string_view text, std::size_t& at, std::uint32_t& codePoint) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length;
    std::uint32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        ++at;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return false;  // a continuation byte, C0, C1 or F5..FF as a lead
    }
    if (text.size() - at < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80) return false;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return false;
    at += length;
    return true;
}

bool isValid(std::string_view bytes) noexcept {
    std::size_t at = 0;
    std::uint32_t codePoint = 0;
    while (at < bytes.size()) {
        if (!decode(bytes, at, codePoint)) return false;
    }
    return true;
}

}  // namespace brivet::utf8

#include "utf8.h"

#include <cstdint>

namespace brivet::core::utf8 {

bool valid(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c == 0xE0) {
            len = 3;
            lo = 0xA0;  // no overlong three-byte forms
        } else if (c >= 0xE1 && c <= 0xEC) {
            len = 3;
        } else if (c == 0xED) {
            len = 3;
            hi = 0x9F;  // no UTF-16 surrogates
        } else if (c >= 0xEE && c <= 0xEF) {
            len = 3;
        } else if (c == 0xF0) {
            len = 4;
            lo = 0x90;  // no overlong four-byte forms
        } else if (c >= 0xF1 && c <= 0xF3) {
            len = 4;
        } else if (c == 0xF4) {
            len = 4;
            hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;  // continuation byte, overlong lead (C0, C1) or F5..FF
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace brivet::core::utf8

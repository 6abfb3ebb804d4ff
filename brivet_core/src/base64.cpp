// base64url decoding and encoding for keys, payloads, signatures and the
// stored policy bytes.
#include "keys.h"

#include <array>

namespace brivet::core::keys {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Value of each byte in the alphabet, or -1.
constexpr std::array<int8_t, 256> kSextets = [] {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}();

}  // namespace

std::optional<std::vector<uint8_t>> b64_decode(std::string_view text) {
    size_t data = text.size();
    while (data > 0 && text[data - 1] == '=') --data;
    const size_t padding = text.size() - data;
    const size_t rest = data % 4;
    if (rest == 1) return std::nullopt;
    const size_t canonicalPadding = rest == 0 ? 0 : 4 - rest;
    if (padding > canonicalPadding) return std::nullopt;

    std::vector<uint8_t> out(data / 4 * 3 + (rest == 0 ? 0 : rest - 1));
    auto at = [&](size_t i) { return kSextets[static_cast<unsigned char>(text[i])]; };
    size_t i = 0, o = 0;
    for (; i + 4 <= data; i += 4) {
        const int a = at(i), b = at(i + 1), c = at(i + 2), d = at(i + 3);
        if ((a | b | c | d) < 0) return std::nullopt;  // "=" inside, "+", "/", blanks ...
        const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
        out[o++] = static_cast<uint8_t>(v >> 16);
        out[o++] = static_cast<uint8_t>(v >> 8);
        out[o++] = static_cast<uint8_t>(v);
    }
    if (rest >= 2) {
        const int a = at(i), b = at(i + 1), c = rest == 3 ? at(i + 2) : 0;
        if ((a | b | c) < 0) return std::nullopt;
        const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6);
        // The unused low bits of the last character must be zero.
        if (rest == 2 && (v & 0xFFFF) != 0) return std::nullopt;
        if (rest == 3 && (v & 0xFF) != 0) return std::nullopt;
        out[o++] = static_cast<uint8_t>(v >> 16);
        if (rest == 3) out[o++] = static_cast<uint8_t>(v >> 8);
    }
    return out;
}

std::string b64_encode(std::span<const uint8_t> bytes) {
    std::string out((bytes.size() * 4 + 2) / 3, '\0');
    size_t i = 0, o = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out[o++] = kAlphabet[v >> 18];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = kAlphabet[(v >> 6) & 63];
        out[o++] = kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{bytes[i]} << 16;
        if (rest == 2) v |= uint32_t{bytes[i + 1]} << 8;
        out[o++] = kAlphabet[v >> 18];
        out[o++] = kAlphabet[(v >> 12) & 63];
        if (rest == 2) out[o++] = kAlphabet[(v >> 6) & 63];
    }
    return out;
}

}  // namespace brivet::core::keys

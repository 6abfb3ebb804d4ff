// base64url decoding and encoding for keys, payloads, signatures and the
// stored policy bytes.
#include "keys.h"

namespace brivet::core::keys {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

}  // namespace

std::optional<std::vector<uint8_t>> b64_decode(std::string_view text) {
    size_t data = text.size();
    while (data > 0 && text[data - 1] == '=') --data;
    const size_t padding = text.size() - data;
    const size_t rest = data % 4;
    if (rest == 1) return std::nullopt;
    const size_t canonicalPadding = rest == 0 ? 0 : 4 - rest;
    if (padding > canonicalPadding) return std::nullopt;

    std::vector<uint8_t> out;
    out.reserve(data / 4 * 3 + 2);
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < data; ++i) {
        const int v = sextet(text[i]);
        if (v < 0) return std::nullopt;  // includes "=" before the end, "+", "/", blanks
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    if (acc != 0) return std::nullopt;  // unused low bits must be zero
    return out;
}

std::string b64_encode(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{bytes[i]} << 16;
        if (rest == 2) v |= uint32_t{bytes[i + 1]} << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        if (rest == 2) out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

}  // namespace brivet::core::keys

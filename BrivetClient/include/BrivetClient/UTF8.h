#pragma once
// Strict UTF-8: no overlong forms, no surrogate code points, nothing above
// U+10FFFF, no truncated sequence.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brivet::utf8 {

// Decodes the sequence that starts at `at` (which must be inside `text`).
// On success stores its code point, moves `at` past it and returns true;
// returns false for anything malformed and leaves `at` alone.
bool decode(std::string_view text, std::size_t& at, std::uint32_t& codePoint) noexcept;

// True when all of `bytes` is well-formed UTF-8.
bool isValid(std::string_view bytes) noexcept;

}  // namespace brivet::utf8

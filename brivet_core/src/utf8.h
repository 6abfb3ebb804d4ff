// Strict UTF-8 validation of input texts.
#pragma once

#include <string_view>

namespace brivet::core::utf8 {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogate
// code points, nothing above U+10FFFF, no truncated sequence.
bool valid(std::string_view bytes) noexcept;

}  // namespace brivet::core::utf8

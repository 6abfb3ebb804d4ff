#pragma once
// Text that comes from outside (a caller's program path, a server name, a
// parser's message, a tool's error output) made safe for one log line or one
// line of the screen: it can neither start a line of its own nor fill the log.

#include <cstddef>
#include <string>
#include <string_view>

namespace brivet {

// The longest piece of outside text one line carries, in bytes of the
// original text.
inline constexpr std::size_t kLogTextLimit = 512;

// Every control character (C0, DEL, C1, U+2028, U+2029) is written as an
// escape (\n, \r, \t, \xNN or \uNNNN), a backslash as "\\", and every byte
// that is not well-formed UTF-8 as \xNN. Text past `limit` bytes is left out
// and the line says how much ("... (N more bytes)").
std::string logSafe(std::string_view text, std::size_t limit = kLogTextLimit);

// What a log sink writes for one message: the message as it is, but with any
// C0 control character or DEL that still reached it written as \xNN, so
// that no message ever makes more than one line.
std::string oneLogLine(std::string_view message);

}  // namespace brivet

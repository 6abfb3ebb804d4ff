#pragma once
// Text that comes from outside (a caller's program path, a server name, a
// parser's message, a tool's error output) made safe where it is shown: one
// log line, or one text of the screen. Outside text is kept as it came and
// passed through one of these once, at the place that shows it: it can then
// neither start a line of its own, nor hide or reorder what it shows, nor
// fill the log or the screen.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace brivet {

// The longest piece of outside text one line carries, in bytes of the
// original text.
inline constexpr std::size_t kLogTextLimit = 512;

// For the log, so that a line reads back without ambiguity. Every control
// character (C0, DEL, C1, U+2028, U+2029) and every invisible format
// character (Unicode category Cf: the bidirectional embeddings, overrides
// and isolates, U+200B, U+2060, U+FEFF and the like, but not U+200C and
// U+200D, which emoji sequences and several scripts need) is written as an
// escape (\n, \r, \t, \xNN, \uNNNN or \UNNNNNNNN), a backslash as "\\", and
// every byte that is not well-formed UTF-8 as \xNN. A combining mark with no
// base character before it (at the start, after a blank or an escape) is
// shown on a dotted circle (U+25CC), as text tools show it, so that it
// neither shows as nothing nor stacks on the text before it. Text past
// `limit` bytes is left out and the line says how much ("... (N more
// bytes)").
std::string logSafe(std::string_view text, std::size_t limit = kLogTextLimit);

// For the screen, so that a person sees every character there is. The same
// characters as logSafe() are made visible the same way (and a mark without
// a base gets its dotted circle), but a backslash
// stays a backslash and is not doubled: what a reader of the screen needs is
// to see the characters, not to read the escapes back. Text past `limit`
// bytes is left out at the start of the character that crosses the limit,
// and the text says how much ("... (N more bytes)").
std::string screenSafe(std::string_view text, std::size_t limit = kLogTextLimit);

// What a log sink writes for one message: the message as it is, but with any
// C0 control character or DEL that still reached it written as \xNN, so
// that no message ever makes more than one line.
std::string oneLogLine(std::string_view message);

// A line of a log written as text: the time at `unixSeconds` in UTC
// (2026-01-31T09:05:00Z), a blank and `message`, without its line feed.
std::string formatLogLine(long long unixSeconds, const std::string& message);

// Writes `line` and a line feed to `stream`, flushed at once. A line that
// cannot be written (the reader went away, the disk is full) is lost; the
// next one is tried afresh.
void writeLogLine(std::FILE* stream, std::string_view line);

}  // namespace brivet

#pragma once
// The proxy's log: one line on standard output per message, prefixed with the
// current time in UTC (2026-01-31T09:05:00Z), flushed at once.

#include <string>

namespace brivet {

void logLine(const std::string& message);

// The line logLine writes for `message` at `unixSeconds`, without its line feed.
std::string formatLogLine(long long unixSeconds, const std::string& message);

}  // namespace brivet

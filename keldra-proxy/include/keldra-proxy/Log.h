#pragma once
// The proxy's log: one line on standard output per message, prefixed with the
// current time in UTC (2026-01-31T09:05:00Z), flushed at once.

#include <string>

#include "BrivetClient/LogText.h"

namespace brivet {

// Its lines are formatLogLine's (BrivetClient/LogText.h).
void logLine(const std::string& message);

}  // namespace brivet

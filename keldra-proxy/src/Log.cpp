#include "keldra-proxy/Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace brivet {

std::string formatLogLine(long long unixSeconds, const std::string& message) {
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(stamp) + " " + message;
}

namespace {

// One message is one line whatever it holds: outside text is escaped where
// it is put into a message (logSafe), and a control character that still
// reaches the sink is written as \xNN.
std::string oneLine(const std::string& message) {
    std::string line;
    line.reserve(message.size());
    for (const unsigned char c : message) {
        if (c < 0x20 || c == 0x7f) {
            static const char* const digits = "0123456789abcdef";
            line += "\\x";
            line += digits[c >> 4];
            line += digits[c & 0xf];
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

}  // namespace

void logLine(const std::string& message) {
    // Lines from the main task and the DNS thread never interleave.
    static std::mutex mutex;
    const std::string line = formatLogLine(static_cast<long long>(std::time(nullptr)), oneLine(message)) + "\n";
    std::lock_guard<std::mutex> lock(mutex);
    // A line that cannot be written (the reader went away, the disk is full)
    // is lost; the proxy goes on, and the next line is tried afresh.
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
        std::clearerr(stdout);
    }
}

}  // namespace brivet

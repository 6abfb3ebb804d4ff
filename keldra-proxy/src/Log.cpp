#include "keldra-proxy/Log.h"

#include "BrivetClient/LogText.h"

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

void logLine(const std::string& message) {
    // Lines from the main task and the DNS thread never interleave.
    static std::mutex mutex;
    const std::string line = formatLogLine(static_cast<long long>(std::time(nullptr)), oneLogLine(message)) + "\n";
    std::lock_guard<std::mutex> lock(mutex);
    // A line that cannot be written (the reader went away, the disk is full)
    // is lost; the proxy goes on, and the next line is tried afresh.
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
        std::clearerr(stdout);
    }
}

}  // namespace brivet

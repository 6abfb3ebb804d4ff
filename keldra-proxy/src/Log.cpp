#include "keldra-proxy/Log.h"

#include "BrivetClient/LogText.h"

#include <ctime>
#include <mutex>

namespace brivet {

void logLine(const std::string& message) {
    // Lines from the main task and the DNS thread never interleave.
    static std::mutex mutex;
    const std::string line = formatLogLine(static_cast<long long>(std::time(nullptr)), oneLogLine(message));
    std::lock_guard<std::mutex> lock(mutex);
    // The proxy goes on whether or not the line could be written.
    writeLogLine(stdout, line);
}

}  // namespace brivet

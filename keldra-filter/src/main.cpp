// keldra-filter: the filter extension's root daemon (see Daemon.h).
#include "keldra-filter/Daemon.h"
#include "keldra-filter/FilterState.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One message is one line, whatever it holds: outside text is escaped where
// it is put into a message (brivet::logSafe), and a control character that
// still reaches the sink is written as \xNN, so no text can start a line of
// its own.
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

void logLine(const std::string& message) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::fprintf(stdout, "%s %s\n", stamp, oneLine(message).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Signals are taken by the main loop only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::error_code ec;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto parsed = keldra::filter::parseCommand(std::vector<std::string>(argv + 1, argv + argc), executable);
    if (parsed.error) {
        std::fprintf(stderr, "%s\n", parsed.error->c_str());
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "keldra-filter must run as root\n");
        return 1;
    }
    if (parsed.resetRules) {
        try {
            keldra::filter::FilterState::resetRules(parsed.settings.stateFolder);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        std::printf("the rules in force are cleared; restart keldra-filter so that it starts without them\n");
        return 0;
    }
    ::umask(022);
    return keldra::filter::Daemon(parsed.settings, logLine).run();
}

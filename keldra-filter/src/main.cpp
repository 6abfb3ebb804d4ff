// keldra-filter: the filter extension's root daemon (see Daemon.h).
#include "BrivetClient/LogText.h"
#include "keldra-filter/Daemon.h"
#include "keldra-filter/FilterState.h"
#include "keldra-filter/SignedPolicy.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void logLine(const std::string& message) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::fprintf(stdout, "%s %s\n", stamp, brivet::oneLogLine(message).c_str());
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
    if (parsed.usage) {
        std::printf("%s\n", parsed.usage->c_str());
        return 0;
    }
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
            keldra::filter::SignedPolicy::reset(parsed.settings.stateFolder);
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

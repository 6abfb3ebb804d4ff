// keldra-proxy: runs the protection engine against a DNS proxy of its own. It
// answers blocked names with NXDOMAIN, forwards the rest to the upstream name
// servers, and reports to the device service.
#include "keldra-proxy/LocalFilter.h"
#include "keldra-proxy/Program.h"
#include "keldra-proxy/Startup.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef KELDRA_DEFAULT_ENVIRONMENT
#define KELDRA_DEFAULT_ENVIRONMENT "App/Resources/Environment.json"
#endif

namespace {

[[noreturn]] void quit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

// A stop signal writes the filter's pending block counts, then ends the
// process by that signal as before. The signals are blocked in every thread
// (they inherit the mask) and taken by one thread that waits for them.
void stopOnSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        if (sigwait(&stops, &signal) != 0) return;
        brivet::LocalFilter::flushAllEvents();
        std::fflush(stdout);
        std::fflush(stderr);
        std::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        std::raise(signal);
        quit(128 + signal);
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of the log that goes away (`keldra-proxy | head -n 1`) or a
    // client that hangs up must never end the proxy while the system's DNS
    // may point at it: writes to them fail with EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);

    // Busy forwarding opens a socket per query in flight.
    brivet::raiseOpenFileLimit();
    stopOnSignals();

    brivet::ProgramSettings settings;
    settings.defaultEnvironment = KELDRA_DEFAULT_ENVIRONMENT;
    // The DNS listener's thread cannot unwind the main task: a failed UDP
    // listener ends the process where it stands.
    settings.terminate = [](int status) { quit(status); };

    const int status = brivet::runProgram(std::vector<std::string>(argv + 1, argv + argc), std::move(settings));
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}

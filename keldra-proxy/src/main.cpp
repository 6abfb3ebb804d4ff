// keldra-proxy: runs the protection engine against a DNS proxy of its own. It
// answers blocked names with NXDOMAIN, forwards the rest to the upstream name
// servers, and reports to the device service.
#include "keldra-proxy/Program.h"
#include "keldra-proxy/Startup.h"

#include <csignal>
#include <cstdio>
#include <string>
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

}  // namespace

int main(int argc, char** argv) {
    // A reader of the log that goes away (`keldra-proxy | head -n 1`) or a
    // client that hangs up must never end the proxy while the system's DNS
    // may point at it: writes to them fail with EPIPE instead.
    std::signal(SIGPIPE, SIG_IGN);

    // Busy forwarding opens a socket per query in flight.
    brivet::raiseOpenFileLimit();

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

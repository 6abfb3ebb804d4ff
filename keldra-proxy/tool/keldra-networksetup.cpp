// keldra-networksetup [--resolv-conf PATH] [--resolved-runtime DIR]
//                     [--resolved-dropin FILE] [--resolved-reload PROGRAM] FORM ARGS...
// The DNS-settings tool that keldra-proxy runs on this platform (see
// ResolverNetworkSetup.h). PATH defaults to /etc/resolv.conf; where
// systemd-resolved manages DNS it is pointed with a drop-in instead
// (ResolvedDropIn.h), at the default places unless given; with a resolver
// file of its own but no resolved runtime folder, resolved is left alone.
#include "keldra-proxy/ResolverNetworkSetup.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string resolverFile = "/etc/resolv.conf";
    brivet::ResolvedPaths resolved;
    bool resolverFileGiven = false, runtimeGiven = false;
    while (arguments.size() >= 2) {
        const std::string& option = arguments[0];
        if (option == "--resolv-conf") {
            resolverFile = arguments[1];
            resolverFileGiven = true;
        } else if (option == "--resolved-runtime") {
            resolved.runtime = arguments[1];
            runtimeGiven = true;
        } else if (option == "--resolved-dropin") {
            resolved.dropIn = arguments[1];
        } else if (option == "--resolved-reload") {
            resolved.reload = {arguments[1]};
        } else {
            break;
        }
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    // A resolver file of its own (as in tests) never reaches the machine's
    // resolved unless its places are given too.
    if (resolverFileGiven && !runtimeGiven) resolved.runtime.clear();
    const auto result = brivet::runResolverNetworkSetup(arguments, resolverFile, resolved);
    std::fputs(result.standardOutput.c_str(), stdout);
    std::fputs(result.standardError.c_str(), stderr);
    return result.status;
}

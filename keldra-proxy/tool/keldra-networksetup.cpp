// keldra-networksetup [--resolv-conf PATH] FORM ARGS...
// The DNS-settings tool that keldra-proxy runs on this platform (see
// ResolverNetworkSetup.h). PATH defaults to /etc/resolv.conf.
#include "keldra-proxy/ResolverNetworkSetup.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string resolverFile = "/etc/resolv.conf";
    if (arguments.size() >= 2 && arguments[0] == "--resolv-conf") {
        resolverFile = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    const auto result = brivet::runResolverNetworkSetup(arguments, resolverFile);
    std::fputs(result.standardOutput.c_str(), stdout);
    std::fputs(result.standardError.c_str(), stderr);
    return result.status;
}

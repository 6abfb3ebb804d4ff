#include "keldra-proxy/Options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    brivet::Options options;
    try {
        options = brivet::Options::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const brivet::OptionsExit& exit) {
        std::fputs(exit.standardOutput.c_str(), stdout);
        std::fputs(exit.standardError.c_str(), stderr);
        std::fflush(stdout);
        return exit.status;
    }
    return 0;
}

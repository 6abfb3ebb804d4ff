// keldra-helper: the privileged helper the app runs through pkexec; see
// SystemHelper.h. KELDRA_SYSTEM_ROOT puts every fixed place under a scratch
// folder (tests); pkexec clears the environment, so a caller cannot set it.
// The app's install location is fixed when the helper is built.
#include "keldra-filter/SystemHelper.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#ifndef KELDRA_INSTALLED_APP_BUNDLE
#error "KELDRA_INSTALLED_APP_BUNDLE must name the installed app bundle"
#endif

int main(int argc, char** argv) {
    ::umask(022);
    keldra::filter::SystemPlaces places;
    places.installedApp = KELDRA_INSTALLED_APP_BUNDLE;
    if (const char* root = std::getenv("KELDRA_SYSTEM_ROOT"); root != nullptr && root[0] == '/') places.root = root;
    const auto result = keldra::filter::runSystemHelper(std::vector<std::string>(argv + 1, argv + argc), places);
    if (result.status != 0) std::fprintf(stderr, "%s\n", result.message.c_str());
    return result.status;
}

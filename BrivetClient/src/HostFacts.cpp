#include "BrivetClient/HostFacts.h"

#include <sys/utsname.h>
#include <time.h>

#include <cctype>

namespace brivet {

std::string versionFromRelease(std::string_view release) {
    std::string parts[3] = {"0", "0", "0"};
    std::size_t at = 0;
    for (int index = 0; index < 3; ++index) {
        std::size_t end = at;
        while (end < release.size() && std::isdigit(static_cast<unsigned char>(release[end]))) ++end;
        if (end == at) break;
        std::string_view digits = release.substr(at, end - at);
        // Leading zeros dropped so that the text is the number in decimal.
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        parts[index] = std::string(digits);
        if (end >= release.size() || release[end] != '.') break;
        at = end + 1;
    }
    return parts[0] + "." + parts[1] + "." + parts[2];
}

std::string kernelVersion() {
    struct utsname name {};
    if (::uname(&name) != 0) return "0.0.0";
    return versionFromRelease(name.release);
}

std::int64_t monotonicClockSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

}  // namespace brivet

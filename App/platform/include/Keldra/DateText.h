#pragma once
// Dates and times as the user reads them, through ICU's date formatter in
// the user's locale and time zone.

#include <functional>
#include <optional>
#include <string>

#include "BrivetClient/RFC3339.h"

namespace keldra {

struct DateLocale {
    // An ICU locale identifier ("de_DE"); empty means ICU's default.
    std::string locale;
    // An Olson time-zone identifier ("Europe/Berlin"); empty means the
    // system's zone.
    std::string timeZone;

    // From the environment: the locale of LC_ALL, else LC_TIME, else LANG
    // (the codeset and "C"/"POSIX" handled: "de_DE.UTF-8" is de_DE, "C" is
    // en_US_POSIX); the zone of TZ (a leading ":" dropped).
    using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;
    static DateLocale fromEnvironment(const EnvironmentLookup& environment);
    static DateLocale fromEnvironment();
};

// Medium date and short time ("Mar 5, 2026, 9:41 AM" in en_US).
std::string mediumDateShortTime(brivet::Instant instant, const DateLocale& where);
// Short time only ("9:41 AM" in en_US).
std::string shortTime(brivet::Instant instant, const DateLocale& where);

}  // namespace keldra

#include "Keldra/DateText.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

#include "BrivetClient/PlatformPaths.h"

namespace keldra {

namespace {

// "de_DE.UTF-8@euro" is de_DE@euro; "C" and "POSIX" are en_US_POSIX.
std::string icuLocale(std::string posix) {
    if (posix == "C" || posix == "POSIX" || posix.starts_with("C.")) return "en_US_POSIX";
    std::string modifier;
    if (auto at = posix.find('@'); at != std::string::npos) {
        modifier = posix.substr(at);
        posix.erase(at);
    }
    if (auto dot = posix.find('.'); dot != std::string::npos) posix.erase(dot);
    return posix + modifier;
}

std::string format(brivet::Instant instant, const DateLocale& where, icu::DateFormat::EStyle dateStyle,
                   icu::DateFormat::EStyle timeStyle) {
    icu::Locale locale = where.locale.empty() ? icu::Locale::getDefault() : icu::Locale(where.locale.c_str());
    std::unique_ptr<icu::DateFormat> formatter(icu::DateFormat::createDateTimeInstance(dateStyle, timeStyle, locale));
    if (!formatter) return brivet::RFC3339::string(instant);
    std::unique_ptr<icu::TimeZone> zone(where.timeZone.empty()
                                            ? icu::TimeZone::createDefault()
                                            : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(where.timeZone)));
    if (zone && *zone != icu::TimeZone::getUnknown()) formatter->adoptTimeZone(zone.release());
    const double milliseconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count());
    icu::UnicodeString text;
    formatter->format(milliseconds, text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

DateLocale DateLocale::fromEnvironment(const EnvironmentLookup& environment) {
    DateLocale where;
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
        auto value = environment(name);
        if (value && !value->empty()) {
            where.locale = icuLocale(*value);
            break;
        }
    }
    if (auto zone = environment("TZ"); zone && !zone->empty()) {
        where.timeZone = zone->front() == ':' ? zone->substr(1) : *zone;
    }
    return where;
}

DateLocale DateLocale::fromEnvironment() { return fromEnvironment(brivet::platform::processEnvironment); }

std::string mediumDateShortTime(brivet::Instant instant, const DateLocale& where) {
    return format(instant, where, icu::DateFormat::kMedium, icu::DateFormat::kShort);
}

std::string shortTime(brivet::Instant instant, const DateLocale& where) {
    return format(instant, where, icu::DateFormat::kNone, icu::DateFormat::kShort);
}

}  // namespace keldra

// Date texts in a pinned locale and zone, and the recording logger.
#include <gtest/gtest.h>

#include <syslog.h>

#include <map>

#include "BrivetClient/RFC3339.h"
#include "Keldra/DateText.h"
#include "Keldra/Log.h"
#include "keldra/TestFiles.h"

namespace {

using keldra::DateLocale;

DateLocale::EnvironmentLookup environmentOf(std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
        auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

TEST(DateText, LocaleAndZoneFromTheEnvironment) {
    EXPECT_EQ(DateLocale::fromEnvironment(environmentOf({{"LANG", "de_DE.UTF-8"}, {"TZ", ":Europe/Berlin"}})).locale,
              "de_DE");
    EXPECT_EQ(DateLocale::fromEnvironment(environmentOf({{"TZ", ":Europe/Berlin"}})).timeZone, "Europe/Berlin");
    // LC_ALL over LC_TIME over LANG; empty values skipped.
    EXPECT_EQ(DateLocale::fromEnvironment(
                  environmentOf({{"LC_ALL", ""}, {"LC_TIME", "fr_FR.UTF-8@euro"}, {"LANG", "de_DE.UTF-8"}}))
                  .locale,
              "fr_FR@euro");
    EXPECT_EQ(DateLocale::fromEnvironment(environmentOf({{"LANG", "C.UTF-8"}})).locale, "en_US_POSIX");
    EXPECT_EQ(DateLocale::fromEnvironment(environmentOf({})).locale, "");
}

TEST(DateText, MediumDateShortTimeAndShortTime) {
    auto instant = *brivet::RFC3339::date("2026-03-05T14:41:00Z");
    DateLocale us{"en_US", "America/New_York"};
    std::string medium = keldra::mediumDateShortTime(instant, us);
    EXPECT_NE(medium.find("Mar 5, 2026"), std::string::npos) << medium;
    EXPECT_NE(medium.find("9:41"), std::string::npos) << medium;
    EXPECT_NE(medium.find("AM"), std::string::npos) << medium;
    std::string time = keldra::shortTime(instant, us);
    EXPECT_NE(time.find("9:41"), std::string::npos) << time;
    EXPECT_EQ(time.find("2026"), std::string::npos) << time;

    DateLocale germany{"de_DE", "Europe/Berlin"};
    std::string german = keldra::mediumDateShortTime(instant, germany);
    EXPECT_NE(german.find("05.03.2026"), std::string::npos) << german;
    EXPECT_NE(german.find("15:41"), std::string::npos) << german;
    EXPECT_EQ(keldra::shortTime(instant, germany), "15:41");
    // An unknown zone falls back rather than failing.
    EXPECT_FALSE(keldra::shortTime(instant, DateLocale{"de_DE", "Not/AZone"}).empty());
}

TEST(Log, RecordsEntriesAndTheSystemLogNeverFails) {
    keldra::RecordingLogger log;
    log.error("startup failed: missing");
    log.info("tick enrolled=1 state=- filter=0 rules=0 events=0 errors=a; b %s %d");
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (keldra::RecordingLogger::Entry{keldra::LogLevel::error, "startup failed: missing"}));
    EXPECT_EQ(entries[1].message, "tick enrolled=1 state=- filter=0 rules=0 events=0 errors=a; b %s %d");

    keldra::SystemLogger system;
    EXPECT_EQ(system.subsystem, "io.tolvane.brivet");
    EXPECT_EQ(system.category, "app");
    system.info("keldra platform test: percent signs %s %n stay text");
}

}  // namespace

namespace {

class RecordingSyslog final : public keldra::SyslogSink {
public:
    void write(int priority, std::string_view line) override { lines.emplace_back(priority, std::string(line)); }
    std::vector<std::pair<int, std::string>> lines;
};

TEST(Log, WithoutTheJournalsSocketEveryLineGoesToSyslog) {
    keldra::test::TempDir dir("app-log");
    auto syslog = std::make_shared<RecordingSyslog>();
    keldra::SystemLogger missing("app", keldra::SystemLogger::kSubsystem,
                                 {(dir / "no-journal" / "socket").string(), syslog});
    missing.error("startup failed: 100% missing");
    missing.info("tick enrolled=true");
    ASSERT_EQ(syslog->lines.size(), 2u);
    EXPECT_EQ(syslog->lines[0], (std::pair<int, std::string>{LOG_ERR, "[io.tolvane.brivet:app] startup failed: 100% missing"}));
    EXPECT_EQ(syslog->lines[1], (std::pair<int, std::string>{LOG_INFO, "[io.tolvane.brivet:app] tick enrolled=true"}));

    // A plain file where the socket belongs is no journal either.
    keldra::test::writeFile(dir / "file", "");
    keldra::SystemLogger notASocket("app", keldra::SystemLogger::kSubsystem, {(dir / "file").string(), syslog});
    notASocket.info("still logged");
    ASSERT_EQ(syslog->lines.size(), 3u);
    EXPECT_EQ(syslog->lines[2].second, "[io.tolvane.brivet:app] still logged");
}

}  // namespace

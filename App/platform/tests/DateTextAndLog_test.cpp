// Date texts in a pinned locale and zone, and the recording logger.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

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

class RecordingLines final : public keldra::LineSink {
public:
    void write(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// A listening Unix socket at `path`, as the syslog daemon keeps one.
struct ListeningSocket {
    explicit ListeningSocket(const std::filesystem::path& path) : fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    }
    ~ListeningSocket() { ::close(fd); }
    int fd;
};

TEST(Log, WithoutTheJournalsSocketEveryLineGoesToSyslogAndWithoutEitherToStandardError) {
    keldra::test::TempDir dir("app-log");
    auto syslog = std::make_shared<RecordingSyslog>();
    auto standardError = std::make_shared<RecordingLines>();
    const ListeningSocket devLog(dir / "log");
    const std::string noJournal = (dir / "no-journal" / "socket").string();
    keldra::SystemLogger missing("app", keldra::SystemLogger::kSubsystem,
                                 {noJournal, syslog, (dir / "log").string(), standardError});
    missing.error("startup failed: 100% missing");
    missing.info("tick enrolled=true");
    ASSERT_EQ(syslog->lines.size(), 2u);
    EXPECT_EQ(syslog->lines[0], (std::pair<int, std::string>{LOG_ERR, "[io.tolvane.brivet:app] startup failed: 100% missing"}));
    EXPECT_EQ(syslog->lines[1], (std::pair<int, std::string>{LOG_INFO, "[io.tolvane.brivet:app] tick enrolled=true"}));

    // A plain file where the socket belongs is no journal either.
    keldra::test::writeFile(dir / "file", "");
    keldra::SystemLogger notASocket("app", keldra::SystemLogger::kSubsystem,
                                    {(dir / "file").string(), syslog, (dir / "log").string(), standardError});
    notASocket.info("still logged");
    ASSERT_EQ(syslog->lines.size(), 3u);
    EXPECT_EQ(syslog->lines[2].second, "[io.tolvane.brivet:app] still logged");
    EXPECT_TRUE(standardError->lines.empty());

    // Neither socket (a plain file is none): every line goes to standard
    // error in the proxy's form, on one line, after one notice that says so.
    keldra::SystemLogger nowhere("app", keldra::SystemLogger::kSubsystem,
                                 {noJournal, syslog, (dir / "file").string(), standardError});
    nowhere.error("startup failed: 100% missing");
    nowhere.info("tick\nenrolled=true");
    EXPECT_EQ(syslog->lines.size(), 3u);
    std::string written;
    for (const auto& line : standardError->lines) written += line + "|";
    const std::string time = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ";
    const std::string notice = "no system log here \\(neither " + noJournal + " nor " + (dir / "file").string() +
                               " exists\\): the log goes to standard error";
    EXPECT_TRUE(std::regex_match(written, std::regex(time + notice + "\\|" + time + "startup failed: 100% missing\\|" +
                                                     time + "tick\\\\x0aenrolled=true\\|")))
        << written;
}

}  // namespace

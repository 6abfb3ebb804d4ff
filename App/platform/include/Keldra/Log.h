#pragma once
// The app's log channel: subsystem "io.tolvane.brivet", a category ("app"),
// and the message texts unchanged.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace keldra {

enum class LogLevel { debug, info, notice, error, fault };

class Logger {
public:
    virtual ~Logger() = default;
    virtual void log(LogLevel level, std::string_view message) = 0;

    void info(std::string_view message) { log(LogLevel::info, message); }
    void error(std::string_view message) { log(LogLevel::error, message); }
};

// Where a line goes when there is no journal: syslog(3) for the app.
class SyslogSink {
public:
    virtual ~SyslogSink() = default;
    // `priority` is a syslog level (LOG_INFO, LOG_ERR, ...).
    virtual void write(int priority, std::string_view line) = 0;
};

// syslog(3), facility user.
class ProcessSyslog final : public SyslogSink {
public:
    void write(int priority, std::string_view line) override;
};

// Where lines go when the machine has no system log at all: whole lines,
// each written at once.
class LineSink {
public:
    virtual ~LineSink() = default;
    // `line` ends without a line break.
    virtual void write(std::string_view line) = 0;
};

// Standard error, flushed after every line.
class StandardErrorSink final : public LineSink {
public:
    void write(std::string_view line) override;
};

// The system journal, with the subsystem and category as fields
// (KELDRA_SUBSYSTEM, KELDRA_CATEGORY) and "Keldra" as the syslog identifier;
// syslog when the journal's socket is missing or sending to it fails. The
// journal library reports success even when its socket is missing, so the
// choice is made by the socket itself. syslog(3) drops every line without a
// sign where its socket is missing too: where neither socket exists when the
// logger is made, every line goes to standard error instead, as the proxy
// writes its lines (the time in UTC, a blank, the message), and the first
// line before them says so.
class SystemLogger final : public Logger {
public:
    static constexpr const char* kSubsystem = "io.tolvane.brivet";
    static constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
    static constexpr const char* kSyslogSocket = "/dev/log";

    struct Sinks {
        // The journal's socket; a socket file there means the journal runs.
        std::string journalSocket = kJournalSocket;
        // The fallback; syslog(3) when null.
        std::shared_ptr<SyslogSink> syslog;
        // The socket syslog(3) writes to.
        std::string syslogSocket = kSyslogSocket;
        // Where lines go without either socket; standard error when null.
        std::shared_ptr<LineSink> standardError;
    };

    explicit SystemLogger(std::string category = "app", std::string subsystem = kSubsystem);
    SystemLogger(std::string category, std::string subsystem, Sinks sinks);
    void log(LogLevel level, std::string_view message) override;

    const std::string subsystem;
    const std::string category;

private:
    bool journalRuns() const;

    Sinks sinks_;
    // Neither socket existed at start.
    bool noSystemLog_ = false;
    std::mutex standardErrorMutex_;
    bool saidStandardError_ = false;
};

// Keeps every entry, for tests. Thread-safe.
class RecordingLogger final : public Logger {
public:
    struct Entry {
        LogLevel level;
        std::string message;
        bool operator==(const Entry&) const = default;
    };
    void log(LogLevel level, std::string_view message) override;
    std::vector<Entry> entries() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace keldra

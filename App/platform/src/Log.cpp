#include "Keldra/Log.h"

#include <cstdio>
#include <ctime>
#include <string>

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include "BrivetClient/LogText.h"

namespace keldra {

namespace {

int priorityOf(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return LOG_DEBUG;
        case LogLevel::info:
            return LOG_INFO;
        case LogLevel::notice:
            return LOG_NOTICE;
        case LogLevel::error:
            return LOG_ERR;
        case LogLevel::fault:
            return LOG_CRIT;
    }
    return LOG_INFO;
}

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// The time as the proxy writes it, a blank, and the message on one line.
std::string stamped(std::string_view message) {
    return brivet::formatLogLine(static_cast<long long>(std::time(nullptr)), brivet::oneLogLine(message));
}

}  // namespace

void StandardErrorSink::write(std::string_view line) { brivet::writeLogLine(stderr, line); }

void ProcessSyslog::write(int priority, std::string_view line) {
    const std::string text(line);
    // The line goes as a "%s" argument: its own % signs are text.
    ::syslog(LOG_USER | priority, "%s", text.c_str());
}

SystemLogger::SystemLogger(std::string category, std::string subsystem)
    : SystemLogger(std::move(category), std::move(subsystem), Sinks{}) {}

SystemLogger::SystemLogger(std::string category, std::string subsystem, Sinks sinks)
    : subsystem(std::move(subsystem)), category(std::move(category)), sinks_(std::move(sinks)) {
    if (!sinks_.syslog) sinks_.syslog = std::make_shared<ProcessSyslog>();
    if (!sinks_.standardError) sinks_.standardError = std::make_shared<StandardErrorSink>();
    noSystemLog_ = !isSocket(sinks_.journalSocket) && !isSocket(sinks_.syslogSocket);
}

bool SystemLogger::journalRuns() const { return isSocket(sinks_.journalSocket); }

void SystemLogger::log(LogLevel level, std::string_view message) {
    if (noSystemLog_) {
        // Lines of several threads never interleave, and the notice comes
        // first.
        std::lock_guard lock(standardErrorMutex_);
        if (!saidStandardError_) {
            saidStandardError_ = true;
            sinks_.standardError->write(stamped("no system log here (neither " + sinks_.journalSocket + " nor " +
                                                sinks_.syslogSocket + " exists): the log goes to standard error"));
        }
        sinks_.standardError->write(stamped(message));
        return;
    }
    const std::string text(message);
    const int priority = priorityOf(level);
    if (journalRuns()) {
        // The message goes as a "%s" argument: its own % signs are text.
        const int sent = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority,
                                         "SYSLOG_IDENTIFIER=Keldra", "KELDRA_SUBSYSTEM=%s", subsystem.c_str(),
                                         "KELDRA_CATEGORY=%s", category.c_str(), nullptr);
        if (sent >= 0) return;
    }
    sinks_.syslog->write(priority, "[" + subsystem + ":" + category + "] " + text);
}

void RecordingLogger::log(LogLevel level, std::string_view message) {
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{level, std::string(message)});
}

std::vector<RecordingLogger::Entry> RecordingLogger::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void RecordingLogger::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace keldra

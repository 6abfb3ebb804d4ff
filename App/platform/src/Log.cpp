#include "Keldra/Log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

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

}  // namespace

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
}

bool SystemLogger::journalRuns() const {
    struct stat info {};
    return ::stat(sinks_.journalSocket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void SystemLogger::log(LogLevel level, std::string_view message) {
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

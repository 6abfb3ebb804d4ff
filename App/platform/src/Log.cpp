#include "Keldra/Log.h"

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

SystemLogger::SystemLogger(std::string category, std::string subsystem)
    : subsystem(std::move(subsystem)), category(std::move(category)) {}

void SystemLogger::log(LogLevel level, std::string_view message) {
    const std::string text(message);
    const int priority = priorityOf(level);
    // The message goes as a "%s" argument: its own % signs are text.
    int sent = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=Keldra",
                               "KELDRA_SUBSYSTEM=%s", subsystem.c_str(), "KELDRA_CATEGORY=%s", category.c_str(),
                               nullptr);
    if (sent < 0) {
        ::syslog(LOG_USER | priority, "[%s:%s] %s", subsystem.c_str(), category.c_str(), text.c_str());
    }
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

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

// The system journal, with the subsystem and category as fields
// (KELDRA_SUBSYSTEM, KELDRA_CATEGORY) and "Keldra" as the syslog identifier;
// syslog when the journal cannot be reached.
class SystemLogger final : public Logger {
public:
    static constexpr const char* kSubsystem = "io.tolvane.brivet";
    explicit SystemLogger(std::string category = "app", std::string subsystem = kSubsystem);
    void log(LogLevel level, std::string_view message) override;

    const std::string subsystem;
    const std::string category;
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

#pragma once
// Lines that a local user can make the daemon write at will (a refused
// caller, a blocked connection) let through at most once per interval for
// each kind of line and user id. What is left out is counted, and one line
// says how many once the interval has passed, so a flood grows the log by a
// bounded amount and still shows in it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <sys/types.h>

namespace keldra::filter {

class LogLimiter {
public:
    using Log = std::function<void(const std::string&)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Stands for "any user" where the user behind a line is not known.
    static constexpr uid_t anyUser = static_cast<uid_t>(-1);

    explicit LogLimiter(Log log, std::chrono::milliseconds interval = std::chrono::seconds(1), Clock clock = {});
    ~LogLimiter();

    LogLimiter(const LogLimiter&) = delete;
    LogLimiter& operator=(const LogLimiter&) = delete;

    // Writes `line` unless a line of `kind` for `uid` went out less than an
    // interval ago; then it only counts it.
    void log(const std::string& kind, uid_t uid, const std::string& line);

    // Writes the count of left-out lines of every kind and user whose
    // interval has passed. True while counts are still held back.
    bool flush();

private:
    struct Entry {
        std::chrono::steady_clock::time_point last;
        std::uint64_t leftOut = 0;
    };
    void writeCount(const std::pair<std::string, uid_t>& key, Entry& entry);

    Log log_;
    std::chrono::milliseconds interval_;
    Clock clock_;
    std::mutex mutex_;
    std::map<std::pair<std::string, uid_t>, Entry> entries_;
};

}  // namespace keldra::filter

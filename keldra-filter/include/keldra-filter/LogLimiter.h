#pragma once
// Lines that a local user can make the daemon write at will (a refused
// caller, a blocked connection) let through at most once per interval for
// each kind of line and user id. What is left out is counted, and one line
// says how many once the interval has passed, so a flood grows the log by a
// bounded amount and still shows in it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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
    // interval ago; then it only counts it. Lines are written after the
    // table's lock is let go: a slow log never holds up another caller.
    void log(const std::string& kind, uid_t uid, const std::string& line);

    // Writes the count of left-out lines of every kind and user whose
    // interval has passed. True while counts are still held back.
    bool flush();

private:
    struct Entry {
        std::chrono::steady_clock::time_point last;
        std::uint64_t leftOut = 0;
    };
    static void count(const std::pair<std::string, uid_t>& key, Entry& entry, std::vector<std::string>& lines);
    void write(const std::vector<std::string>& lines) const;

    Log log_;
    std::chrono::milliseconds interval_;
    Clock clock_;
    std::mutex mutex_;
    std::map<std::pair<std::string, uid_t>, Entry> entries_;
};

// Writes lines on a thread of its own, so that whoever hands them over (the
// packet queue's thread, say) never waits on the log: a stalled journal or a
// full pipe stalls only this writer. At most `capacity` lines wait, those
// being written among them; past it lines are counted, and the count is
// written once there is room.
class LogWriter {
public:
    using Log = std::function<void(const std::string&)>;

    explicit LogWriter(Log log, std::size_t capacity = 1024);
    // Writes what waits, then stops.
    ~LogWriter();

    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Hands a line over; never waits on the log.
    void write(std::string line);
    // A Log that hands its lines to this writer (valid while it lives).
    Log handOver() {
        return [this](const std::string& line) { write(line); };
    }

private:
    void run();

    Log log_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> lines_;
    std::size_t writing_ = 0;  // lines of the batch being written
    std::uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once the rest is in place
};

}  // namespace keldra::filter

#include "keldra-filter/LogLimiter.h"

namespace keldra::filter {

LogLimiter::LogLimiter(Log log, std::chrono::milliseconds interval, Clock clock)
    : log_(log ? std::move(log) : Log([](const std::string&) {})), interval_(interval),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

LogLimiter::~LogLimiter() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, entry] : entries_) writeCount(key, entry);
}

void LogLimiter::writeCount(const std::pair<std::string, uid_t>& key, Entry& entry) {
    if (entry.leftOut == 0) return;
    const std::string who = key.second == anyUser ? std::string() : " from uid " + std::to_string(key.second);
    log_(key.first + who + ": left out " + std::to_string(entry.leftOut) + " more line" +
         (entry.leftOut == 1 ? "" : "s") + " like this");
    entry.leftOut = 0;
}

void LogLimiter::log(const std::string& kind, uid_t uid, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = clock_();
    const auto key = std::make_pair(kind, uid);
    auto found = entries_.find(key);
    if (found != entries_.end() && now - found->second.last < interval_) {
        ++found->second.leftOut;
        return;
    }
    if (found == entries_.end()) {
        // Quiet entries are dropped, so the table only holds the users of
        // the last interval.
        for (auto it = entries_.begin(); it != entries_.end();) {
            it = it->second.leftOut == 0 && now - it->second.last >= interval_ ? entries_.erase(it) : std::next(it);
        }
        found = entries_.emplace(key, Entry{}).first;
    } else {
        writeCount(key, found->second);
    }
    found->second.last = now;
    log_(line);
}

bool LogLimiter::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = clock_();
    bool holding = false;
    for (auto& [key, entry] : entries_) {
        if (entry.leftOut == 0) continue;
        if (now - entry.last >= interval_) {
            writeCount(key, entry);
            // The count stands for this interval; the next line waits for
            // the one after it.
            entry.last = now;
        } else {
            holding = true;
        }
    }
    return holding;
}

}  // namespace keldra::filter

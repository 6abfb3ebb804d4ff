#include "keldra-filter/LogLimiter.h"

namespace keldra::filter {

LogLimiter::LogLimiter(Log log, std::chrono::milliseconds interval, Clock clock)
    : log_(log ? std::move(log) : Log([](const std::string&) {})), interval_(interval),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

LogLimiter::~LogLimiter() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [key, entry] : entries_) count(key, entry, lines);
    }
    write(lines);
}

void LogLimiter::count(const std::pair<std::string, uid_t>& key, Entry& entry, std::vector<std::string>& lines) {
    if (entry.leftOut == 0) return;
    const std::string who = key.second == anyUser ? std::string() : " from uid " + std::to_string(key.second);
    lines.push_back(key.first + who + ": left out " + std::to_string(entry.leftOut) + " more line" +
                    (entry.leftOut == 1 ? "" : "s") + " like this");
    entry.leftOut = 0;
}

void LogLimiter::write(const std::vector<std::string>& lines) const {
    for (const auto& line : lines) log_(line);
}

void LogLimiter::log(const std::string& kind, uid_t uid, const std::string& line) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = clock_();
        const auto key = std::make_pair(kind, uid);
        auto found = entries_.find(key);
        if (found != entries_.end() && now - found->second.last < interval_) {
            ++found->second.leftOut;
            return;
        }
        if (found == entries_.end()) {
            // Quiet entries are dropped, so the table only holds the users
            // of the last interval.
            for (auto it = entries_.begin(); it != entries_.end();) {
                it = it->second.leftOut == 0 && now - it->second.last >= interval_ ? entries_.erase(it) : std::next(it);
            }
            found = entries_.emplace(key, Entry{}).first;
        } else {
            count(key, found->second, lines);
        }
        found->second.last = now;
        lines.push_back(line);
    }
    write(lines);
}

bool LogLimiter::flush() {
    std::vector<std::string> lines;
    bool holding = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = clock_();
        for (auto& [key, entry] : entries_) {
            if (entry.leftOut == 0) continue;
            if (now - entry.last >= interval_) {
                count(key, entry, lines);
                // The count stands for this interval; the next line waits
                // for the one after it.
                entry.last = now;
            } else {
                holding = true;
            }
        }
    }
    write(lines);
    return holding;
}

LogWriter::LogWriter(Log log, std::size_t capacity)
    : log_(log ? std::move(log) : Log([](const std::string&) {})), capacity_(std::max<std::size_t>(capacity, 1)),
      thread_([this] { run(); }) {}

LogWriter::~LogWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    thread_.join();
}

void LogWriter::write(std::string line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.size() + writing_ >= capacity_) {
            ++dropped_;
            return;
        }
        lines_.push_back(std::move(line));
    }
    ready_.notify_one();
}

void LogWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        ready_.wait(lock, [this] { return stopping_ || !lines_.empty(); });
        if (lines_.empty() && stopping_) break;
        std::deque<std::string> batch;
        batch.swap(lines_);
        writing_ = batch.size();
        const std::uint64_t dropped = std::exchange(dropped_, 0);
        lock.unlock();
        for (const auto& line : batch) log_(line);
        if (dropped > 0) {
            log_("log writer: left out " + std::to_string(dropped) + " line" + (dropped == 1 ? "" : "s") +
                 " while the log was slow");
        }
        lock.lock();
        writing_ = 0;
    }
}

}  // namespace keldra::filter

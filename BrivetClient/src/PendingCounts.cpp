#include "BrivetClient/PendingCounts.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>
#include <utility>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {
namespace {

// A file that cannot be used is moved aside, with one line to the log, so
// that its counts stay for inspection and the next write does not replace
// them unseen.
std::optional<EventCoalescer> loadCounts(const std::filesystem::path& path, const PendingCounts::Log& log) {
    std::string reason;
    try {
        std::string text;
        if (!readRegularFile(path, text)) return std::nullopt;
        return JSONCoding::plainDecode<EventCoalescer>(text);
    } catch (const std::exception& error) {
        reason = error.what();
    }
    const std::string line = setAsideDamaged(path, "the pending block counts", reason).line;
    if (log) log(logSafe(line));
    return std::nullopt;
}

// The key a handed-over window came from; none for a window start that is
// no time of ours.
std::optional<EventCoalescer::Key> keyOf(const CoalescedEvent& event) {
    const auto start = RFC3339::date(event.windowStart);
    if (!start) return std::nullopt;
    return EventCoalescer::Key{event.type, event.reason, event.category, event.policySeq,
                               RFC3339::unixSeconds(*start)};
}

// Takes `amount` off the key's count, dropping the key at zero. Returns
// whether anything changed.
bool subtract(EventCoalescer::Counts& counts, const EventCoalescer::Key& key, std::int64_t amount) {
    auto found = counts.find(key);
    if (found == counts.end() || amount <= 0) return false;
    if (found->second <= amount) {
        counts.erase(found);
    } else {
        found->second -= amount;
    }
    return true;
}

}  // namespace

void DurableCountsFile::write(const std::string& text) {
    AtomicWriteOptions options;
    options.durable = true;
    options.createDirectories = false;
    // The rename replaces whatever is at the name; it never writes through a
    // symlink.
    const AtomicWriteOutcome outcome = atomicWrite(path_, text, options);
    if (!outcome.durable) throw std::runtime_error("the folder could not be synced: " + outcome.syncError);
}

PendingCounts::PendingCounts(std::filesystem::path path, Log log, Timing timing, std::unique_ptr<CountsFile> file)
    : path_(std::move(path)),
      log_(std::move(log)),
      timing_(timing),
      file_(file ? std::move(file) : std::make_unique<DurableCountsFile>(path_)) {
    if (auto stored = loadCounts(path_, log_)) counts_ = std::move(*stored);
    writer_ = std::thread([this] { writerLoop(); });
}

PendingCounts::~PendingCounts() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
    writeLatest(false);
}

void PendingCounts::callWriter() {
    if (writerCalled_) return;
    writerCalled_ = true;
    wake_.notify_one();
}

void PendingCounts::record(std::string_view type, std::string_view reason, std::optional<std::string> category,
                           std::optional<std::int64_t> policySeq, Instant at) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.record(type, reason, std::move(category), policySeq, at);
    ++generation_;
    // Only the first change after a write wakes the writer: no wake-up per
    // block on a busy packet path.
    callWriter();
}

void PendingCounts::recordBlock(const HostDecision& decision, std::int64_t policySeq, Instant at) {
    if (!decision.isBlocked()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.recordBlock(decision, policySeq, at);
    ++generation_;
    callWriter();
}

void PendingCounts::writerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::chrono::milliseconds backOff{0};
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || writerCalled_; });
        if (stopping_) return;
        // Gather the rest of a burst; a stop cuts the wait short and the
        // destructor writes what is left.
        if (wake_.wait_for(lock, timing_.gather, [this] { return stopping_; })) return;
        lock.unlock();
        const bool written = writeLatest(true);
        lock.lock();
        if (written) {
            backOff = std::chrono::milliseconds(0);
            continue;
        }
        // A full or read-only folder: try again after a while, sooner at
        // first, so the counts reach the file once space is back even when
        // no block follows. Blocks meanwhile do not wake the writer.
        backOff = std::clamp(backOff * 2, timing_.retryFirst, timing_.retryLongest);
        writerCalled_ = true;
        if (wake_.wait_for(lock, backOff, [this] { return stopping_; })) return;
    }
}

bool PendingCounts::writeLatest(bool byWriter) {
    std::lock_guard<std::mutex> writing(writing_);
    EventCoalescer counts;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (byWriter) writerCalled_ = false;
        if (written_ == generation_) return true;
        counts = counts_;
        generation = generation_;
    }
    return writeSnapshot(counts, generation);
}

bool PendingCounts::writeSnapshot(const EventCoalescer& counts, std::uint64_t generation) {
    try {
        file_->write(JSONCoding::plainEncode(counts));
    } catch (const std::exception& error) {
        if (!failing_ && log_) log_("cannot save the pending block counts: " + logSafe(error.what()));
        failing_ = true;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        written_ = std::max(written_, generation);
    }
    if (failing_ && log_) log_("the pending block counts are saved again");
    failing_ = false;
    return true;
}

bool PendingCounts::flush() { return writeLatest(false); }

std::vector<CoalescedEvent> PendingCounts::closed(Instant now) { return closedWindows(now, false); }

std::vector<CoalescedEvent> PendingCounts::handOver(Instant now) { return closedWindows(now, true); }

std::vector<CoalescedEvent> PendingCounts::closedWindows(Instant now, bool mark) {
    std::lock_guard<std::mutex> writing(writing_);
    EventCoalescer available;
    EventCoalescer counts;
    std::uint64_t generation = 0;
    bool behind = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, count] : counts_.counts) {
            std::int64_t left = count;
            if (auto handed = handedOver_.find(key); handed != handedOver_.end()) left -= handed->second;
            if (left > 0) available.counts.emplace(key, left);
        }
        behind = written_ != generation_;
        if (behind) {
            counts = counts_;
            generation = generation_;
        }
    }
    std::vector<CoalescedEvent> windows = available.take(now, false);
    // What is handed over must survive a crash first; and every hand-over
    // brings the file up to date, also when there is nothing to hand over.
    if (behind && !writeSnapshot(counts, generation)) {
        std::lock_guard<std::mutex> lock(mutex_);
        callWriter();
        return {};
    }
    if (mark) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const CoalescedEvent& window : windows) {
            if (auto key = keyOf(window)) handedOver_[*key] += window.count;
        }
    }
    return windows;
}

bool PendingCounts::remove(const std::vector<CoalescedEvent>& events) {
    std::lock_guard<std::mutex> writing(writing_);
    EventCoalescer counts;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bool changed = false;
        for (const CoalescedEvent& event : events) {
            const auto key = keyOf(event);
            if (!key) continue;
            changed = subtract(counts_.counts, *key, event.count) || changed;
            subtract(handedOver_, *key, event.count);
        }
        if (changed) ++generation_;
        if (written_ == generation_) return true;
        counts = counts_;
        generation = generation_;
    }
    if (writeSnapshot(counts, generation)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    callWriter();
    return false;
}

std::int64_t PendingCounts::pendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    EventCoalescer left = counts_;
    for (const auto& [key, count] : handedOver_) subtract(left.counts, key, count);
    return left.pendingCount();
}

EventCoalescer PendingCounts::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

}  // namespace brivet

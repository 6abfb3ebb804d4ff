#pragma once
// The block counts a filter holds until they are safe elsewhere: one
// coalescer in memory and its file ("events-pending.json"), kept up to date
// by a writer thread of its own. keldra-proxy's in-process filter and the
// keldra-filter daemon both keep their counts in one of these.
//
// - Counting a block touches memory only. The first change after a write
//   wakes the writer; every later one finds it woken already. The writer
//   gathers a burst for `gather` and writes the latest counts durably (file
//   and folder synced), so the deciding thread never waits for the disk.
// - A write that fails is tried again after 1 second, doubling up to a
//   minute, with no block needed to trigger it. The first failure logs one
//   line, the first success after failures another.
// - Closed windows are handed over only once every count in them has been
//   written durably (written right then when the writer is behind; when that
//   fails, nothing is handed over). They stay in memory and in the file until
//   the taker says they are safe elsewhere (remove): a crash in between makes
//   them handed over again after a restart, as the same records (window,
//   kind, category and count), never lost.
// - Writes land in the order their snapshots were taken, so the file only
//   ever holds a state the counts held.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BrivetClient/Events.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSet.h"

namespace brivet {

// Where the counts are written: a seam so that tests can stall or fail the
// writes.
class CountsFile {
public:
    virtual ~CountsFile() = default;
    // Replaces the file with `text` durably; throws when it could not (also
    // when the new content is in place but its folder could not be synced).
    virtual void write(const std::string& text) = 0;

protected:
    CountsFile() = default;
    CountsFile(const CountsFile&) = default;
    CountsFile& operator=(const CountsFile&) = default;
};

// The real file, through the atomic-write helper (0600, never through a
// symlink), file and folder synced. The folder is not created.
class DurableCountsFile final : public CountsFile {
public:
    explicit DurableCountsFile(std::filesystem::path path) : path_(std::move(path)) {}
    void write(const std::string& text) override;

private:
    std::filesystem::path path_;
};

struct CountsWriterTiming {
    // How long the writer gathers changes before it writes them.
    std::chrono::milliseconds gather{20};
    // The wait before the first retry of a failed write; it doubles after
    // every further failure up to `retryLongest`.
    std::chrono::milliseconds retryFirst{1000};
    std::chrono::milliseconds retryLongest{60000};
};

class PendingCounts {
public:
    using Log = std::function<void(const std::string&)>;
    using Timing = CountsWriterTiming;

    // Resumes from the file at `path` when it reads and decodes; anything
    // else starts with no counts. An entry that is no regular file (a
    // symlink, a FIFO...) or too large is never read. A file there that
    // cannot be used is moved aside (moveAside), with one line to `log`.
    // Writes go to `file`, by default the durable file at `path`.
    explicit PendingCounts(std::filesystem::path path, Log log = nullptr, Timing timing = {},
                           std::unique_ptr<CountsFile> file = nullptr);
    // Stops the writer, then writes what is not on disk yet.
    ~PendingCounts();

    PendingCounts(const PendingCounts&) = delete;
    PendingCounts& operator=(const PendingCounts&) = delete;

    // Counts one event (EventCoalescer::record); never waits for the disk.
    void record(std::string_view type, std::string_view reason, std::optional<std::string> category,
                std::optional<std::int64_t> policySeq, Instant at);
    // Counts a block as EventCoalescer::recordBlock does.
    void recordBlock(const HostDecision& decision, std::int64_t policySeq, Instant at);

    // The windows closed by `now` that were not handed over yet, each count
    // durable first: the latest counts are written now when the file lacks
    // them. Empty when that write failed.
    // closed() leaves them as they are, so the next call returns them again;
    // handOver() marks them, so that only a new process returns them again
    // unless they are removed.
    std::vector<CoalescedEvent> closed(Instant now);
    std::vector<CoalescedEvent> handOver(Instant now);

    // Drops windows returned by closed() or handOver() that are now safe
    // elsewhere (their counts are subtracted, so counts added since stay) and
    // writes the file durably. Returns false when that write failed: the
    // windows are gone from memory, and the writer brings the file up to
    // date; a crash before that hands them over again.
    bool remove(const std::vector<CoalescedEvent>& events);

    // Writes the latest counts now when the file lacks them; false when that
    // write failed (the writer tries again).
    bool flush();

    // The counts not handed over yet.
    std::int64_t pendingCount() const;
    // Every count held, handed over or not: what the file holds once written.
    EventCoalescer snapshot() const;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    // Writes the latest counts when they are not on disk yet. `byWriter`:
    // called by the writer thread, which is woken again by the next change.
    bool writeLatest(bool byWriter);
    // Writes `counts`, a snapshot of generation `generation`; the caller
    // holds writing_, not mutex_.
    bool writeSnapshot(const EventCoalescer& counts, std::uint64_t generation);
    // Under mutex_: makes sure the writer comes round once more.
    void callWriter();
    std::vector<CoalescedEvent> closedWindows(Instant now, bool mark);
    void writerLoop();

    const std::filesystem::path path_;
    const Log log_;
    const Timing timing_;
    const std::unique_ptr<CountsFile> file_;

    mutable std::mutex mutex_;
    EventCoalescer counts_;
    // Counts handed over by handOver() and not removed yet, per key.
    EventCoalescer::Counts handedOver_;
    // Bumped on every change of counts_; the generation last written.
    std::uint64_t generation_ = 0;
    std::uint64_t written_ = 0;
    // The writer has been woken (or is busy, or waits out a back-off) and
    // looks at the counts again without another wake.
    bool writerCalled_ = false;
    bool stopping_ = false;
    std::condition_variable wake_;

    // Held while a snapshot is taken and written, so that writes land in
    // snapshot order.
    std::mutex writing_;
    bool failing_ = false;  // under writing_: one log line per outage
    std::thread writer_;
};

}  // namespace brivet

#pragma once
// The one way this system writes a file that holds state or secrets.
//
// The bytes go to a temporary file in the target's directory that is created
// exclusively with the final mode (so it is never readable by others, even
// for a moment), then fsynced, renamed over the target, and the directory is
// fsynced so that the rename itself survives a crash.
//
// The temporary file is named "." + target name + ".tmp-" + the writer's
// process id + "-" + random hex, so that leftovers of a writer that was
// killed can be told from the files of a writer still at work.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace brivet {

struct AtomicWriteOptions {
    mode_t mode = 0600;
    // Skip both fsyncs. Only for files that are rewritten on a hot path and
    // merely mirror counts that are also held in memory.
    bool durable = true;
    // Create missing parent directories (with mode 0700).
    bool createDirectories = true;
};

class AtomicWriteError : public std::runtime_error {
public:
    AtomicWriteError(std::string message, int errnum)
        : std::runtime_error(std::move(message)), errnum_(errnum) {}
    int errnum() const noexcept { return errnum_; }

private:
    int errnum_;
};

// What a write that returned did: the new content is in place in any case.
struct AtomicWriteOutcome {
    // False when the directory could not be synced after the rename: the new
    // content is in place and read back by everyone, but a crash of the
    // machine before the next sync could still bring back the old file.
    bool durable = true;
    std::string syncError;  // why, when not durable
};

// Throws AtomicWriteError on any failure before the rename; the target is
// then left untouched and no temporary file remains. Once the rename is done
// it never throws: the outcome says whether the directory sync succeeded.
AtomicWriteOutcome atomicWrite(const std::filesystem::path& target, std::string_view bytes,
                               const AtomicWriteOptions& options = {});

// Removes the temporary files that atomicWrite left in `directory` when its
// writer was killed: only names of our own form whose process is gone (a
// live writer's file is kept, and so is any file of this process). Never
// follows symlinks and never fails; returns the number of files removed.
std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory) noexcept;

// Reads a whole file. Returns false when it does not exist; throws
// std::runtime_error when it exists but cannot be read.
bool readWholeFile(const std::filesystem::path& path, std::string& out);

// Moves a damaged state file out of the way without ever replacing an
// earlier copy: "<name>.bad", else "<name>.bad.1", "<name>.bad.2", ... so that
// it stays for inspection and the next start does not trip over it again.
// Returns the name it now has. Throws AtomicWriteError when it cannot.
std::filesystem::path moveAside(const std::filesystem::path& file);

// Moves a damaged state file aside with moveAside(). `line` is the one log
// line that says so: "<what> in <file> cannot be used (<reason>); moved it
// aside to <new name>", or "...; cannot move it aside: <error>". It holds
// outside text (names, errors): the caller makes it safe for its log.
struct SetAside {
    bool moved = false;
    std::filesystem::path aside;
    std::string line;
};
SetAside setAsideDamaged(const std::filesystem::path& file, const std::string& what, const std::string& reason);

}  // namespace brivet

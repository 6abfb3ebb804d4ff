#pragma once
// The one way this system writes a file that holds state or secrets.
//
// The bytes go to a temporary file in the target's directory that is created
// exclusively with the final mode (so it is never readable by others, even
// for a moment), then fsynced, renamed over the target, and the directory is
// fsynced so that the rename itself survives a crash.

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

// Throws AtomicWriteError on any failure; the target is then left untouched
// and no temporary file remains.
void atomicWrite(const std::filesystem::path& target, std::string_view bytes,
                 const AtomicWriteOptions& options = {});

// Reads a whole file. Returns false when it does not exist; throws
// std::runtime_error when it exists but cannot be read.
bool readWholeFile(const std::filesystem::path& path, std::string& out);

}  // namespace brivet

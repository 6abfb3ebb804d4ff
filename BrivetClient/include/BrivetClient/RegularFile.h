#pragma once
// Reading the files of the data folder, which a local user can replace with
// anything: a symlink to another file, a FIFO that blocks a reader for ever,
// a device. A file is opened without following a symlink in its last
// component and read only when it is a regular file of bounded size.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace brivet {

// The largest data file read. The largest file written is filter-rules.json;
// with 1,000,000 rules of names at the 253-byte limit it stays below 400 MB.
inline constexpr std::size_t kDataFileSizeLimit = std::size_t{1} << 30;

// The entry is there but is not a regular file (a symlink, FIFO, directory,
// device or socket), or it is larger than the limit.
class NotRegularFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the whole file at `path` into `out`. Returns false when nothing is
// there. Throws NotRegularFileError as described above, and
// std::runtime_error when the file cannot be opened or read otherwise.
bool readRegularFile(const std::filesystem::path& path, std::string& out,
                     std::size_t maxBytes = kDataFileSizeLimit);

// The same for `name` inside the open directory `directoryFd`.
bool readRegularFileAt(int directoryFd, const std::string& name, std::string& out,
                       std::size_t maxBytes = kDataFileSizeLimit);

}  // namespace brivet

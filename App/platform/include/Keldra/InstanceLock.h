#pragma once
// One running copy of the app per user and data folder: a lock held for the
// life of the process. The lock is an flock on a file, so the kernel lets go
// of it when the process ends in any way, and a copy that crashed never keeps
// the next one from starting.
//
// The file lies in the data folder itself, so every copy that uses one data
// folder finds the same lock whatever its environment says (a copy started
// by the desktop with XDG_RUNTIME_DIR set, and one started over su or ssh
// without it, meet at the same file).

#include <filesystem>
#include <stdexcept>

namespace keldra {

class InstanceLock {
public:
    // Another process holds the lock: a copy of the app already runs.
    class Held : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // The lock file could not be made or locked.
    class Unavailable : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // The lock file for the app whose data folder is `dataFolder`:
    // <dataFolder>/Keldra/app.lock. Another spelling of the same folder (a
    // symlink, "..") names the same file, and so the same lock.
    static std::filesystem::path fileFor(const std::filesystem::path& dataFolder);

    // Takes the lock at `file` without waiting: creates the file (owner
    // only, its folder too when missing), never through a symlink and never
    // on anything but a regular file. Throws Held when another process has
    // it, Unavailable for any other failure.
    explicit InstanceLock(const std::filesystem::path& file);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace keldra

#pragma once
// One running copy of the app per user and data folder: a lock held for the
// life of the process. The lock is an flock on a file, so the kernel lets go
// of it when the process ends in any way, and a copy that crashed never keeps
// the next one from starting.
//
// The file lies in the user's runtime folder ($XDG_RUNTIME_DIR), named after
// the data folder, so two data folders never share one; without a runtime
// folder it lies in the data folder itself.

#include <filesystem>
#include <stdexcept>

#include "BrivetClient/PlatformPaths.h"

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

    // The lock file for the app whose data folder is `dataFolder`.
    //   $XDG_RUNTIME_DIR/keldra-app-<16 hex digits of the data folder>.lock
    //   (when XDG_RUNTIME_DIR is an absolute path of a folder), else
    //   <dataFolder>/Keldra/app.lock
    static std::filesystem::path fileFor(const std::filesystem::path& dataFolder,
                                         const brivet::platform::EnvironmentLookup& environment =
                                             brivet::platform::processEnvironment);

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

#pragma once
// Who may call the daemon: root, or a process running the installed app.
//
// The app counts as installed when its executable and every folder above it
// are owned by root and writable by no one else (a root-owned folder with the
// sticky bit, such as /tmp, may be writable by others: they cannot replace
// what root put there). The peer's /proc/<pid>/exe must be that very file
// (same device and inode, and the same path).
//
// This stops other programs of a local user from calling. It cannot stop a
// user from changing what their own copy of the app process does once it
// runs (a debugger, a preloaded library), since that process is theirs.

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace keldra::filter {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
};

struct PeerCheck {
    // The installed app's executable; empty when no app is installed (then
    // only root may call).
    std::filesystem::path appExecutable;
    // Where processes are looked up.
    std::filesystem::path procRoot = "/proc";

    // Empty when the peer may call; otherwise why not.
    std::string refusal(const PeerCredentials& peer) const;
};

// The credentials of a connected Unix socket's peer; pid 0 when unknown.
PeerCredentials peerOf(int fd);

// True when `path` and every folder above it are owned by root and writable
// only by root (sticky root-owned folders excepted).
bool rootOwnedAllTheWay(const std::filesystem::path& path);

}  // namespace keldra::filter

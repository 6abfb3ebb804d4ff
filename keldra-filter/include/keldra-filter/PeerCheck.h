#pragma once
// Who may call the daemon: root, or a process running the installed app.
//
// The app counts as installed when its executable and every folder above it
// are owned by root and writable by no one else (a root-owned folder with the
// sticky bit, such as /tmp, may be writable by others: they cannot replace
// what root put there). The peer's /proc/<pid>/exe must be that very file
// (same device and inode, and the same path).
//
// The check looks at the process that sent each request (its credentials
// come with the bytes, see readFrameWithSender), not at the one that
// connected: a descriptor handed on to a child, or kept across an exec,
// speaks for the process that writes to it. It cannot stop a program that
// execs the app between sending a request and the check, nor a user from
// changing what their own copy of the app process does once it runs (a
// debugger, a preloaded library), since that process is theirs.

#include <filesystem>
#include <optional>
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

// Asks the kernel to attach the sender's credentials to every chunk of
// bytes that arrives on `fd` (a listening socket passes this on to the
// connections it accepts). Throws std::system_error.
void passCredentials(int fd);

// One frame of the link and who sent it.
struct SentFrame {
    std::string message;
    // The one process that sent every byte of the frame; absent when a
    // chunk came without credentials or the bytes came from more than one
    // process.
    std::optional<PeerCredentials> sender;
};

// Reads one frame (the link's length-prefixed framing) with recvmsg, taking
// the credentials of every chunk; on a socket with credentials passed on,
// the kernel never joins bytes of different senders in one chunk. Any
// descriptors sent along are closed. Throws keldra::filterwire's
// ConnectionClosed when the peer closes before a frame begins, WireError for
// a broken or too large frame.
SentFrame readFrameWithSender(int fd);

// True when `path` and every folder above it are owned by root and writable
// only by root (sticky root-owned folders excepted).
bool rootOwnedAllTheWay(const std::filesystem::path& path);

}  // namespace keldra::filter

#pragma once
// Who may call the daemon: root, or a process running the installed app in
// the daemon's own pid namespace.
//
// The app counts as installed when its executable and every folder above it
// are owned by root and writable by no one else (a root-owned folder with the
// sticky bit, such as /tmp, may be writable by others: they cannot replace
// what root put there). The peer's /proc/<pid>/exe must be that very file
// (same device and inode, and the same path).
//
// The peer must run in the daemon's pid namespace: a process that holds
// CAP_SYS_ADMIN over a pid namespace of its own (any user gets that with a
// user namespace) may send credentials naming any process of that namespace,
// such as a copy of the app it started there, and it can name no process
// outside it. The user namespace is not compared: a process of the daemon's
// pid namespace cannot name another process whatever user namespace it is in
// (that namespace belongs to the first user namespace), and the uid it sends
// can only be one mapped into its own, never root.
//
// The check looks at the process that sent each request (its credentials
// come with the bytes, see readFrameWithSender), not at the one that
// connected: a descriptor handed on to a child, or kept across an exec,
// speaks for the process that writes to it. Where the kernel hands on a
// pidfd for the sender (Linux 6.5 and later) the check ends by asking it
// whether that process still lives, so a pid that went to another process in
// the meantime is refused; on older kernels that race remains. It cannot
// stop a program that execs the app between sending a request and the check,
// nor a user from changing what their own copy of the app process does once
// it runs (a debugger, a preloaded library), since that process is theirs.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "filter-link/FilterWire.h"

namespace keldra::filter {

// A pidfd: it names one process for as long as it is open, even after the
// process has ended and its pid has gone to another. -1 stands for a process
// that had already ended when the kernel was asked for it.
class ProcessHandle {
public:
    explicit ProcessHandle(int fd) noexcept : fd_(fd) {}
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // False once the process has been reaped (its pid may be reused).
    bool alive() const noexcept;

private:
    int fd_;
};

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    // The process itself, where the kernel hands on a pidfd; absent on
    // kernels without them (the pid alone is checked then).
    std::shared_ptr<const ProcessHandle> process;
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

// The credentials of a connected Unix socket's peer (the process that
// connected), with its pidfd where the kernel has them; pid 0 when unknown.
PeerCredentials peerOf(int fd);

// Asks the kernel to attach the sender's credentials to every chunk of
// bytes that arrives on `fd` (a listening socket passes this on to the
// connections it accepts), and its pidfd where the kernel can. True when
// pidfds come along. Throws std::system_error.
bool passCredentials(int fd);

// One frame of the link and who sent it.
struct SentFrame {
    std::string message;
    // The one process that sent every byte of the frame. Its handle is the
    // first chunk's: while that process lives, no other can have sent under
    // its pid.
    PeerCredentials sender;
};

// How one frame is read.
struct FrameReading {
    // The frame's first byte is awaited until then (ConnectionClosed after
    // it: an idle connection).
    std::chrono::steady_clock::time_point firstByteBy;
    // The rest must come within this long of the first byte (time spent in
    // `admit` not counted), else TimedOut.
    std::chrono::milliseconds completeWithin{5000};
    // Called once the 4-byte length is in, before anything more is read,
    // with the sender of those bytes (absent when a chunk came without
    // credentials or from a second process) and the length; it throws
    // (SenderRefused, say) to end the read, and may drop the sender (which
    // refuses it too).
    std::function<void(std::optional<PeerCredentials>& sender, std::uint32_t size)> admit;
};

// The sender of a frame was refused (by `admit`), or a chunk of the frame
// came from another process than its first bytes, or without credentials.
class SenderRefused : public keldra::filterwire::WireError {
public:
    SenderRefused(const std::string& reason, uid_t uid) : WireError(reason), uid_(uid) {}
    uid_t uid() const noexcept { return uid_; }

private:
    uid_t uid_;
};

// Reads one frame (the link's length-prefixed framing) with recvmsg, taking
// the credentials of every chunk; on a socket with credentials passed on,
// the kernel never joins bytes of different senders in one chunk. No more
// than the length is read before the sender is checked, and the read stops
// at the first chunk from anyone else. Any descriptors sent along are
// closed. The body's room is reserved once admitted and filled as the bytes
// come. Throws keldra::filterwire's ConnectionClosed when the peer closes
// (or stays silent) before a frame begins, TimedOut when a begun frame is
// late, SenderRefused, or WireError for a broken or too large frame.
SentFrame readFrameWithSender(int fd, const FrameReading& reading);

// True when `path` and every folder above it are owned by root and writable
// only by root (sticky root-owned folders excepted).
bool rootOwnedAllTheWay(const std::filesystem::path& path);

}  // namespace keldra::filter

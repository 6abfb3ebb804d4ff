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

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

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
    // The one process that sent every byte of the frame; absent when a
    // chunk came without credentials or the bytes came from more than one
    // process. Its handle is the first chunk's: while that process lives,
    // no other can have sent under its pid.
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

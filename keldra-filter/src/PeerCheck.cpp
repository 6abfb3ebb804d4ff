#include "keldra-filter/PeerCheck.h"

#include "BrivetClient/LogText.h"
#include "filter-link/FilterWire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

// Pidfds for socket peers came with Linux 6.5; older C library headers lack
// the names (the values are those of every architecture but a few).
#if !defined(SO_PASSPIDFD) && !defined(__hppa__) && !defined(__sparc__)
#define SO_PASSPIDFD 76
#endif
#if !defined(SO_PEERPIDFD) && !defined(__hppa__) && !defined(__sparc__)
#define SO_PEERPIDFD 77
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace keldra::filter {
namespace {

namespace wire = keldra::filterwire;

// Who sent the chunks of one frame so far.
struct Senders {
    std::optional<PeerCredentials> one;
    bool unknown = false;  // a chunk without credentials, or a second sender

    void add(const std::optional<PeerCredentials>& chunk) {
        if (!chunk) {
            unknown = true;
        } else if (!one) {
            one = chunk;
        } else if (one->pid != chunk->pid || one->uid != chunk->uid) {
            unknown = true;
        }
    }
};

// One recvmsg; the credentials that came with the chunk, if any.
ssize_t receiveChunk(int fd, char* out, std::size_t size, std::optional<PeerCredentials>& credentials) {
    iovec vector{out, size};
    // Room for the credentials and a few descriptors a sender may add (they
    // are closed at once; more than fit are discarded by the kernel).
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(16 * sizeof(int))];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (got <= 0) return got;
    credentials.reset();
    std::shared_ptr<const ProcessHandle> process;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_CREDENTIALS && header->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred sent{};
            std::memcpy(&sent, CMSG_DATA(header), sizeof sent);
            credentials = PeerCredentials{sent.pid, sent.uid, nullptr};
        } else if (header->cmsg_type == SCM_PIDFD && header->cmsg_len >= CMSG_LEN(sizeof(int))) {
            // A negative value: the sender had been reaped by the time the
            // bytes were read.
            int descriptor = -1;
            std::memcpy(&descriptor, CMSG_DATA(header), sizeof descriptor);
            if (descriptor >= 0) ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
            process = std::make_shared<const ProcessHandle>(descriptor < 0 ? -1 : descriptor);
        } else if (header->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int descriptor = -1;
                std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof descriptor);
                if (descriptor >= 0) ::close(descriptor);
            }
        }
    }
    if (credentials) credentials->process = std::move(process);
    if ((message.msg_flags & MSG_CTRUNC) != 0) credentials.reset();
    return got;
}

using Clock = std::chrono::steady_clock;

// Reads exactly `size` bytes by `deadline`; false when the peer closed
// before the first. With `strangers` set, a chunk from anyone but the
// frame's first sender ends the read at once.
bool receiveExactly(int fd, char* out, std::size_t size, Senders& senders, Clock::time_point deadline,
                    bool strangers = false) {
    std::size_t done = 0;
    while (done < size) {
        if (!wire::waitReadable(fd, deadline)) throw wire::TimedOut("a request not complete in time");
        std::optional<PeerCredentials> credentials;
        const ssize_t got = receiveChunk(fd, out + done, size - done, credentials);
        if (got > 0) {
            senders.add(credentials);
            if (strangers && senders.unknown) {
                throw SenderRefused("uid " + std::to_string(senders.one->uid) + " pid " +
                                        std::to_string(senders.one->pid) +
                                        ": bytes of its request came from another process or without credentials",
                                    senders.one->uid);
            }
            done += static_cast<std::size_t>(got);
        } else if (got == 0) {
            if (done == 0) return false;
            throw wire::WireError("connection closed inside a frame");
        } else if (errno != EINTR && errno != EAGAIN) {
            if (done == 0 && (errno == ECONNRESET || errno == EPIPE)) return false;
            throw wire::WireError(std::string("read: ") + std::strerror(errno));
        }
    }
    return true;
}

}  // namespace

ProcessHandle::~ProcessHandle() {
    if (fd_ >= 0) ::close(fd_);
}

bool ProcessHandle::alive() const noexcept {
    if (fd_ < 0) return false;
    // Signal 0 only asks: it fails with ESRCH once the process is reaped.
    return ::syscall(SYS_pidfd_send_signal, fd_, 0, nullptr, 0) == 0 || errno == EPERM;
}

bool passCredentials(int fd) {
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        throw std::system_error(errno, std::generic_category(), "SO_PASSCRED");
    }
#ifdef SO_PASSPIDFD
    return ::setsockopt(fd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on) == 0;
#else
    return false;
#endif
}

SentFrame readFrameWithSender(int fd, const FrameReading& reading) {
    if (!wire::waitReadable(fd, reading.firstByteBy)) throw wire::ConnectionClosed("no request in time");
    auto deadline = Clock::now() + reading.completeWithin;
    Senders senders;
    unsigned char prefix[4];
    if (!receiveExactly(fd, reinterpret_cast<char*>(prefix), sizeof prefix, senders, deadline)) {
        throw wire::ConnectionClosed("connection closed");
    }
    const std::uint32_t size = wire::frameSize(prefix);
    std::optional<PeerCredentials> sender;
    if (!senders.unknown) sender = senders.one;
    const auto admitting = Clock::now();
    if (reading.admit) reading.admit(sender, size);
    if (!sender) throw SenderRefused("a request without credentials", static_cast<uid_t>(-1));
    deadline += Clock::now() - admitting;
    SentFrame frame;
    frame.sender = *sender;
    // Room for the whole frame is only reserved: pages are taken as the
    // bytes come, a chunk at a time.
    frame.message.reserve(size);
    // At most this much of another sender's bytes is read before they are
    // refused.
    constexpr std::size_t kChunk = 64 * 1024;
    while (frame.message.size() < size) {
        const std::size_t at = frame.message.size();
        const std::size_t step = std::min<std::size_t>(kChunk, size - at);
        frame.message.resize(at + step);
        if (!receiveExactly(fd, frame.message.data() + at, step, senders, deadline, true)) {
            throw wire::WireError("connection closed inside a frame");
        }
    }
    return frame;
}

PeerCredentials peerOf(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return {0, static_cast<uid_t>(-1), nullptr};
    }
    PeerCredentials peer{credentials.pid, credentials.uid, nullptr};
#ifdef SO_PEERPIDFD
    int pidfd = -1;
    length = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        peer.process = std::make_shared<const ProcessHandle>(pidfd);
    } else if (errno != ENOPROTOOPT && errno != EOPNOTSUPP) {
        // The kernel has pidfds, but the peer is gone.
        peer.process = std::make_shared<const ProcessHandle>(-1);
    }
#endif
    return peer;
}

bool rootOwnedAllTheWay(const std::filesystem::path& path) {
    if (!path.is_absolute()) return false;
    std::filesystem::path current = path;
    while (true) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) return false;
        if (S_ISLNK(st.st_mode)) return false;
        if (st.st_uid != 0) return false;
        const bool writableByOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (writableByOthers && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && current != path)) return false;
        if (current == current.root_path()) return true;
        current = current.parent_path();
    }
}

std::string PeerCheck::refusal(const PeerCredentials& peer) const {
    if (peer.uid == 0) return {};
    const std::string who = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    if (peer.pid <= 0) return who + ": unknown process";
    if (appExecutable.empty()) return who + ": not root, and no app is installed";
    // A pid sent from a pid namespace of the sender's own can name whatever
    // runs there; only the daemon's own namespace is trusted.
    struct stat ownNamespace {}, itsNamespace {};
    if (::stat((procRoot / "self/ns/pid").c_str(), &ownNamespace) != 0 ||
        ::stat((procRoot / std::to_string(peer.pid) / "ns/pid").c_str(), &itsNamespace) != 0) {
        return who + ": its pid namespace cannot be read";
    }
    if (ownNamespace.st_dev != itsNamespace.st_dev || ownNamespace.st_ino != itsNamespace.st_ino) {
        return who + ": runs in another pid namespace than the daemon's";
    }
    const auto exe = procRoot / std::to_string(peer.pid) / "exe";
    std::error_code ec;
    const auto running = std::filesystem::read_symlink(exe, ec);
    if (ec) return who + ": its program cannot be read";
    struct stat runningFile {}, appFile {};
    if (::stat(exe.c_str(), &runningFile) != 0 || ::stat(appExecutable.c_str(), &appFile) != 0 ||
        runningFile.st_dev != appFile.st_dev || runningFile.st_ino != appFile.st_ino || running != appExecutable) {
        return who + ": runs " + brivet::logSafe(running.string()) + ", not the installed app";
    }
    if (!rootOwnedAllTheWay(appExecutable)) return who + ": the app at " + appExecutable.string() + " is not installed by root";
    // Last: while the process lives its pid cannot have gone to another, so
    // everything read above was that process's.
    if (peer.process && !peer.process->alive()) return who + ": it ended before it was checked";
    return {};
}

}  // namespace keldra::filter

#include "keldra-filter/PeerCheck.h"

#include "BrivetClient/LogText.h"
#include "Keldra/FilterWire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (got <= 0) return got;
    credentials.reset();
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_CREDENTIALS && header->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred sent{};
            std::memcpy(&sent, CMSG_DATA(header), sizeof sent);
            credentials = PeerCredentials{sent.pid, sent.uid};
        } else if (header->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int descriptor = -1;
                std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof descriptor);
                if (descriptor >= 0) ::close(descriptor);
            }
        }
    }
    if ((message.msg_flags & MSG_CTRUNC) != 0) credentials.reset();
    return got;
}

// Reads exactly `size` bytes; false when the peer closed before the first.
bool receiveExactly(int fd, char* out, std::size_t size, Senders& senders) {
    std::size_t done = 0;
    while (done < size) {
        std::optional<PeerCredentials> credentials;
        const ssize_t got = receiveChunk(fd, out + done, size - done, credentials);
        if (got > 0) {
            senders.add(credentials);
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

void passCredentials(int fd) {
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        throw std::system_error(errno, std::generic_category(), "SO_PASSCRED");
    }
}

SentFrame readFrameWithSender(int fd) {
    Senders senders;
    unsigned char prefix[4];
    if (!receiveExactly(fd, reinterpret_cast<char*>(prefix), sizeof prefix, senders)) {
        throw wire::ConnectionClosed("connection closed");
    }
    const std::uint32_t size = (std::uint32_t(prefix[0]) << 24) | (std::uint32_t(prefix[1]) << 16) |
                               (std::uint32_t(prefix[2]) << 8) | std::uint32_t(prefix[3]);
    if (size > wire::kMaxFrameBytes) throw wire::WireError("frame of " + std::to_string(size) + " bytes refused");
    SentFrame frame;
    // Grown as the bytes come, so a peer that announces a large frame and
    // sends little makes us hold only what it sent.
    constexpr std::size_t kChunk = 1024 * 1024;
    while (frame.message.size() < size) {
        const std::size_t at = frame.message.size();
        const std::size_t step = std::min<std::size_t>(kChunk, size - at);
        frame.message.resize(at + step);
        if (!receiveExactly(fd, frame.message.data() + at, step, senders)) {
            throw wire::WireError("connection closed inside a frame");
        }
    }
    if (!senders.unknown) frame.sender = senders.one;
    return frame;
}

PeerCredentials peerOf(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return {0, static_cast<uid_t>(-1)};
    return {credentials.pid, credentials.uid};
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
    return {};
}

}  // namespace keldra::filter

#include "keldra-filter/PeerCheck.h"

#include <sys/socket.h>
#include <sys/stat.h>

namespace keldra::filter {

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
        return who + ": runs " + running.string() + ", not the installed app";
    }
    if (!rootOwnedAllTheWay(appExecutable)) return who + ": the app at " + appExecutable.string() + " is not installed by root";
    return {};
}

}  // namespace keldra::filter

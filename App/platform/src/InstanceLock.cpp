#include "Keldra/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace keldra {

namespace {

// The path as it is: whoever shows the message escapes it there.
std::string describe(const std::filesystem::path& file, const std::string& what) {
    return file.string() + ": " + what;
}

}  // namespace

std::filesystem::path InstanceLock::fileFor(const std::filesystem::path& dataFolder) {
    return dataFolder / "Keldra" / "app.lock";
}

InstanceLock::InstanceLock(const std::filesystem::path& file) {
    std::error_code ec;
    if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ec)) {
        std::filesystem::create_directories(file.parent_path(), ec);
        if (!ec) std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ec);
    }
    // Non-blocking open: a FIFO planted at the name must not hang the start.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) throw Unavailable(describe(file, std::strerror(errno)));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw Unavailable(describe(file, "not a regular file"));
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) throw Held(describe(file, "held by another process"));
        throw Unavailable(describe(file, std::strerror(error)));
    }
    fd_ = fd;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace keldra

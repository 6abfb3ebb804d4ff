#include "BrivetClient/RegularFile.h"

#include "BrivetClient/Descriptor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivet {
namespace {

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

bool readOpened(int directoryFd, const std::string& name, std::string& out, std::size_t maxBytes) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    Descriptor fd(::openat(directoryFd, name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return false;
        if (error == ELOOP) throw NotRegularFileError(name + " is a symlink");
        if (error == ENXIO) throw NotRegularFileError(name + " is a socket");
        throw std::runtime_error("cannot open " + name + ": " + std::strerror(error));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw std::runtime_error("cannot inspect " + name + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw NotRegularFileError(name + " is " + kindOf(st.st_mode));
    if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
        throw NotRegularFileError(name + " is larger than " + std::to_string(maxBytes) + " bytes");
    }

    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        // The file may grow while it is read.
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
            out.clear();
            throw NotRegularFileError(name + " is larger than " + std::to_string(maxBytes) + " bytes");
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool readRegularFile(const std::filesystem::path& path, std::string& out, std::size_t maxBytes) {
    return readOpened(AT_FDCWD, path.string(), out, maxBytes);
}

bool readRegularFileAt(int directoryFd, const std::string& name, std::string& out, std::size_t maxBytes) {
    return readOpened(directoryFd, name, out, maxBytes);
}

}  // namespace brivet

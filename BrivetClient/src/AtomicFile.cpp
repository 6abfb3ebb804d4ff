#include "BrivetClient/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace brivet {
namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset() { if (fd_ >= 0) ::close(fd_); fd_ = -1; }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int errnum) {
    throw AtomicWriteError(what + " " + path.string() + ": " + std::strerror(errnum), errnum);
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string s;
    auto v = rng();
    for (int i = 0; i < 12; ++i) { s += digits[v & 15]; v >>= 4; }
    return s;
}

void makeDirectories(const std::filesystem::path& dir) {
    if (dir.empty()) return;
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) return;
    makeDirectories(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) fail("cannot create directory", dir, errno);
}

}  // namespace

void atomicWrite(const std::filesystem::path& target, std::string_view bytes,
                 const AtomicWriteOptions& options) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    if (options.createDirectories) makeDirectories(dir);

    std::filesystem::path temp;
    int raw = -1;
    for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
        temp = dir / ("." + target.filename().string() + ".tmp-" + randomSuffix());
        raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, options.mode);
        if (raw < 0 && errno != EEXIST) fail("cannot create", temp, errno);
    }
    if (raw < 0) fail("cannot create", temp, EEXIST);
    Fd fd(raw);
    bool done = false;
    struct Cleanup {
        const std::filesystem::path& p;
        bool& done;
        ~Cleanup() { if (!done) ::unlink(p.c_str()); }
    } cleanup{temp, done};

    // The umask may have narrowed the mode; set it exactly.
    if (::fchmod(fd.get(), options.mode) != 0) fail("cannot set mode of", temp, errno);

    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", temp, errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (options.durable && ::fsync(fd.get()) != 0) fail("cannot sync", temp, errno);
    if (::close(fd.release()) != 0) fail("cannot close", temp, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) fail("cannot rename over", target, errno);
    done = true;

    if (options.durable) {
        Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dfd.get() < 0) fail("cannot open directory", dir, errno);
        if (::fsync(dfd.get()) != 0) fail("cannot sync directory", dir, errno);
    }
}

bool readWholeFile(const std::filesystem::path& path, std::string& out) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    }
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace brivet

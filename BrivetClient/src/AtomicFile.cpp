#include "BrivetClient/AtomicFile.h"

#include "BrivetClient/Descriptor.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace brivet {
namespace {

std::string describe(std::string_view what, const std::filesystem::path& path, int errnum) {
    std::string text;
    text.append(what).append(" ").append(path.native()).append(": ").append(std::strerror(errnum));
    return text;
}

[[noreturn]] void fail(std::string_view what, const std::filesystem::path& path, int errnum) {
    throw AtomicWriteError(describe(what, path, errnum), errnum);
}

constexpr std::string_view kTempMarker = ".tmp-";

// "." + target name + ".tmp-" + pid + "-" + suffix. Built by appending, so
// that no temporary string is concatenated with itself.
std::string temporaryName(const std::filesystem::path& target, pid_t pid, const std::string& suffix) {
    const std::filesystem::path file = target.filename();
    const std::string& name = file.native();
    const std::string id = std::to_string(pid);
    std::string out;
    out.reserve(1 + name.size() + kTempMarker.size() + id.size() + 1 + suffix.size());
    out.push_back('.');
    out.append(name);
    out.append(kTempMarker);
    out.append(id);
    out.push_back('-');
    out.append(suffix);
    return out;
}

// The writer's process id of a name made by temporaryName, or 0 when the
// name is not of that form.
pid_t writerOf(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return 0;
    const std::size_t marker = name.rfind(kTempMarker);
    if (marker == std::string_view::npos || marker < 2) return 0;
    std::string_view rest = name.substr(marker + kTempMarker.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 9) return 0;
    const std::string_view suffix = rest.substr(dash + 1);
    if (suffix.size() != 12) return 0;
    for (char c : suffix)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    pid_t pid = 0;
    for (char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9') return 0;
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

bool processGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
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

AtomicWriteOutcome atomicWrite(const std::filesystem::path& target, std::string_view bytes,
                               const AtomicWriteOptions& options) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    if (options.createDirectories) makeDirectories(dir);

    std::filesystem::path temp;
    int raw = -1;
    for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
        temp = dir / temporaryName(target, ::getpid(), randomSuffix());
        raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, options.mode);
        if (raw < 0 && errno != EEXIST) fail("cannot create", temp, errno);
    }
    if (raw < 0) fail("cannot create", temp, EEXIST);
    Descriptor fd(raw);
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

    // From here on the new content is in place: a failure is reported in the
    // outcome, never as an error that would tell the caller nothing changed.
    AtomicWriteOutcome outcome;
    if (options.durable) {
        Descriptor dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dfd.get() < 0) {
            outcome.durable = false;
            outcome.syncError = describe("cannot open directory", dir, errno);
        } else if (::fsync(dfd.get()) != 0) {
            outcome.durable = false;
            outcome.syncError = describe("cannot sync directory", dir, errno);
        }
    }
    return outcome;
}

std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory) noexcept {
    const Descriptor dfd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (dfd.get() < 0) return 0;
    const int listFd = ::dup(dfd.get());
    if (listFd < 0) return 0;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return 0;
    }
    const pid_t self = ::getpid();
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t writer = writerOf(entry->d_name);
        if (writer <= 0 || writer == self || !processGone(writer)) continue;
        struct stat st {};
        if (::fstatat(dfd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (st.st_uid != ::geteuid()) continue;
        if (::unlinkat(dfd.get(), entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool readWholeFile(const std::filesystem::path& path, std::string& out) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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

std::filesystem::path moveAside(const std::filesystem::path& file) {
    for (int n = 0; n < 1000; ++n) {
        std::filesystem::path aside = file;
        aside += n == 0 ? std::string(".bad") : ".bad." + std::to_string(n);
        // link() never replaces an existing name, so a race cannot clobber one.
        if (::link(file.c_str(), aside.c_str()) == 0) {
            if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
                const int err = errno;
                throw AtomicWriteError("cannot move aside " + file.string() + ": " + std::strerror(err), err);
            }
            return aside;
        }
        if (errno == EEXIST) continue;
        // A file system without hard links (or a name that is not a regular
        // file): rename, after checking the name.
        std::error_code ec;
        const auto taken = std::filesystem::symlink_status(aside, ec);
        if (std::filesystem::exists(taken) || (ec && ec != std::errc::no_such_file_or_directory)) continue;
        std::filesystem::rename(file, aside, ec);
        if (!ec) return aside;
        throw AtomicWriteError("cannot move aside " + file.string() + ": " + ec.message(), ec.value());
    }
    throw AtomicWriteError("cannot move aside " + file.string() + ": too many earlier copies", EEXIST);
}

SetAside setAsideDamaged(const std::filesystem::path& file, const std::string& what, const std::string& reason) {
    SetAside result;
    result.line = what + " in " + file.string() + " cannot be used (" + reason + ")";
    try {
        result.aside = moveAside(file);
        result.moved = true;
        result.line += "; moved it aside to " + result.aside.filename().string();
    } catch (const std::exception& error) {
        result.line += "; cannot move it aside: " + std::string(error.what());
    }
    return result;
}

}  // namespace brivet

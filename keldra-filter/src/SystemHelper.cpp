#include "keldra-filter/SystemHelper.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/RegularFile.h"
#include "keldra-filter/Configurations.h"
#include "keldra-filter/Command.h"
#include "keldra-filter/PeerCheck.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace keldra::filter {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultIdentifier = "io.tolvane.brivet.filter";

HelperResult failure(std::string message) { return {1, std::move(message)}; }

nlohmann::json readObject(const fs::path& file) {
    std::string text;
    if (!brivet::readWholeFile(file, text)) return nlohmann::json::object();
    auto json = nlohmann::json::parse(text, nullptr, false);
    return json.is_object() ? json : nlohmann::json::object();
}

// Identifiers become folder names: letters, digits, dots and dashes only.
bool plainIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.front() == '.') return false;
    for (char c : identifier) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!ok) return false;
    }
    return identifier.find("..") == std::string::npos;
}

void makeFolder(const fs::path& folder, mode_t mode) {
    fs::create_directories(folder);
    ::chmod(folder.c_str(), mode);
}

bool writableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Everything copied must belong to root and be writable by no one else:
// it ends up run as root.
void checkSourceEntry(const fs::path& path, const struct stat& st) {
    if (st.st_uid != 0 || writableByOthers(st)) {
        throw std::runtime_error("the extension in the installed app is not installed by root: " + path.string() +
                                 " belongs to another user or is writable by group or others");
    }
}

// The mode a copied file gets: only the executable bit is kept.
mode_t installedMode(const struct stat& st) { return (st.st_mode & S_IXUSR) != 0 ? 0755 : 0644; }

// Copies a tree; files keep their executable bits, nothing is followed.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    ::chmod(to.c_str(), 0755);
    for (const auto& entry : fs::directory_iterator(from)) {
        const auto target = to / entry.path().filename();
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0) throw std::runtime_error("cannot read " + entry.path().string());
        if (S_ISLNK(st.st_mode)) continue;
        checkSourceEntry(entry.path(), st);
        if (S_ISDIR(st.st_mode)) {
            copyTree(entry.path(), target);
        } else if (S_ISREG(st.st_mode)) {
            fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
            ::chmod(target.c_str(), installedMode(st));
        }
    }
}

bool sameContents(const fs::path& a, const fs::path& b) {
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    if (!first || !second) return false;
    std::vector<char> one(1 << 16), two(1 << 16);
    while (true) {
        first.read(one.data(), static_cast<std::streamsize>(one.size()));
        second.read(two.data(), static_cast<std::streamsize>(two.size()));
        const auto count = first.gcount();
        if (count != second.gcount() || !std::equal(one.begin(), one.begin() + count, two.begin())) return false;
        if (count < static_cast<std::streamsize>(one.size())) return true;  // both ended here
    }
}

// Whether `to` holds exactly what copyTree(from, to) would put there: the
// same folders and files, byte for byte, with the same modes, and nothing
// more. The source is checked as copyTree checks it.
bool sameTree(const fs::path& from, const fs::path& to) {
    struct stat folder {};
    if (::lstat(to.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) || (folder.st_mode & 07777) != 0755) return false;
    std::size_t expected = 0;
    for (const auto& entry : fs::directory_iterator(from)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0) throw std::runtime_error("cannot read " + entry.path().string());
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
        checkSourceEntry(entry.path(), st);
        ++expected;
        const auto target = to / entry.path().filename();
        struct stat there {};
        if (::lstat(target.c_str(), &there) != 0) return false;
        if (S_ISDIR(st.st_mode)) {
            if (!sameTree(entry.path(), target)) return false;
        } else if (!S_ISREG(there.st_mode) || (there.st_mode & 07777) != installedMode(st) ||
                   there.st_size != st.st_size || !sameContents(entry.path(), target)) {
            return false;
        }
    }
    std::size_t present = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(to)) ++present;
    return present == expected;
}

// A refusal of every target of one command, checked before anything is
// written.
std::string firstUnsafeTarget(const std::vector<fs::path>& targets, const SystemPlaces& places) {
    for (const auto& target : targets) {
        if (auto reason = unsafeTargetReason(target, places); !reason.empty()) return reason;
    }
    return {};
}

// A directly started daemon, held by a pidfd so that a pid used again by
// another process is never signalled.
class DaemonProcess {
public:
    DaemonProcess() = default;
    DaemonProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    ~DaemonProcess() {
        if (pidfd_ >= 0) ::close(pidfd_);
    }
    DaemonProcess(DaemonProcess&& other) noexcept
        : pid_(std::exchange(other.pid_, 0)), pidfd_(std::exchange(other.pidfd_, -1)) {}
    DaemonProcess& operator=(DaemonProcess&&) = delete;

    bool found() const { return pidfd_ >= 0; }
    // Whether it runs the file at `program` now (not one replaced since).
    bool runs(const fs::path& program) const {
        struct stat running {}, there {};
        return ::stat(("/proc/" + std::to_string(pid_) + "/exe").c_str(), &running) == 0 &&
               ::stat(program.c_str(), &there) == 0 && running.st_dev == there.st_dev && running.st_ino == there.st_ino;
    }

    bool exited(int waitMilliseconds) const {
        pollfd p{pidfd_, POLLIN, 0};
        return ::poll(&p, 1, waitMilliseconds) != 0;
    }
    void signal(int number) const { ::syscall(SYS_pidfd_send_signal, pidfd_, number, nullptr, 0); }

    // Stops it (SIGTERM, then SIGKILL after five seconds) and returns once
    // it has exited, its queue and socket closed with it.
    void stop() const {
        signal(SIGTERM);
        if (exited(5000)) return;
        signal(SIGKILL);
        exited(5000);
    }

private:
    pid_t pid_ = 0;
    int pidfd_ = -1;
};

// The keldra-filter process the pid file names, if it still runs.
DaemonProcess directlyStarted(const SystemPlaces& places) {
    std::string text;
    try {
        if (!brivet::readWholeFile(places.pidFile(), text)) return {};
    } catch (const std::exception&) {
        return {};
    }
    const pid_t pid = static_cast<pid_t>(std::atol(text.c_str()));
    if (pid <= 1) return {};
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return {};
    // Read after the pidfd is held: the pid cannot name another process
    // unless this one has exited, which the pidfd tells.
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    DaemonProcess process(pid, pidfd);
    // Only a keldra-filter process is taken.
    if (ec || exe.filename().string().rfind("keldra-filter", 0) != 0 || process.exited(0)) return {};
    return process;
}

// The identifier of the extension in the app bundle at `bundle`. A file
// that others than root could have written names none: read as naming
// another extension, the DNS proxy in force would count as off.
std::string extensionIdentifier(const fs::path& bundle) {
    if (bundle.empty() || !rootOwnedAllTheWay(bundle / "Contents" / "Info.json")) return kDefaultIdentifier;
    const auto info = readObject(bundle / "Contents" / "Info.json");
    const auto id = info.find("BRIVET_FILTER_BUNDLE_ID");
    return id != info.end() && id->is_string() ? id->get<std::string>() : kDefaultIdentifier;
}

HelperResult activate(const std::string& given, const SystemPlaces& places) {
    // The caller names its own bundle; the helper only takes the one at the
    // install location, whatever it was given.
    const fs::path installed = places.installedAppBundle();
    if (installed.empty()) return failure("this keldra-helper was built without an install location for the app");
    fs::path bundle = fs::path(given).lexically_normal();
    if (bundle.has_relative_path() && bundle.filename().empty()) bundle = bundle.parent_path();
    if (!bundle.is_absolute() || bundle != installed.lexically_normal()) {
        return failure("keldra-helper only activates the app installed at " + installed.string() + ", not " + given);
    }
    const fs::path canonical = installed.lexically_normal();
    if (!rootOwnedAllTheWay(canonical)) {
        return failure("the app at " + canonical.string() +
                       " is not installed by root (it and every folder above it must belong to root and be "
                       "writable by no one else)");
    }
    const std::string identifier = extensionIdentifier(canonical);
    if (!plainIdentifier(identifier)) return failure("the extension identifier is not usable: " + identifier);

    const std::string folderName = identifier + ".systemextension";
    const fs::path source = canonical / "Contents" / "Library" / "SystemExtensions" / folderName;
    if (!fs::is_regular_file(source / "Contents" / "bin" / "keldra-filter")) {
        return failure("this copy of the app has no filter extension at " + source.string());
    }
    if (!rootOwnedAllTheWay(source / "Contents" / "bin" / "keldra-filter")) {
        return failure("the app at " + canonical.string() +
                       " is not installed by root (it and every folder above it must belong to root and be "
                       "writable by no one else)");
    }
    if (auto unsafe = firstUnsafeTarget({places.extensionsFolder(), places.stateFolder() / "installation.json",
                                         places.unitFile(), places.pidFile(), places.logFile()},
                                        places);
        !unsafe.empty()) {
        return failure(unsafe);
    }

    // The same copy as the one in place is left as it is, and so is the
    // daemon that runs it: activating the app again never leaves a moment
    // without the filter. Another copy is copied next to the place, then
    // swapped in, so a half copy never runs.
    makeFolder(places.extensionsFolder(), 0755);
    const fs::path target = places.extensionsFolder() / folderName;
    const bool sameCopy = sameTree(source, target);
    if (!sameCopy) {
        const fs::path fresh = places.extensionsFolder() / ("." + folderName + ".new");
        const fs::path old = places.extensionsFolder() / ("." + folderName + ".old");
        fs::remove_all(fresh);
        fs::remove_all(old);
        copyTree(source, fresh);
        if (fs::exists(target)) fs::rename(target, old);
        fs::rename(fresh, target);
        fs::remove_all(old);
    }

    makeFolder(places.stateFolder(), 0700);
    const std::string record = nlohmann::json{{"appBundle", canonical.string()}}.dump();
    std::string recorded;
    if (!brivet::readWholeFile(places.stateFolder() / "installation.json", recorded) || recorded != record) {
        brivet::atomicWrite(places.stateFolder() / "installation.json", record);
    }

    const fs::path daemon = target / "Contents" / "bin" / "keldra-filter";
    if (fs::is_directory(places.systemdRunning())) {
        const std::string unit = filterUnit(places.root == "/" ? daemon : "/" / daemon.lexically_relative(places.root));
        std::string written;
        const bool sameUnit = brivet::readWholeFile(places.unitFile(), written) && written == unit;
        if (!sameUnit) {
            brivet::AtomicWriteOptions unitOptions;
            unitOptions.mode = 0644;
            brivet::atomicWrite(places.unitFile(), unit, unitOptions);
        }
        // "start" leaves a running daemon of the same copy and unit alone.
        const char* const run = sameCopy && sameUnit ? "start" : "restart";
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"systemctl", "daemon-reload"},
                 {"systemctl", "enable", "keldra-filter.service"},
                 {"systemctl", run, "keldra-filter.service"}}) {
            const auto result = runCommand(step);
            if (!result.succeeded()) {
                std::string reason = result.standardError;
                while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
                return failure("systemctl " + step[1] + " failed" + (reason.empty() ? "" : ": " + reason));
            }
        }
        return {};
    }

    // No systemd (containers, build machines): the daemon is started
    // directly, unless it already runs this very copy.
    {
        const DaemonProcess running = directlyStarted(places);
        if (running.found() && sameCopy && running.runs(daemon)) return {};
        if (running.found()) running.stop();
    }
    makeFolder(places.pidFile().parent_path(), 0755);
    std::error_code ec;
    fs::remove(places.pidFile(), ec);  // one a killed daemon left
    std::vector<std::string> command{daemon.string(), "--pid-file", places.pidFile().string()};
    if (places.root != "/") {
        command.insert(command.end(), {"--state", places.stateFolder().string(), "--configurations",
                                       places.configurationsFile().string(), "--socket",
                                       places.under("/run/keldra/filter.sock").string(), "--resolv-conf",
                                       places.under("/etc/resolv.conf").string()});
    }
    makeFolder(places.logFile().parent_path(), 0755);
    const int started = startDetached(command, places.logFile().string());
    if (started < 0) return failure("cannot start " + daemon.string());
    // Started once it serves the app and has written its pid file.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (std::string text; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (brivet::readWholeFile(places.pidFile(), text) && std::atoi(text.c_str()) == started) return {};
        if (::waitpid(started, nullptr, WNOHANG) == started) break;  // it ended at once
    }
    return failure("the filter daemon did not start; see " + places.logFile().string());
}

HelperResult saveConfigurations(const std::string& document, const SystemPlaces& places) {
    if (auto refusal = configurationsLimitRefusal(document); !refusal.empty()) return failure(refusal);
    const auto proposed = nlohmann::json::parse(document, nullptr, false);
    if (proposed.is_discarded() || !proposed.is_object()) return failure("the configurations are not a JSON object");
    if (auto unsafe = unsafeTargetReason(places.configurationsFile(), places); !unsafe.empty()) return failure(unsafe);
    // A file that is over the limits (an older helper wrote such) holds
    // nothing usable to keep, as a malformed one.
    std::string current;
    try {
        if (!brivet::readRegularFile(places.configurationsFile(), current, kMaxConfigurationsBytes)) current = "{}";
    } catch (const brivet::NotRegularFileError&) {
        current.clear();
    }
    const auto identifier = extensionIdentifier(places.installedAppBundle());
    if (auto refusal = configurationChangeRefusal(current, document, identifier); !refusal.empty()) {
        return failure(refusal);
    }
    makeFolder(places.configurationsFile().parent_path(), 0755);
    brivet::AtomicWriteOptions options;
    options.mode = 0644;
    brivet::atomicWrite(places.configurationsFile(), proposed.dump() + "\n", options);
    return {};
}

}  // namespace

std::string unsafeTargetReason(const fs::path& target, const SystemPlaces& places) {
    if (!target.is_absolute()) return "cannot write " + target.string() + ": not an absolute path";
    const auto refuse = [&](const fs::path& place, const std::string& why) {
        std::string reason = "cannot write " + target.string() + ": " + place.string() + " " + why +
                             ", so a user other than root could swap what is installed there";
        std::error_code ec;
        if (fs::exists(places.staffGroupMarker(), ec)) {
            reason += " (this machine keeps /usr/local writable by the group staff, as " +
                      places.staffGroupMarker().string() +
                      " says: members of staff could swap the program; make the folder root:root 0755 first)";
        }
        return reason;
    };
    // Every place from the target up to "/", as written (links not
    // followed), then, when a link was met, the folders it leads to.
    const auto check = [&](const fs::path& start, bool& sawLink) -> std::string {
        bool first = true;
        for (fs::path place = start;; place = place.parent_path()) {
            struct stat st {};
            if (::lstat(place.c_str(), &st) != 0) {
                if (errno != ENOENT) return refuse(place, std::string("cannot be checked (") + std::strerror(errno) + ")");
            } else if (S_ISLNK(st.st_mode)) {
                if (first) return refuse(place, "is a symbolic link (it is never followed)");
                if (st.st_uid != 0) return refuse(place, "is a symbolic link that root does not own");
                sawLink = true;
            } else if (st.st_uid != 0) {
                return refuse(place, "does not belong to root");
            } else if (writableByOthers(st) && !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && place != target)) {
                return refuse(place, "is writable by group or others");
            }
            first = false;
            if (place == place.root_path()) return {};
        }
    };
    bool sawLink = false;
    if (auto reason = check(target.lexically_normal(), sawLink); !reason.empty()) return reason;
    if (!sawLink) return {};
    fs::path existing = target.lexically_normal().parent_path();
    std::error_code ec;
    while (!fs::exists(existing, ec) && existing != existing.root_path()) existing = existing.parent_path();
    const auto resolved = fs::canonical(existing, ec);
    if (ec) return refuse(existing, "cannot be resolved");
    bool again = false;
    return check(resolved, again);
}

std::string filterUnit(const fs::path& daemon) {
    return "[Unit]\n"
           "Description=Keldra filter extension\n"
           "Wants=network-pre.target\n"
           "Before=network-pre.target\n"
           "\n"
           "[Service]\n"
           "ExecStart=" + daemon.string() + "\n"
           "Restart=always\n"
           "RestartSec=1\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string configurationChangeRefusal(const std::string& currentText, const std::string& proposedText,
                                       const std::string& identifier) {
    // Both are read as the daemon reads them: a DNS proxy naming another
    // extension is off.
    const auto proposed = readSwitches(proposedText, identifier);
    if (!proposed) return "the configurations are not a JSON object";
    const auto current = readSwitches(currentText, identifier);
    if (!current) return {};  // nothing usable to keep
    if (current->contentFilter && !proposed->contentFilter) return "the content filter is on and cannot be switched off here";
    if (current->dnsProxy && !proposed->dnsProxy) {
        return "the DNS proxy is on and cannot be switched off or pointed elsewhere here";
    }
    return {};
}

HelperResult runSystemHelper(const std::vector<std::string>& arguments, const SystemPlaces& places) {
    if (::geteuid() != 0) return failure("keldra-helper must run as root");
    try {
        if (arguments.size() == 2 && arguments[0] == "activate") return activate(arguments[1], places);
        if (arguments.size() == 2 && arguments[0] == "save-configurations") return saveConfigurations(arguments[1], places);
    } catch (const std::exception& error) {
        return failure(error.what());
    }
    return failure("usage: keldra-helper activate BUNDLE | keldra-helper save-configurations DOCUMENT");
}

}  // namespace keldra::filter

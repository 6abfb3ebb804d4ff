#include "keldra-filter/SystemHelper.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/LogText.h"
#include "keldra-filter/Command.h"
#include "keldra-filter/PeerCheck.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <thread>
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

// Copies a tree; files keep their executable bits, nothing is followed.
// Everything copied must belong to root and be writable by no one else:
// it ends up run as root.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    ::chmod(to.c_str(), 0755);
    for (const auto& entry : fs::directory_iterator(from)) {
        const auto target = to / entry.path().filename();
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0) throw std::runtime_error("cannot read " + entry.path().string());
        if (S_ISLNK(st.st_mode)) continue;
        if (st.st_uid != 0 || writableByOthers(st)) {
            throw std::runtime_error("the extension in the installed app is not installed by root: " +
                                     brivet::logSafe(entry.path().string()) +
                                     " belongs to another user or is writable by group or others");
        }
        if (S_ISDIR(st.st_mode)) {
            copyTree(entry.path(), target);
        } else if (S_ISREG(st.st_mode)) {
            fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
            ::chmod(target.c_str(), (st.st_mode & S_IXUSR) != 0 ? 0755 : 0644);
        }
    }
}

// A refusal of every target of one command, checked before anything is
// written.
std::string firstUnsafeTarget(const std::vector<fs::path>& targets, const SystemPlaces& places) {
    for (const auto& target : targets) {
        if (auto reason = unsafeTargetReason(target, places); !reason.empty()) return reason;
    }
    return {};
}

void stopDirectlyStarted(const SystemPlaces& places) {
    std::string text;
    try {
        if (!brivet::readWholeFile(places.pidFile(), text)) return;
    } catch (const std::exception&) {
        return;
    }
    const pid_t pid = static_cast<pid_t>(std::atol(text.c_str()));
    if (pid <= 1) return;
    // Only a keldra-filter process is stopped.
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec || exe.filename().string().rfind("keldra-filter", 0) != 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (::kill(pid, 0) == 0) ::kill(pid, SIGKILL);
}

HelperResult activate(const std::string& given, const SystemPlaces& places) {
    // The caller names its own bundle; the helper only takes the one at the
    // install location, whatever it was given.
    const fs::path installed = places.installedAppBundle();
    if (installed.empty()) return failure("this keldra-helper was built without an install location for the app");
    fs::path bundle = fs::path(given).lexically_normal();
    if (bundle.has_relative_path() && bundle.filename().empty()) bundle = bundle.parent_path();
    if (!bundle.is_absolute() || bundle != installed.lexically_normal()) {
        return failure("keldra-helper only activates the app installed at " + installed.string() + ", not " +
                       brivet::logSafe(given));
    }
    const fs::path canonical = installed.lexically_normal();
    if (!rootOwnedAllTheWay(canonical)) {
        return failure("the app at " + canonical.string() +
                       " is not installed by root (it and every folder above it must belong to root and be "
                       "writable by no one else)");
    }
    std::string identifier = kDefaultIdentifier;
    const auto info = readObject(canonical / "Contents" / "Info.json");
    if (auto id = info.find("BRIVET_FILTER_BUNDLE_ID"); id != info.end() && id->is_string()) identifier = *id;
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

    // Copy next to the place, then swap it in, so a half copy never runs.
    makeFolder(places.extensionsFolder(), 0755);
    const fs::path target = places.extensionsFolder() / folderName;
    const fs::path fresh = places.extensionsFolder() / ("." + folderName + ".new");
    const fs::path old = places.extensionsFolder() / ("." + folderName + ".old");
    fs::remove_all(fresh);
    fs::remove_all(old);
    copyTree(source, fresh);
    if (fs::exists(target)) fs::rename(target, old);
    fs::rename(fresh, target);
    fs::remove_all(old);

    makeFolder(places.stateFolder(), 0700);
    brivet::atomicWrite(places.stateFolder() / "installation.json",
                        nlohmann::json{{"appBundle", canonical.string()}}.dump());

    const fs::path daemon = target / "Contents" / "bin" / "keldra-filter";
    if (fs::is_directory(places.systemdRunning())) {
        brivet::AtomicWriteOptions unitOptions;
        unitOptions.mode = 0644;
        brivet::atomicWrite(places.unitFile(), filterUnit(places.root == "/" ? daemon : "/" / daemon.lexically_relative(places.root)), unitOptions);
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"systemctl", "daemon-reload"},
                 {"systemctl", "enable", "keldra-filter.service"},
                 {"systemctl", "restart", "keldra-filter.service"}}) {
            const auto result = runCommand(step);
            if (!result.succeeded()) {
                std::string reason = result.standardError;
                while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
                return failure("systemctl " + step[1] + " failed" + (reason.empty() ? "" : ": " + brivet::logSafe(reason)));
            }
        }
        return {};
    }

    // No systemd (containers, build machines): start the daemon directly.
    stopDirectlyStarted(places);
    makeFolder(places.pidFile().parent_path(), 0755);
    std::vector<std::string> command{daemon.string(), "--pid-file", places.pidFile().string()};
    if (places.root != "/") {
        command.insert(command.end(), {"--state", places.stateFolder().string(), "--configurations",
                                       places.configurationsFile().string(), "--socket",
                                       places.under("/run/keldra/filter.sock").string(), "--resolv-conf",
                                       places.under("/etc/resolv.conf").string()});
    }
    makeFolder(places.logFile().parent_path(), 0755);
    if (startDetached(command, places.logFile().string()) < 0) return failure("cannot start " + daemon.string());
    for (int i = 0; i < 100; ++i) {
        if (fs::exists(places.pidFile())) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return failure("the filter daemon did not start; see " + places.logFile().string());
}

bool isOn(const nlohmann::json& document, const char* name, std::string* provider) {
    const auto configuration = document.find(name);
    if (configuration == document.end() || !configuration->is_object()) return false;
    const auto enabled = configuration->find("enabled");
    const auto found = configuration->find("provider");
    const bool on = enabled != configuration->end() && enabled->is_boolean() && enabled->get<bool>() &&
                    found != configuration->end() && found->is_object();
    if (on && provider) {
        const auto id = found->find("providerBundleIdentifier");
        *provider = id != found->end() && id->is_string() ? id->get<std::string>() : "";
    }
    return on;
}

HelperResult saveConfigurations(const std::string& document, const SystemPlaces& places) {
    const auto proposed = nlohmann::json::parse(document, nullptr, false);
    if (proposed.is_discarded() || !proposed.is_object()) return failure("the configurations are not a JSON object");
    if (auto unsafe = unsafeTargetReason(places.configurationsFile(), places); !unsafe.empty()) return failure(unsafe);
    std::string current;
    if (!brivet::readWholeFile(places.configurationsFile(), current)) current = "{}";
    if (auto refusal = configurationChangeRefusal(current, document); !refusal.empty()) return failure(refusal);
    makeFolder(places.configurationsFile().parent_path(), 0755);
    brivet::AtomicWriteOptions options;
    options.mode = 0644;
    brivet::atomicWrite(places.configurationsFile(), proposed.dump(2) + "\n", options);
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

std::string configurationChangeRefusal(const std::string& currentText, const std::string& proposedText) {
    const auto current = nlohmann::json::parse(currentText, nullptr, false);
    const auto proposed = nlohmann::json::parse(proposedText, nullptr, false);
    if (proposed.is_discarded() || !proposed.is_object()) return "the configurations are not a JSON object";
    if (current.is_discarded() || !current.is_object()) return {};  // nothing usable to keep
    if (isOn(current, "contentFilter", nullptr) && !isOn(proposed, "contentFilter", nullptr)) {
        return "the content filter is on and cannot be switched off here";
    }
    std::string was, will;
    if (isOn(current, "dnsProxy", &was) && (!isOn(proposed, "dnsProxy", &will) || will != was)) {
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

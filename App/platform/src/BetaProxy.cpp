#include "Keldra/BetaProxy.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/Descriptor.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/PlatformPaths.h"
#include "BrivetClient/UTF8.h"

extern char** environ;

namespace keldra {

namespace {

using brivet::DecodingError;
using brivet::Descriptor;
using brivet::Json;
namespace coding = brivet::JSONCoding;

std::vector<std::string> stringList(const Json& object, std::string_view key) {
    const Json& list = coding::requireArray(coding::requireMember(object, key), key);
    std::vector<std::string> out;
    out.reserve(list.size());
    for (const Json& element : list) out.push_back(coding::asString(element, key));
    return out;
}

std::optional<bool> optionalBool(const Json& object, std::string_view key) {
    const Json* member = coding::findMember(object, key);
    if (member == nullptr || member->is_null()) return std::nullopt;
    return coding::asBool(*member, key);
}

bool fileExists(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string trimmed(std::string_view text) {
    constexpr std::string_view kBlank = " \t\n\r\v\f";
    auto first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(kBlank);
    return std::string(text.substr(first, last - first + 1));
}

// The program `name` on `searchPath` (colon-separated); absent when none
// is executable there.
std::optional<std::string> findProgram(const std::string& name, const std::string& searchPath) {
    if (name.find('/') != std::string::npos) return name;
    std::size_t at = 0;
    while (at <= searchPath.size()) {
        std::size_t end = searchPath.find(':', at);
        if (end == std::string::npos) end = searchPath.size();
        // An empty entry stands for the working directory.
        std::string candidate = end > at ? searchPath.substr(at, end - at) : std::string(".");
        candidate += '/';
        candidate += name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

// ---- Paths and errors

BetaPaths BetaPaths::forBundle(const Bundle& bundle, const std::filesystem::path& systemRoot) {
    return BetaPaths{brivet::platform::resolverServiceDirectory(systemRoot),
                     brivet::platform::resolverServiceUnitFile(systemRoot), bundle.resourcesOrBundleURL()};
}

BetaError::BetaError(Case value, std::string payload) : case_(value), payload_(std::move(payload)) {
    if (case_ == Case::bundleIncomplete) {
        description_ = kBundleIncomplete;
    } else {
        description_ = payload_.empty() ? std::string(kDidNotFinish) : payload_;
    }
}

// ---- Status document

BetaStatus BetaStatus::decode(std::string_view bytes) {
    const Json tree = coding::parse(bytes);  // strict: UTF-8 and depth checked
    coding::requireObject(tree, "status");
    BetaStatus status;
    status.version = coding::requireString(tree, "version");
    status.enrolled = coding::requireBool(tree, "enrolled");
    status.deviceId = coding::optionalString(tree, "deviceId");
    status.state = coding::optionalString(tree, "state");
    status.filterRunning = coding::requireBool(tree, "filterRunning");
    status.dnsAsserted = optionalBool(tree, "dnsAsserted");
    status.policySeq = coding::requireInt64(tree, "policySeq");
    status.committed = coding::requireBool(tree, "committed");
    status.lockedUntil = coding::optionalString(tree, "lockedUntil");
    status.categories = stringList(tree, "categories");
    status.blocked = coding::requireInt64(tree, "blocked");
    status.answered = coding::requireInt64(tree, "answered");
    status.lastTickAt = coding::requireString(tree, "lastTickAt");
    status.errors = stringList(tree, "errors");
    return status;
}

std::optional<BetaStatus> BetaStatus::read(const std::filesystem::path& file) {
    // Opened once and checked through the descriptor, so a file swapped in
    // after the size check cannot make us read more.
    Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > kMaxBytes) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
        if (bytes.size() > kMaxBytes) return std::nullopt;  // grew while read
    }
    try {
        return decode(bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// ---- Running as administrator

PkexecRunner::PkexecRunner(std::optional<std::string> searchPath, std::optional<bool> asRoot)
    : searchPath_(std::move(searchPath)), asRoot_(asRoot.value_or(::geteuid() == 0)) {}

AdministratorRunner::Result PkexecRunner::run(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw BetaError::installFailed("nothing to run");
    std::vector<std::string> words;
    if (!asRoot_) words.push_back("pkexec");
    words.insert(words.end(), arguments.begin(), arguments.end());

    std::string searchPath = searchPath_.value_or(brivet::platform::processEnvironment("PATH").value_or("/usr/bin:/bin"));
    auto program = findProgram(words.front(), searchPath);
    if (!program) {
        std::string message = "The program \"";
        message.append(words.front()).append("\" could not be started: ").append(std::strerror(ENOENT));
        throw BetaError::installFailed(message);
    }

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw BetaError::installFailed(std::strerror(errno));
    Descriptor outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw BetaError::installFailed(std::strerror(errno));
    Descriptor errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);

    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    // Started and registered under the lock, so endPrompts() either finds
    // the new group or has already refused the run.
    pid_t pid = 0;
    int spawned = 0;
    {
        std::lock_guard lock(mutex_);
        if (promptsEnded_ && !asRoot_) {
            spawned = -1;
        } else {
            spawned = ::posix_spawn(&pid, program->c_str(), &actions, &attributes, argv.data(), environ);
            if (spawned == 0 && !asRoot_) groups_.push_back(pid);
        }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned < 0) throw BetaError::installFailed(BetaError::kCancelled);
    if (spawned != 0) {
        throw BetaError::installFailed("The program \"" + words.front() + "\" could not be started: " +
                                       std::strerror(spawned));
    }
    outWrite.reset();
    errWrite.reset();

    // Both outputs are drained as they come, so a program that fills one
    // pipe never waits on us while we read the other. Standard output is
    // dropped; the error output is kept up to 1 MiB.
    constexpr std::size_t kMaxErrorBytes = 1024 * 1024;
    Result result;
    char buffer[16384];
    while (outRead.get() >= 0 || errRead.get() >= 0) {
        pollfd entries[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            Descriptor& which = i == 0 ? outRead : errRead;
            if (which.get() < 0 || entries[i].revents == 0) continue;
            ssize_t got = ::read(which.get(), buffer, sizeof buffer);
            if (got > 0) {
                if (i == 1 && result.standardError.size() < kMaxErrorBytes) {
                    result.standardError.append(buffer, static_cast<std::size_t>(got));
                }
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                which.reset();
            }
        }
    }
    // Waited for without reaping first: the group is forgotten while its
    // number cannot yet be reused, so endPrompts() never signals a stranger.
    siginfo_t ended {};
    while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard lock(mutex_);
        groups_.erase(std::remove(groups_.begin(), groups_.end(), pid), groups_.end());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw BetaError::installFailed(std::strerror(errno));
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = 128 + WTERMSIG(status);
    }
    return result;
}

void PkexecRunner::endPrompts() {
    std::lock_guard lock(mutex_);
    promptsEnded_ = true;
    // Refused (EPERM) for a run that already runs as root: it finishes. A
    // stopped pkexec (a terminal stops a background group that reads from
    // it) only acts on the signal once it is continued.
    for (pid_t group : groups_) {
        ::kill(-group, SIGTERM);
        ::kill(-group, SIGCONT);
    }
}

// ---- The installer

bool BetaProxy::bundleComplete(const BetaPaths& paths) {
    return fileExists(paths.resources / "keldra-proxy") && fileExists(paths.resources / "keldra-networksetup") &&
           fileExists(paths.resources / "install.sh");
}

std::vector<std::string> BetaProxy::installArguments(const BetaPaths& paths, const std::optional<std::string>& code,
                                                     const std::string& name) {
    return {"/bin/sh", (paths.resources / "install.sh").string(), paths.resources.string(), code.value_or(""), name};
}

void BetaProxy::install(const BetaPaths& paths, const std::optional<std::string>& code, const std::string& name,
                        AdministratorRunner& runner) {
    if (!bundleComplete(paths)) throw BetaError::bundleIncomplete();
    checkResult(runner.run(installArguments(paths, code, name)));
}

void BetaProxy::checkResult(const AdministratorRunner::Result& result) {
    if (result.exitStatus == 0) return;
    const std::string errorText = brivet::utf8::isValid(result.standardError) ? result.standardError : std::string();
    if (result.exitStatus == 126 || errorText.find("User canceled") != std::string::npos ||
        errorText.find("-128") != std::string::npos) {
        throw BetaError::installFailed(BetaError::kCancelled);
    }
    throw BetaError::installFailed(trimmed(errorText));
}

}  // namespace keldra

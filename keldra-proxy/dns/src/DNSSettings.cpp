#include "keldra-proxy/DNSSettings.h"
#include "keldra-proxy/ResolverNetworkSetup.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RegularFile.h"
#include "BrivetClient/UTF8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brivet {

namespace {

const char* const kLocalServer = "127.0.0.1";

// Lines split at line feeds, empty lines dropped, nothing trimmed.
std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> lines = splitLines(text);
    std::erase_if(lines, [](const std::string& line) { return line.empty(); });
    return lines;
}

std::string singleQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Program words are written bare when they hold nothing the shell would read
// specially, so the usual tool path reads as it always has.
std::string shellWord(const std::string& word) {
    if (word.empty()) {
        return singleQuoted(word);
    }
    for (char c : word) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ':' || c == ',';
        if (!plain) {
            return singleQuoted(word);
        }
    }
    return word;
}

enum class RecordLoad { loaded, absent, unusable };

RecordLoad loadRecord(const std::filesystem::path& file, DNSRecord& record) {
    std::string bytes;
    try {
        if (!readRegularFile(file, bytes)) {
            return RecordLoad::absent;
        }
        const auto json = nlohmann::json::parse(bytes);
        if (!json.is_object()) {
            return RecordLoad::unusable;
        }
        DNSRecord loaded;
        for (const auto& [service, list] : json.items()) {
            if (!list.is_array()) {
                return RecordLoad::unusable;
            }
            std::vector<std::string> servers;
            for (const auto& server : list) {
                if (!server.is_string()) {
                    return RecordLoad::unusable;
                }
                servers.push_back(server.get<std::string>());
            }
            loaded.emplace(service, std::move(servers));
        }
        record = std::move(loaded);
        return RecordLoad::loaded;
    } catch (const std::exception&) {
        return RecordLoad::unusable;
    }
}

std::string selfDirectory() {
    char buffer[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return ".";
    }
    return std::filesystem::path(std::string(buffer, static_cast<std::size_t>(n))).parent_path().string();
}

}  // namespace

NetworkTool NetworkTool::system() {
#if defined(__APPLE__)
    return NetworkTool{{"/usr/sbin/networksetup"}};
#else
    return NetworkTool{{selfDirectory() + "/keldra-networksetup"}};
#endif
}

namespace DNSSettings {

std::optional<std::string> run(const NetworkTool& tool, const std::vector<std::string>& arguments) {
    if (tool.command.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> words = tool.command;
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    if (!utf8::isValid(output)) {
        return std::nullopt;
    }
    return output;
}

std::vector<std::string> services(const NetworkTool& tool) {
    const auto output = run(tool, {"-listallnetworkservices"});
    if (!output) {
        return {};
    }
    std::vector<std::string> result;
    for (auto& line : nonEmptyLines(*output)) {
        if (line.rfind("An asterisk", 0) == 0 || line.front() == '*') {
            continue;
        }
        result.push_back(std::move(line));
    }
    return result;
}

std::optional<std::vector<std::string>> servers(const NetworkTool& tool, const std::string& service) {
    const auto output = run(tool, {"-getdnsservers", service});
    if (!output) {
        return std::nullopt;
    }
    auto lines = nonEmptyLines(*output);
    if (lines.empty() || lines.front().find("There aren't any DNS Servers") != std::string::npos) {
        return std::vector<std::string>{};
    }
    return lines;
}

std::string restoreScript(const NetworkTool& tool, const DNSRecord& record) {
    std::string program;
    for (const auto& word : tool.command) {
        if (!program.empty()) program += ' ';
        program += shellWord(word);
    }
    std::string script =
        "#!/bin/sh\n"
        "# Puts the DNS settings back to what they were before Keldra. Written by keldra-proxy.\n";
    for (const auto& [service, list] : record) {
        script += program + " -setdnsservers " + singleQuoted(service) + " ";
        if (list.empty()) {
            script += "Empty";
        } else {
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (i != 0) script += ' ';
                script += singleQuoted(list[i]);
            }
        }
        script += "\n";
    }
    return script;
}

bool assertServers(const std::filesystem::path& recordFile, const NetworkTool& tool, const Log& log) {
    DNSRecord record;
    const RecordLoad load = loadRecord(recordFile, record);
    // A record that cannot be read is kept aside, never overwritten. When even
    // that fails the servers of services not yet recorded cannot be kept, so
    // those services are left as they are.
    bool canRecord = true;
    if (load == RecordLoad::unusable) {
        const SetAside set = setAsideDamaged(recordFile, "the record of the DNS servers",
                                             "not an object of server lists");
        canRecord = set.moved;
        if (log) log(logSafe(set.line));
    }

    bool result = true;
    std::vector<std::string> toPoint;
    std::vector<std::string> newlyRecorded;
    for (const auto& service : services(tool)) {
        const auto current = servers(tool, service);
        if (!current) {
            // Unknown servers are neither recorded nor replaced this round.
            result = false;
            continue;
        }
        if (current->size() == 1 && current->front() == kLocalServer) {
            continue;
        }
        result = false;
        if (record.find(service) == record.end()) {
            if (!canRecord) {
                continue;
            }
            record.emplace(service, *current);
            newlyRecorded.push_back(service);
        }
        toPoint.push_back(service);
    }

    // The record and the script are on disk before any service is changed, so
    // a crash or a failed write never leaves a changed service unrecorded.
    bool recordWritten = false;
    if (canRecord) {
        try {
            nlohmann::json json = nlohmann::json::object();
            for (const auto& [service, list] : record) {
                json[service] = list;
            }
            atomicWrite(recordFile, json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            recordWritten = true;
        } catch (const std::exception&) {
        }
        try {
            atomicWrite(recordFile.parent_path() / "dns-restore.sh", restoreScript(tool, record));
        } catch (const std::exception&) {
        }
    }
    for (const auto& service : toPoint) {
        const bool unrecorded =
            std::find(newlyRecorded.begin(), newlyRecorded.end(), service) != newlyRecorded.end();
        if (unrecorded && !recordWritten) {
            continue;
        }
        run(tool, {"-setdnsservers", service, kLocalServer});
    }
    return result;
}

namespace {

bool anyPointsHere(const NetworkTool& tool) {
    for (const auto& service : services(tool)) {
        const auto current = servers(tool, service);
        if (current && current->size() == 1 && current->front() == kLocalServer) return true;
    }
    return false;
}

// Reads the restore script when it is a regular file of this user that
// group and others cannot write; else says why not. The data folder is
// this user's own, so nobody else can swap the file between the look and
// the read.
std::optional<std::string> readScript(const std::filesystem::path& script, std::string& problem) {
    struct stat info {};
    if (::lstat(script.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 022) != 0) {
        problem = "it is not a regular file of this user that only this user may change";
        return std::nullopt;
    }
    try {
        std::string text;
        if (readRegularFile(script, text)) return text;
        problem = "it is gone";
    } catch (const std::exception& error) {
        problem = error.what();
    }
    return std::nullopt;
}

}  // namespace

RestoreResult restoreServers(const std::filesystem::path& directory, const NetworkTool& tool) {
    RestoreResult result;
    result.script = directory / "dns-restore.sh";
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(result.script, ec)) || !anyPointsHere(tool)) {
        return result;
    }
    result.outcome = RestoreResult::Outcome::failed;
    const auto text = readScript(result.script, result.problem);
    if (!text) return result;
    if (!run(NetworkTool{{"/bin/sh", "-c", *text}}, {})) {
        result.problem = "the script failed";
        return result;
    }
    if (anyPointsHere(tool)) {
        result.problem = "the script did not change them";
        return result;
    }
    result.outcome = RestoreResult::Outcome::restored;
    return result;
}

}  // namespace DNSSettings
}  // namespace brivet

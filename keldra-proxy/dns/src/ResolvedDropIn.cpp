#include "keldra-proxy/ResolvedDropIn.h"

#include "BrivetClient/AtomicFile.h"
#include "keldra-proxy/ResolverNetworkSetup.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace brivet {

const char* const kResolvedStub = "127.0.0.53";

namespace {

std::optional<std::string> reloadResolved(const ResolvedPaths& paths) {
    if (paths.reload.empty()) return std::nullopt;
    std::vector<char*> argv;
    for (const auto& word : paths.reload) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return paths.reload[0] + " cannot be started";
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "reloading systemd-resolved failed";
    return std::nullopt;
}

std::string readText(const std::filesystem::path& path) {
    std::string text;
    try {
        if (!readWholeFile(path, text)) text.clear();
    } catch (const std::exception&) {
        text.clear();
    }
    return text;
}

}  // namespace

bool resolvedManagesDNS(const std::filesystem::path& resolverFile, const ResolvedPaths& paths) {
    std::error_code ec;
    if (!std::filesystem::is_directory(paths.runtime, ec)) return false;
    if (std::filesystem::is_symlink(resolverFile, ec)) {
        const auto target = std::filesystem::weakly_canonical(resolverFile, ec);
        const auto runtime = std::filesystem::weakly_canonical(paths.runtime, ec);
        if (!ec && target.parent_path() == runtime) return true;
    }
    const auto servers = resolverFileServers(readText(resolverFile));
    if (servers.empty()) return false;
    for (const auto& server : servers) {
        if (server != kResolvedStub) return false;
    }
    return true;
}

std::vector<std::string> resolvedUpstreams(const ResolvedPaths& paths, const std::string& exclude) {
    std::vector<std::string> upstreams;
    for (const auto& server : resolverFileServers(readText(paths.runtime / "resolv.conf"))) {
        if (server == kResolvedStub || server == exclude) continue;
        if (std::find(upstreams.begin(), upstreams.end(), server) == upstreams.end()) upstreams.push_back(server);
    }
    return upstreams;
}

std::optional<std::vector<std::string>> resolvedDropInServers(const ResolvedPaths& paths) {
    std::error_code ec;
    if (!std::filesystem::exists(paths.dropIn, ec)) return std::nullopt;
    std::vector<std::string> servers;
    for (const auto& line : splitLines(readText(paths.dropIn))) {
        if (line.rfind("DNS=", 0) != 0) continue;
        std::size_t start = 4;
        while (start < line.size()) {
            auto end = line.find(' ', start);
            if (end == std::string::npos) end = line.size();
            if (end > start) servers.push_back(line.substr(start, end - start));
            start = end + 1;
        }
    }
    return servers;
}

std::optional<std::string> pointResolvedAt(const std::vector<std::string>& servers, const ResolvedPaths& paths) {
    std::string text = "# Written by Keldra: resolved asks the local filtering resolver for every name.\n[Resolve]\nDNS=";
    for (std::size_t i = 0; i < servers.size(); ++i) text += (i ? " " : "") + servers[i];
    text += "\nDomains=~.\n";
    try {
        std::error_code ec;
        std::filesystem::create_directories(paths.dropIn.parent_path(), ec);
        ::chmod(paths.dropIn.parent_path().c_str(), 0755);
        AtomicWriteOptions options;
        options.mode = 0644;
        atomicWrite(paths.dropIn, text, options);
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
    return reloadResolved(paths);
}

std::optional<std::string> removeResolvedDropIn(const ResolvedPaths& paths) {
    std::error_code ec;
    const bool removed = std::filesystem::remove(paths.dropIn, ec);
    if (ec) return "cannot remove " + paths.dropIn.string() + ": " + ec.message();
    if (!removed) return std::nullopt;
    return reloadResolved(paths);
}

}  // namespace brivet

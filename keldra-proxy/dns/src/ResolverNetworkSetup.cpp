#include "keldra-proxy/ResolverNetworkSetup.h"

#include "BrivetClient/AtomicFile.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <unistd.h>

namespace brivet {

const char* const kResolverServiceName = "resolv.conf";

namespace {


std::vector<std::string> fields(const std::string& line) {
    std::string content = line.substr(0, line.find_first_of("#;"));
    std::istringstream stream(content);
    std::vector<std::string> result;
    std::string field;
    while (stream >> field) {
        result.push_back(field);
    }
    return result;
}

bool isNameserverLine(const std::string& line) {
    const auto f = fields(line);
    return !f.empty() && f[0] == "nameserver";
}

bool isAddressLiteral(const std::string& text) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

// Writes the resolver file. Follows a symbolic link to the real file, and
// writes in place when the file cannot be replaced by a rename (a file that
// is itself a mount point, as in containers).
void writeResolverFile(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::path target = path;
    if (std::filesystem::is_symlink(path, ec)) {
        target = std::filesystem::weakly_canonical(path, ec);
        if (ec) {
            target = path;
        }
    }
    AtomicWriteOptions options;
    options.mode = 0644;
    options.createDirectories = false;
    try {
        atomicWrite(target, text, options);
        return;
    } catch (const AtomicWriteError& error) {
        if (error.errnum() != EBUSY && error.errnum() != EXDEV) {
            throw;
        }
    }
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        throw AtomicWriteError("cannot open " + target.string() + ": " + std::strerror(errno), errno);
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int saved = errno;
            ::close(fd);
            throw AtomicWriteError("cannot write " + target.string() + ": " + std::strerror(saved), saved);
        }
        written += static_cast<std::size_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> resolverFileServers(const std::string& text) {
    std::vector<std::string> servers;
    for (const auto& line : splitLines(text)) {
        const auto f = fields(line);
        if (f.size() >= 2 && f[0] == "nameserver") {
            servers.push_back(f[1]);
        }
    }
    return servers;
}

std::string replaceResolverFileServers(const std::string& text, const std::vector<std::string>& servers) {
    std::string newLines;
    for (const auto& server : servers) {
        newLines += "nameserver " + server + "\n";
    }
    std::string result;
    bool inserted = false;
    for (const auto& line : splitLines(text)) {
        if (isNameserverLine(line)) {
            if (!inserted) {
                result += newLines;
                inserted = true;
            }
            continue;
        }
        result += line + "\n";
    }
    if (!inserted) {
        result += newLines;
    }
    return result;
}

NetworkSetupResult runResolverNetworkSetup(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& resolverFile) {
    return runResolverNetworkSetup(arguments, resolverFile, ResolvedPaths{"", "", {}});
}

NetworkSetupResult runResolverNetworkSetup(const std::vector<std::string>& arguments,
                                           const std::filesystem::path& resolverFile,
                                           const ResolvedPaths& resolved) {
    const bool viaResolved = !resolved.runtime.empty() && resolvedManagesDNS(resolverFile, resolved);
    NetworkSetupResult result;
    const std::string service = kResolverServiceName;
    auto fail = [&](int status, const std::string& message) {
        result.status = status;
        result.standardError = message + "\n";
        return result;
    };
    if (arguments.empty()) {
        return fail(1, "usage: -listallnetworkservices | -getdnsservers SERVICE | "
                       "-setdnsservers SERVICE (ADDRESS... | Empty)");
    }
    const std::string& form = arguments[0];
    if (form == "-listallnetworkservices" && arguments.size() == 1) {
        result.standardOutput =
            "An asterisk (*) denotes that a network service is disabled.\n" + service + "\n";
        return result;
    }
    if (form == "-getdnsservers" && arguments.size() == 2) {
        if (arguments[1] != service) {
            return fail(4, arguments[1] + " is not a recognized network service.");
        }
        std::string text;
        try {
            if (!readWholeFile(resolverFile, text)) {
                text.clear();
            }
        } catch (const std::exception& error) {
            return fail(1, error.what());
        }
        auto servers = resolverFileServers(text);
        if (viaResolved) {
            servers = resolvedDropInServers(resolved).value_or(resolvedUpstreams(resolved, ""));
        }
        if (servers.empty()) {
            result.standardOutput = "There aren't any DNS Servers set on " + service + ".\n";
        }
        for (const auto& server : servers) {
            result.standardOutput += server + "\n";
        }
        return result;
    }
    if (form == "-setdnsservers" && arguments.size() >= 3) {
        if (arguments[1] != service) {
            return fail(4, arguments[1] + " is not a recognized network service.");
        }
        std::vector<std::string> servers;
        if (!(arguments.size() == 3 && arguments[2] == "Empty")) {
            for (std::size_t i = 2; i < arguments.size(); ++i) {
                if (!isAddressLiteral(arguments[i])) {
                    return fail(1, arguments[i] + " is not a valid IP address.");
                }
                servers.push_back(arguments[i]);
            }
        }
        if (viaResolved) {
            const bool pointHere = servers.size() == 1 && servers[0] == "127.0.0.1";
            const auto error = pointHere ? pointResolvedAt(servers, resolved) : removeResolvedDropIn(resolved);
            if (error) return fail(1, *error);
            return result;
        }
        std::string text;
        try {
            if (!readWholeFile(resolverFile, text)) {
                text.clear();
            }
            writeResolverFile(resolverFile, replaceResolverFileServers(text, servers));
        } catch (const std::exception& error) {
            return fail(1, error.what());
        }
        return result;
    }
    return fail(1, "unrecognised arguments for " + form);
}

}  // namespace brivet

#pragma once
// Pointing the machine's DNS servers at the local proxy, keeping a record of
// what each network service had before it was first changed, and a shell
// script that puts those servers back.

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brivet {

// How the DNS-settings tool is started: the program followed by any fixed
// leading arguments; the argument forms are appended to it.
struct NetworkTool {
    std::vector<std::string> command;

    bool operator==(const NetworkTool&) const = default;

    // The platform's tool: /usr/sbin/networksetup on macOS; elsewhere the
    // keldra-networksetup program installed beside the running executable,
    // working on /etc/resolv.conf.
    static NetworkTool system();
};

// Services by name, each with the servers it had before it was first
// re-pointed (an empty list: it had none of its own).
using DNSRecord = std::map<std::string, std::vector<std::string>>;

namespace DNSSettings {

// Runs the tool with the arguments; its standard error is discarded. Returns
// its standard output, or nothing when it cannot be started, exits with a
// failure status, or prints something that is not UTF-8.
std::optional<std::string> run(const NetworkTool& tool, const std::vector<std::string>& arguments);

// The enabled network services, in the tool's order.
std::vector<std::string> services(const NetworkTool& tool);

// The DNS servers of one service, in the tool's order; an empty list when it
// has none of its own; nothing when they could not be read.
std::optional<std::vector<std::string>> servers(const NetworkTool& tool, const std::string& service);

// The restore script for a record.
std::string restoreScript(const NetworkTool& tool, const DNSRecord& record);

using Log = std::function<void(const std::string&)>;

// Makes every enabled service use 127.0.0.1 alone, recording the servers of
// each service before its first change in the record file and rewriting
// "dns-restore.sh" beside it. A record file that cannot be used is moved
// aside, with one line to `log`. Returns true when every service already pointed
// at 127.0.0.1 alone (or there were none), false when anything had to be
// changed or could not be checked.
bool assertServers(const std::filesystem::path& recordFile, const NetworkTool& tool = NetworkTool::system(),
                   const Log& log = nullptr);

// What restoreServers() did.
struct RestoreResult {
    enum class Outcome {
        // No service points at 127.0.0.1 alone, or no restore script was
        // ever written: nothing was run.
        notPointedHere,
        // The script ran and no service points at 127.0.0.1 alone any more.
        restored,
        // The script is unusable or did not put the servers back.
        failed,
    };
    Outcome outcome = Outcome::notPointedHere;
    std::filesystem::path script;
    std::string problem;  // why, when failed
};

// Puts back the servers that assertServers() recorded, for a proxy that ends
// on an error: when a service still points at 127.0.0.1 alone, nothing would
// answer there. Runs the restore script "dns-restore.sh" in `directory` with
// /bin/sh; the script must be a regular file (never followed through a
// symlink) of this process's user that group and others cannot write.
RestoreResult restoreServers(const std::filesystem::path& directory, const NetworkTool& tool = NetworkTool::system());

}  // namespace DNSSettings
}  // namespace brivet

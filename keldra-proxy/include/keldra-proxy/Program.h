#pragma once
// The keldra-proxy program. Start-up builds one object graph in a fixed order
// and checks the listen address; the main task then enrols if asked, starts
// the DNS listener, optionally points the system's DNS settings at it, and
// runs the engine's tick in a loop, writing the status document and one log
// line after every tick.
//
// The main task is the only caller of the engine, the protection client, the
// host adapter and the token holder. The DNS listener runs on its own thread
// and meets the main task only in the filter (behind its lock) and in the
// listener's atomic counters.

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/ResolvConf.h"
#include "BrivetClient/StateStore.h"
#include "keldra-proxy/DNSProxy.h"
#include "keldra-proxy/DNSSettings.h"
#include "keldra-proxy/DevEnvironment.h"
#include "keldra-proxy/DevHost.h"
#include "keldra-proxy/FileTokenStore.h"
#include "keldra-proxy/LocalFilter.h"
#include "keldra-proxy/Options.h"

namespace brivet {

// Ends the program with an exit status. Thrown by start-up and the main task
// once the reason has been logged.
class ProgramExit : public std::exception {
public:
    explicit ProgramExit(int status) : status(status) {}
    const char* what() const noexcept override { return "the program ends"; }
    int status;
};

// What the program takes from its surroundings besides the command line.
struct ProgramSettings {
    using LogFunction = std::function<void(const std::string&)>;

    // The environment file when --env is absent.
    std::filesystem::path defaultEnvironment;
    // Where the system's name servers are read from.
    std::filesystem::path resolvConf = std::filesystem::path(ResolvConf::path);
    // The tool behind --assert-dns; none: the platform's own.
    std::optional<NetworkTool> networkTool;
    // Every message of the program goes here.
    LogFunction log = nullptr;
    // The wait between two passes of the loop, in seconds.
    std::function<void(double)> sleep = nullptr;
    // Ends the process with a status from the DNS listener's thread (a UDP
    // listener that fails after it started). Must not return.
    std::function<void(int)> terminate = nullptr;
};

class Program {
public:
    static constexpr const char* kClientVersion = "0.1.0-macos-beta";
    static constexpr const char* kGroupIdentifier = "dev-proxy";
    // In the log once and in the status document's errors while the service
    // answers the device's token with 401.
    static constexpr const char* kTokenRefusedText =
        "the device service refuses this device's token (http 401): enrol the device again with --enroll CODE; "
        "blocking goes on with the rules in force";

    // Start-up after the command line was parsed: loads the environment
    // file, creates the data directory, builds the object graph, chooses the
    // upstreams, checks --listen and logs where the program stands. Throws
    // ProgramExit (status 1 for the environment file and the client, 2 for a
    // malformed --listen or --assert-dns away from 127.0.0.1:53).
    Program(Options options, ProgramSettings settings);
    ~Program();

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The main task. Returns 0 after the first pass with --once; without it
    // it loops for as long as the process lives. Throws ProgramExit (status 1)
    // when enrolment fails, the device is not enrolled or the listener cannot
    // start. When the rules file could not be used, the rules are rebuilt
    // from the stored policy and the blocklist cache before the listener
    // starts.
    int runMainTask();

    // The log line after a tick.
    static std::string tickLine(const ProtectionEngine::TickReport& report, std::int64_t blocked,
                                std::int64_t answered);
    // The upstreams: those given on the command line (even none), else the
    // system's, else 1.1.1.1 and 8.8.8.8.
    static std::vector<std::string> chooseUpstreams(const std::optional<std::vector<std::string>>& given,
                                                    const std::vector<std::string>& system);
    // The system's name servers without loopback entries, in file order.
    static std::vector<std::string> systemUpstreams(const std::filesystem::path& resolvConf);
    // The line logged when the device has no identity.
    static std::string notEnrolledText();
    // Takes the errors of steps the service answered with http 401 out of
    // the report; true when there were any.
    static bool takeTokenRefusals(ProtectionEngine::TickReport& report);

    const Options& options() const noexcept { return options_; }
    const DevEnvironment& environment() const noexcept { return environment_; }
    const std::vector<std::string>& upstreams() const noexcept { return upstreams_; }
    const ListenAddress& listenAddress() const noexcept { return listen_; }
    const std::filesystem::path& statusURL() const noexcept { return statusURL_; }
    const DNSProxy* proxy() const noexcept { return proxy_.get(); }

private:
    void log(const std::string& message) const;
    void enroll(const std::string& code);
    void rebuildRules();
    void startListener();
    void checkDNS();
    void writeStatus(const ProtectionEngine::TickReport& report, std::int64_t blocked, std::int64_t answered);

    ProgramSettings settings_;
    Options options_;
    DevEnvironment environment_;
    std::filesystem::path directory_;
    AppGroup group_;
    std::shared_ptr<FileTokenStore> tokens_;
    std::shared_ptr<FileStateStore> store_;
    std::shared_ptr<TokenBox> box_;
    std::shared_ptr<DeviceAPI> api_;
    std::shared_ptr<ProtectionClient> client_;
    std::shared_ptr<FileBlocklistCache> cache_;
    std::shared_ptr<LocalFilter> filter_;
    std::shared_ptr<DevHost> host_;
    std::unique_ptr<ProtectionEngine> engine_;
    std::vector<std::string> upstreams_;
    ListenAddress listen_;
    std::filesystem::path statusURL_;
    std::filesystem::path dnsRecordURL_;
    // The service refused the token in the last tick (or since, without a
    // heartbeat that got through).
    bool tokenRefused_ = false;
    // Last: it answers from the filter on its own thread until destroyed.
    std::unique_ptr<DNSProxy> proxy_;
    // The listener's thread puts the DNS settings back when it fails while
    // the main task may be pointing them here: one at a time, and none
    // pointed here once they are being put back.
    struct DNSSettingsTurn {
        std::mutex mutex;
        bool ending = false;
    };
    std::shared_ptr<DNSSettingsTurn> dnsTurn_ = std::make_shared<DNSSettingsTurn>();
};

// The whole program over its arguments (without the program name): prints
// the usage line or the unknown-argument text, or starts and runs the
// program. Returns the exit status; an error exit with --assert-dns puts the
// DNS settings back first (restoreDNSOnExit).
int runProgram(const std::vector<std::string>& arguments, ProgramSettings settings);

// With --assert-dns, for a proxy that ends on an error: the DNS settings that
// this or an earlier run pointed at 127.0.0.1 would leave the machine unable
// to resolve; they are put back with the restore script in the data
// directory (DNSSettings::restoreServers), with one line to the log.
void restoreDNSOnExit(const Options& options, const ProgramSettings& settings);

}  // namespace brivet

#pragma once
// The resolver-level mode: installing keldra-proxy as a system service with
// administrator rights, and reading the status document it writes.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/ProxyStatus.h"
#include "Keldra/Bundle.h"

namespace keldra {

// The fixed places of the service. Built from the platform-path module;
// tests point them at a scratch root.
struct BetaPaths {
    // The service's data folder (/var/lib/keldra); "status.json" in it is
    // the status document.
    std::filesystem::path root;
    // The service's unit file (/etc/systemd/system/keldra-proxy.service):
    // its existence means the service is installed.
    std::filesystem::path daemonPlist;
    // The bundle's resource folder, or the bundle's own folder without one.
    std::filesystem::path resources;

    // The places under `systemRoot` ("/" on a real machine).
    static BetaPaths forBundle(const Bundle& bundle, const std::filesystem::path& systemRoot = "/");

    std::filesystem::path statusFile() const { return root / "status.json"; }
    bool operator==(const BetaPaths&) const = default;
};

class BetaError : public std::exception {
public:
    enum class Case { installFailed, bundleIncomplete };
    static constexpr const char* kDidNotFinish = "The installation did not finish.";
    static constexpr const char* kBundleIncomplete = "This copy of the app is missing its service. Download it again.";
    static constexpr const char* kCancelled = "Cancelled.";

    static BetaError installFailed(std::string message) { return BetaError(Case::installFailed, std::move(message)); }
    static BetaError bundleIncomplete() { return BetaError(Case::bundleIncomplete, {}); }

    Case value() const noexcept { return case_; }
    const std::string& payload() const noexcept { return payload_; }
    // installFailed: the payload, or "The installation did not finish." when
    // it is empty; bundleIncomplete: its fixed text.
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const BetaError& other) const { return case_ == other.case_ && payload_ == other.payload_; }

private:
    BetaError(Case value, std::string payload);
    Case case_;
    std::string payload_;
    std::string description_;
};

// The service's status document as the app reads it: keys exactly the field
// names; deviceId, state, dnsAsserted and lockedUntil may be missing or null,
// every other member is required with its type.
struct BetaStatus : brivet::ProxyStatus {
    bool operator==(const BetaStatus&) const = default;

    // Documents above this size are not read.
    static constexpr std::size_t kMaxBytes = 1024 * 1024;

    // Throws brivet::DecodingError (bad JSON or UTF-8, too deep, a missing
    // member or one of the wrong type, a number outside 64 bits).
    static BetaStatus decode(std::string_view bytes);
    // The document at `file`; absent when it is missing, unreadable, larger
    // than kMaxBytes or does not decode.
    static std::optional<BetaStatus> read(const std::filesystem::path& file);
};

// Runs one program with administrator rights.
class AdministratorRunner {
public:
    struct Result {
        int exitStatus = 0;  // the exit status; 128 + signal when killed
        std::string standardError;
    };
    virtual ~AdministratorRunner() = default;
    // Runs `arguments` (arguments[0] is the program) as root and waits for it,
    // draining both outputs as they come (standard output is discarded).
    // Throws BetaError::installFailed with a description when it cannot be
    // started.
    virtual Result run(const std::vector<std::string>& arguments) = 0;
    // For the quit: ends every run still waiting on the administrator's
    // password, so that no prompt outlives the app, and makes later runs
    // fail as "Cancelled." without a prompt. A run that was already granted
    // administrator rights is beyond the user's reach and finishes. May be
    // called from any thread.
    virtual void endPrompts() {}
};

// `pkexec <arguments...>`, pkexec looked up on PATH; without pkexec when
// the process already runs as root. No shell parses the arguments.
//
// Each pkexec runs in a process group of its own. While it waits for the
// password it still runs as the user (its real user id is ours), so
// endPrompts() can end its group; once authorised it runs as root
// throughout, our signal is refused, and the step finishes. (A parent-death
// signal would not do: a set-user-ID program clears it when it starts.)
// A group of its own also keeps a terminal's Ctrl-C away from a step that
// is already running as root.
class PkexecRunner final : public AdministratorRunner {
public:
    // `searchPath` replaces $PATH for finding pkexec (tests); `asRoot`
    // defaults to the effective user being root. As root there is no
    // prompt: endPrompts() lets a run in progress finish.
    explicit PkexecRunner(std::optional<std::string> searchPath = std::nullopt,
                          std::optional<bool> asRoot = std::nullopt);
    Result run(const std::vector<std::string>& arguments) override;
    void endPrompts() override;

private:
    std::optional<std::string> searchPath_;
    bool asRoot_;
    std::mutex mutex_;
    // The process groups of the pkexec runs not yet reaped.
    std::vector<pid_t> groups_;
    bool promptsEnded_ = false;
};

struct BetaProxy {
    // "keldra-proxy", "keldra-networksetup" and "install.sh" all exist in
    // the resources. Read on each use.
    static bool bundleComplete(const BetaPaths& paths);

    // The five words: "/bin/sh", <resources>/install.sh, <resources>, the
    // code or "" when absent, the name.
    static std::vector<std::string> installArguments(const BetaPaths& paths, const std::optional<std::string>& code,
                                                     const std::string& name);

    // Throws BetaError::bundleIncomplete() before running anything when the
    // bundle is incomplete; otherwise runs the five words through `runner`
    // and maps the result (see checkResult). Blocking: call it off the main
    // thread.
    static void install(const BetaPaths& paths, const std::optional<std::string>& code, const std::string& name,
                        AdministratorRunner& runner);

    // Exit 0: success, whatever the error output holds. Otherwise
    // "Cancelled." when the exit status is 126 (the prompt was dismissed)
    // or the error output holds "User canceled" or "-128"; else
    // installFailed with the error output (undecodable UTF-8 counts as
    // empty) trimmed of white space and line ends.
    static void checkResult(const AdministratorRunner::Result& result);
};

}  // namespace keldra

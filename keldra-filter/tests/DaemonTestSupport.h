#pragma once
// Rules, configuration documents and a daemon command line for tests that
// run the real keldra-filter.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BrivetClient/FilterRules.h"
#include "NamespaceLab.h"
#include "keldra/TestFiles.h"

namespace keldra::filter::test {

// Blocks the category "ads" (every name under ads.example) and the custom
// name blocked.test; allows ok.ads.example.
inline brivet::FilterRules sampleRules(std::int64_t policySeq = 7) {
    brivet::Blocklist ads{"ads", 3, {{"domain_suffix", "ads.example"}}};
    brivet::FilterRules rules;
    rules.policySeq = policySeq;
    rules.kind = "committed";
    rules.committed = true;
    rules.blocklistVersion = 3;
    rules.categories = {"ads"};
    rules.generatedAt = "2026-12-08T20:00:00Z";
    rules.ruleSet = brivet::RuleSet({"ads"}, {{"domain", "blocked.test"}}, {{"domain", "ok.ads.example"}}, {ads});
    return rules;
}

inline std::string configurationsDocument(bool contentFilter, bool dnsProxy,
                                          const std::string& identifier = "io.tolvane.brivet.filter") {
    return std::string("{\"contentFilter\":{\"enabled\":") + (contentFilter ? "true" : "false") +
           ",\"localizedDescription\":\"Keldra\",\"provider\":{\"filterSockets\":true,\"filterPackets\":false}},"
           "\"dnsProxy\":{\"enabled\":" + (dnsProxy ? "true" : "false") +
           ",\"localizedDescription\":\"Keldra DNS\",\"provider\":{\"providerBundleIdentifier\":\"" + identifier +
           "\",\"serverAddress\":\"Keldra\"}}}";
}

struct DaemonFiles {
    std::filesystem::path folder;
    std::filesystem::path state() const { return folder / "state"; }
    std::filesystem::path configurations() const { return folder / "network-configurations.json"; }
    std::filesystem::path socket() const { return folder / "filter.sock"; }
    std::filesystem::path resolverFile() const { return folder / "resolv.conf"; }
    std::filesystem::path log() const { return folder / "daemon.log"; }

    void setConfigurations(bool contentFilter, bool dnsProxy) const {
        const auto temporary = folder / "configurations.tmp";
        keldra::test::writeFile(temporary, configurationsDocument(contentFilter, dnsProxy));
        std::filesystem::rename(temporary, configurations());
    }

    std::vector<std::string> command(std::vector<std::string> extra = {}) const {
        std::vector<std::string> words{KELDRA_FILTER_PATH, "--state", state().string(), "--configurations",
                                       configurations().string(), "--socket", socket().string(),
                                       "--resolv-conf", resolverFile().string(), "--poll-ms", "50"};
        words.insert(words.end(), extra.begin(), extra.end());
        return words;
    }

    std::string logText() const { return keldra::test::readFile(log()); }
};

// The daemon as a child process, with the content filter off and the DNS
// proxy as asked.
class RunningDaemon {
public:
    RunningDaemon(const DaemonFiles& files, std::vector<std::string> extra = {}, bool dnsProxy = false)
        : files_(files) {
        files.setConfigurations(false, dnsProxy);
        const auto words = files.command(std::move(extra));
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(files.log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ready_ = waitFor([&] { return std::filesystem::exists(files.socket()); });
    }
    ~RunningDaemon() { stop(SIGTERM); }

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    void stop(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        if (signal == SIGKILL) std::filesystem::remove(files_.socket());
    }

private:
    const DaemonFiles& files_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace keldra::filter::test

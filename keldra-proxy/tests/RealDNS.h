#pragma once
// dnsmasq as a real upstream on 127.0.0.2:53 and dig as a real client, for
// tests that run as root on a machine with both installed.

#include "DNSTestSupport.h"
#include "keldra/TestFiles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

namespace keldra_test {

inline bool haveRealDNSTools() {
    return ::geteuid() == 0 && ::access("/usr/sbin/dnsmasq", X_OK) == 0 && ::access("/usr/bin/dig", X_OK) == 0;
}

#define KELDRA_REQUIRE_REAL_DNS()                                                 \
    do {                                                                          \
        if (!::keldra_test::haveRealDNSTools()) {                                 \
            GTEST_SKIP() << "needs root, /usr/sbin/dnsmasq and /usr/bin/dig";     \
        }                                                                         \
    } while (0)

struct CommandResult {
    int status = -1;
    std::string output;
};

// Runs a shell command; its standard error joins the output unless the
// command redirects it itself.
inline CommandResult runCommand(const std::string& command, bool mergeErrors = true) {
    CommandResult result;
    FILE* pipe = ::popen((mergeErrors ? command + " 2>&1" : command).c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// dig against 127.0.0.1 on a port, with its own extra arguments.
inline CommandResult dig(std::uint16_t port, const std::string& arguments) {
    return runCommand("/usr/bin/dig @127.0.0.1 -p " + std::to_string(port) + " +tries=1 +time=8 " + arguments);
}

using keldra::test::readFile;
using keldra::test::TempDir;

// A port on 127.0.0.1 free for UDP and TCP alike, picked by the system.
inline std::uint16_t freeLoopbackPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        FD udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        auto any = endpoint("127.0.0.1", 0);
        if (::bind(udp.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) continue;
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        const std::uint16_t port = ntohs(bound.sin_port);
        FD tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        auto same = endpoint("127.0.0.1", port);
        if (::bind(tcp.get(), reinterpret_cast<sockaddr*>(&same), sizeof same) == 0) return port;
    }
    return 0;
}

// dnsmasq on 127.0.0.2:53 with fixed addresses and every query logged.
class Dnsmasq {
public:
    static constexpr const char* kAddress = "127.0.0.2";

    explicit Dnsmasq(const std::vector<std::string>& extraLines = {}) {
        const auto conf = dir_.path() / "dnsmasq.conf";
        std::ofstream out(conf);
        out << "port=53\nlisten-address=" << kAddress << "\nbind-interfaces\nno-resolv\nno-hosts\n"
            << "user=root\npid-file=" << (dir_.path() / "dnsmasq.pid").string() << "\n"
            << "log-queries\nlog-facility=" << log().string() << "\n"
            << "address=/allowed.test/192.0.2.10\naddress=/blocked.test/192.0.2.20\n"
            << "address=/other.test/192.0.2.30\n";
        for (const auto& line : extraLines) {
            out << line << "\n";
        }
        out.close();
        std::vector<std::string> words = {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=" + conf.string()};
        std::vector<char*> argv;
        for (auto& w : words) {
            argv.push_back(w.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            return;
        }
        // Ready when our dnsmasq answers with its fixed address; one that
        // exited (the address is taken) is not.
        const Bytes probe = buildQuery("allowed.test");
        for (int i = 0; i < 100 && !ready_; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            const auto reply = udpExchange(kAddress, 53, probe, std::chrono::milliseconds(50));
            ready_ = reply && rcode(*reply) == 0 && reply->size() > 7 && (*reply)[7] > 0;
        }
    }
    ~Dnsmasq() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
    bool ready() const { return ready_; }
    std::filesystem::path log() const { return dir_.path() / "dnsmasq.log"; }

    // The number of logged queries for a name (waits a moment for the log).
    int queriesFor(const std::string& name) const {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::string text = readFile(log());
        int count = 0;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("query[") != std::string::npos && line.find(" " + name + " from") != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace keldra_test

// keldra-proxy: a DNS proxy that answers blocked names with NXDOMAIN and
// forwards the rest to the upstream name servers.
#include "BrivetClient/DNSMessage.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/ResolvConf.h"
#include "keldra-proxy/DNSProxy.h"
#include "keldra-proxy/DNSSettings.h"
#include "keldra-proxy/DevEnvironment.h"
#include "keldra-proxy/Log.h"
#include "keldra-proxy/Options.h"
#include "keldra-proxy/Startup.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef KELDRA_DEFAULT_ENVIRONMENT
#define KELDRA_DEFAULT_ENVIRONMENT "App/Resources/Environment.json"
#endif

namespace {

using namespace brivet;

// Decides names with the rules kept in "filter-rules.json" of the data
// directory.
class StoredRulesFilter : public DNSFilter {
public:
    explicit StoredRulesFilter(const std::filesystem::path& file) {
        try {
            if (auto stored = FilterRulesStore(file).load()) {
                rules_ = std::move(*stored);
            }
        } catch (const std::exception&) {
        }
        // Reading a large rules document leaves much freed memory behind.
        ::malloc_trim(0);
    }
    HostDecision decide(const DNSQuestion& question) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return DNSMessage::decision(question, rules_.ruleSet);
    }

private:
    std::mutex mutex_;
    FilterRules rules_;
};

[[noreturn]] void quit(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = Options::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const OptionsExit& exit) {
        std::fputs(exit.standardOutput.c_str(), stdout);
        std::fputs(exit.standardError.c_str(), stderr);
        quit(exit.status);
    }
    raiseOpenFileLimit();

    const std::filesystem::path environmentFile = options.env ? *options.env : KELDRA_DEFAULT_ENVIRONMENT;
    DevEnvironment environment;
    try {
        environment = DevEnvironment::load(environmentFile);
    } catch (const std::exception& error) {
        logLine(std::string("cannot load Environment.json: ") + error.what());
        quit(1);
    }

    const std::filesystem::path directory = options.dir;
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);

    const std::vector<std::string> systemUpstreams = ResolvConf::systemNameservers({"1.1.1.1", "8.8.8.8"});
    std::vector<std::string> upstreams = options.upstreams ? *options.upstreams
                                         : !systemUpstreams.empty() ? systemUpstreams
                                                                    : std::vector<std::string>{"1.1.1.1", "8.8.8.8"};

    const auto listen = parseListenAddress(options.listen);
    if (!listen) {
        logLine("--listen must be HOST:PORT");
        quit(2);
    }
    if (options.assertDNS) {
        if (auto problem = assertDNSListenProblem(listen->host, listen->port)) {
            logLine(*problem);
            quit(2);
        }
    }
    upstreams = upstreamsWithoutSelf(upstreams, listen->host, listen->port, DNSProxy::kUpstreamPort, logLine);

    logLine("server " + environment.name + " at " + environment.apiBaseUrl);
    logLine("state in " + directory.string());

    StoredRulesFilter filter(directory / "filter-rules.json");
    DNSProxy proxy(filter, upstreams, DNSProxy::kUpstreamPort, DNSProxy::kUpstreamTimeout, logLine,
                   [](const std::string& error) {
                       logLine("udp listener failed: " + error);
                       quit(1);
                   });
    try {
        proxy.start(listen->host, listen->port);
    } catch (const std::exception& error) {
        logLine("cannot listen on " + options.listen + ": " + error.what() +
                ". Port 53 needs sudo; try --listen 127.0.0.1:5354 without it.");
        quit(1);
    }
    std::string joined;
    for (const auto& upstream : upstreams) {
        joined += (joined.empty() ? "" : ", ") + upstream;
    }
    logLine("DNS proxy listening on " + listen->host + ":" + std::to_string(listen->port) + ", forwarding to " +
            joined);

    const std::filesystem::path dnsRecord = directory / "dns-before.json";
    for (;;) {
        if (options.assertDNS && !DNSSettings::assertServers(dnsRecord)) {
            logLine("dns settings were changed; pointed them back at 127.0.0.1");
        }
        logLine("blocked=" + std::to_string(proxy.blocked()) + " answered=" + std::to_string(proxy.answered()));
        if (options.once) {
            quit(0);
        }
        sleepSeconds(options.interval);
    }
}

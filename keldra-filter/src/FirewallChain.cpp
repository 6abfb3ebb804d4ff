#include "keldra-filter/FirewallChain.h"

#include "keldra-filter/Command.h"

#include <cstdio>
#include <stdexcept>

namespace keldra::filter {
namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string markMatch(std::uint32_t mark) { return hex(mark) + "/" + hex(FirewallMarks::mask); }

bool runForReal(const std::vector<std::string>& argv, std::string& error) {
    const auto result = runCommand(argv);
    if (result.succeeded()) return true;
    error = result.standardError.empty() ? argv[0] + " exited with status " + std::to_string(result.status)
                                         : result.standardError;
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return false;
}

}  // namespace

FirewallChain::FirewallChain(std::uint16_t queueNumber, std::string iptables, std::string ip6tables, Runner run)
    : queueNumber_(queueNumber), iptables_(std::move(iptables)), ip6tables_(std::move(ip6tables)),
      run_(run ? std::move(run) : Runner(runForReal)) {}

std::vector<std::vector<std::string>> FirewallChain::rules() const {
    const std::string blocked = markMatch(FirewallMarks::blocked);
    const std::string allowed = markMatch(FirewallMarks::allowed);
    return {
        {"-m", "mark", "--mark", blocked, "-j", "CONNMARK", "--set-xmark", blocked},
        {"-p", "tcp", "-m", "connmark", "--mark", blocked, "-j", "REJECT", "--reject-with", "tcp-reset"},
        {"-m", "connmark", "--mark", blocked, "-j", "DROP"},
        {"-m", "mark", "--mark", allowed, "-j", "CONNMARK", "--set-xmark", allowed},
        {"-m", "connmark", "--mark", allowed, "-j", "RETURN"},
        {"-p", "udp", "--dport", "443", "-j", "DROP"},
        {"-p", "tcp", "-m", "multiport", "--dports", "80,443", "-m", "conntrack", "--ctstate", "ESTABLISHED",
         "-m", "connbytes", "--connbytes",
         "0:" + std::to_string(queueBytes), "--connbytes-dir", "original", "--connbytes-mode", "bytes", "-j",
         "NFQUEUE", "--queue-num", std::to_string(queueNumber_), "--queue-bypass"},
    };
}

bool FirewallChain::run(const std::string& program, std::vector<std::string> arguments, std::string& error) const {
    arguments.insert(arguments.begin(), {program, "-w"});
    return run_(arguments, error);
}

void FirewallChain::removeFamily(const std::string& program) const {
    std::string ignored;
    // The jump may be there more than once after an interrupted install.
    for (int i = 0; i < 16 && run(program, {"-D", "OUTPUT", "-j", chainName}, ignored); ++i) {
    }
    run(program, {"-F", chainName}, ignored);
    run(program, {"-X", chainName}, ignored);
}

void FirewallChain::install() {
    for (const auto* program : {&iptables_, &ip6tables_}) {
        removeFamily(*program);
        std::string error;
        bool ok = run(*program, {"-N", chainName}, error);
        for (const auto& rule : rules()) {
            if (!ok) break;
            std::vector<std::string> arguments{"-A", chainName};
            arguments.insert(arguments.end(), rule.begin(), rule.end());
            ok = run(*program, arguments, error);
        }
        if (ok) ok = run(*program, {"-I", "OUTPUT", "1", "-j", chainName}, error);
        if (!ok) {
            remove();
            throw std::runtime_error(*program + ": " + error);
        }
    }
}

void FirewallChain::remove() {
    removeFamily(iptables_);
    removeFamily(ip6tables_);
}

}  // namespace keldra::filter

#include "keldra-filter/FirewallChain.h"

#include "keldra-filter/Command.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace keldra::filter {
namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string markMatch(std::uint32_t mark) { return hex(mark) + "/" + hex(FirewallMarks::mask); }

// How long the programs wait for the xtables lock another program holds;
// past it they fail, the failure is logged, and the family is tried again
// later. Stop signals and configuration changes never wait on the lock for
// longer. A program that hangs past its own wait is killed.
constexpr const char* kLockWaitSeconds = "5";
constexpr std::chrono::milliseconds kRunLimit{15000};

// The reason a program failed: what it said, or its exit status.
bool succeeded(const CommandResult& result, const std::string& program, std::string& error) {
    if (result.succeeded()) return true;
    error = result.standardError.empty() ? program + " exited with status " + std::to_string(result.status)
                                         : result.standardError;
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return false;
}

bool runForReal(const std::vector<std::string>& argv, std::string& error) {
    return succeeded(runCommand(argv, {}, kRunLimit), argv[0], error);
}

bool restoreForReal(const std::string& program, const std::string& script, std::string& error) {
    const std::string restore = program + "-restore";
    return succeeded(runCommand({restore, "-w", kLockWaitSeconds, "--noflush"}, script, kRunLimit), restore, error);
}

bool familyPresentForReal(AddressFamily family) {
    if (family == AddressFamily::ipv4) return true;
    std::error_code ec;
    return std::filesystem::exists("/proc/sys/net/ipv6", ec);
}

// One classic BPF instruction.
struct Instruction {
    std::uint16_t code;
    std::uint8_t jt, jf;
    std::uint32_t k;
};

// Opcodes used below.
constexpr std::uint16_t kLoadByte = 0x30;          // A = P[k]
constexpr std::uint16_t kLoadHalf = 0x28;          // A = P[k:2]
constexpr std::uint16_t kLoadByteIndexed = 0x50;   // A = P[X+k]
constexpr std::uint16_t kLoadIPHeaderLength = 0xb1;  // X = 4*(P[k]&0xf)
constexpr std::uint16_t kAnd = 0x54;               // A &= k
constexpr std::uint16_t kShiftRight = 0x74;        // A >>= k
constexpr std::uint16_t kAddX = 0x0c;              // A += X
constexpr std::uint16_t kAToX = 0x07;              // X = A
constexpr std::uint16_t kStore = 0x02;             // M[k] = A
constexpr std::uint16_t kLoadMemory = 0x60;        // A = M[k]
constexpr std::uint16_t kJumpEqual = 0x15;         // A == k
constexpr std::uint16_t kJumpGreaterX = 0x2d;      // A > X
constexpr std::uint16_t kJumpAtLeastX = 0x3d;      // A >= X
constexpr std::uint16_t kReturn = 0x06;

template <std::size_t N>
std::string bytecode(const std::array<Instruction, N>& program) {
    std::string text = std::to_string(N);
    // "code jt jf k" for each instruction, after a comma. Appended piece by
    // piece (GCC 12 at -O3 warns falsely about "," + std::to_string(...)).
    for (const auto& i : program) {
        const std::uint32_t fields[4] = {i.code, i.jt, i.jf, i.k};
        for (std::size_t f = 0; f < 4; ++f) {
            text += f == 0 ? ',' : ' ';
            text += std::to_string(fields[f]);
        }
    }
    return text;
}

}  // namespace

std::string FirewallChain::payloadBytecode(AddressFamily family) {
    if (family == AddressFamily::ipv4) {
        // total length > IP header + TCP header; a total length of 0 (an
        // oversized offloaded packet) counts as payload.
        const std::array<Instruction, 13> program{{
            {kLoadHalf, 0, 0, 2},             // 0: A = total length
            {kJumpEqual, 10, 0, 0},           // 1: 0 -> payload
            {kStore, 0, 0, 0},                // 2: M[0] = total length
            {kLoadIPHeaderLength, 0, 0, 0},   // 3: X = IP header length
            {kLoadByteIndexed, 0, 0, 12},     // 4: A = TCP data offset byte
            {kAnd, 0, 0, 0xf0},               // 5
            {kShiftRight, 0, 0, 2},           // 6: A = TCP header length
            {kAddX, 0, 0, 0},                 // 7: A = both headers
            {kAToX, 0, 0, 0},                 // 8: X = both headers
            {kLoadMemory, 0, 0, 0},           // 9: A = total length
            {kJumpGreaterX, 1, 0, 0},         // 10: more than the headers -> payload
            {kReturn, 0, 0, 0},               // 11
            {kReturn, 0, 0, 1},               // 12
        }};
        return bytecode(program);
    }
    // IPv6: the TCP header right after the fixed header is compared with the
    // payload length; extension headers or a jumbogram count as payload.
    const std::array<Instruction, 11> program{{
        {kLoadByte, 0, 0, 6},           // 0: A = next header
        {kJumpEqual, 0, 8, 6},          // 1: not TCP -> payload
        {kLoadHalf, 0, 0, 4},           // 2: A = payload length
        {kJumpEqual, 6, 0, 0},          // 3: 0 -> payload
        {kAToX, 0, 0, 0},               // 4: X = payload length
        {kLoadByte, 0, 0, 40 + 12},     // 5: A = TCP data offset byte
        {kAnd, 0, 0, 0xf0},             // 6
        {kShiftRight, 0, 0, 2},         // 7: A = TCP header length
        {kJumpAtLeastX, 0, 1, 0},       // 8: header fills the payload -> none
        {kReturn, 0, 0, 0},             // 9
        {kReturn, 0, 0, 1},             // 10
    }};
    return bytecode(program);
}

FirewallChain::FirewallChain(std::uint16_t queueNumber, std::string iptables, std::string ip6tables, Runner run,
                             FamilyPresent present, Restorer restore)
    : queueNumber_(queueNumber), iptables_(std::move(iptables)), ip6tables_(std::move(ip6tables)),
      present_(present ? std::move(present) : FamilyPresent(familyPresentForReal)), restore_(std::move(restore)) {
    // A stand-in runner never comes with the real restore program.
    if (!run && !restore_) restore_ = restoreForReal;
    run_ = run ? std::move(run) : Runner(runForReal);
}

std::string FirewallChain::script(AddressFamily family, bool payloadMatch, bool rehook) const {
    const std::string chain = chainName;
    // With --noflush, naming the chain creates it, or empties it if it is
    // there.
    std::string text = "*filter\n:" + chain + " - [0:0]\n";
    if (rehook) text += "-D OUTPUT -j " + chain + "\n";
    for (const auto& rule : rules(family, payloadMatch)) {
        text += "-A " + chain;
        for (const auto& word : rule) {
            text += ' ';
            text += word.find(' ') == std::string::npos ? word : '"' + word + '"';
        }
        text += '\n';
    }
    return text + "-I OUTPUT 1 -j " + chain + "\nCOMMIT\n";
}

std::vector<std::vector<std::string>> FirewallChain::rules(AddressFamily family, bool payloadMatch) const {
    const std::string blocked = markMatch(FirewallMarks::blocked);
    const std::string allowed = markMatch(FirewallMarks::allowed);
    std::vector<std::string> queue{"-p", "tcp", "-m", "multiport", "--dports", "80,443"};
    if (payloadMatch) queue.insert(queue.end(), {"-m", "bpf", "--bytecode", payloadBytecode(family)});
    queue.insert(queue.end(), {"-j", "NFQUEUE", "--queue-num", std::to_string(queueNumber_), "--queue-bypass"});
    const std::string fresh = hex(FirewallMarks::fresh);
    // A SYN that carries none of our marks has not been to the daemon yet.
    const std::string unread = "0x0/" + hex(FirewallMarks::mask | FirewallMarks::fresh);
    std::vector<std::string> syn{"-p", "tcp", "--syn", "-m", "mark", "--mark", unread, "-m", "multiport", "--dports",
                                 "80,443", "-j", "NFQUEUE", "--queue-num", std::to_string(queueNumber_),
                                 "--queue-bypass"};
    return {
        {"-m", "conntrack", "--ctdir", "REPLY", "-j", "RETURN"},
        {"-p", "tcp", "--syn", "-m", "mark", "--mark", unread, "-j", "CONNMARK", "--set-xmark",
         "0x0/" + hex(FirewallMarks::mask | FirewallMarks::fresh)},
        syn,
        {"-m", "mark", "--mark", fresh + "/" + fresh, "-j", "CONNMARK", "--set-xmark", fresh + "/" + fresh},
        {"-m", "mark", "--mark", fresh + "/" + hex(FirewallMarks::mask | FirewallMarks::fresh), "-j", "RETURN"},
        {"-m", "mark", "--mark", blocked, "-j", "CONNMARK", "--set-xmark", blocked},
        {"-p", "tcp", "-m", "mark", "--mark", blocked, "-j", "REJECT", "--reject-with", "tcp-reset"},
        {"-p", "tcp", "-m", "connmark", "--mark", blocked, "-j", "REJECT", "--reject-with", "tcp-reset"},
        {"-m", "mark", "--mark", blocked, "-j", "DROP"},
        {"-m", "connmark", "--mark", blocked, "-j", "DROP"},
        {"-m", "mark", "--mark", allowed, "-j", "CONNMARK", "--set-xmark", allowed},
        {"-m", "mark", "--mark", allowed, "-j", "RETURN"},
        {"-m", "connmark", "--mark", allowed, "-j", "RETURN"},
        {"-p", "udp", "--dport", "443", "-j", "DROP"},
        {"-p", "tcp", "-m", "multiport", "--dports", "80,443", "-j", "CONNMARK", "--restore-mark", "--nfmask", fresh,
         "--ctmask", fresh},
        queue,
    };
}

bool FirewallChain::run(const std::string& program, std::vector<std::string> arguments, std::string& error) const {
    arguments.insert(arguments.begin(), {program, "-w", kLockWaitSeconds});
    return run_(arguments, error);
}

const std::string& FirewallChain::program(AddressFamily family) const {
    return family == AddressFamily::ipv4 ? iptables_ : ip6tables_;
}

void FirewallChain::removeFamily(const std::string& program) const {
    // One program run in the usual case: each one started is the bulk of a
    // clean stop's time.
    std::string ignored;
    const std::string chain = chainName;
    if (restore_ && restore_(program, "*filter\n-D OUTPUT -j " + chain + "\n-F " + chain + "\n-X " + chain + "\nCOMMIT\n",
                             ignored)) {
        return;
    }
    // Otherwise (no chain, or no restore program): unhook, flush, delete.
    // The jump may be there more than once after an interrupted install;
    // the chain cannot be deleted while one is left.
    for (int i = 0; i < 16; ++i) {
        const bool unhooked = run(program, {"-D", "OUTPUT", "-j", chainName}, ignored);
        if (i == 0) run(program, {"-F", chainName}, ignored);
        if (run(program, {"-X", chainName}, ignored) || !unhooked) return;
    }
}

FamilyChain FirewallChain::install(AddressFamily family) {
    FamilyChain result;
    result.family = family;
    if (!present_(family)) {
        result.state = FamilyChain::State::absent;
        return result;
    }
    const std::string& tool = program(family);
    std::string error;
    if (restore_) {
        // One transaction: the chain replaced under the jump an earlier run
        // left, else put in place and hooked.
        for (bool payloadMatch : {true, false}) {
            if (restore_(tool, script(family, payloadMatch, true), error) ||
                restore_(tool, script(family, payloadMatch, false), error)) {
                result.state = FamilyChain::State::installed;
                result.payloadMatch = payloadMatch;
                return result;
            }
        }
    }
    removeFamily(tool);
    bool ok = run(tool, {"-N", chainName}, error);
    const auto appendAll = [&](bool payloadMatch) {
        for (const auto& rule : rules(family, payloadMatch)) {
            std::vector<std::string> arguments{"-A", chainName};
            arguments.insert(arguments.end(), rule.begin(), rule.end());
            if (!run(tool, arguments, error)) return false;
        }
        return true;
    };
    if (ok) {
        result.payloadMatch = appendAll(true);
        if (!result.payloadMatch) {
            // Without the bpf match: queue every packet of an undecided
            // connection instead.
            run(tool, {"-F", chainName}, error);
            ok = appendAll(false);
        }
    }
    if (ok) ok = run(tool, {"-I", "OUTPUT", "1", "-j", chainName}, error);
    if (!ok) {
        removeFamily(tool);
        result.state = FamilyChain::State::failed;
        result.payloadMatch = false;
        result.error = tool + ": " + error;
        return result;
    }
    result.state = FamilyChain::State::installed;
    return result;
}

std::vector<FamilyChain> FirewallChain::install() {
    return {install(AddressFamily::ipv4), install(AddressFamily::ipv6)};
}

void FirewallChain::remove() {
    // Both families at once: a clean stop waits for the slower one only.
    std::thread ipv6([this] { removeFamily(ip6tables_); });
    removeFamily(iptables_);
    ipv6.join();
}

}  // namespace keldra::filter

#pragma once
// The content filter's packet rules: one chain of our own in the filter
// table's OUTPUT, for IPv4 (iptables) and IPv6 (ip6tables).
//
//   a packet the daemon marked blocked  -> its connection is marked blocked
//   a connection marked blocked         -> TCP reset
//   a packet the daemon marked allowed  -> its connection is marked allowed
//   a connection marked allowed         -> leaves the chain
//   UDP to port 443 (QUIC)              -> dropped, so browsers fall back to TCP
//   TCP to ports 80 and 443 once the connection is established (no data
//   rides on a SYN), while it has sent fewer than `queueBytes` bytes
//                                       -> NFQUEUE with --queue-bypass
//
// --queue-bypass lets packets pass while no program reads the queue, so the
// machine's network never stalls when the daemon stops or is killed.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace keldra::filter {

struct FirewallMarks {
    // Marks the daemon puts on packets it hands back for a second pass.
    static constexpr std::uint32_t allowed = 0x01000000;
    static constexpr std::uint32_t blocked = 0x02000000;
    static constexpr std::uint32_t mask = 0x03000000;
};

class FirewallChain {
public:
    using Runner = std::function<bool(const std::vector<std::string>& argv, std::string& error)>;

    static constexpr const char* chainName = "KELDRA_FILTER";
    static constexpr std::uint32_t queueBytes = 65536;

    // `iptables` and `ip6tables` are the programs (looked up in PATH);
    // `run` runs one command (the default runs it and reports its error
    // output).
    FirewallChain(std::uint16_t queueNumber, std::string iptables = "iptables",
                  std::string ip6tables = "ip6tables", Runner run = {});

    // Puts the chain in place for both families, replacing any left behind
    // by an earlier run. On failure removes what it put in place and throws
    // std::runtime_error with the failing command's message.
    void install();

    // Removes the chain of both families; never fails.
    void remove();

    // The rules appended to the chain of one family, each as the arguments
    // after "-A KELDRA_FILTER".
    std::vector<std::vector<std::string>> rules() const;

private:
    bool run(const std::string& program, std::vector<std::string> arguments, std::string& error) const;
    void removeFamily(const std::string& program) const;

    std::uint16_t queueNumber_;
    std::string iptables_;
    std::string ip6tables_;
    Runner run_;
};

}  // namespace keldra::filter

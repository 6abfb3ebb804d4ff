#pragma once
// The content filter's packet rules: one chain of our own in the filter
// table's OUTPUT, for IPv4 (iptables) and IPv6 (ip6tables).
//
//   a reply-direction packet (the kernel's own resets included)
//                                       -> leaves the chain
//   a SYN not yet read                  -> its connection's marks are
//                                          cleared (a port pair reused at
//                                          once never inherits the decision
//                                          of the earlier connection); to
//                                          ports 80 and 443 it goes to the
//                                          NFQUEUE (with --queue-bypass), so
//                                          the daemon learns where the
//                                          stream starts
//   a SYN the daemon read               -> its connection is marked fresh,
//                                          and it leaves the chain
//   a packet the daemon marked blocked  -> its connection is marked blocked
//   a blocked packet or connection      -> TCP reset (other protocols: drop)
//   a packet the daemon marked allowed  -> its connection is marked allowed
//   an allowed packet or connection     -> leaves the chain
//   UDP to port 443 (QUIC)              -> dropped, so browsers fall back to TCP
//   TCP to ports 80 and 443 that carries payload, whatever its tracking
//   state (data on a SYN with Fast Open, a connection picked up mid-stream)
//                                       -> NFQUEUE with --queue-bypass, the
//                                          connection's fresh mark copied
//                                          onto the packet for the daemon
//
// Payload is tested exactly with a classic BPF program (IP header length +
// TCP header length against the packet's length). Where the kernel refuses
// the bpf match, every TCP packet to 80 and 443 of an undecided connection
// is queued instead (payload-less ACKs included).
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
    // On a SYN the daemon read, on its connection, and copied onto that
    // connection's queued packets: a reader of the queue saw it begin, so
    // it was not picked up mid-stream.
    static constexpr std::uint32_t fresh = 0x04000000;
};

enum class AddressFamily { ipv4, ipv6 };

// Where one family's chain stands after install().
struct FamilyChain {
    enum class State {
        installed,  // the chain is in place
        absent,     // the kernel has no such family: nothing to filter
        failed,     // the chain could not be put in place (see `error`)
    };
    AddressFamily family = AddressFamily::ipv4;
    State state = State::failed;
    std::string error;
    bool payloadMatch = false;  // the exact payload test is in use

    bool operator==(const FamilyChain&) const = default;
};

class FirewallChain {
public:
    using Runner = std::function<bool(const std::vector<std::string>& argv, std::string& error)>;
    // Applies an iptables-restore script (without flushing the table) with
    // the restore program of `program`, in one transaction.
    using Restorer = std::function<bool(const std::string& program, const std::string& script, std::string& error)>;
    // Whether the kernel has the family at all.
    using FamilyPresent = std::function<bool(AddressFamily)>;

    static constexpr const char* chainName = "KELDRA_FILTER";

    // `iptables` and `ip6tables` are the programs (looked up in PATH);
    // `run` runs one command (the default runs it and reports its error
    // output); `present` tells whether a family exists (the default looks in
    // /proc/sys/net). `restore` applies a whole chain (or its removal) in one
    // program run where it can (the default runs "iptables-restore" and
    // "ip6tables-restore" beside the two programs, and only with the default
    // `run`); where it cannot, one command at a time is used.
    FirewallChain(std::uint16_t queueNumber, std::string iptables = "iptables",
                  std::string ip6tables = "ip6tables", Runner run = {}, FamilyPresent present = {},
                  Restorer restore = {});

    // Puts the chain in place for each family on its own, replacing any
    // left behind by an earlier run (in one transaction where the restore
    // program serves: a chain left in place stays hooked while its rules are
    // replaced). A family that fails is cleaned up and
    // reported; the other one stays in place. Never throws.
    std::vector<FamilyChain> install();

    // Puts one family's chain in place (as install() does for each).
    FamilyChain install(AddressFamily family);

    // Removes the chain of both families, the two at once (so `run` may be
    // called from two threads); never fails.
    void remove();

    // The rules appended to the chain of one family, each as the arguments
    // after "-A KELDRA_FILTER"; `payloadMatch` chooses the queue rule with
    // the exact payload test.
    std::vector<std::vector<std::string>> rules(AddressFamily family = AddressFamily::ipv4,
                                                bool payloadMatch = true) const;

    // The classic BPF program, in the iptables bpf match's "--bytecode"
    // form, that is true for a TCP packet carrying payload.
    static std::string payloadBytecode(AddressFamily family);

private:
    bool run(const std::string& program, std::vector<std::string> arguments, std::string& error) const;
    // The restore script that puts the family's chain in place; `rehook`
    // takes out the jump an earlier run left (failing when there is none).
    std::string script(AddressFamily family, bool payloadMatch, bool rehook) const;
    void removeFamily(const std::string& program) const;
    const std::string& program(AddressFamily family) const;

    std::uint16_t queueNumber_;
    std::string iptables_;
    std::string ip6tables_;
    Runner run_;
    FamilyPresent present_;
    Restorer restore_;
};

}  // namespace keldra::filter

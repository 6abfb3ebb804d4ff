#pragma once
// Verdicts for a content filter that sees network flows rather than DNS
// questions: find the host name a flow is for, ask the rule set, and turn
// the answer into allow or drop.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "BrivetClient/RuleSet.h"

namespace brivet {

// What the platform tells about one flow.
struct FlowDescription {
    enum class Direction { outbound, inbound };

    std::optional<std::string> remoteHostname;
    // The flow's URL as text ("https://ads.example.com/x"), when known.
    std::optional<std::string> url;
    std::optional<std::string> remoteAddress;
    std::optional<std::int64_t> remotePort;
    Direction direction = Direction::outbound;
    std::optional<std::string> sourceAppIdentifier;

    bool operator==(const FlowDescription&) const = default;
};

enum class FlowAction { allow, drop };

struct FlowVerdict {
    FlowAction action = FlowAction::allow;
    HostDecision decision;
    // The host name that was decided, exactly as found in the description.
    std::optional<std::string> host;

    bool operator==(const FlowVerdict&) const = default;
};

struct FlowFilter {
    RuleSet rules;

    FlowFilter() = default;
    explicit FlowFilter(RuleSet rules) : rules(std::move(rules)) {}

    // Inbound flows and flows without a usable host are allowed with `pass`;
    // otherwise blocked hosts are dropped and all others allowed.
    FlowVerdict verdict(const FlowDescription& flow) const;

    // The URL's host when it is a name, else the remote host name when that
    // is a name, else nothing. Returned as found (not normalised).
    static std::optional<std::string> host(const FlowDescription& flow);

    // True when the text is an IP address written out rather than a name:
    // optionally in brackets; with ":" it counts as IPv6 when, before any
    // "%" zone, it is non-empty and only hex digits (full-width ones too),
    // ":" and "."; otherwise as IPv4 when it has exactly four decimal parts
    // from 0 to 255 (sign and leading zeros accepted).
    static bool isAddressLiteral(std::string_view text);

    bool operator==(const FlowFilter&) const = default;
};

}  // namespace brivet

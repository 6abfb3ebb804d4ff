#pragma once
// A minimal reader and writer of DNS messages in wire form: enough to take
// the first question out of a query, decide it against a rule set, and turn
// a blocked query into a negative answer without asking any server.
//
// Every operation is a pure function of its arguments; malformed input never
// throws and never reads outside the buffer, it simply yields nothing.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/RuleSet.h"

namespace brivet {

// The first question of a query.
struct DNSQuestion {
    // Labels decoded as UTF-8, joined with "." without a trailing dot, letter
    // case as received; the root name is the empty text.
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t qclass = 0;

    DNSQuestion() = default;
    DNSQuestion(std::string name, std::uint16_t type, std::uint16_t qclass)
        : name(std::move(name)), type(type), qclass(qclass) {}

    bool operator==(const DNSQuestion&) const = default;
};

namespace DNSMessage {

using Bytes = std::span<const std::uint8_t>;

// Walks the name of a message's first question from offset 12: labels
// written in full (no compression pointer or other label type: a length
// byte up to 63) up to a zero byte, each label inside the message and a
// byte after it. `label` sees each label in turn and refuses the name by
// returning false. The offset of the zero byte, or nothing when the name is
// refused or runs past the message.
std::optional<std::size_t> walkQuestionName(Bytes message, const std::function<bool(std::string_view label)>& label);

// The first question of a query, or nothing for anything that is not a
// query with a fully written, UTF-8 first question.
std::optional<DNSQuestion> question(Bytes message);
std::optional<DNSQuestion> question(std::string_view message);

// The offset just past the first question's QCLASS, or nothing when
// `question` refuses the message.
std::optional<std::size_t> questionSectionEnd(Bytes message);
std::optional<std::size_t> questionSectionEnd(std::string_view message);

// The NXDOMAIN answer to a query: its header and first question only, with
// QR and RA set, AA and TC cleared, RCODE 3 and the counts 1, 0, 0, 0.
std::optional<std::vector<std::uint8_t>> nxdomainResponse(Bytes query);
std::optional<std::vector<std::uint8_t>> nxdomainResponse(std::string_view query);

// Classes IN (1) and ANY (255) are decided by the rules; every other class
// passes. The question's type plays no part.
HostDecision decision(const DNSQuestion& question, const RuleSet& rules);

}  // namespace DNSMessage
}  // namespace brivet

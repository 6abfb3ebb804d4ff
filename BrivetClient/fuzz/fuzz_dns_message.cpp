// Any byte string up to 65535 bytes: the parser must never read outside the
// message, and what it accepts must answer consistently.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "BrivetClient/DNSMessage.h"

namespace DNSMessage = brivet::DNSMessage;

namespace {

const brivet::RuleSet& rules() {
    static const brivet::RuleSet set({"ads"}, {{"domain", "custom.example"}}, {{"domain_suffix", "ok.example"}},
                                     {{"ads", 1, {{"domain_suffix", "example"}, {"domain", "a.b"}}}});
    return set;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65535) return 0;
    const std::span<const std::uint8_t> message(data, size);
    const auto question = DNSMessage::question(message);
    const auto end = DNSMessage::questionSectionEnd(message);
    const auto answer = DNSMessage::nxdomainResponse(message);
    check(question.has_value() == end.has_value());
    check(question.has_value() == answer.has_value());
    if (!question) return 0;

    check(*end >= 17 && *end <= size);
    check(answer->size() == *end);
    check(std::memcmp(answer->data(), data, 2) == 0);
    check(((*answer)[2] & 0x80) && !((*answer)[2] & 0x06));
    check((*answer)[3] == 0x83);
    check(std::memcmp(answer->data() + 12, data + 12, *end - 12) == 0);
    // An answer is no query; with QR cleared again it reads as the same question.
    check(!DNSMessage::question(*answer));
    std::vector<std::uint8_t> again = *answer;
    again[2] &= 0x7F;
    check(DNSMessage::question(again) == question);

    const brivet::HostDecision decision = DNSMessage::decision(*question, rules());
    if (question->qclass != 1 && question->qclass != 255) check(decision == brivet::HostDecision::pass());
    return 0;
}

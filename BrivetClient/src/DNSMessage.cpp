#include "BrivetClient/DNSMessage.h"

#include "BrivetClient/UTF8.h"

namespace brivet::DNSMessage {
namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kMaxLabels = 127;
constexpr std::uint8_t kMaxLabelLength = 63;

std::uint16_t readU16(Bytes m, std::size_t at) {
    return static_cast<std::uint16_t>((m[at] << 8) | m[at + 1]);
}

Bytes asBytes(std::string_view text) {
    return Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Walks the first question's name: every label UTF-8, at most 127 of them.
// On success returns the offset of the terminating zero byte and, when
// `name` is given, fills it.
std::optional<std::size_t> walkName(Bytes m, std::string* name) {
    std::size_t labels = 0;
    return walkQuestionName(m, [&](std::string_view label) {
        if (!utf8::isValid(label) || ++labels > kMaxLabels) return false;
        if (name) {
            if (labels > 1) name->push_back('.');
            name->append(label);
        }
        return true;
    });
}

}  // namespace

std::optional<std::size_t> walkQuestionName(Bytes m, const std::function<bool(std::string_view label)>& label) {
    for (std::size_t offset = kHeaderSize;;) {
        if (offset >= m.size()) return std::nullopt;
        const std::uint8_t length = m[offset];
        if (length == 0) return offset;
        if (length > kMaxLabelLength) return std::nullopt;
        const std::size_t start = offset + 1;
        if (start + length > m.size()) return std::nullopt;
        if (!label(std::string_view(reinterpret_cast<const char*>(m.data() + start), length))) return std::nullopt;
        offset = start + length;
    }
}

std::optional<DNSQuestion> question(Bytes m) {
    if (m.size() < kHeaderSize) return std::nullopt;
    if (m[2] & 0x80) return std::nullopt;              // a response
    if (m[4] == 0 && m[5] == 0) return std::nullopt;   // no question
    if (m.size() <= kHeaderSize) return std::nullopt;
    std::string name;
    const auto zero = walkName(m, &name);
    if (!zero) return std::nullopt;
    const std::size_t after = *zero + 1;
    if (m.size() - after < 4) return std::nullopt;
    return DNSQuestion(std::move(name), readU16(m, after), readU16(m, after + 2));
}

std::optional<DNSQuestion> question(std::string_view message) {
    return question(asBytes(message));
}

std::optional<std::size_t> questionSectionEnd(Bytes m) {
    if (m.size() < kHeaderSize) return std::nullopt;
    if (!question(m)) return std::nullopt;
    const auto zero = walkName(m, nullptr);
    if (!zero) return std::nullopt;
    const std::size_t end = *zero + 1 + 4;
    if (end > m.size()) return std::nullopt;
    return end;
}

std::optional<std::size_t> questionSectionEnd(std::string_view message) {
    return questionSectionEnd(asBytes(message));
}

std::optional<std::vector<std::uint8_t>> nxdomainResponse(Bytes query) {
    const auto end = questionSectionEnd(query);
    if (!end) return std::nullopt;
    std::vector<std::uint8_t> response(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(*end));
    response[2] = static_cast<std::uint8_t>((response[2] & 0x79) | 0x80);
    response[3] = 0x83;
    static constexpr std::uint8_t counts[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 8; ++i) response[4 + i] = counts[i];
    return response;
}

std::optional<std::vector<std::uint8_t>> nxdomainResponse(std::string_view query) {
    return nxdomainResponse(asBytes(query));
}

HostDecision decision(const DNSQuestion& question, const RuleSet& rules) {
    if (question.qclass != 1 && question.qclass != 255) return HostDecision::pass();
    return rules.decide(question.name);
}

}  // namespace brivet::DNSMessage

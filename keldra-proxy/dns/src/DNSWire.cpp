#include "keldra-proxy/DNSWire.h"

#include "BrivetClient/DNSMessage.h"

namespace brivet {

namespace {

constexpr std::size_t kHeaderSize = 12;

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

}  // namespace

DNSBytes dnsFramed(std::span<const std::uint8_t> message) {
    DNSBytes frame;
    frame.reserve(message.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    frame.insert(frame.end(), message.begin(), message.end());
    return frame;
}

std::optional<DNSQuestionKey> DNSQuestionKey::of(std::span<const std::uint8_t> message) {
    if (message.size() < kHeaderSize || read16(message, 4) == 0) {
        return std::nullopt;
    }
    DNSQuestionKey key;
    // The name as length-prefixed labels, letters folded, at most 254 bytes.
    const auto zero = DNSMessage::walkQuestionName(message, [&key](std::string_view label) {
        if (key.name.size() + 1 + label.size() > 254) return false;
        key.name.push_back(static_cast<char>(label.size()));
        for (const char c : label) key.name.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        return true;
    });
    if (!zero) {
        return std::nullopt;
    }
    const std::size_t at = *zero + 1;
    if (at + 4 > message.size()) {
        return std::nullopt;
    }
    key.type = read16(message, at);
    key.qclass = read16(message, at + 2);
    return key;
}

std::optional<DNSQueryKey> DNSQueryKey::of(std::span<const std::uint8_t> query) {
    if (query.size() < 2) {
        return std::nullopt;
    }
    DNSQueryKey key;
    key.id_ = read16(query, 0);
    key.question_ = DNSQuestionKey::of(query);
    return key;
}

bool DNSQueryKey::answeredBy(std::span<const std::uint8_t> reply) const {
    if (reply.size() < kHeaderSize || read16(reply, 0) != id_) {
        return false;
    }
    if (!question_) {
        return true;
    }
    const auto replied = DNSQuestionKey::of(reply);
    return replied && *replied == *question_;
}

}  // namespace brivet

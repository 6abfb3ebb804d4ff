#include "BrivetClient/FlowFilter.h"

namespace brivet {
namespace {

bool isAsciiHexDigit(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHexDigit(char32_t c) {
    if (isAsciiHexDigit(c)) return true;
    // Full-width digits and letters A-F, a-f.
    return (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF26) || (c >= 0xFF41 && c <= 0xFF46);
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when
// ill-formed.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& cp) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    std::size_t extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    if (extra == 0 || b > 0xF4 || s.size() - i <= extra) return 0;
    cp = b & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF) return 0;  // overlong or out of range
    return extra + 1;
}

bool isIPv6Literal(std::string_view s) {
    const std::size_t zone = s.find('%');
    if (zone != std::string_view::npos) s = s.substr(0, zone);
    if (s.empty()) return false;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t n = decodeAt(s, i, cp);
        if (n == 0) return false;
        if (!(cp == ':' || cp == '.' || isHexDigit(cp))) return false;
        i += n;
    }
    return true;
}

// A decimal integer with an optional sign, from 0 to 255.
bool isOctet(std::string_view part) {
    if (part.empty()) return false;
    bool negative = false;
    if (part.front() == '+' || part.front() == '-') {
        negative = part.front() == '-';
        part.remove_prefix(1);
        if (part.empty()) return false;
    }
    unsigned value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return false;
        if (value <= 255) value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (negative) return value == 0;
    return value <= 255;
}

bool isIPv4Literal(std::string_view s) {
    int parts = 0;
    for (std::size_t pos = 0;;) {
        const std::size_t dot = s.find('.', pos);
        const std::string_view part = s.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (++parts > 4 || !isOctet(part)) return false;
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    return parts == 4;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The host part of an absolute URL ("scheme://user@host:port/path") or of a
// network-path reference ("//host/path"); IPv6 hosts keep their brackets.
std::optional<std::string> urlHost(std::string_view url) {
    std::size_t pos = 0;
    if (!url.starts_with("//")) {
        const std::size_t colon = url.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        for (std::size_t i = 0; i < colon; ++i) {
            const char c = url[i];
            const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
            if (!(alpha || (i > 0 && other))) return std::nullopt;
        }
        pos = colon + 1;
        if (url.substr(pos, 2) != "//") return std::nullopt;
    }
    pos += 2;
    std::string_view authority = url.substr(pos);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string_view host;
    if (authority.starts_with("[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    return percentDecode(host);
}

bool usableName(const std::optional<std::string>& name) {
    return name && !name->empty() && !FlowFilter::isAddressLiteral(*name);
}

}  // namespace

bool FlowFilter::isAddressLiteral(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.find(':') != std::string_view::npos) return isIPv6Literal(text);
    return isIPv4Literal(text);
}

std::optional<std::string> FlowFilter::host(const FlowDescription& flow) {
    if (flow.url) {
        const auto fromURL = urlHost(*flow.url);
        if (usableName(fromURL)) return fromURL;
    }
    if (usableName(flow.remoteHostname)) return flow.remoteHostname;
    return std::nullopt;
}

FlowVerdict FlowFilter::verdict(const FlowDescription& flow) const {
    if (flow.direction == FlowDescription::Direction::inbound) return {FlowAction::allow, HostDecision::pass(), {}};
    auto name = host(flow);
    if (!name) return {FlowAction::allow, HostDecision::pass(), {}};
    HostDecision decision = rules.decide(*name);
    const FlowAction action = decision.isBlocked() ? FlowAction::drop : FlowAction::allow;
    return {action, std::move(decision), std::move(name)};
}

}  // namespace brivet

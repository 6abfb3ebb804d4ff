#include "BrivetClient/ResolvConf.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

#include <unicode/uchar.h>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/FlowFilter.h"
#include "BrivetClient/UTF8.h"

namespace brivet::ResolvConf {
namespace {

// Length of a line break starting at s[i] (CR LF counts as one), or 0.
std::size_t lineBreakAt(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b == '\r') return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
    if (b == '\n' || b == 0x0B || b == 0x0C) return 1;
    if (b == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return 2;  // NEL
    if (b == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
        const auto c = static_cast<unsigned char>(s[i + 2]);
        if (c == 0xA8 || c == 0xA9) return 3;  // LINE / PARAGRAPH SEPARATOR
    }
    return 0;
}

// Length of a white-space character (tab or a space separator) at s[i], or 0.
std::size_t spaceAt(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return (b == ' ' || b == '\t') ? 1 : 0;
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    char32_t cp = b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return u_charType(static_cast<UChar32>(cp)) == U_SPACE_SEPARATOR ? n : 0;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size();) {
        const std::size_t n = spaceAt(line, i);
        if (n == 0) {
            ++i;
            continue;
        }
        if (i > start) out.push_back(line.substr(start, i - start));
        i += n;
        start = i;
    }
    if (start < line.size()) out.push_back(line.substr(start));
    return out;
}

// 127.0.0.0/8 is loopback; 0.0.0.0/8 means "this host".
bool isLocalIPv4(const unsigned char* bytes) { return bytes[0] == 127 || bytes[0] == 0; }

// The four parts read as plain decimal numbers, the way the literal test
// reads them (signs and leading zeros accepted).
bool decimalFirstOctet(std::string_view s, unsigned& first) {
    const std::size_t dot = s.find('.');
    std::string_view part = s.substr(0, dot);
    if (!part.empty() && (part.front() == '+' || part.front() == '-')) part.remove_prefix(1);
    if (part.empty()) return false;
    unsigned value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return false;
        if (value <= 255) value = value * 10 + static_cast<unsigned>(c - '0');
    }
    first = value;
    return true;
}

}  // namespace

std::vector<std::string> nameservers(std::string_view text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    auto takeLine = [&](std::string_view line) {
        if (line.empty()) return;
        line = line.substr(0, line.find_first_of("#;"));
        const auto f = fields(line);
        if (f.size() < 2 || f[0] != "nameserver") return;
        if (!FlowFilter::isAddressLiteral(f[1])) return;
        if (std::find(result.begin(), result.end(), f[1]) != result.end()) return;
        result.emplace_back(f[1]);
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = lineBreakAt(text, i);
        if (n == 0) {
            ++i;
            continue;
        }
        takeLine(text.substr(start, i - start));
        i += n;
        start = i;
    }
    takeLine(text.substr(start));
    return result;
}

bool pointsAtThisMachine(std::string_view address) {
    std::string_view s = address;
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
    if (s.starts_with("127.") || s == "::1") return true;
    const std::string text(s.substr(0, s.find('%')));

    if (text.find(':') != std::string::npos) {
        in6_addr a6{};
        if (::inet_pton(AF_INET6, text.c_str(), &a6) != 1) return false;
        if (IN6_IS_ADDR_LOOPBACK(&a6) || IN6_IS_ADDR_UNSPECIFIED(&a6)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) return isLocalIPv4(a6.s6_addr + 12);
        return false;
    }

    unsigned first = 0;
    if (decimalFirstOctet(text, first) && (first == 127 || first == 0)) return true;
    in_addr a4{};
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1 && isLocalIPv4(reinterpret_cast<unsigned char*>(&a4))) {
        return true;
    }
    // The classic parser also reads octal and hexadecimal parts ("0177.0.0.1").
    if (::inet_aton(text.c_str(), &a4) != 0 && isLocalIPv4(reinterpret_cast<unsigned char*>(&a4))) return true;
    return false;
}

std::vector<std::string> systemNameservers(const std::vector<std::string>& fallback,
                                           const std::filesystem::path& file) {
    std::string text;
    try {
        if (!readWholeFile(file, text)) return fallback;
    } catch (const std::exception&) {
        return fallback;
    }
    if (!utf8::isValid(text)) return fallback;
    std::vector<std::string> servers = nameservers(text);
    std::erase_if(servers, [](const std::string& s) { return pointsAtThisMachine(s); });
    if (servers.empty()) return fallback;
    return servers;
}

}  // namespace brivet::ResolvConf

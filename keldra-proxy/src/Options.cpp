#include "keldra-proxy/Options.h"

#include "BrivetClient/PlatformPaths.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <pwd.h>
#include <unistd.h>

namespace brivet {

const char* const kUsageLine =
    "usage: keldra-proxy [--env Environment.json] [--dir DIR] [--listen HOST:PORT] "
    "[--upstream A,B] [--enroll CODE --name NAME] [--once] [--interval SECONDS] "
    "[--assert-dns] [--status FILE]";

namespace {

// One C locale for the life of the process, for locale-independent parsing.
locale_t posixLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

std::string Options::defaultDirectory() {
    return (brivet::platform::userApplicationSupport() / "Keldra Dev Proxy").string();
}

std::string Options::defaultName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0') {
        return buffer;
    }
    return "Mac";
}

double Options::parseInterval(const std::string& text) {
    constexpr double fallback = 60.0;
    if (text.empty()) {
        return fallback;
    }
    switch (text.front()) {
        case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': case '\0':
            return fallback;
        default:
            break;
    }
    // An argument cannot hold a NUL, but a std::string can: refuse it rather
    // than let strtod stop early at it and read a prefix.
    if (text.find('\0') != std::string::npos) {
        return fallback;
    }
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = posixLocale() != static_cast<locale_t>(nullptr)
                             ? strtod_l(begin, &end, posixLocale())
                             : std::strtod(begin, &end);
    if (end != begin + text.size()) {
        return fallback;
    }
    // The loop sleeps a whole number of nanoseconds held in 64 bits.
    constexpr double maxSeconds = 18446744073.0;
    if (!std::isfinite(value) || value < 0.0 || value > maxSeconds) {
        return fallback;
    }
    return value;
}

std::vector<std::string> Options::parseUpstreams(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        std::string piece = text.substr(start, comma - start);
        if (!piece.empty()) {
            const auto first = piece.find_first_not_of(" \t");
            if (first == std::string::npos) {
                piece.clear();
            } else {
                const auto last = piece.find_last_not_of(" \t");
                piece = piece.substr(first, last - first + 1);
            }
            result.push_back(std::move(piece));
        }
        start = comma + 1;
    }
    return result;
}

Options Options::parse(const std::vector<std::string>& arguments) {
    Options options;
    std::size_t index = 0;
    auto value = [&]() -> std::string {
        ++index;
        return index < arguments.size() ? arguments[index] : std::string();
    };
    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--env") {
            options.env = value();
        } else if (argument == "--dir") {
            options.dir = value();
        } else if (argument == "--listen") {
            options.listen = value();
        } else if (argument == "--upstream") {
            options.upstreams = parseUpstreams(value());
        } else if (argument == "--enroll") {
            options.enroll = value();
        } else if (argument == "--name") {
            options.name = value();
        } else if (argument == "--once") {
            options.once = true;
        } else if (argument == "--interval") {
            options.interval = parseInterval(value());
        } else if (argument == "--assert-dns") {
            options.assertDNS = true;
        } else if (argument == "--status") {
            options.status = value();
        } else if (argument == "-h" || argument == "--help") {
            throw OptionsExit(0, std::string(kUsageLine) + "\n", "");
        } else {
            throw OptionsExit(2, "", "unknown argument " + argument + "\n");
        }
    }
    return options;
}

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t colon = text.find(':', start);
        if (colon == std::string::npos) {
            colon = text.size();
        }
        if (colon > start) {
            parts.push_back(text.substr(start, colon - start));
        }
        start = colon + 1;
    }
    if (parts.size() != 2) {
        return std::nullopt;
    }
    const std::string& portText = parts[1];
    if (portText.empty()) {
        return std::nullopt;
    }
    unsigned long port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) {
            return std::nullopt;
        }
    }
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return ListenAddress{parts[0], static_cast<unsigned short>(port)};
}

}  // namespace brivet

#include "DeviceName.h"

#include "Keldra/MenuModel.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace keldra::screens {

namespace {

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Removes one level of shell quoting: '...' literally, "..." with backslash
// escapes, and backslash escapes outside quotes.
std::string unquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0; else out += c;
        } else if (c == '\\' && i + 1 < value.size()) {
            out += value[++i];
        } else if (quote == '"') {
            if (c == '"') quote = 0; else out += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> prettyHostnameIn(std::string_view machineInfo) {
    std::optional<std::string> found;
    std::size_t start = 0;
    while (start <= machineInfo.size()) {
        auto end = machineInfo.find('\n', start);
        if (end == std::string_view::npos) end = machineInfo.size();
        const std::string_view line = trimBlanks(machineInfo.substr(start, end - start));
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.substr(0, key.size()) == key) found = unquote(line.substr(key.size()));
        start = end + 1;
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> machineName(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo, std::ios::binary);
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        if (auto pretty = prettyHostnameIn(text.str())) return *pretty;
    }
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0') return std::string(buffer);
    return std::nullopt;
}

std::string deviceName(const std::filesystem::path& machineInfo) {
    return defaultDeviceName(machineName(machineInfo));
}

}  // namespace keldra::screens

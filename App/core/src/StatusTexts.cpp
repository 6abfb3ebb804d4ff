// The texts the menu shows, derived afresh from the app state's fields.
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <chrono>
#include <cstdint>

#include "BrivetClient/Joined.h"
#include "BrivetClient/LogText.h"
#include "Keldra/AppState.h"
#include "Keldra/StatusTexts.h"
#include "Keldra/TextRules.h"

namespace keldra {

namespace {

using brivet::joined;

constexpr std::int64_t kFreshSeconds = 600;

void appendCodePoint(std::string& out, UChar32 c) {
    char buffer[U8_MAX_LENGTH];
    std::int32_t length = 0;
    UBool error = false;
    U8_APPEND(reinterpret_cast<std::uint8_t*>(buffer), length, U8_MAX_LENGTH, c, error);
    if (!error) out.append(buffer, static_cast<std::size_t>(length));
}

// A line of the panel that carries text from outside (the device service,
// the status document, a tool's message): its control and invisible format
// characters made visible, and at most 512 bytes of it shown.
std::string shown(const std::string& line) { return brivet::screenSafe(line); }

std::optional<std::string> categoriesText(const std::vector<std::string>& categories) {
    if (categories.empty()) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(categories.size());
    for (std::string category : categories) {
        for (char& c : category) {
            if (c == '_') c = ' ';
        }
        names.push_back(std::move(category));
    }
    return shown(joined(names, ", "));
}

}  // namespace

// --- Text rules ----------------------------------------------------------------

std::string trimWhitespaceAndNewlines(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, begin, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return std::string(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::string trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::string capitalized(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    bool wordStart = true;
    std::int32_t offset = 0;
    while (offset < length) {
        const std::int32_t start = offset;
        UChar32 c;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0) {
            // Not UTF-8: the bytes stay as they are.
            out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start)));
            wordStart = false;
            continue;
        }
        if (c == ' ') {
            out += ' ';
            wordStart = true;
            continue;
        }
        appendCodePoint(out, wordStart ? u_totitle(c) : u_tolower(c));
        wordStart = false;
    }
    return out;
}

bool isFresh(std::string_view lastTickAt, brivet::Instant now) {
    const auto at = brivet::RFC3339::date(lastTickAt);
    if (!at) return false;
    // Compared in seconds of double so that no far-off instant overflows.
    const double age = static_cast<double>(now.time_since_epoch().count()) / 1e6 -
                       static_cast<double>(at->time_since_epoch().count()) / 1e6;
    return age <= static_cast<double>(kFreshSeconds);
}

// --- Texts of a snapshot ------------------------------------------------------------

namespace texts {


std::string headline(const AppSnapshot& s) {
    if (s.beta) {
        if (!s.betaInstalled) return "Not installed";
        const auto& status = s.betaStatus;
        if (!status) return "Service starting";
        if (!isFresh(status->lastTickAt, s.now)) return "Service not responding";
        if (!status->enrolled) return "Not enrolled";
        if (!status->filterRunning) return "Not blocking";
        if (status->dnsAsserted && !*status->dnsAsserted) return "DNS was changed; putting it back";
        if (status->state == "protected" || status->state == "degraded") return "Protected";
        if (status->state == "disabled") return "Protection disabled";
        if (!status->errors.empty()) return "Offline, still blocking";
        return "Protected";
    }
    if (!s.hasEngine) return "Not available";
    if (!s.enrolled) return "Not enrolled";
    const auto& report = s.lastReport;
    if (!report) return "Starting";
    if (!report->filterConfigured) return "Network filter is off";
    if (!report->filterRunning) return "Network filter is not running";
    const auto& state = report->protectionState;
    if (state == "protected") return "Protected";
    if (state == "degraded") return "Protected, with gaps";
    if (state == "disabled") return "Protection disabled";
    if (state && *state != "unreachable") return shown(capitalized(*state));
    if (!report->errors.empty()) return "Offline, still enforcing";
    return "Protected";
}

std::string symbolName(const AppSnapshot& s) {
    if (s.beta) {
        const auto& status = s.betaStatus;
        if (!status || !status->enrolled || !isFresh(status->lastTickAt, s.now) || !status->filterRunning) {
            return "shield.slash";
        }
        if (status->dnsAsserted && !*status->dnsAsserted) return "xmark.shield";
        if (status->state == "disabled") return "xmark.shield";
        return "checkmark.shield.fill";
    }
    const auto& report = s.lastReport;
    if (!s.enrolled || !report || !report->filterRunning) return "shield.slash";
    const auto& state = report->protectionState;
    if (!state) return "shield";
    if (*state == "protected") return "checkmark.shield.fill";
    if (*state == "degraded") return "exclamationmark.shield";
    if (*state == "disabled") return "xmark.shield";
    return "shield";
}

std::optional<std::string> commitmentLine(const AppSnapshot& s) {
    if (s.beta) {
        const auto& status = s.betaStatus;
        if (!status || !status->enrolled) return std::nullopt;
        if (status->committed && status->lockedUntil) {
            if (const auto until = brivet::RFC3339::date(*status->lockedUntil)) {
                return "Committed until " + mediumDateShortTime(*until, s.dates);
            }
        }
        if (status->categories.empty()) return "No categories blocked";
        return "Blocking without a commitment";
    }
    const auto& policy = s.policy;
    if (!s.hasEngine || !policy) return std::nullopt;
    if (policy->committed && policy->lockedUntil) {
        if (const auto until = brivet::RFC3339::date(*policy->lockedUntil)) {
            return "Committed until " + mediumDateShortTime(*until, s.dates);
        }
    }
    if (policy->kind == "released") return "Commitment ended offline; rules kept until the server confirms";
    if (policy->categories.empty()) return "No categories blocked";
    return "Blocking without a commitment";
}

std::optional<std::string> categoriesLine(const AppSnapshot& s) {
    if (s.beta) {
        const auto& status = s.betaStatus;
        if (!status) return std::nullopt;
        return categoriesText(status->categories);
    }
    const auto& policy = s.policy;
    if (!s.hasEngine || !policy) return std::nullopt;
    return categoriesText(policy->categories);
}

std::vector<std::string> diagnostics(const AppSnapshot& s) {
    std::vector<std::string> lines;
    if (const auto& env = s.environment) lines.push_back(shown("Server: " + env->name));

    if (s.beta) {
        lines.push_back(std::string("Beta: blocking at the resolver, service ") +
                        (s.betaInstalled ? "installed" : "not installed"));
        const auto& status = s.betaStatus;
        if (!status) return lines;
        lines.push_back(shown("Service " + status->version + ", policy " + std::to_string(status->policySeq)));
        if (status->deviceId) lines.push_back(shown("Device " + *status->deviceId));
        lines.push_back("Blocked since start: " + std::to_string(status->blocked) +
                        ", answered: " + std::to_string(status->answered));
        if (status->dnsAsserted) {
            lines.push_back(*status->dnsAsserted ? "DNS: pointed at Keldra" : "DNS: was changed, put back");
        }
        if (const auto at = brivet::RFC3339::date(status->lastTickAt)) {
            lines.push_back("Last check " + shortTime(*at, s.dates));
        }
        for (const auto& error : status->errors) lines.push_back(shown("Error: " + error));
        return lines;
    }

    lines.push_back(s.signedBuild ? "Signed build" : "Unsigned build: the filter cannot load");
    if (s.hasEngine) {
        if (const auto& policy = s.policy) {
            lines.push_back("Policy " + std::to_string(policy->policySeq) + ", blocklist " +
                            std::to_string(policy->blocklistVersion));
        }
    }
    if (const auto& report = s.lastReport) {
        if (report->rulesPublished) {
            lines.push_back("Rules published for policy " + std::to_string(*report->rulesPublished));
        }
        if (!report->missingCategories.empty()) {
            lines.push_back(shown("Lists missing: " + joined(report->missingCategories, ", ")));
        }
        if (report->eventsSent > 0) lines.push_back("Events sent: " + std::to_string(report->eventsSent));
        for (const auto& error : report->errors) lines.push_back(shown("Error: " + error));
    }
    if (const auto& outcome = s.installOutcome) lines.push_back(shown("Extension: " + outcome->printed()));
    lines.push_back(s.dnsProxyEnabled ? "DNS proxy: on" : "DNS proxy: off");
    lines.push_back("App launches observed: " + std::to_string(s.launchesObserved));
    return lines;
}

std::optional<std::string> lastCheckLine(const AppSnapshot& s) {
    const auto& at = s.lastTickAt;
    if (!at) return std::nullopt;
    return "Last check " + shortTime(*at, s.dates);
}

bool serviceNeedsRepair(const AppSnapshot& s) {
    const auto& status = s.betaStatus;
    return !status || !isFresh(status->lastTickAt, s.now) || !status->filterRunning;
}

std::optional<std::string> dashboardUrl(const AppSnapshot& s) {
    const auto& env = s.environment;
    if (!env) return std::nullopt;
    return env->dashboardUrl;
}

std::string describe(const brivet::APIError& error) {
    switch (error.kind()) {
        case brivet::APIError::Kind::http:
            if (error.code() == "enrollment_code_invalid") return "That enrollment code is not valid.";
            if (error.code() == "enrollment_code_expired") {
                return "That enrollment code has expired. Create a new one on the dashboard.";
            }
            if (error.code() == "device_cap_reached") {
                return "This account already has the maximum number of devices.";
            }
            return error.message().empty() ? error.code() : error.message();
        case brivet::APIError::Kind::transport:
            return "Could not reach the server: " + error.text();
        case brivet::APIError::Kind::decoding:
            return "Unexpected reply from the server: " + error.text();
        case brivet::APIError::Kind::notEnrolled:
            return "Not enrolled.";
    }
    return error.description();
}

}  // namespace texts

// --- AppState ------------------------------------------------------------------

std::string AppState::headline() const { return texts::headline(snapshot()); }
std::string AppState::symbolName() const { return texts::symbolName(snapshot()); }
std::optional<std::string> AppState::commitmentLine() const { return texts::commitmentLine(snapshot()); }
std::optional<std::string> AppState::categoriesLine() const { return texts::categoriesLine(snapshot()); }
std::vector<std::string> AppState::diagnostics() const { return texts::diagnostics(snapshot()); }
std::optional<std::string> AppState::lastCheckLine() const { return texts::lastCheckLine(snapshot()); }
bool AppState::serviceNeedsRepair() const { return texts::serviceNeedsRepair(snapshot()); }
std::optional<std::string> AppState::dashboardUrl() const { return texts::dashboardUrl(snapshot()); }
std::string AppState::describe(const brivet::APIError& error) { return texts::describe(error); }

AppSnapshot AppState::snapshot() const {
    AppSnapshot s;
    s.beta = beta();
    s.hasEngine = hasEngine();
    s.enrolled = enrolled();
    s.lastReport = lastReport();
    s.lastTickAt = lastTickAt();
    s.installOutcome = installOutcome();
    s.dnsProxyEnabled = dnsProxyEnabled();
    s.busy = busy();
    s.errorText = errorText();
    s.betaStatus = betaStatus();
    s.betaInstalled = betaInstalled();
    s.environment = environment();
    s.policy = effectivePolicy();
    s.launchesObserved = launchesObserved();
    s.signedBuild = config().signedBuild();
    s.now = now();
    s.dates = dates();
    return s;
}

}  // namespace keldra

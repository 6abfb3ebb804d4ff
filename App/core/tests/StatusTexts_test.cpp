// The status texts, row by row, in both modes.
#include <gtest/gtest.h>

#include <functional>
#include <string_view>

#include "Keldra/AppState.h"
#include "Keldra/StatusTexts.h"
#include "Keldra/TextRules.h"
#include "Snapshots.h"

using namespace keldra;
using brivet::TickReport;

namespace {

using snapshots::extension;
using snapshots::kNow;

std::string ago(int seconds) { return brivet::RFC3339::string(kNow - std::chrono::seconds(seconds)); }

TickReport report(bool configured, bool running, std::optional<std::string> state,
                  std::vector<std::string> errors = {}) {
    TickReport r;
    r.filterConfigured = configured;
    r.filterRunning = running;
    r.protectionState = std::move(state);
    r.errors = std::move(errors);
    return r;
}

BetaStatus status(int age = 10) {
    BetaStatus st;
    st.version = "0.1.0-macos-beta";
    st.enrolled = true;
    st.filterRunning = true;
    st.lastTickAt = ago(age);
    return st;
}

AppSnapshot resolver(std::optional<BetaStatus> st, bool installed = true) {
    AppSnapshot s = snapshots::atNow();
    s.beta = true;
    s.betaInstalled = installed;
    s.betaStatus = std::move(st);
    s.enrolled = s.betaStatus && s.betaStatus->enrolled;
    return s;
}

brivet::EffectivePolicy policy(std::string kind, bool committed, std::optional<std::string> lockedUntil,
                               std::vector<std::string> categories) {
    brivet::EffectivePolicy p;
    p.kind = std::move(kind);
    p.committed = committed;
    p.lockedUntil = std::move(lockedUntil);
    p.categories = std::move(categories);
    p.policySeq = 7;
    p.blocklistVersion = 3;
    return p;
}

}  // namespace

TEST(StatusTextsExtension, HeadlineAndIconRows) {
    struct Row {
        std::string name;
        AppSnapshot s;
        std::string headline;
        std::string symbol;
    };
    std::vector<Row> rows;
    auto add = [&](std::string name, auto change, std::string headline, std::string symbol) {
        AppSnapshot s = extension();
        change(s);
        rows.push_back({std::move(name), std::move(s), std::move(headline), std::move(symbol)});
    };
    add("no engine", [](AppSnapshot& s) { s.hasEngine = false, s.enrolled = false; }, "Not available", "shield.slash");
    add("not enrolled", [](AppSnapshot& s) { s.enrolled = false, s.lastReport = report(true, true, "protected"); },
        "Not enrolled", "shield.slash");
    add("no report", [](AppSnapshot&) {}, "Starting", "shield.slash");
    add("filter off but running",
        [](AppSnapshot& s) { s.lastReport = report(false, true, "protected"); }, "Network filter is off",
        "checkmark.shield.fill");
    add("filter not running", [](AppSnapshot& s) { s.lastReport = report(true, false, "protected"); },
        "Network filter is not running", "shield.slash");
    add("protected", [](AppSnapshot& s) { s.lastReport = report(true, true, "protected"); }, "Protected",
        "checkmark.shield.fill");
    add("degraded", [](AppSnapshot& s) { s.lastReport = report(true, true, "degraded"); }, "Protected, with gaps",
        "exclamationmark.shield");
    add("disabled", [](AppSnapshot& s) { s.lastReport = report(true, true, "disabled"); }, "Protection disabled",
        "xmark.shield");
    add("other state with errors capitalised",
        [](AppSnapshot& s) { s.lastReport = report(true, true, "at_risk NOW", {"heartbeat: x"}); }, "At_risk Now",
        "shield");
    add("unreachable with errors",
        [](AppSnapshot& s) { s.lastReport = report(true, true, "unreachable", {"heartbeat: transport x"}); },
        "Offline, still enforcing", "shield");
    add("unreachable without errors", [](AppSnapshot& s) { s.lastReport = report(true, true, "unreachable"); },
        "Protected", "shield");
    add("no state with errors", [](AppSnapshot& s) { s.lastReport = report(true, true, std::nullopt, {"e"}); },
        "Offline, still enforcing", "shield");
    add("no state", [](AppSnapshot& s) { s.lastReport = report(true, true, std::nullopt); }, "Protected", "shield");
    for (const auto& row : rows) {
        EXPECT_EQ(texts::headline(row.s), row.headline) << row.name;
        EXPECT_EQ(texts::symbolName(row.s), row.symbol) << row.name;
    }
}

TEST(StatusTextsResolver, HeadlineAndIconRows) {
    struct Row {
        std::string name;
        AppSnapshot s;
        std::string headline;
        std::string symbol;
    };
    auto with = [](auto change) {
        BetaStatus st = status();
        change(st);
        return resolver(st);
    };
    const std::vector<Row> rows = {
        {"not installed, no status", resolver(std::nullopt, false), "Not installed", "shield.slash"},
        {"not installed but a good status", resolver(status(), false), "Not installed", "checkmark.shield.fill"},
        {"no status", resolver(std::nullopt), "Service starting", "shield.slash"},
        {"601 seconds old", resolver(status(601)), "Service not responding", "shield.slash"},
        {"600 seconds old", resolver(status(600)), "Protected", "checkmark.shield.fill"},
        {"in the future", resolver(status(-3600)), "Protected", "checkmark.shield.fill"},
        {"unreadable time", with([](BetaStatus& st) { st.lastTickAt = "soon"; }), "Service not responding",
         "shield.slash"},
        {"not enrolled", with([](BetaStatus& st) { st.enrolled = false; }), "Not enrolled", "shield.slash"},
        {"not blocking", with([](BetaStatus& st) { st.filterRunning = false; }), "Not blocking", "shield.slash"},
        {"dns changed", with([](BetaStatus& st) { st.dnsAsserted = false, st.state = "protected"; }),
         "DNS was changed; putting it back", "xmark.shield"},
        {"dns held", with([](BetaStatus& st) { st.dnsAsserted = true, st.state = "disabled"; }),
         "Protection disabled", "xmark.shield"},
        {"degraded", with([](BetaStatus& st) { st.state = "degraded"; }), "Protected", "checkmark.shield.fill"},
        {"errors", with([](BetaStatus& st) { st.errors = {"heartbeat: x"}; }), "Offline, still blocking",
         "checkmark.shield.fill"},
        {"unreachable", with([](BetaStatus& st) { st.state = "unreachable"; }), "Protected",
         "checkmark.shield.fill"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(texts::headline(row.s), row.headline) << row.name;
        EXPECT_EQ(texts::symbolName(row.s), row.symbol) << row.name;
    }
}

TEST(StatusTextsExtension, CommitmentAndCategoryLines) {
    struct Row {
        std::optional<brivet::EffectivePolicy> policy;
        std::optional<std::string> commitment;
        std::optional<std::string> categories;
    };
    const std::vector<Row> rows = {
        {std::nullopt, std::nullopt, std::nullopt},
        {policy("commitment", true, "2027-03-05T09:41:00Z", {"social_media", "news"}),
         "Committed until Mar 5, 2027, 9:41\u202fAM", "social media, news"},
        {policy("released", true, std::nullopt, {"ads"}),
         "Commitment ended offline; rules kept until the server confirms", "ads"},
        {policy("commitment", true, "not a time", {}), "No categories blocked", std::nullopt},
        {policy("blocking_only", false, "2027-03-05T09:41:00Z", {"a_b_c"}), "Blocking without a commitment",
         "a b c"},
    };
    for (const auto& row : rows) {
        AppSnapshot s = extension();
        s.policy = row.policy;
        EXPECT_EQ(texts::commitmentLine(s), row.commitment);
        EXPECT_EQ(texts::categoriesLine(s), row.categories);
    }
    AppSnapshot noEngine = extension();
    noEngine.hasEngine = false;
    noEngine.policy = rows[1].policy;
    EXPECT_FALSE(texts::commitmentLine(noEngine));
    EXPECT_FALSE(texts::categoriesLine(noEngine));
}

TEST(StatusTextsResolver, CommitmentAndCategoryLines) {
    BetaStatus committed = status();
    committed.committed = true;
    committed.lockedUntil = "2027-03-05T09:41:00Z";
    committed.categories = {"adult_content"};
    EXPECT_EQ(texts::commitmentLine(resolver(committed)), "Committed until Mar 5, 2027, 9:41\u202fAM");
    EXPECT_EQ(texts::categoriesLine(resolver(committed)), "adult content");

    BetaStatus open = status();
    EXPECT_EQ(texts::commitmentLine(resolver(open)), "No categories blocked");
    open.categories = {"ads"};
    open.committed = true;  // without a time
    EXPECT_EQ(texts::commitmentLine(resolver(open)), "Blocking without a commitment");
    open.enrolled = false;
    EXPECT_FALSE(texts::commitmentLine(resolver(open)));
    EXPECT_FALSE(texts::commitmentLine(resolver(std::nullopt)));
    EXPECT_FALSE(texts::categoriesLine(resolver(std::nullopt)));
}

TEST(StatusTextsExtension, Diagnostics) {
    AppSnapshot s = extension();
    s.environment = ClientEnvironment{"Test service", "", "", {}, {}};
    s.signedBuild = true;
    s.policy = policy("commitment", true, std::nullopt, {});
    TickReport r = report(true, true, "protected", {"heartbeat: http 500 x", "events: transport y"});
    r.rulesPublished = 0;
    r.missingCategories = {"social_media", "ads"};
    r.eventsSent = 0;
    s.lastReport = r;
    s.installOutcome = FilterInstaller::Outcome::failed("denied");
    s.dnsProxyEnabled = true;
    s.launchesObserved = 4;
    EXPECT_EQ(texts::diagnostics(s), (std::vector<std::string>{
                                         "Server: Test service",
                                         "Signed build",
                                         "Policy 7, blocklist 3",
                                         "Rules published for policy 0",
                                         "Lists missing: social_media, ads",
                                         "Error: heartbeat: http 500 x",
                                         "Error: events: transport y",
                                         "Extension: failed(\"denied\")",
                                         "DNS proxy: on",
                                         "App launches observed: 4",
                                     }));

    // After a failed start: the build line, the extension once one ran,
    // the DNS proxy and the launch count, nothing else.
    AppSnapshot failed = extension();
    failed.hasEngine = false;
    failed.enrolled = false;
    failed.policy = s.policy;
    failed.installOutcome = FilterInstaller::Outcome::needsUserApproval();
    EXPECT_EQ(texts::diagnostics(failed),
              (std::vector<std::string>{"Unsigned build: the filter cannot load", "Extension: needsUserApproval",
                                        "DNS proxy: off", "App launches observed: 0"}));
    EXPECT_EQ(texts::headline(failed), "Not available");
    EXPECT_EQ(texts::symbolName(failed), "shield.slash");

    TickReport sent;
    sent.eventsSent = 12;
    AppSnapshot withEvents = extension();
    withEvents.lastReport = sent;
    EXPECT_EQ(texts::diagnostics(withEvents)[1], "Events sent: 12");
}

TEST(StatusTextsResolver, Diagnostics) {
    BetaStatus st = status(601);  // not fresh: its lines are still listed
    st.policySeq = 9;
    st.deviceId = "dev-1";
    st.blocked = 5;
    st.answered = 40;
    st.dnsAsserted = false;
    st.lastTickAt = "2027-01-15T07:49:59Z";
    st.errors = {"heartbeat: transport down"};
    AppSnapshot s = resolver(st);
    s.environment = ClientEnvironment{"Test service", "", "", {}, {}};
    EXPECT_EQ(texts::headline(s), "Service not responding");
    EXPECT_EQ(texts::diagnostics(s), (std::vector<std::string>{
                                         "Server: Test service",
                                         "Beta: blocking at the resolver, service installed",
                                         "Service 0.1.0-macos-beta, policy 9",
                                         "Device dev-1",
                                         "Blocked since start: 5, answered: 40",
                                         "DNS: was changed, put back",
                                         "Last check 7:49\u202fAM",
                                         "Error: heartbeat: transport down",
                                     }));
    st.dnsAsserted = std::nullopt;
    st.deviceId = std::nullopt;
    st.lastTickAt = "never";
    st.errors.clear();
    EXPECT_EQ(texts::diagnostics(resolver(st, false)),
              (std::vector<std::string>{"Beta: blocking at the resolver, service not installed",
                                        "Service 0.1.0-macos-beta, policy 9", "Blocked since start: 5, answered: 40"}));
    EXPECT_EQ(texts::diagnostics(resolver(std::nullopt, false)),
              (std::vector<std::string>{"Beta: blocking at the resolver, service not installed"}));
}

TEST(StatusTexts, DescribeEnrolmentErrors) {
    using brivet::APIError;
    const std::vector<std::pair<APIError, std::string>> rows = {
        {APIError::http(400, "enrollment_code_invalid", "x"), "That enrollment code is not valid."},
        {APIError::http(410, "enrollment_code_expired", ""),
         "That enrollment code has expired. Create a new one on the dashboard."},
        {APIError::http(409, "device_cap_reached", "x"), "This account already has the maximum number of devices."},
        {APIError::http(500, "server_error", "Try later."), "Try later."},
        {APIError::http(500, "server_error", ""), "server_error"},
        {APIError::transport("connection refused"), "Could not reach the server: connection refused"},
        {APIError::decoding("bad json"), "Unexpected reply from the server: bad json"},
        {APIError::notEnrolled(), "Not enrolled."},
    };
    for (const auto& [error, text] : rows) EXPECT_EQ(AppState::describe(error), text);

    // The service's text goes into the error text as it came: the panel
    // escapes it where it shows it (MenuModel), once.
    const std::vector<std::pair<APIError, std::string>> asTheyCame = {
        {APIError::http(500, "server_error", "Code \u202edilavni\u202c: C:\\x\n"), "Code \u202edilavni\u202c: C:\\x\n"},
        {APIError::transport("a\\b\u200b"), "Could not reach the server: a\\b\u200b"},
        {APIError::decoding(std::string(600, 'd')), "Unexpected reply from the server: " + std::string(600, 'd')},
    };
    for (const auto& [error, text] : asTheyCame) EXPECT_EQ(AppState::describe(error), text);
}

// Every panel text that carries outside text (the device service's, the
// status document's, a tool's) shows its control and invisible format
// characters as escapes, keeps backslashes and other characters as they
// are, and shows at most 512 bytes of the line with a note of the rest.
TEST(StatusTexts, OutsideTextIsShownEscapedOnceAndCut) {
    struct Row {
        std::string name;
        std::function<std::string()> shown;
        std::string expected;
    };
    auto extensionWith = [](auto change) {
        AppSnapshot s = extension();
        change(s);
        return s;
    };
    auto diagnosticsLine = [](const AppSnapshot& s, std::string_view prefix) {
        for (const auto& line : texts::diagnostics(s)) {
            if (line.rfind(prefix, 0) == 0) return line;
        }
        return std::string("no line ") + std::string(prefix);
    };
    const std::string pkexec = "Not authorized\n\nThis incident has been reported.";
    const AppSnapshot withReport = extensionWith([&](AppSnapshot& s) {
        TickReport r = report(true, true, "at\u202erisk", {"heartbeat: http 500 Code \u202edilavni\u202c: C:\\x",
                                                           "events: " + std::string(600, 'e')});
        r.missingCategories = {"ads\u2066", "news"};
        s.lastReport = r;
        s.installOutcome = FilterInstaller::Outcome::failed(pkexec);
        s.environment = ClientEnvironment{"Test\u200bservice\ufeff", "", "", {}, {}};
        s.policy = policy("commitment", false, std::nullopt, {"social_media\u202e", "b\xff"});
    });
    BetaStatus st = status();
    st.version = "1.0\u2067";
    st.deviceId = "dev\r\n1\\";
    st.errors = {"policy: \u202ereversed\u202c"};
    const AppSnapshot resolverStatus = resolver(st);
    const std::vector<Row> rows = {
        {"an error with a direction override and a backslash",
         [&] { return diagnosticsLine(withReport, "Error: heartbeat"); },
         "Error: heartbeat: http 500 Code \\u202edilavni\\u202c: C:\\x"},
        {"a long error", [&] { return diagnosticsLine(withReport, "Error: events"); },
         "Error: events: " + std::string(512 - 15, 'e') + "... (" + std::to_string(615 - 512) + " more bytes)"},
        {"pkexec's refusal in the extension line", [&] { return diagnosticsLine(withReport, "Extension: "); },
         "Extension: failed(\"Not authorized\\n\\nThis incident has been reported.\")"},
        {"missing lists", [&] { return diagnosticsLine(withReport, "Lists missing: "); },
         "Lists missing: ads\\u2066, news"},
        {"the server's name", [&] { return diagnosticsLine(withReport, "Server: "); },
         "Server: Test\\u200bservice\\ufeff"},
        {"a state the app does not know", [&] { return texts::headline(withReport); }, "At\\u202erisk"},
        {"categories", [&] { return texts::categoriesLine(withReport).value_or("none"); },
         "social media\\u202e, b\\xff"},
        {"the service's version", [&] { return diagnosticsLine(resolverStatus, "Service "); },
         "Service 1.0\\u2067, policy 0"},
        {"the device", [&] { return diagnosticsLine(resolverStatus, "Device "); }, "Device dev\\r\\n1\\"},
        {"the service's error", [&] { return diagnosticsLine(resolverStatus, "Error: "); },
         "Error: policy: \\u202ereversed\\u202c"},
        {"the resolver's categories", [&] {
             AppSnapshot s = resolverStatus;
             s.betaStatus->categories = {"adult\u200b_content"};
             return texts::categoriesLine(s).value_or("none");
         },
         "adult\\u200b content"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.shown(), row.expected) << row.name;
}

TEST(TextRules, TrimmingCapitalisingAndFreshness) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t CODE-1 \n\r\u00a0"), "CODE-1");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u3000A B\u2028"), "A B");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n "), "");
    EXPECT_EQ(trimBlanks(" \tab\n\t "), "ab\n");
    EXPECT_EQ(trimBlanks(" \t "), "");
    EXPECT_EQ(capitalized("under REVIEW  now"), "Under Review  Now");
    EXPECT_EQ(capitalized("\xc3\xa9tat \xc3\x89LEV\xc3\x89"), "\xc3\x89tat \xc3\x89lev\xc3\xa9");
    EXPECT_EQ(capitalized("bad\xff byte"), "Bad\xff Byte");

    EXPECT_TRUE(isFresh(ago(600), kNow));
    EXPECT_FALSE(isFresh(ago(601), kNow));
    EXPECT_TRUE(isFresh(ago(-100000), kNow));
    EXPECT_TRUE(isFresh("2027-01-15T07:55:00.5+00:00", kNow));
    EXPECT_FALSE(isFresh("", kNow));
    EXPECT_FALSE(isFresh("9999-99-99T00:00:00Z", kNow));
    EXPECT_TRUE(isFresh("9999-12-31T23:59:59Z", kNow));
    EXPECT_FALSE(isFresh("0000-01-01T00:00:00Z", kNow));
}

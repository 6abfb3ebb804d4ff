#pragma once
// The texts the menu-bar icon and the panel show, as functions of one
// snapshot of the app state's fields. AppState's text members read a fresh
// snapshot on every call; nothing is cached.
//
// Text from outside (the device service, the status document, a tool's
// message) is shown through brivet::screenSafe(): each line that carries
// some has its control and invisible format characters made visible and is
// cut at 512 bytes. describe() is the exception: its message goes into the
// app's error text as it came, and the panel escapes that where it shows it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"
#include "Keldra/BetaProxy.h"
#include "Keldra/ClientEnvironment.h"
#include "Keldra/DateText.h"
#include "Keldra/FilterInstaller.h"

namespace keldra {

// Everything the texts and the menu read, as the app state holds it now.
struct AppSnapshot {
    bool beta = false;
    bool hasEngine = false;
    bool enrolled = false;
    std::optional<brivet::TickReport> lastReport;
    std::optional<brivet::Instant> lastTickAt;
    std::optional<FilterInstaller::Outcome> installOutcome;
    bool dnsProxyEnabled = false;
    bool busy = false;
    std::optional<std::string> errorText;
    std::optional<BetaStatus> betaStatus;
    bool betaInstalled = false;
    std::optional<ClientEnvironment> environment;
    // The protection client's effective policy.
    std::optional<brivet::EffectivePolicy> policy;
    std::int64_t launchesObserved = 0;
    // BRIVET_TEAM_ID present and not empty.
    bool signedBuild = false;
    brivet::Instant now{};
    DateLocale dates;
};

namespace texts {

// The one-line state at the top of the menu.
std::string headline(const AppSnapshot& s);
// The system symbol of the menu-bar icon.
std::string symbolName(const AppSnapshot& s);
// The commitment line; none for no line.
std::optional<std::string> commitmentLine(const AppSnapshot& s);
// The categories, "_" shown as a blank, joined with ", "; none when empty.
std::optional<std::string> categoriesLine(const AppSnapshot& s);
// The lines of the "Details" group, in order.
std::vector<std::string> diagnostics(const AppSnapshot& s);
// "Last check " and the time of day of the last tick; none before one.
std::optional<std::string> lastCheckLine(const AppSnapshot& s);
// Resolver-level mode: no status, a status older than 600 seconds or with
// an unreadable time, or one whose filter does not run.
bool serviceNeedsRepair(const AppSnapshot& s);
std::optional<std::string> dashboardUrl(const AppSnapshot& s);
// The message of a failed enrolment for a device-service error, with the
// service's text as it came.
std::string describe(const brivet::APIError& error);

}  // namespace texts
}  // namespace keldra

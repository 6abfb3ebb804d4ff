// What the panel shows for each condition of the state.
#include <gtest/gtest.h>

#include "Keldra/AppState.h"
#include "Keldra/MenuModel.h"
#include "Keldra/StatusTexts.h"
#include "Snapshots.h"

using namespace keldra;

namespace {

using snapshots::extension;
using snapshots::kNow;

AppSnapshot resolver(bool installed, bool enrolled, int age = 10) {
    AppSnapshot s = snapshots::atNow();
    s.beta = true;
    s.betaInstalled = installed;
    s.enrolled = enrolled;
    BetaStatus st;
    st.version = "v";
    st.enrolled = enrolled;
    st.filterRunning = true;
    st.lastTickAt = brivet::RFC3339::string(kNow - std::chrono::seconds(age));
    s.betaStatus = st;
    return s;
}

brivet::TickReport report(bool configured, bool running) {
    brivet::TickReport r;
    r.filterConfigured = configured;
    r.filterRunning = running;
    r.protectionState = "protected";
    return r;
}

}  // namespace

TEST(MenuModelBody, TheFirstMatchingRuleChoosesTheBody) {
    struct Row {
        std::string name;
        AppSnapshot s;
        MenuBody body;
    };
    AppSnapshot failed = extension(false);
    failed.hasEngine = false;
    const std::vector<Row> rows = {
        {"resolver, installed and enrolled", resolver(true, true), MenuBody::enrolled},
        {"resolver, not installed", resolver(false, true), MenuBody::enroll},
        {"resolver, installed, not enrolled", resolver(true, false), MenuBody::enroll},
        {"extension, enrolled", extension(true), MenuBody::enrolled},
        {"extension, not enrolled", extension(false), MenuBody::enroll},
        {"extension without an engine", failed, MenuBody::message},
    };
    for (const auto& row : rows) EXPECT_EQ(MenuModel::of(row.s).body, row.body) << row.name;
}

TEST(MenuModelBody, AFailedStartShowsItsMessageInCalloutAndDisablesCheckNow) {
    AppSnapshot s = extension(false);
    s.hasEngine = false;
    EXPECT_EQ(MenuModel::of(s).message, (MenuText{"Not available", TextStyle::callout, TextTone::primary}));
    s.errorText = "This build cannot start: missing";
    const MenuModel model = MenuModel::of(s);
    EXPECT_EQ(model.message, (MenuText{"This build cannot start: missing", TextStyle::callout, TextTone::primary}));
    EXPECT_FALSE(model.checkNow.enabled);
    EXPECT_TRUE(model.dashboard.enabled);
    EXPECT_TRUE(model.quit.enabled);
    EXPECT_FALSE(model.dashboardUrl);
    EXPECT_EQ(model.symbolName, "shield.slash");
}

TEST(MenuModelPrompts, RepairShowsForAStaleBrokenOrStoppedService) {
    struct Row {
        std::string name;
        AppSnapshot s;
        bool repair;
    };
    AppSnapshot unparsable = resolver(true, true);
    unparsable.betaStatus->lastTickAt = "later";
    unparsable.enrolled = true;
    AppSnapshot stopped = resolver(true, true);
    stopped.betaStatus->filterRunning = false;
    const std::vector<Row> rows = {
        {"fresh", resolver(true, true, 10), false},
        {"exactly 600 seconds", resolver(true, true, 600), false},
        {"601 seconds", resolver(true, true, 601), true},
        {"unparsable time", unparsable, true},
        {"filter not running", stopped, true},
    };
    for (const auto& row : rows) {
        const MenuModel model = MenuModel::of(row.s);
        EXPECT_EQ(model.prompt == MenuPrompt::repair, row.repair) << row.name;
        if (row.repair) {
            EXPECT_EQ(model.promptText->text,
                      "The blocking service is not running. Repair it; you will be asked for your password.");
            EXPECT_EQ(model.promptButton->title, "Repair");
            EXPECT_EQ(model.promptButton->action, MenuAction::repair);
        }
    }
}

TEST(MenuModelPrompts, TheFilterPromptNeedsAReportOfAFilterNotEnforcing) {
    const std::vector<std::pair<std::optional<brivet::TickReport>, bool>> rows = {
        {std::nullopt, false},
        {report(true, true), false},
        {report(false, true), true},
        {report(true, false), true},
    };
    for (const auto& [r, prompt] : rows) {
        AppSnapshot s = extension();
        s.lastReport = r;
        const MenuModel model = MenuModel::of(s);
        EXPECT_EQ(model.prompt == MenuPrompt::filter, prompt);
        if (prompt) {
            EXPECT_EQ(model.promptText->text,
                      "The network filter is not enforcing. Install it and approve it in System Settings.");
            EXPECT_EQ(model.promptButton->title, "Install network filter");
        }
    }
}

TEST(MenuModelBody, EnrolledBodyLinesInOrderWithTheirStyles) {
    AppSnapshot s = resolver(true, true);
    s.betaStatus->categories = {"social_media"};
    s.betaStatus->blocked = 1;
    s.errorText = "Cancelled.";
    s.lastTickAt = brivet::RFC3339::date("2027-01-15T07:59:00Z");
    const MenuModel model = MenuModel::of(s);
    EXPECT_EQ(model.blockingLine, (MenuText{"Blocking: social media", TextStyle::callout, TextTone::primary}));
    EXPECT_EQ(model.errorLine, (MenuText{"Cancelled.", TextStyle::caption, TextTone::red}));
    EXPECT_EQ(model.lastCheckLine, (MenuText{"Last check 7:59\u202fAM", TextStyle::caption, TextTone::secondary}));
    EXPECT_EQ(model.blockedLine,
              (MenuText{"Blocked 1 since the service started", TextStyle::caption, TextTone::secondary}));
    EXPECT_EQ(model.detailsTitle, "Details");
    ASSERT_FALSE(model.details.empty());
    EXPECT_EQ(model.details[0], (MenuText{"Beta: blocking at the resolver, service installed", TextStyle::caption2,
                                          TextTone::secondary}));
    EXPECT_EQ(model.headline.style, TextStyle::headline);
    EXPECT_EQ(model.commitmentLine,
              (MenuText{"Blocking without a commitment", TextStyle::caption, TextTone::secondary}));

    s.betaStatus->blocked = 0;
    EXPECT_FALSE(MenuModel::of(s).blockedLine);
}

// The error text holds a failure as it came; each of the three places that
// show it escapes it the same way, once.
TEST(MenuModelBody, TheErrorTextIsShownEscapedOnceWhereverItShows) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"Cancelled.", "Cancelled."},
        {"Code \u202edilavni\u202c: try again", "Code \\u202edilavni\\u202c: try again"},
        {"Could not install the filter: Not authorized\n\nThis incident has been reported.",
         "Could not install the filter: Not authorized\\n\\nThis incident has been reported."},
        {"Job for keldra-filter.service failed.\nSee \"systemctl status\" C:\\logs",
         "Job for keldra-filter.service failed.\\nSee \"systemctl status\" C:\\logs"},
        {"b\xc3\xbc\u2068cher\u200d\xff", "b\xc3\xbc\\u2068cher\u200d\\xff"},
        {std::string(600, 'x'), std::string(512, 'x') + "... (88 more bytes)"},
    };
    for (const auto& [errorText, shown] : rows) {
        AppSnapshot enrolled = extension();
        enrolled.errorText = errorText;
        AppSnapshot form = extension(false);
        form.errorText = errorText;
        AppSnapshot failed = extension(false);
        failed.hasEngine = false;
        failed.errorText = errorText;
        EXPECT_EQ(MenuModel::of(enrolled).errorLine, (MenuText{shown, TextStyle::caption, TextTone::red}));
        EXPECT_EQ(MenuModel::of(form).form->error, (MenuText{shown, TextStyle::caption, TextTone::red}));
        EXPECT_EQ(MenuModel::of(failed).message, (MenuText{shown, TextStyle::callout, TextTone::primary}));
    }
}

TEST(MenuModelButtons, BusyDisablesTheActionsButNotDashboardOrQuit) {
    AppSnapshot s = extension();
    s.lastReport = report(false, false);
    for (bool busy : {false, true}) {
        s.busy = busy;
        const MenuModel model = MenuModel::of(s);
        EXPECT_EQ(model.showsSpinner, busy);
        EXPECT_EQ(model.checkNow.enabled, !busy);
        EXPECT_EQ(model.promptButton->enabled, !busy);
        EXPECT_TRUE(model.dashboard.enabled);
        EXPECT_TRUE(model.quit.enabled);
        EXPECT_EQ(MenuModel::enrollButton(s, "CODE", "Mac").enabled, !busy);
    }
    AppSnapshot r = resolver(true, true, 700);
    r.busy = true;
    EXPECT_FALSE(MenuModel::of(r).promptButton->enabled);
}

TEST(MenuModelButtons, TheModeChoosesTheFormsTextsTheEnrolActionAndTheQuitTooltip) {
    AppSnapshot r = resolver(false, false);
    r.errorText = "Cancelled.";
    for (const AppSnapshot& s : {extension(false), r}) {
        const MenuModel model = MenuModel::of(s);
        const MenuButton button = MenuModel::enrollButton(s, "C", "M");
        EXPECT_EQ(button.action, s.beta ? MenuAction::installBeta : MenuAction::enroll);
        EXPECT_EQ(button.title, s.beta ? "Install and enroll this Mac" : "Enroll this Mac");
        EXPECT_TRUE(button.isDefault);
        EXPECT_EQ(model.quit.help, s.beta ? "Blocking continues in the service."
                                          : "Quitting stops health reporting. Blocking continues in the network filter.");
        EXPECT_EQ(model.form->intro.text.find("administrator password") != std::string::npos, s.beta);
        EXPECT_EQ(model.form->error.has_value(), s.beta);
    }
}

TEST(MenuModelButtons, TheEnrolButtonTrimsOnlyBlanksOfTheCode) {
    const std::vector<std::tuple<std::string, std::string, bool>> rows = {
        {"", "Mac", false},       {" \t ", "Mac", false}, {"  AB  ", "Mac", true},
        {"\n", "Mac", true},      {"AB", "", false},      {"AB", " ", true},
    };
    for (const auto& [code, name, enabled] : rows) {
        EXPECT_EQ(MenuModel::enrollInputAcceptable(code, name), enabled) << "[" << code << "][" << name << "]";
    }
    EXPECT_EQ(defaultDeviceName(std::nullopt), "Mac");
    EXPECT_EQ(defaultDeviceName(std::string()), "Mac");
    EXPECT_EQ(defaultDeviceName(std::string("kid-laptop")), "kid-laptop");
}

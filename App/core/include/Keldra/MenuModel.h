#pragma once
// What the menu panel shows, as a plain value computed from the app state.
//
// The screens only draw this value: which body shows, which prompt, every
// text with its style, and every button with its title, its enabled state
// and its tooltip. Recompute it whenever the app state announces a change;
// nothing in it is cached.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldra {

class AppState;
struct AppSnapshot;

// The named text styles of the panel.
enum class TextStyle { title2, headline, callout, caption, caption2 };
// Plain, dimmed (secondary) or the system red.
enum class TextTone { primary, secondary, red };

struct MenuText {
    std::string text;
    TextStyle style = TextStyle::callout;
    TextTone tone = TextTone::primary;

    bool operator==(const MenuText&) const = default;
};

// What a button starts when pressed.
enum class MenuAction {
    checkNow,       // AppState::tick()
    installFilter,  // AppState::installFilter()
    repair,         // AppState::installBeta("", defaultDeviceName())
    enroll,         // AppState::enroll(code, name)
    installBeta,    // AppState::installBeta(code, name)
    dashboard,      // open dashboardUrl, when there is one
    quit,           // ask the application to quit (AppState::stop())
};

struct MenuButton {
    std::string title;
    MenuAction action = MenuAction::checkNow;
    bool enabled = true;
    // The tooltip; none for no tooltip.
    std::optional<std::string> help;
    // The button answering Return.
    bool isDefault = false;

    bool operator==(const MenuButton&) const = default;
};

// Which body the panel shows between its two dividers.
enum class MenuBody {
    enrolled,  // the enrolled body
    enroll,    // the enrolment form
    message,   // one text: the start-up failure
};

// The prompt of the enrolled body, if any.
enum class MenuPrompt { none, repair, filter };

// The enrolment form. Its two fields belong to the view; the enrol button's
// enabled state depends on them (MenuModel::enrollButton).
struct EnrollForm {
    MenuText intro;
    std::string codePlaceholder = "Enrollment code";
    std::string namePlaceholder = "Device name";
    std::optional<MenuText> error;

    bool operator==(const EnrollForm&) const = default;
};

struct MenuModel {
    // Header.
    std::string symbolName;
    MenuText headline;
    std::optional<MenuText> commitmentLine;
    bool showsSpinner = false;

    MenuBody body = MenuBody::message;

    // MenuBody::message: the start-up failure, or "Not available".
    std::optional<MenuText> message;

    // MenuBody::enrolled, in drawing order; each present only when shown.
    std::optional<MenuText> blockingLine;
    MenuPrompt prompt = MenuPrompt::none;
    std::optional<MenuText> promptText;
    std::optional<MenuButton> promptButton;
    std::optional<MenuText> errorLine;
    std::optional<MenuText> lastCheckLine;
    std::optional<MenuText> blockedLine;
    // The "Details" group: its title, and one line per diagnostic (collapsed
    // at first; the view keeps whether it is open).
    std::string detailsTitle = "Details";
    std::vector<MenuText> details;

    // MenuBody::enroll.
    std::optional<EnrollForm> form;

    // Footer, left to right: "Check now", "Dashboard", a space, "Quit".
    MenuButton checkNow;
    MenuButton dashboard;
    MenuButton quit;
    // Where "Dashboard" leads; none when there is no environment (the
    // button then does nothing).
    std::optional<std::string> dashboardUrl;

    bool operator==(const MenuModel&) const = default;

    // The panel for the state as it is now.
    static MenuModel of(const AppState& state);
    static MenuModel of(const AppSnapshot& state);

    // The enrol button for the form's current contents: "Enroll this Mac"
    // (enroll) or, in the resolver-level mode, "Install and enroll this Mac"
    // (installBeta); disabled while busy, when the code is only blanks
    // (spaces and tabs; line breaks count as content) or when the name is
    // empty.
    static MenuButton enrollButton(const AppState& state, std::string_view code, std::string_view name);
    static MenuButton enrollButton(const AppSnapshot& state, std::string_view code, std::string_view name);

    // True when the code holds something besides spaces and tabs and the
    // name is not empty; the rule of the enrol button apart from `busy`.
    static bool enrollInputAcceptable(std::string_view code, std::string_view name);
};

// The device name the form starts with and "Repair" sends: the machine's
// name as the system gives it, or "Mac" when it gives none.
std::string defaultDeviceName();
// Same, from a name already looked up.
std::string defaultDeviceName(const std::optional<std::string>& systemName);

}  // namespace keldra

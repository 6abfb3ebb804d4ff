#include "Keldra/MenuModel.h"

#include <climits>
#include <unistd.h>

#include "BrivetClient/LogText.h"
#include "Keldra/AppState.h"
#include "Keldra/StatusTexts.h"
#include "Keldra/TextRules.h"

namespace keldra {

namespace {

MenuText text(std::string value, TextStyle style, TextTone tone = TextTone::primary) {
    return MenuText{std::move(value), style, tone};
}

// The error text holds failures as they came (a tool's output, a server's
// message); this is where the panel shows them, so this is where they are
// escaped, once.
std::string shownError(const std::string& errorText) { return brivet::screenSafe(errorText); }

}  // namespace

bool MenuModel::enrollInputAcceptable(std::string_view code, std::string_view name) {
    return !trimBlanks(code).empty() && !name.empty();
}

MenuButton MenuModel::enrollButton(const AppState& state, std::string_view code, std::string_view name) {
    return enrollButton(state.snapshot(), code, name);
}

MenuButton MenuModel::enrollButton(const AppSnapshot& state, std::string_view code, std::string_view name) {
    MenuButton button;
    button.title = state.beta ? "Install and enroll this Mac" : "Enroll this Mac";
    button.action = state.beta ? MenuAction::installBeta : MenuAction::enroll;
    button.enabled = !state.busy && enrollInputAcceptable(code, name);
    button.isDefault = true;
    return button;
}

MenuModel MenuModel::of(const AppState& state) { return of(state.snapshot()); }

MenuModel MenuModel::of(const AppSnapshot& state) {
    MenuModel model;
    const bool beta = state.beta;
    const bool busy = state.busy;

    model.symbolName = texts::symbolName(state);
    model.headline = text(texts::headline(state), TextStyle::headline);
    if (auto line = texts::commitmentLine(state)) {
        model.commitmentLine = text(std::move(*line), TextStyle::caption, TextTone::secondary);
    }
    model.showsSpinner = busy;

    if (beta) {
        model.body = state.betaInstalled && state.enrolled ? MenuBody::enrolled : MenuBody::enroll;
    } else if (state.hasEngine) {
        model.body = state.enrolled ? MenuBody::enrolled : MenuBody::enroll;
    } else {
        model.body = MenuBody::message;
        model.message = text(state.errorText ? shownError(*state.errorText) : "Not available", TextStyle::callout);
    }

    if (model.body == MenuBody::enrolled) {
        if (auto line = texts::categoriesLine(state)) {
            model.blockingLine = text("Blocking: " + *line, TextStyle::callout);
        }
        if (beta && texts::serviceNeedsRepair(state)) {
            model.prompt = MenuPrompt::repair;
            model.promptText = text(
                "The blocking service is not running. Repair it; you will be asked for your password.",
                TextStyle::callout);
            model.promptButton = MenuButton{"Repair", MenuAction::repair, !busy, std::nullopt, false};
        } else if (!beta && state.lastReport &&
                   !(state.lastReport->filterConfigured && state.lastReport->filterRunning)) {
            model.prompt = MenuPrompt::filter;
            model.promptText = text(
                "The network filter is not enforcing. Install it and approve it in System Settings.",
                TextStyle::callout);
            model.promptButton =
                MenuButton{"Install network filter", MenuAction::installFilter, !busy, std::nullopt, false};
        }
        if (const auto& error = state.errorText) {
            model.errorLine = text(shownError(*error), TextStyle::caption, TextTone::red);
        }
        if (auto line = texts::lastCheckLine(state)) {
            model.lastCheckLine = text(std::move(*line), TextStyle::caption, TextTone::secondary);
        }
        if (beta && state.betaStatus && state.betaStatus->blocked >= 1) {
            model.blockedLine = text("Blocked " + std::to_string(state.betaStatus->blocked) +
                                         " since the service started",
                                     TextStyle::caption, TextTone::secondary);
        }
        for (auto& line : texts::diagnostics(state)) {
            model.details.push_back(text(std::move(line), TextStyle::caption2, TextTone::secondary));
        }
    }

    if (model.body == MenuBody::enroll) {
        EnrollForm form;
        form.intro = text(beta ? "Enter the enrollment code from your dashboard. Installing the blocking "
                                 "service asks for your administrator password."
                               : "Enter the enrollment code from your dashboard.",
                          TextStyle::callout);
        if (const auto& error = state.errorText) {
            form.error = text(shownError(*error), TextStyle::caption, TextTone::red);
        }
        model.form = std::move(form);
    }

    model.checkNow = MenuButton{"Check now", MenuAction::checkNow, !busy && state.enrolled, std::nullopt, false};
    model.dashboard = MenuButton{"Dashboard", MenuAction::dashboard, true, std::nullopt, false};
    model.quit = MenuButton{"Quit", MenuAction::quit, true,
                            beta ? "Blocking continues in the service."
                                 : "Quitting stops health reporting. Blocking continues in the network filter.",
                            false};
    model.dashboardUrl = texts::dashboardUrl(state);
    return model;
}

std::string defaultDeviceName(const std::optional<std::string>& systemName) {
    if (!systemName || systemName->empty()) return "Mac";
    return *systemName;
}

std::string defaultDeviceName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return defaultDeviceName(std::nullopt);
    return defaultDeviceName(std::string(buffer));
}

}  // namespace keldra

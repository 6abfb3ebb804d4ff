#pragma once
// The app's screens as one piece: the panel and the icon over one app
// state, redrawn on every published change of the state, whether the panel
// is open or not.

#include <memory>

#include "Keldra/AppState.h"
#include "MenuPanel.h"
#include "StatusIcon.h"

namespace keldra::screens {

class AppScreens {
public:
    // Becomes the state's observer until it goes.
    AppScreens(AppState& state, MenuPanel::Hooks hooks, bool forceIconWindow = false);
    ~AppScreens();

    AppScreens(const AppScreens&) = delete;
    AppScreens& operator=(const AppScreens&) = delete;

    MenuPanel& panel() { return *panel_; }
    StatusIcon& icon() { return *icon_; }

    // Redraws the icon and the panel from the state.
    void redraw();

private:
    AppState& state_;
    std::unique_ptr<MenuPanel> panel_;
    std::unique_ptr<StatusIcon> icon_;
};

}  // namespace keldra::screens

#include "AppScreens.h"

namespace keldra::screens {

AppScreens::AppScreens(AppState& state, MenuPanel::Hooks hooks, bool forceIconWindow)
    : state_(state),
      panel_(std::make_unique<MenuPanel>(state, std::move(hooks))),
      icon_(std::make_unique<StatusIcon>(panel_.get(), forceIconWindow)) {
    icon_->setSymbol(QString::fromStdString(state_.symbolName()));
    state_.setObserver([this](AppState::Field) { redraw(); });
}

AppScreens::~AppScreens() {
    state_.setObserver({});
    icon_.reset();
}

void AppScreens::redraw() {
    icon_->setSymbol(QString::fromStdString(state_.symbolName()));
    panel_->refresh();
}

}  // namespace keldra::screens

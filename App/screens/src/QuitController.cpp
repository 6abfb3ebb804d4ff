#include "QuitController.h"

#include <QCoreApplication>
#include <QEvent>

namespace keldra::screens {

QuitController::QuitController(Stop stop, std::function<void()> finish, bool catchAppQuit, QObject* parent)
    : QObject(parent), stop_(std::move(stop)), finish_(std::move(finish)) {
    if (catchAppQuit && QCoreApplication::instance()) QCoreApplication::instance()->installEventFilter(this);
}

void QuitController::request() {
    ++requests_;
    if (finished_) return;
    stop_([this] {
        if (finished_) return;
        finished_ = true;
        if (finish_) finish_();
    });
}

bool QuitController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit && !finished_) {
        request();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace keldra::screens

#include "QuitController.h"

#include <QCoreApplication>
#include <QEvent>

namespace keldra::screens {

QuitController::QuitController(Stop stop, std::function<void()> finish, std::function<void()> abandon,
                               bool catchAppQuit, QObject* parent)
    : QObject(parent), stop_(std::move(stop)), finish_(std::move(finish)), abandon_(std::move(abandon)) {
    if (catchAppQuit && QCoreApplication::instance()) QCoreApplication::instance()->installEventFilter(this);
}

void QuitController::request() {
    ++requests_;
    if (finished_ || abandoned_) return;
    if (stopping_) {
        // Asked again while the first quit waits: the person wants out now.
        if (abandon_) {
            abandoned_ = true;
            abandon_();
        }
        return;
    }
    stopping_ = true;
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

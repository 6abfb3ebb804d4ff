#include "QtExecutor.h"

#include <QMetaObject>
#include <QTimer>
#include <chrono>
#include <limits>

namespace keldra::screens {

QtExecutor::QtExecutor() : context_(std::make_unique<QObject>()) {}

QtExecutor::~QtExecutor() = default;

void QtExecutor::post(Task task) {
    QMetaObject::invokeMethod(context_.get(), [task = std::move(task)] { if (task) task(); },
                              Qt::QueuedConnection);
}

void QtExecutor::postAfter(double seconds, Task task) {
    const auto delay = std::chrono::ceil<std::chrono::milliseconds>(boundedSeconds(seconds));
    if (delay.count() <= 0) {
        post(std::move(task));
        return;
    }
    // Timers belong to the thread of their object, so they start there.
    post([this, ms = static_cast<std::int64_t>(delay.count()), task = std::move(task)]() mutable {
        startTimer(ms, std::move(task));
    });
}

void QtExecutor::startTimer(std::int64_t milliseconds, Task task) {
    constexpr std::int64_t longest = std::numeric_limits<int>::max();
    if (milliseconds > longest) {
        QTimer::singleShot(static_cast<int>(longest), Qt::CoarseTimer, context_.get(),
                           [this, rest = milliseconds - longest, task = std::move(task)]() mutable {
                               startTimer(rest, std::move(task));
                           });
        return;
    }
    QTimer::singleShot(static_cast<int>(milliseconds), Qt::PreciseTimer, context_.get(),
                       [task = std::move(task)] { if (task) task(); });
}

brivet::Instant QtExecutor::now() const {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

}  // namespace keldra::screens

#pragma once
// The app's main-thread executor on the Qt event loop: tasks are queued
// events of an object that lives on the thread that made the executor, and
// delays are single-shot timers there.

#include <QObject>
#include <memory>

#include "Keldra/Executor.h"

namespace keldra::screens {

class QtExecutor final : public Executor {
public:
    // Make it on the main thread, with the application object in place.
    QtExecutor();
    ~QtExecutor() override;

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
    brivet::Instant now() const override;

private:
    // Starts a timer on the main thread; delays beyond what one Qt timer
    // holds (about 24 days) run as a chain of timers.
    void startTimer(std::int64_t milliseconds, Task task);

    std::unique_ptr<QObject> context_;
};

}  // namespace keldra::screens

// Keldra: the tray app. Makes the one app state, shows its icon and panel,
// starts it, and ends only after the state's stop() has returned, whichever
// way the quit came (the panel's "Quit", SIGTERM, SIGINT, or the session
// asking the application to quit), unless a second quit comes first.

#include <QApplication>
#include <QDesktopServices>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "BrivetClient/LogText.h"
#include "BrivetClient/PlatformPaths.h"
#include "DeviceName.h"
#include "Keldra/AppState.h"
#include "Keldra/InstanceLock.h"
#include "Keldra/Log.h"
#include "Keldra/MenuModel.h"
#include "AppScreens.h"
#include "QtExecutor.h"
#include "QuitController.h"
#include "SignalPipe.h"

int main(int argc, char** argv) {
    using namespace keldra;
    using namespace keldra::screens;

    // A peer that hangs up must fail the one call, not end the app with
    // its unsent events.
    std::signal(SIGPIPE, SIG_IGN);

    // One copy per user and data folder: a second one would run a second
    // engine on the same files. Held until the process ends, however it ends.
    std::unique_ptr<InstanceLock> instance;
    try {
        instance = std::make_unique<InstanceLock>(InstanceLock::fileFor(brivet::platform::userApplicationSupport()));
    } catch (const InstanceLock::Held&) {
        std::fprintf(stderr, "Keldra is already running for this user: use its icon in the system tray.\n");
        return 0;
    } catch (const std::exception& e) {
        // Running unguarded beats not protecting at all.
        std::fprintf(stderr, "Keldra: cannot check for another running copy: %s\n", brivet::logSafe(e.what()).c_str());
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Keldra"));
    QApplication::setQuitOnLastWindowClosed(false);

    // Before anything runs that a signal could interrupt.
    std::unique_ptr<SignalPipe> signalPipe;
    try {
        signalPipe = std::make_unique<SignalPipe>(std::vector<int>{SIGTERM, SIGINT});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Keldra: %s\n", e.what());
        return 1;
    }

    auto executor = std::make_shared<QtExecutor>();
    // One log for the app, so that a machine without a system log hears
    // once that the lines go to standard error.
    auto log = std::make_shared<SystemLogger>("app");
    std::unique_ptr<AppState> state = AppState::launch(executor, log);

    // The first quit waits a few seconds at most (AppState::stop()). A
    // second quit while it still waits (on a service that accepts but never
    // answers, or on the filter daemon's link) ends the process here and now: no destructor may wait for the worker that is
    // stuck in that call. The flush saves the events to the outbox before
    // it sends them, so they go at the next start; only when a tick still
    // held the worker, and the flush had not begun, are the events of the
    // still open coalescing windows lost, as after a crash. The first quit
    // already ended any password prompt; the instance lock goes with the
    // process.
    QuitController quit([&state](std::function<void()> done) { state->stop(std::move(done)); },
                        [&state] {
                            // A worker left inside a call would run on
                            // while main's destructors tear down what it uses.
                            if (state->workerAbandoned()) {
                                std::fflush(nullptr);
                                std::_Exit(0);
                            }
                            QCoreApplication::exit(0);
                        },
                        [log] {
                            log->info("quit asked again: ending without waiting for the flush");
                            std::fflush(nullptr);
                            std::_Exit(0);
                        });
    QObject::connect(signalPipe.get(), &SignalPipe::received, &quit, &QuitController::request);

    MenuPanel::Hooks hooks;
    hooks.quit = [&quit] { quit.request(); };
    hooks.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    hooks.deviceName = [] { return deviceName(); };
    AppScreens screens(*state, hooks);
    state->start();
    return QApplication::exec();
}

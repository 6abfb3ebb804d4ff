#pragma once
// Every way of quitting ends here: "Quit", SIGTERM and SIGINT (through the
// signal pipe) and a quit the application object is asked for. Each request
// calls the state's stop(); the process ends only once stop() has completed.
// A request while stop() runs calls it again, which only waits for the first.

#include <QObject>
#include <functional>

namespace keldra::screens {

class QuitController : public QObject {
    Q_OBJECT
public:
    using Stop = std::function<void(std::function<void()> done)>;

    // `stop` starts the state's stop() with a completion; `finish` ends the
    // event loop. With `catchAppQuit`, quit events sent to the application
    // object are turned into requests instead of ending the loop at once.
    QuitController(Stop stop, std::function<void()> finish, bool catchAppQuit = true, QObject* parent = nullptr);

    int requests() const { return requests_; }
    bool finished() const { return finished_; }

public slots:
    void request();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Stop stop_;
    std::function<void()> finish_;
    int requests_ = 0;
    bool finished_ = false;
};

}  // namespace keldra::screens

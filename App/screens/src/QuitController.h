#pragma once
// Every way of quitting ends here: "Quit", SIGTERM and SIGINT (through the
// signal pipe) and a quit the application object is asked for. The first
// request calls the state's stop(); the process ends once stop() has
// completed. A second request while stop() still runs (its flush may wait
// on a service that never answers) abandons the wait at once.

#include <QObject>
#include <functional>

namespace keldra::screens {

class QuitController : public QObject {
    Q_OBJECT
public:
    using Stop = std::function<void(std::function<void()> done)>;

    // `stop` starts the state's stop() with a completion; `finish` ends the
    // event loop; `abandon` ends the process without waiting, for a second
    // request while stop() runs (without it, that request waits for the
    // first). With `catchAppQuit`, quit events sent to the application
    // object are turned into requests instead of ending the loop at once.
    QuitController(Stop stop, std::function<void()> finish, std::function<void()> abandon = {},
                   bool catchAppQuit = true, QObject* parent = nullptr);

    int requests() const { return requests_; }
    bool finished() const { return finished_; }
    bool abandoned() const { return abandoned_; }

public slots:
    void request();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Stop stop_;
    std::function<void()> finish_;
    std::function<void()> abandon_;
    int requests_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
    bool abandoned_ = false;
};

}  // namespace keldra::screens

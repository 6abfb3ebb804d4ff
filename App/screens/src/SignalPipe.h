#pragma once
// Brings process signals into the Qt event loop. The handler only writes the
// signal's number into a pipe; a socket notifier on the pipe's other end
// emits `received` from the event loop, where any work is safe.
//
// One instance at a time; the previous handlers come back when it goes.

#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <memory>
#include <vector>

namespace keldra::screens {

class SignalPipe : public QObject {
    Q_OBJECT
public:
    // Throws std::runtime_error when the pipe or a handler cannot be set up,
    // or when another instance exists.
    explicit SignalPipe(const std::vector<int>& signalNumbers, QObject* parent = nullptr);
    ~SignalPipe() override;

    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

signals:
    void received(int signalNumber);

private:
    void drain();
    void release();

    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<std::pair<int, struct sigaction>> previous_;
};

}  // namespace keldra::screens

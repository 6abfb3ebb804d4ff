#include "SignalPipe.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace keldra::screens {

namespace {

std::atomic<int> gWriteEnd{-1};

extern "C" void onSignal(int signalNumber) {
    const int saved = errno;
    const int fd = gWriteEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a pending wake-up; losing this byte is fine.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe(const std::vector<int>& signalNumbers, QObject* parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("signal pipe: ") + std::strerror(errno));
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
    int expected = -1;
    if (!gWriteEnd.compare_exchange_strong(expected, writeEnd_)) {
        ::close(readEnd_);
        ::close(writeEnd_);
        throw std::runtime_error("signal pipe: another one is installed");
    }
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalPipe::drain);

    for (int number : signalNumbers) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        struct sigaction old {};
        if (::sigaction(number, &action, &old) != 0) {
            const std::string reason = std::strerror(errno);
            release();
            throw std::runtime_error("signal pipe: " + reason);
        }
        previous_.emplace_back(number, old);
    }
}

SignalPipe::~SignalPipe() {
    release();
}

void SignalPipe::release() {
    for (auto it = previous_.rbegin(); it != previous_.rend(); ++it) ::sigaction(it->first, &it->second, nullptr);
    previous_.clear();
    int mine = writeEnd_;
    gWriteEnd.compare_exchange_strong(mine, -1);
    notifier_.reset();
    if (readEnd_ >= 0) ::close(readEnd_);
    if (writeEnd_ >= 0) ::close(writeEnd_);
    readEnd_ = writeEnd_ = -1;
}

void SignalPipe::drain() {
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(readEnd_, buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) emit received(buffer[i]);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // empty (EAGAIN) or closed
    }
}

}  // namespace keldra::screens

#pragma once
// The D-Bus seam: the system events the app listens for.
//
//   wake    logind's PrepareForSleep signal with false, on the system bus
//   launch  a new systemd user unit named "app-*.scope", "app-*.service" or
//           "app-*@*.service" (the units desktops start launched
//           applications in), after Subscribe, from UnitNew on the user bus
//
// Handlers run on the bus's own thread; callers hop to their main thread
// themselves. A subscription is active from the call on, but registered
// only while its bus connection holds the registration; nothing arrives
// and nothing fails while it is not. The log says when a bus is lost and
// when it is back (BusStateLog), so a reader of the journal sees why a wake
// or a launch went unnoticed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Keldra/Log.h"

namespace keldra {

// True for "app-<something>.scope", "app-<something>.service" and
// "app-<something>@<something>.service".
bool isAppLaunchUnit(std::string_view unitName) noexcept;

// Holds a subscription; ending it (cancel() or destruction) guarantees the
// handler is not running and is never called again.
class BusSubscription {
public:
    using Flag = std::shared_ptr<const std::atomic<bool>>;

    BusSubscription() = default;  // inactive
    // `registered`, when given, tells whether the registration holds now;
    // without it an active subscription counts as registered.
    explicit BusSubscription(std::function<void()> cancel, Flag registered = nullptr)
        : cancel_(std::move(cancel)), registered_(std::move(registered)) {}
    BusSubscription(BusSubscription&& other) noexcept;
    BusSubscription& operator=(BusSubscription&& other) noexcept;
    BusSubscription(const BusSubscription&) = delete;
    BusSubscription& operator=(const BusSubscription&) = delete;
    ~BusSubscription() { cancel(); }

    // Asked for and not ended.
    bool active() const noexcept { return static_cast<bool>(cancel_); }
    // Active, and the bus holds the registration: events arrive.
    bool registered() const noexcept { return active() && (!registered_ || registered_->load()); }
    void cancel();

private:
    std::function<void()> cancel_;
    Flag registered_;
};

// The log lines of one subscription's bus: one line when the bus is lost (or
// not there at the start) and one when it is back. A bus that comes and goes
// again and again cannot fill the log: at most `burst` lines go out within
// `interval`; changes past that are held back, and once the interval has
// passed one line gives the state as it is then and how many changes were
// left out. Not thread-safe: its subscription's thread alone uses it.
class BusStateLog {
public:
    using Clock = std::chrono::steady_clock;
    struct Lines {
        std::string lost;
        std::string back;
    };
    static constexpr int kBurst = 2;

    BusStateLog(std::shared_ptr<Logger> log, Lines lines,
                std::chrono::milliseconds interval = std::chrono::seconds(60));

    // The registration holds (true) or not (false) as of `now`. Only a
    // change counts; the first report counts when it is a loss.
    void changed(bool registered, Clock::time_point now);
    // When the held-back line is due; none when nothing is held back.
    std::optional<Clock::time_point> due() const;
    // Writes the held-back line once it is due.
    void flush(Clock::time_point now);

private:
    void write(Clock::time_point now);

    std::shared_ptr<Logger> log_;
    Lines lines_;
    std::chrono::milliseconds interval_;
    std::optional<bool> registered_;
    std::vector<Clock::time_point> written_;  // the last lines' times, at most kBurst
    int heldBack_ = 0;
};

class SystemBus {
public:
    virtual ~SystemBus() = default;
    virtual BusSubscription subscribeWake(std::function<void()> handler) = 0;
    // The handler receives the unit's name.
    virtual BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) = 0;
};

// The real buses through sd-bus. Each subscription has a thread of its own
// that opens its own connection to its bus, registers and serves it; the
// caller never waits on a bus. When the bus cannot be reached, the
// registration fails (no systemd manager to subscribe to on the user bus),
// or the connection ends, the subscription is not registered and the thread
// tries again after a pause that starts at `firstRetry` and doubles up to
// `longestRetry`; a registration that succeeds starts the pauses afresh.
// Ending the subscription ends a pause or a pending registration at once.
// The addresses, when given, replace the system and user buses (tests run a
// private dbus-daemon). With a logger, each subscription logs at error level
// when its bus is lost or not there, and at notice level when it is back
// (BusStateLog, at most two lines a minute each).
class SdBusSystemBus final : public SystemBus {
public:
    struct Addresses {
        std::optional<std::string> systemBus;
        std::optional<std::string> userBus;
    };
    struct Retry {
        std::chrono::milliseconds firstRetry{1000};
        std::chrono::milliseconds longestRetry{60000};
    };
    struct Logging {
        std::shared_ptr<Logger> log;
        std::chrono::milliseconds interval{60000};
    };
    SdBusSystemBus();
    explicit SdBusSystemBus(Logging logging);
    explicit SdBusSystemBus(Addresses addresses);
    SdBusSystemBus(Addresses addresses, Retry retry);
    SdBusSystemBus(Addresses addresses, Retry retry, Logging logging);
    ~SdBusSystemBus() override;
    SdBusSystemBus(const SdBusSystemBus&) = delete;
    SdBusSystemBus& operator=(const SdBusSystemBus&) = delete;

    BusSubscription subscribeWake(std::function<void()> handler) override;
    BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) override;

private:
    const Addresses addresses_;
    const Retry retry_;
    const Logging logging_;
};

// Delivers what the test fires, synchronously on the firing thread, to every
// active subscription. `available` false behaves like a machine without a
// bus: subscriptions come back inactive.
class FakeSystemBus final : public SystemBus {
public:
    explicit FakeSystemBus(bool available = true) : available_(available) {}

    BusSubscription subscribeWake(std::function<void()> handler) override;
    BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) override;

    // Only launch units (isAppLaunchUnit) reach the handlers, as on the real bus.
    void wake();
    void launch(const std::string& unitName);
    std::size_t activeSubscriptions() const;

private:
    struct State;
    bool available_;
    std::shared_ptr<State> state_ = makeState();
    static std::shared_ptr<State> makeState();
};

}  // namespace keldra

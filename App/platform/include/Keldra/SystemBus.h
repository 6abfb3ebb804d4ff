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
// and nothing fails while it is not.

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
// private dbus-daemon).
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
    SdBusSystemBus();
    explicit SdBusSystemBus(Addresses addresses);
    SdBusSystemBus(Addresses addresses, Retry retry);
    ~SdBusSystemBus() override;
    SdBusSystemBus(const SdBusSystemBus&) = delete;
    SdBusSystemBus& operator=(const SdBusSystemBus&) = delete;

    BusSubscription subscribeWake(std::function<void()> handler) override;
    BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) override;

private:
    const Addresses addresses_;
    const Retry retry_;
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

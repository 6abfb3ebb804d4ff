#pragma once
// The D-Bus seam: the system events the app listens for.
//
//   wake    logind's PrepareForSleep signal with false, on the system bus
//   launch  a new systemd user unit named "app-*.scope" or "app-*@*.service"
//           (the units desktops start launched applications in), after
//           Subscribe, from UnitNew on the user bus
//
// Handlers run on the bus's own thread; callers hop to their main thread
// themselves. Where no bus is there, a subscription comes back inactive,
// nothing arrives and nothing fails.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keldra {

// True for "app-<something>.scope" and "app-<something>@<something>.service".
bool isAppLaunchUnit(std::string_view unitName) noexcept;

// Holds a registration; ending it (cancel() or destruction) guarantees the
// handler is not running and is never called again.
class BusSubscription {
public:
    BusSubscription() = default;  // inactive
    explicit BusSubscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    BusSubscription(BusSubscription&& other) noexcept;
    BusSubscription& operator=(BusSubscription&& other) noexcept;
    BusSubscription(const BusSubscription&) = delete;
    BusSubscription& operator=(const BusSubscription&) = delete;
    ~BusSubscription() { cancel(); }

    bool active() const noexcept { return static_cast<bool>(cancel_); }
    void cancel();

private:
    std::function<void()> cancel_;
};

class SystemBus {
public:
    virtual ~SystemBus() = default;
    virtual BusSubscription subscribeWake(std::function<void()> handler) = 0;
    // The handler receives the unit's name.
    virtual BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) = 0;
};

// The real buses through sd-bus. Each subscription opens its own connection
// to its bus and serves it on a thread of its own until it ends. The
// addresses, when given, replace the system and user buses (tests run a
// private dbus-daemon). A bus that cannot be reached, or a user bus without
// systemd's manager to subscribe to, gives an inactive subscription.
class SdBusSystemBus final : public SystemBus {
public:
    struct Addresses {
        std::optional<std::string> systemBus;
        std::optional<std::string> userBus;
    };
    SdBusSystemBus();
    explicit SdBusSystemBus(Addresses addresses);
    ~SdBusSystemBus() override;
    SdBusSystemBus(const SdBusSystemBus&) = delete;
    SdBusSystemBus& operator=(const SdBusSystemBus&) = delete;

    BusSubscription subscribeWake(std::function<void()> handler) override;
    BusSubscription subscribeLaunches(std::function<void(const std::string&)> handler) override;

private:
    const Addresses addresses_;
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

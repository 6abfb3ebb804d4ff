#include "Keldra/SystemBus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

namespace keldra {

bool isAppLaunchUnit(std::string_view unit) noexcept {
    if (!unit.starts_with("app-")) return false;
    std::string_view rest = unit.substr(4);
    if (rest.ends_with(".scope")) return rest.size() > 6;
    if (rest.ends_with(".service")) {
        std::string_view stem = rest.substr(0, rest.size() - 8);
        auto at = stem.find('@');
        return at != std::string_view::npos && at > 0 && at + 1 < stem.size();
    }
    return false;
}

BusSubscription::BusSubscription(BusSubscription&& other) noexcept : cancel_(std::move(other.cancel_)) {
    other.cancel_ = nullptr;
}

BusSubscription& BusSubscription::operator=(BusSubscription&& other) noexcept {
    if (this != &other) {
        cancel();
        cancel_ = std::move(other.cancel_);
        other.cancel_ = nullptr;
    }
    return *this;
}

void BusSubscription::cancel() {
    auto cancel = std::move(cancel_);
    cancel_ = nullptr;
    if (cancel) cancel();
}

// ---- sd-bus

namespace {

// One connection to one bus, served by its own thread. sd-bus objects are
// not thread-safe, so after set-up only that thread touches the bus.
class BusWorker : public std::enable_shared_from_this<BusWorker> {
public:
    ~BusWorker() {
        if (slot_ != nullptr) sd_bus_slot_unref(slot_);
        if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
        if (stopFd_ >= 0) ::close(stopFd_);
    }

    // Opens the bus; false when there is none.
    bool open(const std::optional<std::string>& address, bool system) {
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0) return false;
        int result;
        if (address) {
            result = sd_bus_new(&bus_);
            if (result >= 0) result = sd_bus_set_address(bus_, address->c_str());
            if (result >= 0) result = sd_bus_set_bus_client(bus_, 1);
            if (result >= 0) result = sd_bus_start(bus_);
        } else {
            result = system ? sd_bus_open_system(&bus_) : sd_bus_open_user(&bus_);
        }
        return result >= 0;
    }

    sd_bus* bus() const noexcept { return bus_; }
    // What the handlers use; it lives as long as the worker.
    void keep(std::shared_ptr<void> context) { context_ = std::move(context); }
    sd_bus_slot** slot() noexcept { return &slot_; }

    void start() {
        auto self = shared_from_this();
        thread_ = std::thread([self] { self->run(); });
    }

    // Ends the thread; from the thread itself (a handler cancelling its own
    // subscription) it only asks it to end after the handler.
    void stop() {
        stopping_ = true;
        std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(stopFd_, &one, sizeof one);
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    bool stopping() const noexcept { return stopping_; }

private:
    void run() {
        while (!stopping_) {
            int processed;
            while (!stopping_ && (processed = sd_bus_process(bus_, nullptr)) > 0) {
            }
            if (stopping_) return;
            int fd = sd_bus_get_fd(bus_);
            int events = sd_bus_get_events(bus_);
            std::uint64_t until = 0;
            sd_bus_get_timeout(bus_, &until);
            if (fd < 0 || events < 0) return;  // the bus is gone
            int timeout = -1;
            if (until != UINT64_MAX) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + now.tv_nsec / 1000;
                timeout = until <= nowUs ? 0 : static_cast<int>(std::min<std::uint64_t>((until - nowUs) / 1000 + 1, 60'000));
            }
            pollfd entries[2] = {{fd, static_cast<short>(events), 0}, {stopFd_, POLLIN, 0}};
            if (::poll(entries, 2, timeout) < 0 && errno != EINTR) return;
            if (entries[0].revents & (POLLHUP | POLLERR)) {
                sd_bus_process(bus_, nullptr);
                return;
            }
        }
    }

    std::shared_ptr<void> context_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    int stopFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

struct WakeContext {
    std::function<void()> handler;
    BusWorker* worker;
};

struct LaunchContext {
    std::function<void(const std::string&)> handler;
    BusWorker* worker;
};

int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* context = static_cast<WakeContext*>(userdata);
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    if (!sleeping && !context->worker->stopping()) context->handler();
    return 0;
}

int onUnitNew(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* context = static_cast<LaunchContext*>(userdata);
    const char* name = nullptr;
    const char* path = nullptr;
    if (sd_bus_message_read(message, "so", &name, &path) < 0 || name == nullptr) return 0;
    if (isAppLaunchUnit(name) && !context->worker->stopping()) context->handler(name);
    return 0;
}

BusSubscription subscription(std::shared_ptr<BusWorker> worker, std::shared_ptr<void> context) {
    worker->keep(std::move(context));
    worker->start();
    return BusSubscription([worker] { worker->stop(); });
}

}  // namespace

SdBusSystemBus::SdBusSystemBus() : addresses_() {}
SdBusSystemBus::SdBusSystemBus(Addresses addresses) : addresses_(std::move(addresses)) {}
SdBusSystemBus::~SdBusSystemBus() = default;

BusSubscription SdBusSystemBus::subscribeWake(std::function<void()> handler) {
    auto worker = std::make_shared<BusWorker>();
    if (!worker->open(addresses_.systemBus, true)) return {};
    auto context = std::make_shared<WakeContext>(WakeContext{std::move(handler), worker.get()});
    if (sd_bus_match_signal(worker->bus(), worker->slot(), "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep,
                            context.get()) < 0) {
        return {};
    }
    return subscription(worker, context);
}

BusSubscription SdBusSystemBus::subscribeLaunches(std::function<void(const std::string&)> handler) {
    auto worker = std::make_shared<BusWorker>();
    if (!worker->open(addresses_.userBus, false)) return {};
    auto context = std::make_shared<LaunchContext>(LaunchContext{std::move(handler), worker.get()});
    if (sd_bus_match_signal(worker->bus(), worker->slot(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                            "org.freedesktop.systemd1.Manager", "UnitNew", onUnitNew, context.get()) < 0) {
        return {};
    }
    // systemd sends unit signals only to subscribed clients.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(worker->bus(), "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                    "org.freedesktop.systemd1.Manager", "Subscribe", &error, nullptr, "");
    sd_bus_error_free(&error);
    if (result < 0) return {};
    return subscription(worker, context);
}

// ---- The fake

struct FakeSystemBus::State {
    mutable std::mutex mutex;
    std::uint64_t next = 1;
    std::map<std::uint64_t, std::function<void()>> wakes;
    std::map<std::uint64_t, std::function<void(const std::string&)>> launches;
};

std::shared_ptr<FakeSystemBus::State> FakeSystemBus::makeState() { return std::make_shared<State>(); }

BusSubscription FakeSystemBus::subscribeWake(std::function<void()> handler) {
    if (!available_) return {};
    std::lock_guard lock(state_->mutex);
    std::uint64_t id = state_->next++;
    state_->wakes[id] = std::move(handler);
    return BusSubscription([state = state_, id] {
        std::lock_guard lock(state->mutex);
        state->wakes.erase(id);
    });
}

BusSubscription FakeSystemBus::subscribeLaunches(std::function<void(const std::string&)> handler) {
    if (!available_) return {};
    std::lock_guard lock(state_->mutex);
    std::uint64_t id = state_->next++;
    state_->launches[id] = std::move(handler);
    return BusSubscription([state = state_, id] {
        std::lock_guard lock(state->mutex);
        state->launches.erase(id);
    });
}

void FakeSystemBus::wake() {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard lock(state_->mutex);
        for (auto& [id, handler] : state_->wakes) handlers.push_back(handler);
    }
    for (auto& handler : handlers) handler();
}

void FakeSystemBus::launch(const std::string& unitName) {
    if (!isAppLaunchUnit(unitName)) return;
    std::vector<std::function<void(const std::string&)>> handlers;
    {
        std::lock_guard lock(state_->mutex);
        for (auto& [id, handler] : state_->launches) handlers.push_back(handler);
    }
    for (auto& handler : handlers) handler(unitName);
}

std::size_t FakeSystemBus::activeSubscriptions() const {
    std::lock_guard lock(state_->mutex);
    return state_->wakes.size() + state_->launches.size();
}

}  // namespace keldra

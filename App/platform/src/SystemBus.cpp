#include "Keldra/SystemBus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

#include "BrivetClient/Descriptor.h"

namespace keldra {
namespace {

// Owners of the sd-bus objects. A connection is closed without a flush:
// the bus may not be reading.
struct CloseBus {
    void operator()(sd_bus* bus) const noexcept { sd_bus_close_unref(bus); }
};
struct UnrefSlot {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using BusHandle = std::unique_ptr<sd_bus, CloseBus>;
using SlotHandle = std::unique_ptr<sd_bus_slot, UnrefSlot>;

}  // namespace

bool isAppLaunchUnit(std::string_view unit) noexcept {
    if (!unit.starts_with("app-")) return false;
    std::string_view rest = unit.substr(4);
    if (rest.ends_with(".scope")) return rest.size() > 6;
    if (rest.ends_with(".service")) {
        std::string_view stem = rest.substr(0, rest.size() - 8);
        auto at = stem.find('@');
        // "app-<id>.service" or the instance "app-<id>@<instance>.service";
        // a bare template ("app-<id>@.service") is no launch.
        if (at == std::string_view::npos) return !stem.empty();
        return at > 0 && at + 1 < stem.size();
    }
    return false;
}

BusSubscription::BusSubscription(BusSubscription&& other) noexcept
    : cancel_(std::move(other.cancel_)), registered_(std::move(other.registered_)) {
    other.cancel_ = nullptr;
    other.registered_ = nullptr;
}

BusSubscription& BusSubscription::operator=(BusSubscription&& other) noexcept {
    if (this != &other) {
        cancel();
        cancel_ = std::move(other.cancel_);
        registered_ = std::move(other.registered_);
        other.cancel_ = nullptr;
        other.registered_ = nullptr;
    }
    return *this;
}

void BusSubscription::cancel() {
    auto cancel = std::move(cancel_);
    cancel_ = nullptr;
    registered_ = nullptr;
    if (cancel) cancel();
}

// ---- The log of a bus's state

BusStateLog::BusStateLog(std::shared_ptr<Logger> log, Lines lines, std::chrono::milliseconds interval)
    : log_(std::move(log)), lines_(std::move(lines)), interval_(interval) {}

void BusStateLog::changed(bool registered, Clock::time_point now) {
    if (registered_ == registered) return;
    const bool first = !registered_.has_value();
    registered_ = registered;
    // A registration that holds from the start is the normal case: nothing
    // to say.
    if (first && registered) return;
    // Lines older than the interval no longer count.
    std::erase_if(written_, [&](Clock::time_point at) { return now - at >= interval_; });
    if (static_cast<int>(written_.size()) >= kBurst) {
        ++heldBack_;
        return;
    }
    write(now);
}

std::optional<BusStateLog::Clock::time_point> BusStateLog::due() const {
    if (heldBack_ == 0 || written_.empty()) return std::nullopt;
    return written_.front() + interval_;
}

void BusStateLog::flush(Clock::time_point now) {
    const auto at = due();
    if (!at || now < *at) return;
    std::erase_if(written_, [&](Clock::time_point time) { return now - time >= interval_; });
    write(now);
}

void BusStateLog::write(Clock::time_point now) {
    const bool registered = registered_.value_or(false);
    std::string line = registered ? lines_.back : lines_.lost;
    // The line stands for the last change held back; the ones before it
    // went unsaid.
    const int earlier = heldBack_ - 1;
    if (earlier > 0) {
        line += " (" + std::to_string(earlier) + (earlier == 1 ? " earlier change" : " earlier changes") +
                " not logged)";
    }
    heldBack_ = 0;
    written_.push_back(now);
    if (static_cast<int>(written_.size()) > kBurst) written_.erase(written_.begin());
    if (log_) log_->log(registered ? LogLevel::notice : LogLevel::error, line);
}

// ---- sd-bus

namespace {

using Clock = std::chrono::steady_clock;

// What one subscription asks of its bus.
struct Registration {
    enum class Kind { wake, launches };
    Kind kind;
    std::optional<std::string> address;
    std::function<void()> onWake;
    std::function<void(const std::string&)> onLaunch;
};

// One subscription's thread: connects, registers, serves the connection
// and, when the connection ends or the registration fails, tries again
// after a growing pause. sd-bus objects are not thread-safe, so only that
// thread touches the bus. Every wait polls the stop descriptor too, so
// stop() never waits on a bus.
class BusKeeper : public std::enable_shared_from_this<BusKeeper> {
public:
    BusKeeper(Registration registration, SdBusSystemBus::Retry retry, const SdBusSystemBus::Logging& logging)
        : registration_(std::move(registration)), retry_(retry),
          stateLog_(logging.log, linesFor(registration_.kind), logging.interval),
          stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~BusKeeper() { closeBus(); }

    std::shared_ptr<const std::atomic<bool>> registeredFlag() const { return registered_; }

    void start() {
        auto self = shared_from_this();
        thread_ = std::thread([self] { self->run(); });
    }

    // Ends the thread; from the thread itself (a handler cancelling its own
    // subscription) it only asks it to end after the handler.
    void stop() {
        stopping_ = true;
        registered_->store(false);
        std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(stopFd_.get(), &one, sizeof one);
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

private:
    static BusStateLog::Lines linesFor(Registration::Kind kind) {
        if (kind == Registration::Kind::wake) {
            return {"system bus not available: wakes of the computer go unnoticed until it is back",
                    "system bus back: wakes of the computer are noticed again"};
        }
        return {"user bus not available: app launches go uncounted until it is back",
                "user bus back: app launches are counted again"};
    }

    void run() {
        if (stopFd_.get() < 0) return;
        auto pause = retry_.firstRetry;
        while (!stopping_) {
            if (connect() && serve()) pause = retry_.firstRetry;  // it held once: start the pauses afresh
            registered_->store(false);
            closeBus();
            // Lost, or not reached: said once, not at every try. Ending the
            // subscription is no loss.
            if (!stopping_) stateLog_.changed(false, Clock::now());
            if (stopping_ || !sleep(pause)) return;
            pause = std::min(pause * 2, retry_.longestRetry);
        }
    }

    // Milliseconds until a held-back log line is due, at most `timeout`
    // (-1: none).
    int untilLogDue(int timeout) const {
        const auto due = stateLog_.due();
        if (!due) return timeout;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now()).count() + 1;
        const int wait = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60'000));
        return timeout < 0 ? wait : std::min(timeout, wait);
    }

    // Opens the connection without waiting for the bus: what the bus has to
    // answer is answered in serve().
    bool connect() {
        int result;
        sd_bus* opened = nullptr;
        if (registration_.address) {
            result = sd_bus_new(&opened);
            bus_.reset(opened);
            if (result >= 0) result = sd_bus_set_address(bus_.get(), registration_.address->c_str());
            if (result >= 0) result = sd_bus_set_bus_client(bus_.get(), 1);
            if (result >= 0) result = sd_bus_start(bus_.get());
        } else {
            result = registration_.kind == Registration::Kind::wake ? sd_bus_open_system(&opened)
                                                                     : sd_bus_open_user(&opened);
            bus_.reset(opened);
        }
        if (result < 0) return false;
        sd_bus_slot* slot = nullptr;
        if (registration_.kind == Registration::Kind::wake) {
            pending_ = 1;
            result = sd_bus_match_signal_async(bus_.get(), &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                               "org.freedesktop.login1.Manager", "PrepareForSleep",
                                               onPrepareForSleep, onAnswer, this);
            slot_.reset(slot);
        } else {
            // systemd sends unit signals only to subscribed clients.
            pending_ = 2;
            result = sd_bus_match_signal_async(bus_.get(), &slot, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                               "org.freedesktop.systemd1.Manager", "UnitNew", onUnitNew, onAnswer,
                                               this);
            slot_.reset(slot);
            if (result >= 0) {
                sd_bus_slot* call = nullptr;
                result = sd_bus_call_method_async(bus_.get(), &call, "org.freedesktop.systemd1",
                                                  "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                                                  "Subscribe", onAnswer, this, "");
                callSlot_.reset(call);
            }
        }
        failed_ = false;
        return result >= 0;
    }

    // Serves the connection until it ends, the registration fails, or the
    // subscription ends; true when the registration held for a while.
    bool serve() {
        bool held = false;
        while (!stopping_ && !failed_) {
            int processed = 0;
            while (!stopping_ && !failed_ && (processed = sd_bus_process(bus_.get(), nullptr)) > 0) {
            }
            if (stopping_ || failed_ || processed < 0) break;
            if (pending_ == 0 && !registered_->load()) {
                registered_->store(true);
                held = true;
                stateLog_.changed(true, Clock::now());
            }
            stateLog_.flush(Clock::now());
            const int fd = sd_bus_get_fd(bus_.get());
            const int events = sd_bus_get_events(bus_.get());
            std::uint64_t until = 0;
            sd_bus_get_timeout(bus_.get(), &until);
            if (fd < 0 || events < 0) break;  // the bus is gone
            int timeout = -1;
            if (until != UINT64_MAX) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                const std::uint64_t nowUs =
                    static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
                timeout = until <= nowUs ? 0 : static_cast<int>(std::min<std::uint64_t>((until - nowUs) / 1000 + 1, 60'000));
            }
            pollfd entries[2] = {{fd, static_cast<short>(events), 0}, {stopFd_.get(), POLLIN, 0}};
            if (::poll(entries, 2, untilLogDue(timeout)) < 0 && errno != EINTR) break;
            if (entries[0].revents & (POLLHUP | POLLERR)) {
                sd_bus_process(bus_.get(), nullptr);
                break;
            }
        }
        return held;
    }

    // Waits `pause`; false when the subscription ended meanwhile.
    bool sleep(std::chrono::milliseconds pause) {
        const auto until = Clock::now() + pause;
        while (!stopping_) {
            stateLog_.flush(Clock::now());
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) return true;
            pollfd entry{stopFd_.get(), POLLIN, 0};
            ::poll(&entry, 1, untilLogDue(static_cast<int>(std::min<std::int64_t>(left.count(), 60'000))));
        }
        return false;
    }

    // The slots go before the connection they belong to.
    void closeBus() {
        callSlot_.reset();
        slot_.reset();
        bus_.reset();
    }

    // The answers to AddMatch and Subscribe.
    static int onAnswer(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* keeper = static_cast<BusKeeper*>(userdata);
        if (sd_bus_message_is_method_error(message, nullptr)) {
            keeper->failed_ = true;
        } else if (keeper->pending_ > 0) {
            --keeper->pending_;
        }
        return 0;
    }

    static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* keeper = static_cast<BusKeeper*>(userdata);
        int sleeping = 0;
        if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
        if (!sleeping && !keeper->stopping_ && keeper->registration_.onWake) keeper->registration_.onWake();
        return 0;
    }

    static int onUnitNew(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* keeper = static_cast<BusKeeper*>(userdata);
        const char* name = nullptr;
        const char* path = nullptr;
        if (sd_bus_message_read(message, "so", &name, &path) < 0 || name == nullptr) return 0;
        if (isAppLaunchUnit(name) && !keeper->stopping_ && keeper->registration_.onLaunch) {
            keeper->registration_.onLaunch(name);
        }
        return 0;
    }

    const Registration registration_;
    const SdBusSystemBus::Retry retry_;
    BusStateLog stateLog_;  // the thread's alone
    const std::shared_ptr<std::atomic<bool>> registered_ = std::make_shared<std::atomic<bool>>(false);
    BusHandle bus_;  // before its slots, so that they go first
    SlotHandle slot_;
    SlotHandle callSlot_;
    int pending_ = 0;
    bool failed_ = false;
    brivet::Descriptor stopFd_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

BusSubscription keep(Registration registration, SdBusSystemBus::Retry retry, const SdBusSystemBus::Logging& logging) {
    auto keeper = std::make_shared<BusKeeper>(std::move(registration), retry, logging);
    keeper->start();
    return BusSubscription([keeper] { keeper->stop(); }, keeper->registeredFlag());
}

}  // namespace

SdBusSystemBus::SdBusSystemBus() : addresses_(), retry_(), logging_() {}
SdBusSystemBus::SdBusSystemBus(Logging logging) : addresses_(), retry_(), logging_(std::move(logging)) {}
SdBusSystemBus::SdBusSystemBus(Addresses addresses) : addresses_(std::move(addresses)), retry_(), logging_() {}
SdBusSystemBus::SdBusSystemBus(Addresses addresses, Retry retry)
    : addresses_(std::move(addresses)), retry_(retry), logging_() {}
SdBusSystemBus::SdBusSystemBus(Addresses addresses, Retry retry, Logging logging)
    : addresses_(std::move(addresses)), retry_(retry), logging_(std::move(logging)) {}
SdBusSystemBus::~SdBusSystemBus() = default;

BusSubscription SdBusSystemBus::subscribeWake(std::function<void()> handler) {
    return keep(Registration{Registration::Kind::wake, addresses_.systemBus, std::move(handler), {}}, retry_, logging_);
}

BusSubscription SdBusSystemBus::subscribeLaunches(std::function<void(const std::string&)> handler) {
    return keep(Registration{Registration::Kind::launches, addresses_.userBus, {}, std::move(handler)}, retry_, logging_);
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

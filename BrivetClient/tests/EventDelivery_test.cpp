// Event delivery when the data directory cannot be synced: every write is in
// place, only not yet durable, and the service must still receive each event
// exactly once.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "EngineTestSupport.h"

// Directory syncs fail on demand: this definition takes the place of the C
// library's for the whole test program.
static std::atomic<bool> failDirectorySync{false};
extern "C" int fsync(int fd) {
    struct stat st {};
    if (failDirectorySync && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

using namespace enginetest;

namespace {

class EventDelivery : public EngineFixture {
protected:
    ~EventDelivery() override { failDirectorySync = false; }

    std::int64_t acceptedCount(const std::string& type, const std::string& reason) const {
        std::int64_t total = 0;
        for (const auto& e : service.acceptedEvents())
            if (e["type"] == type && e["reason"] == reason) total += e["count"].get<std::int64_t>();
        return total;
    }
};

TEST_F(EventDelivery, AFailedDirectorySyncNeverSendsAnEventTwice) {
    enroll();
    service.setBlocklist("ads", 3, rulesOf({"ads.example"}));
    service.setPolicy(json{{"kind", "blocking_only"}, {"categories", {"ads"}}, {"blocklist_version", 3}});
    ASSERT_TRUE(tick().errors.empty());

    failDirectorySync = true;
    filter->closedEvents = {blockEvent(0, 4)};
    for (int i = 0; i < 3; ++i) {
        const auto report = tick();
        EXPECT_TRUE(report.errors.empty()) << report.errors[0];
        advance(60);
    }
    EXPECT_EQ(engine->unsavedEventCount(), 0);
    failDirectorySync = false;
    tick();

    EXPECT_EQ(service.counters().eventsAccepted, 1);
    EXPECT_EQ(acceptedCount("bypass_attempted", "blocked_connection"), 4);
    EXPECT_TRUE(outbox->pending().empty());
}

}  // namespace

// The lock that lets one copy of the app run per user and data folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "Keldra/InstanceLock.h"
#include "keldra/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using keldra::InstanceLock;

brivet::platform::EnvironmentLookup runtimeFolder(std::optional<std::string> folder) {
    return [folder](const std::string& name) -> std::optional<std::string> {
        if (name == "XDG_RUNTIME_DIR") return folder;
        return std::nullopt;
    };
}

TEST(InstanceLock, OneHolderAtATimeAndAnEndedHolderLetsGo) {
    keldra::test::TempDir dir("keldra-lock");
    const fs::path file = dir / "app.lock";
    {
        InstanceLock held(file);
        EXPECT_THROW(InstanceLock again(file), InstanceLock::Held);
        EXPECT_EQ(keldra::test::modeOf(file) & 0777, 0600u);
    }
    EXPECT_NO_THROW(InstanceLock again(file));

    // A holder killed outright leaves the file behind, not the lock.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        InstanceLock held(file);
        char byte = 1;
        [[maybe_unused]] auto ignored = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_THROW(InstanceLock again(file), InstanceLock::Held);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_NO_THROW(InstanceLock again(file));
}

TEST(InstanceLock, TheFileIsNamedAfterTheDataFolder) {
    keldra::test::TempDir dir("keldra-lock");
    fs::create_directories(dir / "run");
    const auto run = runtimeFolder((dir / "run").string());
    const fs::path mine = InstanceLock::fileFor(dir / "data", run);
    EXPECT_EQ(mine.parent_path(), dir / "run");
    EXPECT_EQ(InstanceLock::fileFor(dir / "x" / ".." / "data", run), mine);  // the same folder, spelled otherwise
    EXPECT_NE(InstanceLock::fileFor(dir / "other", run), mine);
    // Two data folders: two locks, both held at once.
    InstanceLock a(mine);
    EXPECT_NO_THROW(InstanceLock b(InstanceLock::fileFor(dir / "other", run)));

    // Without a usable runtime folder the lock lies in the data folder.
    for (const auto& environment : {runtimeFolder(std::nullopt), runtimeFolder("relative/run"),
                                    runtimeFolder((dir / "missing").string())}) {
        EXPECT_EQ(InstanceLock::fileFor(dir / "data", environment), dir / "data" / "Keldra" / "app.lock");
    }
    InstanceLock fallback(dir / "data" / "Keldra" / "app.lock");  // its folder is made
    EXPECT_EQ(keldra::test::modeOf(dir / "data" / "Keldra") & 0777, 0700u);
}

TEST(InstanceLock, APlantedSymlinkOrFifoIsRefusedWithoutHanging) {
    keldra::test::TempDir dir("keldra-lock");
    const fs::path target = dir / "target";
    fs::create_symlink(target, dir / "link.lock");
    EXPECT_THROW(InstanceLock held(dir / "link.lock"), InstanceLock::Unavailable);
    EXPECT_FALSE(fs::exists(target));
    ASSERT_EQ(::mkfifo((dir / "fifo.lock").c_str(), 0600), 0);
    EXPECT_THROW(InstanceLock held(dir / "fifo.lock"), InstanceLock::Unavailable);
}

}  // namespace

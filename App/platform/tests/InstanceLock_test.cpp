// The lock that lets one copy of the app run per user and data folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "Keldra/InstanceLock.h"
#include "keldra/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using keldra::InstanceLock;

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

TEST(InstanceLock, TheFileLiesInTheDataFolderWhateverTheEnvironment) {
    keldra::test::TempDir dir("keldra-lock");
    fs::create_directories(dir / "run");
    const fs::path mine = InstanceLock::fileFor(dir / "data");
    EXPECT_EQ(mine, dir / "data" / "Keldra" / "app.lock");
    // Whatever XDG_RUNTIME_DIR says: the same file.
    const char* given = std::getenv("XDG_RUNTIME_DIR");
    const std::optional<std::string> saved = given ? std::optional<std::string>(given) : std::nullopt;
    const std::string run = (dir / "run").string();
    for (const std::string& runtime : {std::string(), std::string("/run/user/1000"), run}) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(InstanceLock::fileFor(dir / "data"), mine) << runtime;
    }
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(InstanceLock::fileFor(dir / "data"), mine);
    if (saved) ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);

    InstanceLock a(mine);  // its folder is made, owner only
    EXPECT_EQ(keldra::test::modeOf(dir / "data" / "Keldra") & 0777, 0700u);
    // The same folder spelled otherwise, or reached through a symlink, is
    // the same lock; another data folder has a lock of its own.
    EXPECT_THROW(InstanceLock b(InstanceLock::fileFor(dir / "x" / ".." / "data")), InstanceLock::Held);
    fs::create_directory_symlink(dir / "data", dir / "alias");
    EXPECT_THROW(InstanceLock b(InstanceLock::fileFor(dir / "alias")), InstanceLock::Held);
    EXPECT_NO_THROW(InstanceLock b(InstanceLock::fileFor(dir / "other")));
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

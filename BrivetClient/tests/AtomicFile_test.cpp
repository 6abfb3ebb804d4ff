#include "keldra/TestFiles.h"
#include "BrivetClient/AtomicFile.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Directory syncs fail on demand: this definition takes the place of the C
// library's for the whole test program.
// Or the process dies in the middle of a write, as after a kill -9.
static std::atomic<bool> failDirectorySync{false};
static std::atomic<bool> dieInFileSync{false};
extern "C" int fsync(int fd) {
    struct stat st {};
    if (dieInFileSync && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ::_exit(0);
    if (failDirectorySync && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace fs = std::filesystem;
using brivet::atomicWrite;

namespace {
using keldra::test::TempDir;

using keldra::test::modeOf;
using keldra::test::writeFile;

std::size_t entries(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}));
}

// A process id that was just in use and is gone now.
pid_t deadProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}
}  // namespace

TEST(AtomicFile, WritesReplacesAndKeepsModeWithoutLeftovers) {
    TempDir dir;
    auto target = dir.path() / "nested" / "state.json";
    ::umask(0);
    atomicWrite(target, "first");
    ::umask(022);
    std::string out;
    ASSERT_TRUE(brivet::readWholeFile(target, out));
    EXPECT_EQ(out, "first");
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(target.parent_path()), 0700u);

    atomicWrite(target, "second, longer", {.mode = 0644, .durable = false});
    ASSERT_TRUE(brivet::readWholeFile(target, out));
    EXPECT_EQ(out, "second, longer");
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator{}), 1);
}

TEST(AtomicFile, FailureLeavesTargetUntouched) {
    TempDir dir;
    auto target = dir.path() / "state.json";
    atomicWrite(target, "kept");
    // Renaming a file over a directory fails; the old content must remain.
    auto blocked = dir.path() / "blocked";
    fs::create_directory(blocked);
    fs::create_directory(blocked / "inner");
    EXPECT_THROW(atomicWrite(blocked, "x"), brivet::AtomicWriteError);
    std::string out;
    ASSERT_TRUE(brivet::readWholeFile(target, out));
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 2);
    EXPECT_FALSE(brivet::readWholeFile(dir.path() / "missing", out));
}

TEST(AtomicFile, AFailedDirectorySyncAfterTheRenameIsReportedAsDoneButNotDurable) {
    TempDir dir;
    auto target = dir.path() / "events-outbox.json";
    EXPECT_TRUE(atomicWrite(target, "old").durable);
    failDirectorySync = true;
    brivet::AtomicWriteOutcome outcome;
    EXPECT_NO_THROW(outcome = atomicWrite(target, "new"));
    failDirectorySync = false;
    EXPECT_FALSE(outcome.durable);
    EXPECT_NE(outcome.syncError.find("cannot sync directory"), std::string::npos) << outcome.syncError;
    std::string out;
    ASSERT_TRUE(brivet::readWholeFile(target, out));
    EXPECT_EQ(out, "new");
    EXPECT_EQ(entries(dir.path()), 1u);
    // Without durability nothing is synced, so nothing can fail there.
    failDirectorySync = true;
    EXPECT_TRUE(atomicWrite(target, "fast", {.durable = false}).durable);
    failDirectorySync = false;
}

TEST(AtomicFile, LeftoversOfKilledWritersGoAndLiveOnesStay) {
    TempDir dir;
    const fs::path d = dir.path();
    const std::string dead = std::to_string(deadProcess());
    const std::string self = std::to_string(::getpid());
    writeFile(d / "state.json", "{}");
    writeFile(d / (".state.json.tmp-" + dead + "-0123456789ab"), "half");
    writeFile(d / (".device-token.tmp-" + dead + "-abcdef012345"), "secret");
    // A live writer (this process), a name without a writer, other files.
    writeFile(d / (".state.json.tmp-" + self + "-0123456789ab"), "busy");
    writeFile(d / ".state.json.tmp-0123456789ab", "unknown writer");
    writeFile(d / (".state.json.tmp-" + dead + "-notours"), "other");
    writeFile(d / ("state.json.tmp-" + dead + "-0123456789ab"), "not hidden");
    // Never followed or removed when not a plain file.
    fs::create_directory(d / (".dir.tmp-" + dead + "-0123456789ab"));
    fs::create_symlink(d / "state.json", d / (".link.tmp-" + dead + "-0123456789ab"));

    EXPECT_EQ(brivet::removeStaleTemporaryFiles(d), 2u);
    EXPECT_FALSE(fs::exists(d / (".state.json.tmp-" + dead + "-0123456789ab")));
    EXPECT_FALSE(fs::exists(d / (".device-token.tmp-" + dead + "-abcdef012345")));
    EXPECT_EQ(entries(d), 7u);
    EXPECT_EQ(keldra::test::readFile(d / "state.json"), "{}");
    EXPECT_EQ(brivet::removeStaleTemporaryFiles(d / "missing"), 0u);

    // A writer that really died in the middle of a write.
    const pid_t child = ::fork();
    if (child == 0) {
        dieInFileSync = true;
        atomicWrite(d / "state.json", "never in place");
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(entries(d), 8u);
    EXPECT_EQ(brivet::removeStaleTemporaryFiles(d), 1u);
    EXPECT_EQ(entries(d), 7u);
    EXPECT_EQ(keldra::test::readFile(d / "state.json"), "{}");
}

TEST(AtomicFile, DamagedFilesOfEveryKindAreMovedAsideWithoutReplacingEarlierCopies) {
    TempDir dir;
    const fs::path file = dir.path() / "state.json";
    const std::vector<std::pair<std::string, std::function<void()>>> kinds = {
        {"regular", [&] { writeFile(file, "{"); }},
        {"symlink", [&] { fs::create_symlink(dir.path() / "nowhere", file); }},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
        {"directory", [&] { fs::create_directory(file); }},
    };
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        SCOPED_TRACE(kinds[i].first);
        kinds[i].second();
        const std::string aside = i == 0 ? "state.json.bad" : "state.json.bad." + std::to_string(i);
        EXPECT_EQ(brivet::setAsideDamaged(file, "the state", "cut short").line,
                  "the state in " + file.string() + " cannot be used (cut short); moved it aside to " + aside);
        EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir.path() / aside)));
    }
    EXPECT_EQ(keldra::test::readFile(dir.path() / "state.json.bad"), "{");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "state.json.bad.1"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "state.json.bad.3"));
}

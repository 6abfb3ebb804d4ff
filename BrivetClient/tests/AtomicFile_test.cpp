#include "keldra/TestFiles.h"
#include "BrivetClient/AtomicFile.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using brivet::atomicWrite;

namespace {
using keldra::test::TempDir;

using keldra::test::modeOf;
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

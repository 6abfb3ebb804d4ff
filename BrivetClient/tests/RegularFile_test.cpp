#include "BrivetClient/RegularFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "BrivetClient/Events.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/StateStore.h"
#include "StoresTestSupport.h"

namespace brivet {
namespace {

namespace fs = std::filesystem;
using storestest::readFile;
using storestest::TempDir;
using storestest::writeFile;

// A reader that blocks on a FIFO would hang the test: end it instead.
class Watchdog {
public:
    Watchdog() { ::alarm(60); }
    ~Watchdog() { ::alarm(0); }
};

void makeFifo(const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }

TEST(RegularFile, ReadsRegularFilesAndReportsMissingOnes) {
    TempDir dir;
    std::string out = "stale";
    EXPECT_FALSE(readRegularFile(dir / "absent", out));
    EXPECT_FALSE(readRegularFile(dir / "absent" / "below", out));

    writeFile(dir / "file", std::string("a\0b", 3));
    ASSERT_TRUE(readRegularFile(dir / "file", out));
    EXPECT_EQ(out, std::string("a\0b", 3));
    writeFile(dir / "empty", "");
    ASSERT_TRUE(readRegularFile(dir / "empty", out));
    EXPECT_EQ(out, "");

    // Relative to an open directory.
    const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(readRegularFileAt(fd, "file", out));
    EXPECT_FALSE(readRegularFileAt(fd, "absent", out));
    ::close(fd);
}

TEST(RegularFile, RefusesEverythingButARegularFileWithinTheLimit) {
    Watchdog watchdog;
    TempDir dir;
    writeFile(dir / "secret", "other file");
    fs::create_symlink(dir / "secret", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    makeFifo(dir / "fifo");
    fs::create_directory(dir / "folder");
    writeFile(dir / "big", std::string(101, 'x'));

    std::string out;
    for (const char* name : {"link", "dangling", "fifo", "folder"}) {
        EXPECT_THROW(readRegularFile(dir / name, out), NotRegularFileError) << name;
    }
    EXPECT_THROW(readRegularFile("/dev/zero", out), NotRegularFileError);
    EXPECT_THROW(readRegularFile(dir / "big", out, 100), NotRegularFileError);
    EXPECT_TRUE(readRegularFile(dir / "big", out, 101));
    EXPECT_EQ(out.size(), 101u);
    // A writer waiting on the FIFO does not make it readable either.
    const int writer = ::open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_THROW(readRegularFile(dir / "fifo", out), NotRegularFileError);
    ::close(writer);
}

TEST(RegularFile, LimitHoldsTheLargestRulesDocument) {
    // A million rules of names at the 253-byte limit, blocked for a long
    // category: the bytes one rule takes in filter-rules.json, times a million.
    const std::string category(64, 'c');
    std::vector<BlockRule> rules;
    for (int i = 0; i < 100; ++i) {
        std::string name = std::to_string(i) + ".";
        while (name.size() < 253) name += name.size() % 64 == 63 ? '.' : 'a';
        rules.push_back(BlockRule{i % 2 ? "domain" : "domain_suffix", name.substr(0, 253)});
    }
    FilterRules empty;
    FilterRules document;
    document.categories = {category};
    document.ruleSet = RuleSet({category}, {}, {}, {Blocklist{category, 1, rules}});
    const double perRule =
        static_cast<double>(document.encode().size() - empty.encode().size()) / static_cast<double>(rules.size());
    EXPECT_GT(perRule, 253.0);
    EXPECT_LT(perRule * 1'000'000, static_cast<double>(kDataFileSizeLimit));
}

// State and the outbox fail to read, exactly as an unreadable file does:
// a planted FIFO or symlink never resets a commitment to a fresh state.
TEST(RegularFile, StateAndOutboxThatAreNoRegularFilesFailToRead) {
    Watchdog watchdog;
    TempDir dir;
    writeFile(dir / "elsewhere.json", "[]");
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "fifo" : "symlink");
        fs::remove(dir / "state.json");
        fs::remove(dir / "events-outbox.json");
        if (fifo) {
            makeFifo(dir / "state.json");
            makeFifo(dir / "events-outbox.json");
        } else {
            fs::create_symlink(dir / "elsewhere.json", dir / "state.json");
            fs::create_symlink(dir / "elsewhere.json", dir / "events-outbox.json");
        }
        FileStateStore store(dir / "state.json", nullptr);
        try {
            store.load();
            ADD_FAILURE() << "a state file that is no regular file loaded";
        } catch (const StateFileError& error) {
            EXPECT_EQ(error.kind(), StateFileError::Kind::read);
        }
        EventOutbox outbox(dir / "events-outbox.json");
        EXPECT_THROW(outbox.pending(), EventOutboxError);
    }
    EXPECT_EQ(readFile(dir / "elsewhere.json"), "[]");
}

TEST(RegularFile, RulesDocumentThatIsNoRegularFileFailsToLoad) {
    Watchdog watchdog;
    TempDir dir;
    makeFifo(dir / "filter-rules.json");
    EXPECT_THROW(FilterRulesStore(dir / "filter-rules.json").load(), FilterRulesStoreError);
}

}  // namespace
}  // namespace brivet

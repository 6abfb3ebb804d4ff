#pragma once
// Temporary directories and file inspection for the store and cache tests.

#include "keldra/TestFiles.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace brivet::storestest {

using TempDir = keldra::test::TempDir;

using keldra::test::modeOf;
using keldra::test::writeFile;

using keldra::test::readFile;

inline std::size_t entryCount(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

}  // namespace brivet::storestest

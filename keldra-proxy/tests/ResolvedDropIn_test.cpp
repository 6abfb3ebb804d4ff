#include "keldra-proxy/ResolvedDropIn.h"
#include "keldra-proxy/ResolverNetworkSetup.h"

#include <gtest/gtest.h>

#include "keldra/TestFiles.h"

namespace brivet {
namespace {

using keldra::test::readFile;
using keldra::test::TempDir;
using keldra::test::writeFile;

struct ResolvedMachine {
    TempDir root{"resolved"};
    ResolvedPaths paths;
    std::filesystem::path resolverFile = root / "resolv.conf";
    std::filesystem::path reloads = root / "reloads";

    ResolvedMachine() {
        std::filesystem::create_directories(root / "run");
        paths.runtime = root / "run";
        paths.dropIn = root / "etc/resolved.conf.d/keldra.conf";
        writeFile(root / "reload", "#!/bin/sh\necho reload >> '" + reloads.string() + "'\n");
        std::filesystem::permissions(root / "reload", std::filesystem::perms::owner_all);
        paths.reload = {(root / "reload").string()};
        writeFile(paths.runtime / "resolv.conf", "nameserver 10.1.1.1\nnameserver 127.0.0.53\nnameserver 10.2.2.2\n");
        writeFile(resolverFile, "# stub\nnameserver 127.0.0.53\noptions edns0\n");
    }

    NetworkSetupResult run(std::vector<std::string> arguments) {
        return runResolverNetworkSetup(arguments, resolverFile, paths);
    }
};

TEST(ResolvedDropIn, PointsResolvedAtTheLocalResolverAndBackWithoutTouchingTheResolverFile) {
    ResolvedMachine machine;
    const std::string stub = readFile(machine.resolverFile);
    ASSERT_TRUE(resolvedManagesDNS(machine.resolverFile, machine.paths));
    // The former servers are resolved's upstreams, never its stub.
    EXPECT_EQ(machine.run({"-getdnsservers", "resolv.conf"}).standardOutput, "10.1.1.1\n10.2.2.2\n");

    EXPECT_EQ(machine.run({"-setdnsservers", "resolv.conf", "127.0.0.1"}).status, 0);
    EXPECT_EQ(readFile(machine.paths.dropIn).find("[Resolve]\nDNS=127.0.0.1\nDomains=~.\n") != std::string::npos, true);
    EXPECT_EQ(keldra::test::modeOf(machine.paths.dropIn), 0644u);
    EXPECT_EQ(machine.run({"-getdnsservers", "resolv.conf"}).standardOutput, "127.0.0.1\n");
    EXPECT_EQ(readFile(machine.reloads), "reload\n");

    // A restore removes the drop-in: resolved's own configuration is back.
    EXPECT_EQ(machine.run({"-setdnsservers", "resolv.conf", "10.1.1.1", "10.2.2.2"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(machine.paths.dropIn));
    EXPECT_EQ(readFile(machine.reloads), "reload\nreload\n");
    EXPECT_EQ(readFile(machine.resolverFile), stub);
}

TEST(ResolvedDropIn, OnlyAStubResolverFileMeansResolvedManagesDNS) {
    ResolvedMachine machine;
    writeFile(machine.resolverFile, "nameserver 127.0.0.53\nnameserver 9.9.9.9\n");
    EXPECT_FALSE(resolvedManagesDNS(machine.resolverFile, machine.paths));
    EXPECT_EQ(machine.run({"-setdnsservers", "resolv.conf", "127.0.0.1"}).status, 0);
    EXPECT_EQ(readFile(machine.resolverFile), "nameserver 127.0.0.1\n");
    EXPECT_FALSE(std::filesystem::exists(machine.paths.dropIn));

    // A link into the runtime folder counts whatever it names.
    std::filesystem::remove(machine.resolverFile);
    std::filesystem::create_symlink(machine.paths.runtime / "resolv.conf", machine.resolverFile);
    EXPECT_TRUE(resolvedManagesDNS(machine.resolverFile, machine.paths));
    std::filesystem::remove_all(machine.paths.runtime);
    EXPECT_FALSE(resolvedManagesDNS(machine.resolverFile, machine.paths));
}

TEST(ResolvedDropIn, AFailedReloadIsReported) {
    ResolvedMachine machine;
    machine.paths.reload = {"false"};
    const auto result = machine.run({"-setdnsservers", "resolv.conf", "127.0.0.1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.standardError.find("reloading systemd-resolved failed"), std::string::npos);
}

}  // namespace
}  // namespace brivet

// The keldra-proxy program as a user runs it: command lines it refuses.
#include "RealDNS.h"

#include "BrivetClient/FilterRules.h"
#include "BrivetClient/Models.h"
#include "keldra-proxy/Options.h"

#include <fcntl.h>

using namespace keldra_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

class ProxyProgram : public ::testing::Test {
protected:
    void SetUp() override {
        env = dir.path() / "env.json";
        std::ofstream(env) << R"({"name":"test deployment","api_base_url":"http://127.0.0.1:9",)"
                           << R"("policy_keys":[{"id":"k1","public":"AAAA"}],"release_keys":[],"other":true})";
        data = dir.path() / "data";
    }

    // Runs the program to its end; standard output and error apart.
    CommandResult run(const std::string& arguments, std::string* standardError = nullptr) {
        const fs::path err = dir.path() / "stderr";
        auto result = runCommand(std::string(KELDRA_PROXY_PATH) + " " + arguments + " 2>" + quoted(err.string()), false);
        if (standardError) {
            *standardError = readFile(err);
        }
        return result;
    }
    std::string base() const { return "--env " + quoted(env.string()) + " --dir " + quoted(data.string()); }

    TempDir dir;
    fs::path env;
    fs::path data;
};

TEST_F(ProxyProgram, CommandLineMistakesEndWithTheirTextsAndStatuses) {
    std::string err;
    auto help = run("--once -h", &err);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output, std::string(brivet::kUsageLine) + "\n");

    auto unknown = run("--once --bogus -h", &err);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(err, "unknown argument --bogus\n");
    EXPECT_EQ(unknown.output, "");

    for (const char* listen : {"127.0.0.1", ":53", "127.0.0.1:70000", "[::1]:53", "127.0.0.1:0", "nonsense"}) {
        auto bad = run(base() + " --listen " + quoted(listen));
        EXPECT_EQ(bad.status, 2) << listen;
        EXPECT_TRUE(bad.output.ends_with(" --listen must be HOST:PORT\n")) << bad.output;
        EXPECT_EQ(bad.output.find("server "), std::string::npos);
    }

    // The settings would point at 127.0.0.1:53 while nothing serves there.
    auto assertElsewhere = run(base() + " --assert-dns --listen 127.0.0.1:5354");
    EXPECT_EQ(assertElsewhere.status, 2);
    EXPECT_NE(assertElsewhere.output.find("--assert-dns"), std::string::npos) << assertElsewhere.output;
    EXPECT_EQ(assertElsewhere.output.find("server "), std::string::npos);

    auto noEnvironment = run("--env " + quoted((dir.path() / "missing.json").string()));
    EXPECT_EQ(noEnvironment.status, 1);
    EXPECT_NE(noEnvironment.output.find(" cannot load Environment.json: "), std::string::npos);

    std::ofstream(env) << R"({"name":"x","api_base_url":"http://h","policy_keys":[]})";
    auto lacksKeys = run(base());
    EXPECT_EQ(lacksKeys.status, 1);
    EXPECT_NE(lacksKeys.output.find(" cannot load Environment.json: "), std::string::npos);
}

}  // namespace

// The resolver-level installer and the status document reader.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "BrivetClient/JSONCoding.h"
#include "Keldra/BetaProxy.h"
#include "keldra/TestFiles.h"

namespace {

using keldra::AdministratorRunner;
using keldra::BetaError;
using keldra::BetaPaths;
using keldra::BetaProxy;
using keldra::BetaStatus;
using keldra::test::TempDir;
using keldra::test::writeFile;

void writeExecutable(const std::filesystem::path& path, const std::string& text) {
    writeFile(path, text);
    ::chmod(path.c_str(), 0755);
}

// A bundle whose install.sh records its arguments, NUL-separated, in
// <resources>/args, and a stand-in pkexec whose behaviour a file picks.
struct InstallFixture : ::testing::Test {
    TempDir dir{"keldra-beta"};
    std::filesystem::path app = dir / "Keldra.app";
    std::filesystem::path resources = app / "Contents" / "Resources";
    std::filesystem::path bin = dir / "bin";
    BetaPaths paths;

    void SetUp() override {
        std::filesystem::create_directories(resources);
        std::filesystem::create_directories(bin);
        writeExecutable(resources / "keldra-proxy", "#!/bin/sh\n");
        writeExecutable(resources / "keldra-networksetup", "#!/bin/sh\n");
        writeFile(resources / "install.sh",
                  "printf '%s\\0' \"$@\" > \"$1/args\"\n"
                  "if [ -f \"$1/script-fails\" ]; then cat \"$1/script-fails\" >&2; exit 3; fi\n"
                  "echo 'done' ; echo 'a warning' >&2\n");
        writeExecutable(bin / "pkexec",
                        "#!/bin/sh\n"
                        "mode=$(cat \"$(dirname \"$0\")/mode\" 2>/dev/null)\n"
                        "case \"$mode\" in\n"
                        "  dismiss) exit 126 ;;\n"
                        "  refuse) echo 'Error executing command as another user: Not authorized' >&2; exit 127 ;;\n"
                        "  prompt) d=$(dirname \"$0\"); trap 'echo ended > \"$d/ended\"; exit 126' TERM\n"
                        "          echo $$ > \"$d/prompt\"; while :; do sleep 0.05; done ;;\n"
                        "  stopped) d=$(dirname \"$0\"); trap 'echo ended > \"$d/ended\"; exit 126' TERM\n"
                        "          echo $$ > \"$d/prompt\"; kill -STOP $$; while :; do sleep 0.05; done ;;\n"
                        "esac\n"
                        "exec \"$@\"\n");
        paths = BetaPaths::forBundle(keldra::Bundle(app), dir / "root");
    }
    void pkexecMode(const std::string& mode) { writeFile(bin / "mode", mode); }
    std::vector<std::string> recordedArguments() const {
        std::string bytes = keldra::test::readFile(resources / "args");
        std::vector<std::string> out;
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t end = bytes.find('\0', at);
            out.push_back(bytes.substr(at, end - at));
            at = end + 1;
        }
        return out;
    }
    std::string installError(const std::optional<std::string>& code, const std::string& name) {
        keldra::PkexecRunner runner(bin.string(), false);
        try {
            BetaProxy::install(paths, code, name, runner);
            return "ok";
        } catch (const BetaError& error) {
            return error.description();
        }
    }
};

TEST_F(InstallFixture, WordsReachTheScriptUnchangedAsSingleArguments) {
    EXPECT_EQ(paths.root, dir / "root/var/lib/keldra");
    EXPECT_EQ(paths.daemonPlist, dir / "root/etc/systemd/system/keldra-proxy.service");
    EXPECT_EQ(paths.statusFile(), dir / "root/var/lib/keldra/status.json");
    EXPECT_EQ(paths.resources, resources);

    const std::vector<std::string> names = {"Kid's Mac", "say \"hi\" \\ back\\", "$(touch pwned) `touch pwned2` $HOME",
                                            "line one\nline two", "--help", "-e", "*", ""};
    for (const std::string& name : names) {
        ASSERT_EQ(installError(std::string("  -code'\"$(x)"), name), "ok") << name;
        EXPECT_EQ(recordedArguments(),
                  (std::vector<std::string>{resources.string(), "  -code'\"$(x)", name}))
            << name;
    }
    EXPECT_FALSE(std::filesystem::exists(resources / "pwned"));
    EXPECT_FALSE(std::filesystem::exists("pwned2"));

    // An absent code is an empty argument, not a missing one.
    ASSERT_EQ(installError(std::nullopt, "Mac"), "ok");
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{resources.string(), "", "Mac"}));
}

TEST_F(InstallFixture, FailuresMapToTheirTexts) {
    pkexecMode("dismiss");
    EXPECT_EQ(installError("c", "n"), "Cancelled.");
    pkexecMode("refuse");
    EXPECT_EQ(installError("c", "n"), "Error executing command as another user: Not authorized");

    pkexecMode("pass");
    writeFile(resources / "script-fails", "  \n keldra-proxy could not enrol: code expired \n\n");
    EXPECT_EQ(installError("c", "n"), "keldra-proxy could not enrol: code expired");
    writeFile(resources / "script-fails", " \t\n");
    EXPECT_EQ(installError("c", "n"), "The installation did not finish.");
    std::filesystem::remove(resources / "script-fails");
    EXPECT_EQ(installError("c", "n"), "ok");  // exit 0 wins over the error output

    // No pkexec on the search path: the launch failure's description.
    keldra::PkexecRunner nowhere((dir / "empty").string(), false);
    try {
        BetaProxy::install(paths, "c", "n", nowhere);
        FAIL();
    } catch (const BetaError& error) {
        EXPECT_EQ(error.value(), BetaError::Case::installFailed);
        EXPECT_NE(error.description().find("pkexec"), std::string::npos) << error.description();
    }
}

TEST_F(InstallFixture, AsRootTheSameWordsRunWithoutPkexec) {
    pkexecMode("dismiss");  // would cancel if it were used
    keldra::PkexecRunner asRoot((dir / "empty").string(), true);
    BetaProxy::install(paths, "c", "n", asRoot);
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{resources.string(), "c", "n"}));
}

TEST_F(InstallFixture, BothOutputsAreDrainedWhileTheScriptWrites) {
    // Far more than a pipe holds, on both outputs, interleaved.
    writeFile(resources / "install.sh",
              "i=0; while [ $i -lt 2000 ]; do\n"
              "  printf '%0512d\\n' $i; printf '%0512d\\n' $i >&2; i=$((i+1)); done\n"
              "exit 0\n");
    keldra::PkexecRunner runner(bin.string(), false);
    AdministratorRunner::Result result = runner.run(BetaProxy::installArguments(paths, "c", "n"));
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError.size(), 2000u * 513u);
}

TEST_F(InstallFixture, EndingPromptsEndsAWaitingPkexecStartsNoOtherAndLetsARootStepFinish) {
    const auto waitFor = [](const std::filesystem::path& file) {
        for (int i = 0; i < 200 && !std::filesystem::exists(file); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return std::filesystem::exists(file);
    };
    const auto installLater = [this](std::shared_ptr<keldra::PkexecRunner> runner) {
        return std::async(std::launch::async, [this, runner] {
            try {
                BetaProxy::install(paths, "c", "n", *runner);
                return std::string("ok");
            } catch (const BetaError& error) {
                return error.description();
            }
        });
    };

    // pkexec waits for the password, as the user (also when stopped, as a
    // terminal stops a background reader): it is ended, and no later run
    // shows another prompt.
    std::shared_ptr<keldra::PkexecRunner> runner;
    for (const char* mode : {"prompt", "stopped"}) {
        SCOPED_TRACE(mode);
        pkexecMode(mode);
        std::filesystem::remove(bin / "prompt");
        std::filesystem::remove(bin / "ended");
        runner = std::make_shared<keldra::PkexecRunner>(bin.string(), false);
        auto waiting = installLater(runner);
        ASSERT_TRUE(waitFor(bin / "prompt"));
        const pid_t pid = std::stoi(keldra::test::readFile(bin / "prompt"));
        const auto stopped = [pid] {
            const std::string stat = keldra::test::readFile("/proc/" + std::to_string(pid) + "/stat");
            const auto close = stat.rfind(") ");
            return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'T';
        };
        for (int i = 0; i < 200 && std::string(mode) == "stopped" && !stopped(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_EQ(stopped(), std::string(mode) == "stopped");
        runner->endPrompts();
        if (waiting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) ::kill(pid, SIGKILL);
        EXPECT_TRUE(waitFor(bin / "ended")) << "the prompt outlived the quit";
        EXPECT_EQ(waiting.get(), "Cancelled.");
        EXPECT_FALSE(std::filesystem::exists(resources / "args"));
    }
    pkexecMode("pass");  // would run the script, were pkexec started again
    EXPECT_EQ(installLater(runner).get(), "Cancelled.");
    EXPECT_FALSE(std::filesystem::exists(resources / "args"));

    // A step that already has administrator rights finishes.
    writeFile(resources / "install.sh",
              "touch \"$1/started\"; sleep 0.5; printf '%s\\0' \"$@\" > \"$1/args\"\n");
    auto asRoot = std::make_shared<keldra::PkexecRunner>(bin.string(), true);
    auto authorised = installLater(asRoot);
    ASSERT_TRUE(waitFor(resources / "started"));
    asRoot->endPrompts();
    EXPECT_EQ(authorised.get(), "ok");
    EXPECT_EQ(recordedArguments(), (std::vector<std::string>{resources.string(), "c", "n"}));
}

TEST_F(InstallFixture, IncompleteBundleFailsBeforeAnyPrompt) {
    for (const char* part : {"keldra-proxy", "keldra-networksetup", "install.sh"}) {
        SetUp();
        std::filesystem::remove(resources / part);
        EXPECT_FALSE(BetaProxy::bundleComplete(paths)) << part;
        EXPECT_EQ(installError("c", "n"), "This copy of the app is missing its service. Download it again.");
        EXPECT_FALSE(std::filesystem::exists(resources / "args")) << part;
    }
}

TEST(BetaResults, ExitStatusAndErrorOutput) {
    auto mapped = [](int status, const std::string& error) -> std::string {
        try {
            BetaProxy::checkResult({status, error});
            return "ok";
        } catch (const BetaError& failure) {
            return failure.description();
        }
    };
    EXPECT_EQ(mapped(0, "User canceled"), "ok");
    EXPECT_EQ(mapped(1, "execution error: User canceled. (-128)"), "Cancelled.");
    EXPECT_EQ(mapped(1, "something -128 something"), "Cancelled.");
    EXPECT_EQ(mapped(126, ""), "Cancelled.");
    EXPECT_EQ(mapped(2, "\xff\xfe bad bytes"), "The installation did not finish.");  // undecodable: empty
    EXPECT_EQ(mapped(137, ""), "The installation did not finish.");
    EXPECT_EQ(BetaError::installFailed("").description(), "The installation did not finish.");
    EXPECT_EQ(BetaError::installFailed("x"), BetaError::installFailed("x"));
}

std::string statusJSON(const std::string& replace = "") {
    brivet::Json doc = brivet::JSONCoding::parse(R"({"answered":10,"blocked":2,"categories":["ads","social_media"],
        "committed":true,"deviceId":"dev-1","dnsAsserted":true,"enrolled":true,"errors":["heartbeat: transport x"],
        "filterRunning":true,"lastTickAt":"2026-01-02T03:04:05Z","lockedUntil":"2026-02-01T00:00:00Z",
        "policySeq":7,"state":"protected","version":"0.1.0-macos-beta"})");
    if (!replace.empty()) {
        brivet::Json patch = brivet::JSONCoding::parse(replace);
        for (auto& [key, value] : patch.items()) {
            if (value.is_string() && value.get<std::string>() == "<remove>") {
                doc.erase(key);
            } else {
                doc[key] = value;
            }
        }
    }
    return doc.dump();
}

TEST(BetaStatusReader, OptionalAndRequiredMembers) {
    BetaStatus status = BetaStatus::decode(statusJSON());
    EXPECT_EQ(status.version, "0.1.0-macos-beta");
    EXPECT_EQ(status.categories, (std::vector<std::string>{"ads", "social_media"}));
    EXPECT_EQ(status.dnsAsserted, std::optional<bool>(true));
    EXPECT_EQ(status.blocked, 2);

    for (const char* optional : {"deviceId", "state", "dnsAsserted", "lockedUntil"}) {
        std::string name(optional);
        BetaStatus missing = BetaStatus::decode(statusJSON("{\"" + name + "\":\"<remove>\"}"));
        BetaStatus null = BetaStatus::decode(statusJSON("{\"" + name + "\":null}"));
        EXPECT_EQ(missing, null) << name;
    }
    EXPECT_EQ(BetaStatus::decode(statusJSON(R"({"extra":{"x":1}})")), status);  // unknown keys ignored

    for (const char* bad : {R"({"policySeq":"<remove>"})", R"({"lastTickAt":"<remove>"})", R"({"enrolled":null})",
                            R"({"policySeq":"7"})", R"({"policySeq":7.5})", R"({"policySeq":1e30})",
                            R"({"blocked":18446744073709551616})", R"({"categories":[1]})",
                            R"({"errors":null})", R"({"dnsAsserted":"yes"})", R"({"deviceId":5})"}) {
        EXPECT_THROW(BetaStatus::decode(statusJSON(bad)), brivet::DecodingError) << bad;
    }
    EXPECT_THROW(BetaStatus::decode("{\"version\":\"\xc3\x28\"}"), brivet::DecodingError);
    EXPECT_THROW(BetaStatus::decode(std::string(100000, '[')), brivet::DecodingError);
}

TEST(BetaStatusReader, FilesThatCannotBeRead) {
    TempDir dir("keldra-status");
    auto file = dir / "status.json";
    EXPECT_EQ(BetaStatus::read(file), std::nullopt);
    writeFile(file, statusJSON());
    EXPECT_TRUE(BetaStatus::read(file).has_value());
    writeFile(file, statusJSON(R"({"policySeq":"<remove>"})"));
    EXPECT_EQ(BetaStatus::read(file), std::nullopt);

    // 100 MB of valid JSON: refused for its size, not read.
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        std::string doc = statusJSON();
        doc.insert(doc.size() - 1, ",\"pad\":\"" + std::string(100 * 1000 * 1000, 'x') + "\"");
        out << doc;
    }
    EXPECT_EQ(BetaStatus::read(file), std::nullopt);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(BetaStatus::read(file), std::nullopt);
}

}  // namespace

// Runs keldra-dev-service as a process, the way shell tests and the demo do,
// and drives it through its control endpoints.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "keldra/TestFiles.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

using keldra::test::readFile;

class ServiceProcess {
public:
    ServiceProcess(const fs::path& dir, std::vector<std::string> args)
        : log_(dir / ("out-" + std::to_string(++count_) + ".log")) {
        args.insert(args.begin(), KELDRA_DEV_SERVICE_BIN);
        int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fd);
    }
    ~ServiceProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The first line the program prints: its base URL. Empty when it ended
    // or printed nothing within ten seconds.
    std::string baseURL() {
        for (int i = 0; i < 1000; ++i) {
            std::string text = readFile(log_);
            if (auto nl = text.find('\n'); nl != std::string::npos) return text.substr(0, nl);
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                pid_ = -1;
                return "";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }

    // Sends `signal` (none: just waits) and returns the exit status.
    int finish(int signal = 0) {
        if (pid_ > 0) {
            if (signal) ::kill(pid_, signal);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus_;
    }

    std::string output() const { return readFile(log_); }

private:
    static inline int count_ = 0;
    fs::path log_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

class DevServiceProcessTest : public ::testing::Test {
protected:
    keldra::test::TempDir tmp{"devservice-process"};
    const fs::path dir = tmp.path();
};

int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

TEST_F(DevServiceProcessTest, ServesWhatItWasStartedWithAndObeysItsControlEndpoints) {
    std::ofstream(dir / "policy.json")
        << R"({"kind":"commitment","commitment_id":"c1","categories":["adult"],"blocklist_version":4})";
    std::ofstream(dir / "adult.json")
        << R"({"version":4,"rules":[{"rule_type":"domain","value":"bad.example"}]})";
    std::ofstream(dir / "social.json") << R"([{"rule_type":"domain_suffix","value":"feed.example"}])";

    ServiceProcess proc(dir, {"--listen", "127.0.0.1:0", "--env-out", (dir / "env.json").string(),
                              "--accept-code", "CODE-9", "--policy", (dir / "policy.json").string(),
                              "--blocklist", "adult=" + (dir / "adult.json").string(),
                              "--blocklist", "social=" + (dir / "social.json").string(),
                              "--keys-dir", (dir / "keys").string(), "--name", "Demo"});
    std::string url = proc.baseURL();
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << proc.output();
    auto env = json::parse(readFile(dir / "env.json"));
    EXPECT_EQ(env["api_base_url"], url);
    EXPECT_EQ(env["name"], "Demo");

    httplib::Client c("127.0.0.1", portOf(url));
    EXPECT_EQ(json::parse(c.Get("/_dev/environment")->body), env);

    json enrol = {{"code", "CODE-9"}, {"platform", "macos"}, {"name", "m"}, {"installation_id", "i"}};
    auto res = c.Post("/api/v1/enrollments", enrol.dump(), "application/json");
    ASSERT_EQ(res->status, 201);
    std::string token = json::parse(res->body)["device_token"].get<std::string>();
    httplib::Headers auth = {{"Authorization", "Bearer " + token}};

    auto policy = c.Get("/api/v1/device/policy", auth);
    ASSERT_EQ(policy->status, 200);
    auto payload = devtest::verifyEnvelope(
        policy->body, json{{"policy_keys", env["policy_keys"]}}.dump(), "policy_keys");
    ASSERT_TRUE(payload);
    EXPECT_EQ(json::parse(*payload)["commitment_id"], "c1");
    EXPECT_EQ(json::parse(*payload)["policy_seq"], 1);
    EXPECT_EQ(c.Get("/api/v1/blocklists/adult/4")->status, 200);
    EXPECT_EQ(c.Get("/api/v1/blocklists/adult/5")->status, 404);
    EXPECT_EQ(json::parse(c.Get("/api/v1/blocklists/social/77")->body)["version"], 77);

    // A new policy through the control endpoint gets the next sequence.
    res = c.Post("/_dev/policy", R"({"kind":"blocking_only"})", "application/json");
    EXPECT_EQ(json::parse(res->body)["policy_seq"], 2);
    auto etagged = c.Get("/api/v1/device/policy", httplib::Headers{{"Authorization", "Bearer " + token},
                                                                   {"If-None-Match", "\"1\""}});
    EXPECT_EQ(etagged->status, 200);
    EXPECT_EQ(etagged->get_header_value("ETag"), "\"2\"");
    res = c.Post("/_dev/policy?seq=1", R"({"kind":"blocking_only"})", "application/json");
    EXPECT_EQ(json::parse(res->body)["policy_seq"], 1);

    // Failure injection for one request, then the normal answer.
    EXPECT_EQ(c.Post("/_dev/fail/time_attestation", R"({"status":503,"code":"down","times":1})",
                     "application/json")->status,
              200);
    auto failed = c.Post("/api/v1/device/time-attestations", auth, R"({"nonce":"n"})", "application/json");
    EXPECT_EQ(failed->status, 503);
    EXPECT_EQ(json::parse(failed->body)["error"]["code"], "down");
    EXPECT_EQ(c.Post("/api/v1/device/time-attestations", auth, R"({"nonce":"n"})", "application/json")->status,
              200);
    EXPECT_EQ(c.Post("/_dev/fail/nowhere", "{}", "application/json")->status, 400);

    auto requests = json::parse(c.Get("/_dev/requests?endpoint=time_attestation")->body);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["status"], 503);
    EXPECT_EQ(requests[1]["body"], R"({"nonce":"n"})");
    EXPECT_EQ(requests[1]["headers"]["authorization"], "Bearer " + token);
    auto counters = json::parse(c.Get("/_dev/counters")->body);
    EXPECT_EQ(counters["enrollments"], 1);
    EXPECT_EQ(counters["time_attestations"], 1);
    EXPECT_EQ(counters["injected_failures"], 1);
    EXPECT_EQ(counters["policy_seq"], 1);
    EXPECT_EQ(json::parse(c.Get("/_dev/devices")->body).size(), 1u);

    // The release document through the control endpoint.
    c.Post("/_dev/release", R"({"effective_at":"2030-01-01T00:00:00Z","minimum_client_version":1})",
           "application/json");
    auto release = json::parse(c.Get("/.well-known/brivet/release.json")->body)["release"];
    EXPECT_TRUE(devtest::verifyEnvelope(release.dump(), json{{"release_keys", env["release_keys"]}}.dump(),
                                        "release_keys"));

    EXPECT_EQ(proc.finish(SIGTERM), 0);
    std::string out = proc.output();
    EXPECT_NE(out.find("POST /api/v1/enrollments -> 201\n"), std::string::npos) << out;
    EXPECT_NE(out.find("GET /api/v1/blocklists/adult/5 -> 404\n"), std::string::npos) << out;

    // A restart over the same keys directory publishes the same keys.
    ServiceProcess again(dir, {"--env-out", (dir / "env2.json").string(), "--keys-dir",
                               (dir / "keys").string(), "--name", "Demo"});
    ASSERT_FALSE(again.baseURL().empty()) << again.output();
    auto env2 = json::parse(readFile(dir / "env2.json"));
    EXPECT_EQ(env2["policy_keys"], env["policy_keys"]);
    EXPECT_EQ(env2["release_keys"], env["release_keys"]);
    EXPECT_EQ(again.finish(SIGINT), 0);
}

TEST_F(DevServiceProcessTest, RefusesBadCommandLinesAndFiles) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, {"--listen", "nonsense"}, {"--listen", "127.0.0.1:70000"},
          {"--blocklist", "nofile"}, {"--accept-code"}}) {
        ServiceProcess proc(dir, args);
        EXPECT_EQ(proc.finish(), 2) << args[0];
    }
    ServiceProcess help(dir, {"--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_EQ(help.output().rfind("usage: keldra-dev-service", 0), 0u);

    ServiceProcess missing(dir, {"--policy", (dir / "absent.json").string()});
    EXPECT_EQ(missing.finish(), 1);
    std::ofstream(dir / "array.json") << "[1]";
    ServiceProcess notObject(dir, {"--policy", (dir / "array.json").string()});
    EXPECT_EQ(notObject.finish(), 1);
}

}  // namespace

#include "keldra-proxy/DevEnvironment.h"
#include "keldra-proxy/Log.h"
#include "keldra-proxy/Startup.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

TEST(DevEnvironment, DecodesSnakeCaseKeysAndIgnoresOthers) {
    const auto environment = brivet::DevEnvironment::decode(
        R"({"name":"staging","api_base_url":"https://api.example.test/v1","extra_key":{"a":1},)"
        R"("policy_keys":[{"id":"p1","public":"cHVibGlj","state":"active"}],)"
        R"("release_keys":[{"id":"r1","public":"cmVsZWFzZQ"}]})");
    EXPECT_EQ(environment.name, "staging");
    EXPECT_EQ(environment.apiBaseUrl, "https://api.example.test/v1");
    ASSERT_EQ(environment.policyKeys.size(), 1u);
    EXPECT_EQ(environment.policyKeys[0].id, "p1");
    EXPECT_EQ(environment.policyKeys[0].state, "active");
    ASSERT_EQ(environment.releaseKeys.size(), 1u);
    EXPECT_FALSE(environment.releaseKeys[0].state);

    // The field names themselves match too.
    EXPECT_NO_THROW(brivet::DevEnvironment::decode(
        R"({"name":"n","apiBaseUrl":"http://h","policyKeys":[],"releaseKeys":[]})"));
}

TEST(DevEnvironment, EveryKeyIsRequiredAndMalformedFilesFail) {
    for (const char* bad : {
             R"({"name":"n","api_base_url":"http://h","policy_keys":[]})",
             R"({"api_base_url":"http://h","policy_keys":[],"release_keys":[]})",
             R"({"name":"n","api_base_url":"","policy_keys":[],"release_keys":[]})",
             R"({"name":"n","api_base_url":"http://h","policy_keys":[{"id":"x"}],"release_keys":[]})",
             R"({"name":7,"api_base_url":"http://h","policy_keys":[],"release_keys":[]})",
             R"([1,2])",
             "not json",
         }) {
        EXPECT_THROW(brivet::DevEnvironment::decode(bad), brivet::EnvironmentError) << bad;
    }
    EXPECT_THROW(brivet::DevEnvironment::load("/nonexistent/Environment.json"), brivet::EnvironmentError);
}

TEST(Startup, AssertDNSNeedsTheProxyOnPort53OfLoopback) {
    EXPECT_FALSE(brivet::assertDNSListenProblem("127.0.0.1", 53));
    for (const auto& [host, port] : std::vector<std::pair<std::string, std::uint16_t>>{
             {"127.0.0.1", 5354}, {"0.0.0.0", 53}, {"127.0.0.2", 53}, {"localhost", 53}}) {
        const auto problem = brivet::assertDNSListenProblem(host, port);
        ASSERT_TRUE(problem) << host << ":" << port;
        EXPECT_NE(problem->find(host + ":" + std::to_string(port)), std::string::npos);
    }
}

TEST(Startup, RaisesTheSoftOpenFileLimitToTheHardOne) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(brivet::raiseOpenFileLimit(), static_cast<std::uint64_t>(saved.rlim_max));
    rlimit now{};
    ::getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(Log, LinesStartWithTheTimeInUtcWithoutFractions) {
    EXPECT_EQ(brivet::formatLogLine(1769850300, "tick enrolled=true"), "2026-01-31T09:05:00Z tick enrolled=true");
    EXPECT_EQ(brivet::formatLogLine(0, ""), "1970-01-01T00:00:00Z ");
}

}  // namespace

// The fuzzer's seed corpus holds envelopes that still verify against the
// fuzzer's fixed keys and reach the outcomes they were written for, so the
// fuzzer starts from inputs that get past the signature check.
#include "CoreTestSupport.h"
#include "FuzzInput.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

TEST(FuzzCorpus, SeedsReachTheirOutcomes) {
    const std::map<std::string, std::string> expected = {
        {"policy_applied", "applied"},          {"policy_ignored", "ignored"},
        {"policy_weaker", "weaker_without_release"}, {"policy_release", "applied"},
        {"release_ok", "ok"},                   {"release_not_yet", "not_effective_until"},
        {"attestation_ok", "ok"},               {"attestation_nonce", "nonce_mismatch"}};
    for (const auto& [name, outcome] : expected) {
        std::ifstream in(std::string(BRIVET_FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto call = brivet::fuzzing::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        auto reply = nlohmann::json::parse(brivet::testing::take(call.run()));
        std::string got = reply["ok"].get<bool>() ? (reply.contains("outcome") ? reply["outcome"].get<std::string>() : "ok")
                                                  : reply["error"].get<std::string>();
        EXPECT_EQ(got, outcome) << name << ": " << reply.dump();
    }
}

TEST(FuzzCorpus, InputDecoding) {
    const std::string bytes = brivet::fuzzing::encode(2 + 3 * 7, {"E", "\x01"});
    const auto call = brivet::fuzzing::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EXPECT_EQ(call.operation, brivet::fuzzing::Operation::attestation);
    EXPECT_EQ(call.clientVersion, 7u);
    ASSERT_EQ(call.fields.size(), 4u);
    EXPECT_EQ(*call.fields[0], "E");
    EXPECT_FALSE(call.fields[1]);  // NULL device id
    EXPECT_EQ(*call.fields[2], "n1");
    EXPECT_EQ(*call.fields[3], brivet::fuzzing::defaultKeys());
    EXPECT_EQ(brivet::testing::codeOf(call.run()), "invalid_envelope_json");
}

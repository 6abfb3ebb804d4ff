// How the bridge takes the core's replies: NULL, failure replies with and
// without a code, unreadable replies, and that every reply is released
// exactly once on every path.
//
// This executable defines the six core exports itself. Definitions in the
// executable take precedence over those of the shared core library, so the
// bridge calls this scripted core instead.
#include "BrivetCore/BrivetCore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "CoreErrorOf.h"
#include "brivet_core.h"

namespace {

struct ScriptedCore {
    std::optional<std::string> reply;  // none: answer NULL
    int allocated = 0;
    int released = 0;
    std::set<const void*> live;
    bool doubleFree = false;
    // What the last call received.
    bool envelopeWasNull = false;
    bool argumentsWereNull = false;
    std::string now;
};

ScriptedCore core;

char* answer() {
    if (!core.reply) return nullptr;
    char* text = static_cast<char*>(std::malloc(core.reply->size() + 1));
    std::memcpy(text, core.reply->c_str(), core.reply->size() + 1);
    ++core.allocated;
    core.live.insert(text);
    return text;
}

}  // namespace

extern "C" {
char* brivet_core_release_verify(const char* envelope, const char*, const char* now, uint32_t) {
    core.envelopeWasNull = envelope == nullptr;
    core.now = now ? now : "<null>";
    return answer();
}
char* brivet_core_attestation_verify(const char* envelope, const char*, const char* deviceId, const char* nonce) {
    core.envelopeWasNull = envelope == nullptr;
    core.argumentsWereNull = deviceId == nullptr || nonce == nullptr;
    return answer();
}
char* brivet_core_policy_apply(const char*, const char* envelope, const char*) {
    core.envelopeWasNull = envelope == nullptr;
    return answer();
}
int64_t brivet_core_clamp_offline_runtime(int64_t seconds) { return seconds; }
const char* brivet_core_version(void) { return "scripted"; }
void brivet_core_string_free(char* reply) {
    if (!reply) return;
    if (core.live.erase(reply) == 0) core.doubleFree = true;
    ++core.released;
    std::free(reply);
}
}

namespace {

using brivet::Instant;
using brivet::JSONValue;
using brivet::PinnedKeys;
using brivet::BrivetCore::ClientState;
using brivet::BrivetCore::CoreError;
using brivet::BrivetCore::DecodingError;
using bridge_test::coreErrorOf;

class BridgeRepliesTest : public ::testing::Test {
protected:
    void SetUp() override { core = ScriptedCore(); }
    void TearDown() override {
        EXPECT_EQ(core.allocated, core.released) << "a reply leaked";
        EXPECT_TRUE(core.live.empty());
        EXPECT_FALSE(core.doubleFree);
    }

    void applyWith(std::optional<std::string> reply) {
        core.reply = std::move(reply);
        brivet::BrivetCore::applyPolicy(ClientState("d", "i"), "{}", PinnedKeys());
    }
};

TEST_F(BridgeRepliesTest, NullReplyIsCoreReturnedNull) {
    CoreError error = coreErrorOf([&] { applyWith(std::nullopt); });
    EXPECT_EQ(error, CoreError("core_returned_null"));
    EXPECT_TRUE(error.details.empty());
}

TEST_F(BridgeRepliesTest, FailureRepliesBecomeCoreErrorsWithTheWholeReply) {
    CoreError rollback = coreErrorOf([&] { applyWith(R"({"error":"rollback","ok":false})"); });
    EXPECT_EQ(rollback.name, "rollback");
    EXPECT_EQ(rollback.details, (JSONValue::Object{{"error", "rollback"}, {"ok", false}}));

    CoreError unnamed = coreErrorOf([&] { applyWith(R"({"ok":false,"extra":[1,2]})"); });
    EXPECT_EQ(unnamed.name, "unknown");
    EXPECT_EQ(unnamed.details.at("extra"), JSONValue(JSONValue::Array{1, 2}));

    CoreError withNull = coreErrorOf([&] { applyWith(R"({"ok":false,"error":null})"); });
    EXPECT_EQ(withNull.name, "unknown");
    EXPECT_EQ(core.allocated, 3);
}

TEST_F(BridgeRepliesTest, UnreadableRepliesAreDecodingErrorsAndStillReleased) {
    for (const char* reply : {"not json", "[true]", R"({"error":"x"})", R"({"ok":"false"})", R"({"ok":false,"error":5})",
                              R"({"ok":true})", R"({"ok":true,"outcome":"applied"})",
                              R"({"ok":true,"outcome":"other","state":{"device_id":"d","installation_id":"i","highest_policy_seq":0}})",
                              R"({"ok":true,"outcome":"applied","state":{"device_id":"d","installation_id":"i","highest_policy_seq":0.5}})"}) {
        EXPECT_THROW(applyWith(reply), DecodingError) << reply;
    }
    EXPECT_EQ(core.allocated, 9);
}

TEST_F(BridgeRepliesTest, SuccessRepliesDecodeAndIgnoreOtherMembers) {
    core.reply = R"({"ok":true,"outcome":"ignored","extra":1,
                     "state":{"device_id":"d","highest_policy_seq":3,"installation_id":"i","policy":{"v":1},"policy_bytes":"eyJ2IjoxfQ"}})";
    auto result = brivet::BrivetCore::applyPolicy(ClientState("d", "i"), "{}", PinnedKeys());
    EXPECT_EQ(result.outcome, brivet::BrivetCore::PolicyOutcome::ignored);
    EXPECT_EQ(result.state.highestPolicySeq, 3);
    EXPECT_EQ(result.state.policyBytes, "eyJ2IjoxfQ");

    core.reply = R"({"commitment_id":"c","commitment_status":"active","ok":true,"policy_seq":2,"server_time":"2030-01-01T00:00:00Z"})";
    auto attestation = brivet::BrivetCore::verifyAttestation("{}", PinnedKeys(), "d", "n");
    EXPECT_EQ(attestation.commitmentId, "c");
    EXPECT_FALSE(core.argumentsWereNull);
}

// Inputs holding NUL reach the core as no text at all, and the bridge refuses
// them even if the core were to accept.
TEST_F(BridgeRepliesTest, NulInputsAreNeverTruncated) {
    core.reply = R"({"ok":true,"outcome":"applied","state":{"device_id":"d","installation_id":"i","highest_policy_seq":1}})";
    CoreError envelope = coreErrorOf(
        [&] { brivet::BrivetCore::applyPolicy(ClientState("d", "i"), std::string("{}\0x", 4), PinnedKeys()); });
    EXPECT_TRUE(core.envelopeWasNull);
    EXPECT_EQ(envelope, CoreError("invalid_envelope_json", {{"error", "invalid_envelope_json"}, {"ok", false}}));

    core.reply = R"({"commitment_id":null,"commitment_status":"none","ok":true,"policy_seq":2,"server_time":"2030-01-01T00:00:00Z"})";
    CoreError argument = coreErrorOf(
        [&] { brivet::BrivetCore::verifyAttestation("{}", PinnedKeys(), "d", std::string("n\0", 2)); });
    EXPECT_TRUE(core.argumentsWereNull);
    EXPECT_FALSE(core.envelopeWasNull);
    EXPECT_EQ(argument.name, "invalid_argument");
}

TEST_F(BridgeRepliesTest, NowIsPassedInUTCWholeSeconds) {
    using namespace std::chrono;
    core.reply = R"({"effective_at":"2030-01-01T00:00:00Z","key_id":"r","minimum_client_version":1,"ok":true,"reason":"x"})";
    const Instant instant = Instant(sys_days{year{2025} / 3 / 1}) + 8h + 5min + 9s + 750ms;
    brivet::BrivetCore::verifyRelease("{}", PinnedKeys(), instant, 1);
    EXPECT_EQ(core.now, "2025-03-01T08:05:09Z");
    brivet::BrivetCore::verifyRelease("{}", PinnedKeys(), Instant(sys_days{year{1969} / 12 / 31}) + 23h + 59min + 59s + 500ms, 1);
    EXPECT_EQ(core.now, "1969-12-31T23:59:59Z");
    brivet::BrivetCore::verifyRelease("{}", PinnedKeys(), Instant(sys_days{year{0} / 1 / 1}), 1);
    EXPECT_EQ(core.now, "0000-01-01T00:00:00Z");
    brivet::BrivetCore::verifyRelease("{}", PinnedKeys(), Instant(sys_days{year{10000} / 1 / 1}) - 1us, 1);
    EXPECT_EQ(core.now, "9999-12-31T23:59:59Z");
    brivet::BrivetCore::verifyRelease("{}", PinnedKeys(), Instant::min(), 1);
    EXPECT_EQ(core.now, "");
    EXPECT_EQ(brivet::BrivetCore::version(), "scripted");
}

}  // namespace

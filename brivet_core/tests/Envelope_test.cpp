// Envelope steps and the pinned-key document, through the C interface.
#include "CoreTestSupport.h"

#include <gtest/gtest.h>

using namespace brivet::testing;

namespace {

constexpr const char* kNow = "2030-01-01T00:00:00Z";
const std::string kRelease =
    R"({"type":"global_release","v":1,"effective_at":"2029-01-01T00:00:00Z","minimum_client_version":1})";

class EnvelopeTest : public ::testing::Test {
protected:
    TestKey policyKey = generateKey("p1");
    TestKey releaseKey = generateKey("r1");
    std::string keys = keyDocument({&policyKey}, {&releaseKey});

    std::string release(const std::string& envelope, const std::string& keyText) {
        return codeOf(brivet_core_release_verify(envelope.c_str(), keyText.c_str(), kNow, 1));
    }
    std::string release(const std::string& envelope) { return release(envelope, keys); }

    // An envelope with each member given as raw JSON text.
    static std::string envelopeOf(const std::string& alg, const std::string& keyId, const std::string& payload,
                                  const std::string& sig) {
        return "{\"alg\":" + alg + ",\"key_id\":" + keyId + ",\"payload_b64\":" + payload + ",\"sig\":" + sig + "}";
    }
    std::string payloadB64() const { return wrapped("\"", b64url(kRelease), "\""); }
    std::string sigB64() const { return wrapped("\"", b64url(releaseKey.sign(kRelease)), "\""); }

    // open + text + close, appended in place: GCC 12 at -O3 warns falsely
    // (-Wrestrict) about a literal put in front of a temporary string.
    static std::string wrapped(std::string_view open, std::string_view text, std::string_view close) {
        std::string out(open);
        out.append(text).append(close);
        return out;
    }
};

}  // namespace

TEST_F(EnvelopeTest, ValidEnvelopeVerifies) { EXPECT_EQ(release(signedEnvelope(releaseKey, kRelease)), "ok"); }

TEST_F(EnvelopeTest, MalformedEnvelopes) {
    for (const char* alg : {R"("ed25519")", R"("Ed25519 ")", R"("EdDSA")", "5", "null"})
        EXPECT_EQ(release(envelopeOf(alg, "\"r1\"", payloadB64(), sigB64())), "malformed_envelope") << alg;
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "1", payloadB64(), sigB64())), "malformed_envelope");
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", "null", sigB64())), "malformed_envelope");
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", payloadB64(), "[]")), "malformed_envelope");
    EXPECT_EQ(release(R"({"alg":"Ed25519","key_id":"r1","payload_b64":"e30"})"), "malformed_envelope");
    // Not an object, but JSON: malformed, not invalid JSON.
    EXPECT_EQ(release(wrapped("[", signedEnvelope(releaseKey, kRelease), "]")), "malformed_envelope");
    EXPECT_EQ(release("\"x\""), "malformed_envelope");
    // A missing member is reported before an unknown key.
    EXPECT_EQ(release(R"({"alg":"Ed25519","key_id":"nobody","payload_b64":"e30"})"), "malformed_envelope");
    // Unknown members are ignored.
    std::string extra = signedEnvelope(releaseKey, kRelease);
    extra.insert(1, "\"extra\":[1,2],");
    EXPECT_EQ(release(extra), "ok");
}

TEST_F(EnvelopeTest, KeyLookupUsesTheOperationsListAndFirstMatch) {
    // Keys pinned only for the other purpose are unknown.
    EXPECT_EQ(release(signedEnvelope(policyKey, kRelease)), "unknown_key");
    EXPECT_EQ(release(signedEnvelope(releaseKey, kRelease, "r2")), "unknown_key");
    // The first key with the id decides, even when broken.
    const std::string twice = R"({"release_keys":[{"id":"r1","public":"AAAA"},)" + releaseKey.pinnedJson() + "]}";
    EXPECT_EQ(release(signedEnvelope(releaseKey, kRelease), twice), "unknown_key");
    const std::string good = R"({"release_keys":[)" + releaseKey.pinnedJson() + R"(,{"id":"r1","public":"AAAA"}]})";
    EXPECT_EQ(release(signedEnvelope(releaseKey, kRelease), good), "ok");
    // Ids compare byte for byte.
    EXPECT_EQ(release(signedEnvelope(releaseKey, kRelease, "R1")), "unknown_key");
}

TEST_F(EnvelopeTest, UnusablePublicKeysAreUnknown) {
    const std::string pub(policyKey.pub.begin(), policyKey.pub.end());
    auto doc = [&](const std::string& publicText) {
        return R"({"release_keys":[{"id":"r1","public":")" + publicText + R"("}]})";
    };
    const std::string env = signedEnvelope(releaseKey, kRelease);
    EXPECT_EQ(release(env, doc(b64url(pub.substr(0, 31)))), "unknown_key");
    EXPECT_EQ(release(env, doc(b64url(pub + "x"))), "unknown_key");
    EXPECT_EQ(release(env, doc("not base64!")), "unknown_key");
    EXPECT_EQ(release(env, doc(releaseKey.publicB64() + "==")), "unknown_key");  // padding beyond canonical
    // 32 bytes that are not a curve point (y = 2): unknown, not a bad signature.
    std::string notPoint(32, '\0');
    notPoint[0] = 2;
    EXPECT_EQ(release(env, doc(b64url(notPoint))), "unknown_key");
    // A small-order point is a usable key; the signature then fails.
    std::string identity(32, '\0');
    identity[0] = 1;
    EXPECT_EQ(release(env, doc(b64url(identity))), "bad_signature");
    // Canonically padded public key text is read as well.
    EXPECT_EQ(release(env, doc(releaseKey.publicB64() + "=")), "ok");
}

TEST_F(EnvelopeTest, Base64Padding) {
    const std::string sig = sigB64();
    std::string b64 = b64url(kRelease);
    const size_t canonical = (4 - b64.size() % 4) % 4;
    for (size_t pads = 0; pads <= canonical; ++pads)
        EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", "\"" + b64 + std::string(pads, '=') + "\"", sig)), "ok");
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", "\"" + b64 + std::string(canonical + 1, '=') + "\"", sig)),
              "bad_encoding");
    std::string plus = b64;
    plus[4] = '+';
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", "\"" + plus + "\"", sig)), "bad_encoding");
    std::string slash = sig;
    slash[5] = '/';
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", payloadB64(), slash)), "bad_encoding");
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r1\"", "\"e30 \"", sig)), "bad_encoding");
    // The key is looked up before anything is decoded.
    EXPECT_EQ(release(envelopeOf("\"Ed25519\"", "\"r9\"", "\"!!\"", "\"!!\"")), "unknown_key");
}

TEST_F(EnvelopeTest, SignatureChecks) {
    auto sig = releaseKey.sign(kRelease);
    auto withSig = [&](const std::vector<uint8_t>& s) {
        return envelopeOf("\"Ed25519\"", "\"r1\"", payloadB64(), wrapped("\"", b64url(s), "\""));
    };
    EXPECT_EQ(release(withSig(std::vector<uint8_t>(sig.begin(), sig.end() - 1))), "bad_signature");
    auto longer = sig;
    longer.push_back(0);
    EXPECT_EQ(release(withSig(longer)), "bad_signature");
    EXPECT_EQ(release(withSig({})), "bad_signature");
    for (size_t bit : {0u, 255u, 256u, 511u}) {
        auto flipped = sig;
        flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(release(withSig(flipped)), "bad_signature") << bit;
    }
    // S + L is the same signature in a non-canonical form: refused.
    static const uint8_t L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                  0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                  0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    auto nonCanonical = sig;
    unsigned carry = 0;
    for (size_t i = 0; i < 32; ++i) {
        unsigned sum = nonCanonical[32 + i] + L[i] + carry;
        nonCanonical[32 + i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    EXPECT_EQ(release(withSig(nonCanonical)), "bad_signature");
    // A signature over the base64url text instead of the payload bytes.
    EXPECT_EQ(release(withSig(releaseKey.sign(b64url(kRelease)))), "bad_signature");
}

TEST_F(EnvelopeTest, PayloadMustBeAJsonObject) {
    for (const std::string& payload : std::vector<std::string>{"[1,2]", "\"x\"", "5", "{", "{} x", "\xEF\xBB\xBF{}", "{\"a\":\"\xC0\xAF\"}",
                                      std::string(129, '[') + std::string(129, ']'), std::string("{}\0", 3), ""})
        EXPECT_EQ(release(signedEnvelope(releaseKey, payload)), "payload_not_json") << payload;
    // Blanks around the object are fine; the payload checks then run.
    EXPECT_EQ(release(signedEnvelope(releaseKey, " {} \r\n")), "unknown_type");
}

TEST_F(EnvelopeTest, KeyDocumentRules) {
    const std::string env = signedEnvelope(releaseKey, kRelease);
    const std::string r1 = releaseKey.pinnedJson();
    const std::string pub = releaseKey.publicB64();
    EXPECT_EQ(release(env, R"({"policy_keys":[]})"), "unknown_key");
    EXPECT_EQ(release(env, "{}"), "unknown_key");
    EXPECT_EQ(release(env, R"({"policy_keys":[],"release_keys":[],"extra":1})"), "unknown_key");
    EXPECT_EQ(release(env, R"({"release_keys":[)" + r1 + R"(],"extra":1,"extra":2})"), "ok");
    EXPECT_EQ(release(env, R"({"policy_keys":[],"policy_keys":[]})"), "invalid_keys");
    EXPECT_EQ(release(env, R"({"release_keys":[{"id":"r1"}]})"), "invalid_keys");
    EXPECT_EQ(release(env, R"({"release_keys":[{"id":5,"public":"AA"}]})"), "invalid_keys");
    EXPECT_EQ(release(env, R"({"release_keys":[{"id":"r1","public":")" + pub + R"(","id":"r1"}]})"), "invalid_keys");
    EXPECT_EQ(release(env, R"({"release_keys":[{"id":"r1","public":")" + pub + R"(","x":1,"x":2}]})"), "ok");
    EXPECT_EQ(release(env, R"({"release_keys":null})"), "invalid_keys");
    EXPECT_EQ(release(env, R"({"release_keys":{}})"), "invalid_keys");
    EXPECT_EQ(release(env, "5"), "invalid_keys");
    // A key's state is type-checked but never consulted.
    for (const char* state : {"\"revoked\"", "\"active\"", "null", "\"\""})
        EXPECT_EQ(release(env, R"({"release_keys":[{"id":"r1","public":")" + pub + R"(","state":)" + state + "}]}"),
                  "ok")
            << state;
    EXPECT_EQ(release(env, R"({"release_keys":[{"id":"r1","public":")" + pub + R"(","state":5}]})"), "invalid_keys");
    // A broken key anywhere makes the whole document invalid, even in the other list.
    EXPECT_EQ(release(env, R"({"release_keys":[)" + r1 + R"(],"policy_keys":[{"public":"AA"}]})"), "invalid_keys");
    // Array forms: [policy list, release list] and [id, public, state].
    EXPECT_EQ(release(env, "[[]," + std::string("[") + r1 + "]]"), "ok");
    EXPECT_EQ(release(env, R"([[],[["r1",")" + pub + R"(",null]]])"), "ok");
    EXPECT_EQ(release(env, R"([[],[["r1",")" + pub + R"("]]])"), "invalid_keys");
    EXPECT_EQ(release(env, "[[" + r1 + "]]"), "unknown_key");
    EXPECT_EQ(release(env, "[]"), "unknown_key");
    EXPECT_EQ(release(env, "[[],[],[]]"), "invalid_keys");
    EXPECT_EQ(release(env, "[[],[{\"id\":\"r1\",\"public\":\"" + pub + "\",\"id\":\"r1\"}]]"), "invalid_keys");
    // Not UTF-8, a byte-order mark, trailing text.
    EXPECT_EQ(release(env, "{\"release_keys\":[],\"x\":\"\xFF\"}"), "invalid_keys");
    EXPECT_EQ(release(env, "\xEF\xBB\xBF{}"), "invalid_keys");
    EXPECT_EQ(release(env, "{} {}"), "invalid_keys");
}

// Fuzzes the bridge: decoding of JSONValue, ClientState and PinnedKeys (with
// a round-trip check through their encoders) and the three verifying calls.
//
// The first input byte picks the case; the rest is its data. The "signed"
// cases sign the data with a fixed key before the call, so the fuzzer reaches
// the payload checks behind the signature.
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "BrivetCore/BrivetCore.h"

namespace {

using brivet::Instant;
using brivet::JSONValue;
using brivet::PinnedKeys;
using brivet::BrivetCore::ClientState;
using nlohmann::json;

std::string base64url(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        buffer = (buffer << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0) out += alphabet[(buffer << (6 - bits)) & 63];
    return out;
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// One fixed key that signs for both lists, so seeds stay valid across runs.
class FixedSigner {
public:
    FixedSigner() {
        std::array<unsigned char, 32> seed{};
        for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(7 * i + 1);
        key_.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
        unsigned char raw[32];
        std::size_t length = sizeof raw;
        if (!key_ || EVP_PKEY_get_raw_public_key(key_.get(), raw, &length) != 1) std::abort();
        PinnedKeys::Key pinned{"k1", base64url(std::string_view(reinterpret_cast<char*>(raw), length)), "active"};
        keys_ = PinnedKeys({pinned}, {pinned});
    }

    const PinnedKeys& keys() const { return keys_; }

    std::string envelope(std::string_view payload) const {
        std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
        unsigned char sig[64];
        std::size_t length = sizeof sig;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
            EVP_DigestSign(ctx.get(), sig, &length, reinterpret_cast<const unsigned char*>(payload.data()),
                           payload.size()) != 1) {
            std::abort();
        }
        json env = {{"alg", "Ed25519"},
                    {"key_id", "k1"},
                    {"payload_b64", base64url(payload)},
                    {"sig", base64url(std::string_view(reinterpret_cast<char*>(sig), length))}};
        return env.dump();
    }

private:
    std::unique_ptr<EVP_PKEY, PkeyFree> key_;
    PinnedKeys keys_;
};

const FixedSigner& signer() {
    static const FixedSigner instance;
    return instance;
}

// A committed state for device "d1" holding a typical policy, with the
// signed bytes the core compares successors against.
ClientState committedState() {
    static constexpr std::string_view policy = R"({"type":"device_policy","v":1,"device_id":"d1","installation_id":"i1",
        "policy_seq":5,"kind":"commitment","commitment_id":"c1","locked_until":"2030-01-01T00:00:00Z",
        "categories":["ads","malware"],"custom_rules":[{"rule_type":"domain","value":"x.example","weight":1.0}],
        "blocklist_version":7,"offline_release_runtime_seconds":86400})";
    ClientState state("d1", "i1");
    state.highestPolicySeq = 5;
    state.policy = json::parse(policy).get<JSONValue::Object>();
    state.policyBytes = base64url(policy);
    return state;
}

// Decodes a T from the text; when that succeeds its encoding must decode to an
// equal value.
template <typename T>
void roundTrip(std::string_view text) {
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return;
    T value;
    try {
        value = parsed.get<T>();
    } catch (const std::exception&) {
        return;
    }
    json encoded = value;
    if (encoded.get<T>() != value) std::abort();
    // The text form decodes to the same value again.
    if (json::parse(encoded.dump()).get<T>() != value) std::abort();
}

// Splits "a\x01b" style input into two parts at the first 0x01 byte.
std::pair<std::string_view, std::string_view> split(std::string_view data) {
    auto at = data.find('\x01');
    if (at == std::string_view::npos) return {data, {}};
    return {data.substr(0, at), data.substr(at + 1)};
}

void guarded(auto&& call) {
    try {
        call();
    } catch (const std::exception&) {
        // Refusals and decoding errors are expected answers.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = bytes[0];
    const std::string_view data(reinterpret_cast<const char*>(bytes + 1), size - 1);
    const PinnedKeys& keys = signer().keys();
    const Instant now = Instant(std::chrono::sys_days{std::chrono::year{2030} / 1 / 1});

    switch (mode % 10) {
        case 0: roundTrip<JSONValue>(data); break;
        case 1: roundTrip<ClientState>(data); break;
        case 2: roundTrip<PinnedKeys>(data); break;
        case 3: guarded([&] { brivet::BrivetCore::applyPolicy(committedState(), data, keys); }); break;
        case 4: guarded([&] { brivet::BrivetCore::verifyRelease(data, keys, now, 3); }); break;
        case 5: {
            const auto first = split(data);
            const auto second = split(first.second);
            const std::string_view device = first.first, nonce = second.first, envelope = second.second;
            guarded([&] { brivet::BrivetCore::verifyAttestation(envelope, keys, device, nonce); });
            break;
        }
        case 6: {
            // A decoded state (if any) against a signed payload.
            const auto parts = split(data);
            const std::string_view stateText = parts.first, payload = parts.second;
            json parsed = json::parse(stateText, nullptr, false);
            guarded([&] {
                ClientState state = parsed.get<ClientState>();
                brivet::BrivetCore::applyPolicy(state, signer().envelope(payload), keys);
            });
            break;
        }
        case 7:
            guarded([&] { brivet::BrivetCore::applyPolicy(committedState(), signer().envelope(data), keys); });
            break;
        case 8: guarded([&] { brivet::BrivetCore::verifyRelease(signer().envelope(data), keys, now, 3); }); break;
        case 9: {
            const auto parts = split(data);
            const std::string_view nonce = parts.first, payload = parts.second;
            guarded([&] { brivet::BrivetCore::verifyAttestation(signer().envelope(payload), keys, "d1", nonce); });
            break;
        }
    }
    return 0;
}

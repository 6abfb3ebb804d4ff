#include "ffi.h"

#include "attestation.h"
#include "brivet_core.h"
#include "envelope.h"
#include "keys.h"
#include "policy.h"
#include "release.h"
#include "reply.h"
#include "timestamp.h"
#include "utf8.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace brivet::core::ffi {

std::optional<json::Value> parse(const char* text, std::vector<json::Duplicate>* duplicates, size_t maxDepth) {
    if (!text) return std::nullopt;
    return json::parse(std::string_view(text), duplicates, maxDepth);
}

std::optional<std::string_view> plainText(const char* text) {
    if (!text) return std::nullopt;
    std::string_view view(text);
    if (!utf8::valid(view)) return std::nullopt;
    return view;
}

json::Value error(Code code) { return failure(code); }

namespace {

// Allocation failure is fatal: the caller gets no reply at all rather than
// a reply that could be mistaken for a verdict.
char* copyOut(const char* bytes, size_t length) {
    char* out = static_cast<char*>(std::malloc(length + 1));
    if (!out) std::abort();
    std::memcpy(out, bytes, length);
    out[length] = '\0';
    return out;
}

}  // namespace

char* fallback() {
    static constexpr char kInternal[] = "{\"ok\":false,\"error\":\"internal\"}";
    return copyOut(kInternal, sizeof kInternal - 1);
}

char* to_c(const json::Value& reply) {
    const std::string text = json::dump(reply);
    if (std::memchr(text.data(), '\0', text.size())) return fallback();
    return copyOut(text.data(), text.size());
}

namespace {

// Runs one export; no exception leaves the library.
template <typename F>
char* guarded(F&& body) noexcept {
    try {
        return to_c(body());
    } catch (const std::bad_alloc&) {
        std::abort();
    } catch (...) {
        try {
            return fallback();
        } catch (...) {
            std::abort();
        }
    }
}

std::optional<keys::PinnedKeys> readKeys(const char* text) {
    std::vector<json::Duplicate> duplicates;
    auto document = parse(text, &duplicates);
    if (!document) return std::nullopt;
    return keys::read(*document, duplicates);
}

}  // namespace
}  // namespace brivet::core::ffi

using namespace brivet::core;

extern "C" {

char* brivet_core_release_verify(const char* envelope_json, const char* keys_json, const char* now_rfc3339,
                                 uint32_t client_version) {
    return ffi::guarded([&]() -> json::Value {
        auto env = ffi::parse(envelope_json);
        if (!env) return ffi::error(Code::invalid_envelope_json);
        auto keys = ffi::readKeys(keys_json);
        if (!keys) return ffi::error(Code::invalid_keys);
        auto nowText = ffi::plainText(now_rfc3339);
        auto now = nowText ? timestamp::parse(*nowText) : std::nullopt;
        if (!now) return ffi::error(Code::invalid_now);
        auto verified = envelope::verify(*env, keys->releaseKeys);
        if (auto* code = std::get_if<Code>(&verified)) return ffi::error(*code);
        return release::verify(std::get<envelope::Verified>(verified), *now, client_version);
    });
}

char* brivet_core_attestation_verify(const char* envelope_json, const char* keys_json, const char* device_id,
                                     const char* nonce) {
    return ffi::guarded([&]() -> json::Value {
        auto env = ffi::parse(envelope_json);
        if (!env) return ffi::error(Code::invalid_envelope_json);
        auto keys = ffi::readKeys(keys_json);
        if (!keys) return ffi::error(Code::invalid_keys);
        auto device = ffi::plainText(device_id);
        auto ourNonce = ffi::plainText(nonce);
        if (!device || !ourNonce) return ffi::error(Code::invalid_argument);
        auto verified = envelope::verify(*env, keys->policyKeys);
        if (auto* code = std::get_if<Code>(&verified)) return ffi::error(*code);
        return attestation::verify(std::get<envelope::Verified>(verified), *device, *ourNonce);
    });
}

char* brivet_core_policy_apply(const char* state_json, const char* envelope_json, const char* keys_json) {
    return ffi::guarded([&]() -> json::Value {
        // The state holds a whole payload one level down, so it may nest one
        // level deeper than a payload; otherwise a deeply nested policy, once
        // applied, would make every later call fail with invalid_state.
        std::vector<json::Duplicate> duplicates;
        auto stateValue = ffi::parse(state_json, &duplicates, json::kMaxDepth + 1);
        auto state = stateValue ? policy::readState(*stateValue, duplicates) : std::nullopt;
        if (!state) return ffi::error(Code::invalid_state);
        stateValue.reset();
        auto env = ffi::parse(envelope_json);
        if (!env) return ffi::error(Code::invalid_envelope_json);
        auto keys = ffi::readKeys(keys_json);
        if (!keys) return ffi::error(Code::invalid_keys);
        auto verified = envelope::verify(*env, keys->policyKeys);
        if (auto* code = std::get_if<Code>(&verified)) return ffi::error(*code);
        auto result = policy::apply(std::move(*state), std::move(std::get<envelope::Verified>(verified)));
        if (auto* code = std::get_if<Code>(&result)) return ffi::error(*code);
        auto& done = std::get<policy::Result>(result);
        json::Value reply = json::Value::object();
        reply["ok"] = true;
        reply["outcome"] = done.outcome == policy::Outcome::applied ? "applied" : "ignored";
        reply["state"] = policy::writeState(std::move(done.state));
        return reply;
    });
}

int64_t brivet_core_clamp_offline_runtime(int64_t seconds) { return policy::clampOfflineRuntime(seconds); }

const char* brivet_core_version(void) { return "0.1.0"; }

void brivet_core_string_free(char* reply) { std::free(reply); }

}  // extern "C"

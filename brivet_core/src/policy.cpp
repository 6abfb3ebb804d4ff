#include "policy.h"

#include "keys.h"
#include "timestamp.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace brivet::core::policy {
namespace {

using json::Value;

constexpr __int128 kMaxRank = static_cast<__int128>((~static_cast<unsigned __int128>(0)) >> 1);
constexpr __int128 kMinRank = -kMaxRank - 1;

bool sameText(const Value* v, const std::string& expected) {
    const std::string* t = json::text(v);
    return t && *t == expected;
}

std::optional<timestamp::Instant> instantOf(const Value* v) {
    const std::string* t = json::text(v);
    if (!t) return std::nullopt;
    return timestamp::parse(*t);
}

// Reads the five fields from their values (nullptr for an absent member).
std::optional<ClientState> fromFields(const Value* deviceId, const Value* installationId, const Value* seq,
                                      const Value* policy, const Value* policyBytes) {
    ClientState state;
    if (!json::text(deviceId) || !json::text(installationId)) return std::nullopt;
    state.deviceId = *json::text(deviceId);
    state.installationId = *json::text(installationId);
    if (seq) {
        auto v = json::int64Of(seq);
        if (!v) return std::nullopt;
        state.highestPolicySeq = *v;
    }
    if (policy && !policy->is_null()) {
        if (!policy->is_object()) return std::nullopt;
        state.policy = *policy;
    }
    if (policyBytes && !policyBytes->is_null()) {
        const std::string* text = json::text(policyBytes);
        if (!text) return std::nullopt;
        auto bytes = keys::b64_decode(*text);
        if (!bytes) return std::nullopt;  // policy_bytes is not base64url
        state.policyBytes = std::move(*bytes);
    }
    return state;
}

// The lock-end test: the new lock must not end before the old one.
bool lockEndHolds(const Value& oldPolicy, const Value& payload) {
    const Value* oldLock = json::member(oldPolicy, "locked_until");
    const Value* newLock = json::member(payload, "locked_until");
    const bool oldText = json::text(oldLock) != nullptr, newText = json::text(newLock) != nullptr;
    if (oldText) {
        if (!newText) return false;
        auto o = instantOf(oldLock), n = instantOf(newLock);
        return o && n && !(*n < *o);
    }
    return !newText;
}

bool weakens(const Value& oldPolicy, const Value& payload) {
    if (!sameText(json::member(payload, "kind"), "commitment")) return true;
    const Value null;
    const Value* oldId = json::member(oldPolicy, "commitment_id");
    const Value* newId = json::member(payload, "commitment_id");
    if (!json::equal(oldId ? *oldId : null, newId ? *newId : null)) return true;
    if (!lockEndHolds(oldPolicy, payload)) return true;
    if (!subset(json::member(oldPolicy, "categories"), json::member(payload, "categories"))) return true;
    if (!subset(json::member(oldPolicy, "custom_rules"), json::member(payload, "custom_rules"))) return true;
    if (ordinal(json::member(payload, "blocklist_version")) < ordinal(json::member(oldPolicy, "blocklist_version")))
        return true;
    if (runtimeRank(json::member(payload, "offline_release_runtime_seconds")) <
        runtimeRank(json::member(oldPolicy, "offline_release_runtime_seconds")))
        return true;
    return false;
}

// Whether the payload's "release" ends the old committed policy.
bool releaseAccepted(const Value& oldPolicy, const Value& release) {
    const std::string* reason = json::text(json::member(release, "reason"));
    if (!reason) return false;
    if (*reason == "terminated_exceptionally" || *reason == "service_shutdown") return true;
    if (*reason == "expired") {
        auto serverTime = instantOf(json::member(release, "server_time"));
        auto lockedUntil = instantOf(json::member(oldPolicy, "locked_until"));
        return serverTime && lockedUntil && !(*serverTime < *lockedUntil);
    }
    return false;
}

// The old policy as it was signed, read from the stored payload bytes. The
// "policy" member is a re-written copy (and state files written by earlier
// versions turned 1.0 into 1 there), so the weakening tests compare against
// the signed bytes whenever the state has them. nullopt when the state has
// no bytes or they do not hold a JSON object; then "policy" stands in.
std::optional<Value> oldPolicyFromBytes(const ClientState& state) {
    if (!state.policyBytes) return std::nullopt;
    const auto& bytes = *state.policyBytes;
    auto parsed = json::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return parsed;
}

}  // namespace

std::optional<ClientState> readState(const Value& value, const std::vector<json::Duplicate>& duplicates) {
    if (value.is_object()) {
        for (const auto& d : duplicates) {
            if (d.path.empty() && (d.key == "device_id" || d.key == "installation_id" ||
                                   d.key == "highest_policy_seq" || d.key == "policy" || d.key == "policy_bytes"))
                return std::nullopt;
        }
        return fromFields(json::member(value, "device_id"), json::member(value, "installation_id"),
                          json::member(value, "highest_policy_seq"), json::member(value, "policy"),
                          json::member(value, "policy_bytes"));
    }
    if (value.is_array() && value.size() == 5) {
        // The array form gives every field; null stands for "none" where allowed.
        if (value[2].is_null()) return std::nullopt;
        return fromFields(&value[0], &value[1], &value[2], &value[3], &value[4]);
    }
    return std::nullopt;
}

Value writeState(ClientState state) {
    Value out = Value::object();
    out["device_id"] = std::move(state.deviceId);
    out["installation_id"] = std::move(state.installationId);
    out["highest_policy_seq"] = state.highestPolicySeq;
    out["policy"] = state.policy ? std::move(*state.policy) : Value(nullptr);
    out["policy_bytes"] = state.policyBytes ? Value(keys::b64_encode(*state.policyBytes)) : Value(nullptr);
    return out;
}

bool committed(const Value& policy) {
    return sameText(json::member(policy, "kind"), "commitment") &&
           json::text(json::member(policy, "commitment_id")) != nullptr;
}

bool subset(const Value* oldList, const Value* newList) {
    if (!oldList || !oldList->is_array() || oldList->empty()) return true;
    if (!newList || !newList->is_array()) return false;
    const auto& older = oldList->get_ref<const Value::array_t&>();
    const auto& newer = newList->get_ref<const Value::array_t&>();
    if (older.size() > newer.size()) return false;
    std::vector<bool> used(newer.size(), false);
    for (const Value& element : older) {
        bool found = false;
        for (size_t i = 0; i < newer.size(); ++i) {
            if (!used[i] && json::equal(element, newer[i])) {
                used[i] = true;
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

int64_t clampOfflineRuntime(int64_t seconds) {
    if (seconds < kMinOfflineRuntime) return kMinOfflineRuntime;
    if (seconds > kMaxOfflineRuntime) return kMaxOfflineRuntime;
    return seconds;
}

int64_t runtimeRank(const Value* value) {
    std::optional<int64_t> seconds = json::int64Of(value);
    if (!seconds && value && value->is_number_float()) {
        const double d = value->get<double>();
        constexpr double kTwo63 = 9223372036854775808.0;
        if (std::trunc(d) == d && d >= -kTwo63 && d < kTwo63) seconds = static_cast<int64_t>(d);
    }
    return clampOfflineRuntime(seconds.value_or(std::numeric_limits<int64_t>::max()));
}

__int128 ordinal(const Value* value) {
    if (!value || value->is_null()) return 0;
    if (value->is_number_unsigned()) return static_cast<__int128>(value->get<uint64_t>());
    if (value->is_number_integer()) return static_cast<__int128>(value->get<int64_t>());
    if (value->is_number_float()) {
        const double d = std::trunc(value->get<double>());
        constexpr double kTwo127 = 170141183460469231731687303715884105728.0;  // 2^127
        if (d >= kTwo127) return kMaxRank;
        if (d < -kTwo127) return kMinRank;
        return static_cast<__int128>(d);
    }
    return kMaxRank;  // bool, text, array, object
}

std::variant<Result, Code> apply(ClientState state, envelope::Verified verified) {
    const Value& payload = verified.payload;
    if (!sameText(json::member(payload, "type"), "device_policy") ||
        !envelope::isVersionOne(json::member(payload, "v")))
        return Code::unknown_type;
    if (!sameText(json::member(payload, "device_id"), state.deviceId) ||
        !sameText(json::member(payload, "installation_id"), state.installationId))
        return Code::device_mismatch;
    const auto seq = json::int64Of(json::member(payload, "policy_seq"));
    if (!seq) return Code::unknown_type;

    if (*seq <= state.highestPolicySeq) {
        if (*seq < state.highestPolicySeq) return Code::rollback;
        if (state.policyBytes && *state.policyBytes == verified.payloadBytes)
            return Result{std::move(state), Outcome::ignored};
        return Code::conflicting_duplicate;
    }

    const std::optional<Value> signedPolicy = oldPolicyFromBytes(state);
    const Value* oldPolicyValue = signedPolicy ? &*signedPolicy : state.policy ? &*state.policy : nullptr;
    if (oldPolicyValue && committed(*oldPolicyValue)) {
        const Value& oldPolicy = *oldPolicyValue;
        if (const Value* release = json::member(payload, "release")) {
            if (!releaseAccepted(oldPolicy, *release)) return Code::release_too_early;
        } else if (weakens(oldPolicy, payload)) {
            return Code::weaker_without_release;
        }
    }

    state.highestPolicySeq = *seq;
    state.policy = std::move(verified.payload);
    state.policyBytes = std::move(verified.payloadBytes);
    return Result{std::move(state), Outcome::applied};
}

}  // namespace brivet::core::policy

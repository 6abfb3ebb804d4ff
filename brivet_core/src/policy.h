// Applying a verified device policy to the device's policy state.
#pragma once

#include "envelope.h"
#include "errors.h"
#include "json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace brivet::core::policy {

struct ClientState {
    std::string deviceId;
    std::string installationId;
    int64_t highestPolicySeq = 0;
    std::optional<json::Value> policy;               // always an object when present
    std::optional<std::vector<uint8_t>> policyBytes;  // decoded signed payload bytes
};

// Reads the state from a parsed value (an object, or a five-element array in
// the order device_id, installation_id, highest_policy_seq, policy,
// policy_bytes), with the repeated keys that the parse reported.
std::optional<ClientState> readState(const json::Value& value, const std::vector<json::Duplicate>& duplicates);

// All five members; "policy_bytes" as base64url without padding, or null.
json::Value writeState(ClientState state);

enum class Outcome { applied, ignored };

struct Result {
    ClientState state;
    Outcome outcome;
};

// The policy checks after the envelope was verified with the policy keys.
// `state` is consumed: on success it becomes the result's state.
std::variant<Result, Code> apply(ClientState state, envelope::Verified verified);

// A policy is committed when "kind" is "commitment" and "commitment_id" is a text.
bool committed(const json::Value& policy);

// True when every element of the old list is matched by a distinct equal
// element of the new list (non-arrays count as empty lists).
bool subset(const json::Value* oldList, const json::Value* newList);

// Bounds of the offline-release runtime in seconds: one day to thirty days.
inline constexpr int64_t kMinOfflineRuntime = 86400;
inline constexpr int64_t kMaxOfflineRuntime = 2592000;

int64_t clampOfflineRuntime(int64_t seconds);

// Rank of an "offline_release_runtime_seconds" value: the runtime the client
// puts in force for it. An integral number (86400.0 counts as 86400) is
// clamped; absent, null, fractional, out-of-range or non-number values leave
// the runtime unset, which is the longest runtime.
int64_t runtimeRank(const json::Value* value);

// Rank of a version-like value: absent or null 0, integers their value,
// other numbers truncated toward zero (saturating), anything else the
// largest rank.
__int128 ordinal(const json::Value* value);

}  // namespace brivet::core::policy

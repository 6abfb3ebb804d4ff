#pragma once
// The policy in force on the device, in typed form.
//
// Derived afresh from the verified policy object that the core library keeps
// in the device's ClientState, and from whether offline release has fired.
// Derivation never fails: a member that is absent or of the wrong JSON type
// takes its default.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BrivetClient/Models.h"
#include "BrivetCore/BrivetCore.h"

namespace brivet {

// For an array, its elements that are JSON strings, in order; else empty.
std::vector<std::string> stringArray(const JSONValue& value);
// For an array, one BlockRule for each element that is an object with string
// members "rule_type" and "value", in order; other elements are skipped.
// For any other value, empty.
std::vector<BlockRule> ruleArray(const JSONValue& value);

struct EffectivePolicy {
    std::int64_t policySeq = 0;
    // "blocking_only", "commitment", "released" or any kind the service sends.
    std::string kind = "blocking_only";
    bool committed = false;
    std::optional<std::string> commitmentId;
    // RFC 3339 text as sent; not parsed here.
    std::optional<std::string> lockedUntil;
    // The commitment's categories in the policy's order; empty when not committed.
    std::vector<std::string> lockedCategories;
    // Every blocked category, distinct and sorted.
    std::vector<std::string> categories;
    // The commitment's custom rules in the policy's order; empty when not committed.
    std::vector<BlockRule> lockedCustomRules;
    // Every custom block rule, distinct and sorted by type, then value.
    std::vector<BlockRule> customRules;
    // Allow rules in the policy's order, duplicates kept.
    std::vector<BlockRule> allowRules;
    std::int64_t blocklistVersion = 0;
    // Already clamped to one to thirty days.
    std::int64_t offlineReleaseRuntimeSeconds = 2592000;
    // The service's wish for the heartbeat period; no bound applied here.
    std::int64_t heartbeatIntervalSeconds = 900;
    std::vector<std::string> shutdownReleaseKeyIds;

    // The policy of an empty policy object.
    EffectivePolicy();
    EffectivePolicy(const JSONValue::Object& policy, bool offlineReleased);

    bool operator==(const EffectivePolicy&) const = default;
};

}  // namespace brivet

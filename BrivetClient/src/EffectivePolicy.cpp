#include "BrivetClient/EffectivePolicy.h"

#include <algorithm>
#include <limits>
#include <set>
#include <tuple>
#include <utility>

namespace brivet {

namespace {

const JSONValue* member(const JSONValue::Object& policy, const std::string& key) {
    auto it = policy.find(key);
    return it == policy.end() ? nullptr : &it->second;
}

std::optional<std::string> stringMember(const JSONValue::Object& policy, const std::string& key) {
    const JSONValue* value = member(policy, key);
    return value ? value->stringValue() : std::nullopt;
}

std::optional<std::int64_t> intMember(const JSONValue::Object& policy, const std::string& key) {
    const JSONValue* value = member(policy, key);
    return value ? value->intValue() : std::nullopt;
}

std::vector<std::string> stringsOf(const JSONValue::Object& policy, const std::string& key) {
    const JSONValue* value = member(policy, key);
    return value ? stringArray(*value) : std::vector<std::string>{};
}

std::vector<BlockRule> rulesOf(const JSONValue::Object& policy, const std::string& key) {
    const JSONValue* value = member(policy, key);
    return value ? ruleArray(*value) : std::vector<BlockRule>{};
}

bool ruleLess(const BlockRule& a, const BlockRule& b) {
    return std::tie(a.ruleType, a.value) < std::tie(b.ruleType, b.value);
}

}  // namespace

std::vector<std::string> stringArray(const JSONValue& value) {
    std::vector<std::string> texts;
    if (const JSONValue::Array* array = value.arrayValue()) {
        for (const JSONValue& element : *array) {
            if (auto text = element.stringValue()) texts.push_back(std::move(*text));
        }
    }
    return texts;
}

std::vector<BlockRule> ruleArray(const JSONValue& value) {
    std::vector<BlockRule> rules;
    if (const JSONValue::Array* array = value.arrayValue()) {
        for (const JSONValue& element : *array) {
            const JSONValue* ruleType = element.find("rule_type");
            const JSONValue* ruleValue = element.find("value");
            if (!ruleType || !ruleValue) continue;
            auto type = ruleType->stringValue();
            auto text = ruleValue->stringValue();
            if (type && text) rules.push_back(BlockRule{std::move(*type), std::move(*text)});
        }
    }
    return rules;
}

EffectivePolicy::EffectivePolicy() : EffectivePolicy(JSONValue::Object{}, false) {}

EffectivePolicy::EffectivePolicy(const JSONValue::Object& policy, bool offlineReleased) {
    policySeq = intMember(policy, "policy_seq").value_or(0);

    const std::string rawKind = stringMember(policy, "kind").value_or("blocking_only");
    kind = (offlineReleased && rawKind == "commitment") ? "released" : rawKind;
    commitmentId = stringMember(policy, "commitment_id");
    committed = !offlineReleased && rawKind == "commitment" && commitmentId.has_value();
    lockedUntil = stringMember(policy, "locked_until");

    std::vector<std::string> listed = stringsOf(policy, "categories");
    std::vector<std::string> manual = stringsOf(policy, "manual_categories");
    if (committed) lockedCategories = listed;
    std::set<std::string> allCategories(listed.begin(), listed.end());
    allCategories.insert(manual.begin(), manual.end());
    categories.assign(allCategories.begin(), allCategories.end());

    std::vector<BlockRule> rules = rulesOf(policy, "custom_rules");
    std::vector<BlockRule> manualRules = rulesOf(policy, "manual_custom_rules");
    if (committed) lockedCustomRules = rules;
    customRules = std::move(rules);
    customRules.insert(customRules.end(), manualRules.begin(), manualRules.end());
    std::sort(customRules.begin(), customRules.end(), ruleLess);
    customRules.erase(std::unique(customRules.begin(), customRules.end()), customRules.end());

    allowRules = rulesOf(policy, "allow_rules");
    blocklistVersion = intMember(policy, "blocklist_version").value_or(0);
    // An unset runtime becomes the upper bound of the clamp.
    offlineReleaseRuntimeSeconds = BrivetCore::clampOfflineRuntime(
        intMember(policy, "offline_release_runtime_seconds").value_or(std::numeric_limits<std::int64_t>::max()));
    heartbeatIntervalSeconds = intMember(policy, "heartbeat_interval_seconds").value_or(900);
    shutdownReleaseKeyIds = stringsOf(policy, "shutdown_release_key_ids");
}

}  // namespace brivet

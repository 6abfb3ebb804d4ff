#pragma once
// A straightforward reading of the decision rules over ordered containers,
// to check the compiled rule table against (unit tests and the fuzzer).

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "BrivetClient/RuleSet.h"

namespace brivet::ruleset_reference {

struct Reference {
    std::map<std::string, HostDecision> exact, suffixes;
    std::set<std::string> allowExact, allowSuffixes;

    // A block rule; the first rule for a name wins, names that normalise to
    // nothing and unknown rule types are ignored.
    void block(const BlockRule& rule, const HostDecision& decision) {
        const std::string name = RuleSet::normalize(rule.value);
        if (name.empty()) return;
        if (rule.ruleType == "domain") exact.emplace(name, decision);
        if (rule.ruleType == "domain_suffix") suffixes.emplace(name, decision);
    }

    // An allow rule; unknown rule types are ignored.
    void allow(const BlockRule& rule) {
        if (rule.ruleType == "domain") allowExact.insert(RuleSet::normalize(rule.value));
        if (rule.ruleType == "domain_suffix") allowSuffixes.insert(RuleSet::normalize(rule.value));
    }

    HostDecision decide(std::string_view host) const {
        const std::string name = RuleSet::normalize(host);
        if (name.empty()) return HostDecision::pass();
        const auto candidates = RuleSet::suffixCandidates(name);
        if (allowExact.count(name)) return HostDecision::allow();
        for (const auto& c : candidates) {
            if (allowSuffixes.count(c)) return HostDecision::allow();
        }
        if (auto it = exact.find(name); it != exact.end()) return it->second;
        for (const auto& c : candidates) {
            if (auto it = suffixes.find(c); it != suffixes.end()) return it->second;
        }
        return HostDecision::pass();
    }
};

}  // namespace brivet::ruleset_reference

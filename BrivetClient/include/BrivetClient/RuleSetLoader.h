#pragma once
// Gathers the blocklists of an effective policy's categories, from the cache
// or else from the device service, and compiles them into a rule set.

#include <memory>
#include <string>
#include <vector>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/RuleSet.h"

namespace brivet {

struct RuleSetLoadResult {
    RuleSet ruleSet;
    // Categories that could not be obtained, in the policy's order.
    std::vector<std::string> missing;
};

class RuleSetLoader {
public:
    RuleSetLoader(std::shared_ptr<DeviceAPI> api, std::shared_ptr<BlocklistCache> cache)
        : api(std::move(api)), cache(std::move(cache)) {}

    // Never fails: every category that cannot be had is reported missing,
    // and custom and allow rules always take effect. The category "custom"
    // names the policy's own rules and is never looked up. A cached list is
    // only used when it is the one asked for (same category and version);
    // anything else is fetched. Fetches run one after another. Without an
    // `api` only the cache is asked (a start that must not wait on the
    // service).
    RuleSetLoadResult load(const EffectivePolicy& policy) const;

    const std::shared_ptr<DeviceAPI> api;
    const std::shared_ptr<BlocklistCache> cache;
};

}  // namespace brivet

#include "BrivetClient/RuleSetLoader.h"

namespace brivet {

RuleSetLoadResult RuleSetLoader::load(const EffectivePolicy& policy) const {
    const std::int64_t version = policy.blocklistVersion;
    std::vector<Blocklist> taken;
    std::vector<std::string> missing;

    if (version >= 1) {
        for (const std::string& category : policy.categories) {
            if (category == "custom") continue;

            // The file cache maps several categories to one file, so what it
            // answers is only taken when it is the list that was asked for.
            std::optional<Blocklist> cached = cache->blocklist(category, version);
            if (cached && cached->category == category && cached->version == version) {
                taken.push_back(std::move(*cached));
                continue;
            }

            try {
                Blocklist fetched = api->fetchBlocklist(category, version);
                cache->store(fetched);
                taken.push_back(std::move(fetched));
            } catch (...) {
                missing.push_back(category);
            }
        }
    }

    return RuleSetLoadResult{
        RuleSet(policy.categories, policy.customRules, policy.allowRules, taken),
        std::move(missing)};
}

}  // namespace brivet

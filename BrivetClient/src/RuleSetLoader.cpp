#include "BrivetClient/RuleSetLoader.h"

#include <malloc.h>

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

            if (!api) {
                missing.push_back(category);
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

    RuleSet ruleSet(policy.categories, policy.customRules, policy.allowRules, taken);
    // The compiled set is the one copy kept: the parsed lists go now, and the
    // memory that fetching, decoding and compiling them took goes back to the
    // system instead of staying with the process.
    std::vector<Blocklist>().swap(taken);
    ::malloc_trim(0);
    return RuleSetLoadResult{std::move(ruleSet), std::move(missing)};
}

}  // namespace brivet

#pragma once
// The complete rules document that the engine hands to a filter: the
// compiled rule set plus the facts of the policy it was built from. One JSON
// form (field names as keys) serves both the proxy's "filter-rules.json" and
// the app's payload to its network extension.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/RuleSet.h"

namespace brivet {

struct FilterRules {
    std::int64_t policySeq = 0;
    std::string kind = "none";
    bool committed = false;
    std::int64_t blocklistVersion = 0;
    std::vector<std::string> categories;
    std::vector<std::string> missingCategories;
    std::string generatedAt = "1970-01-01T00:00:00Z";
    RuleSet ruleSet;

    // Sequence 0, kind "none", not committed, version 0, no categories,
    // nothing missing, generated at the epoch, an empty rule set. A
    // default-constructed value equals it.
    static const FilterRules& empty();

    // From the policy in force: its sequence, kind, commitment flag,
    // blocklist version and effective categories; `missing` as given;
    // generatedAt is the RFC 3339 text of `at`.
    static FilterRules make(const EffectivePolicy& policy, RuleSet ruleSet,
                            std::vector<std::string> missing, Instant at);

    // True when every category's blocklist was loaded.
    bool isComplete() const noexcept { return missingCategories.empty(); }

    bool operator==(const FilterRules&) const = default;

    // Every member is written; every member is required when reading
    // (DecodingError otherwise) and members with other names are ignored.
    Json toJSON() const;
    static FilterRules fromJSON(const Json& json);
    // Same, from an unordered tree: the faster way to read a large rule set.
    static FilterRules fromJSON(const nlohmann::json& json);

    // Compact text of toJSON(), and the strict reading of such a text.
    std::string encode() const;
    static FilterRules decode(std::string_view text);
};

class FilterRulesStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads and writes one rules document file.
class FilterRulesStore {
public:
    // Stores the location; touches no file.
    explicit FilterRulesStore(std::filesystem::path url);

    const std::filesystem::path& url() const noexcept { return url_; }

    // No value when there is no file; throws FilterRulesStoreError when the
    // file cannot be read or decoded, or is no regular file (a symlink, a
    // FIFO...) or too large. Creates nothing.
    std::optional<FilterRules> load() const;

    // Creates missing folders and replaces the file atomically with a 0600
    // file; on failure the previous file stays. Throws FilterRulesStoreError.
    void save(const FilterRules& rules) const;

private:
    std::filesystem::path url_;
};

}  // namespace brivet

#include "BrivetClient/FilterRules.h"

#include <utility>

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/RegularFile.h"

namespace brivet {
namespace {

// The deepest nesting a rules document can have is small; anything deeper
// is refused before parsing so that no parser or destructor recursion runs
// away on a hostile file.
constexpr std::size_t kMaxDepth = 128;

// Scalars and small lists are read through the shared strict accessors; only
// the rule set, which may hold a million names, stays in the tree it came in.
template <class Tree>
const Tree& member(const Tree& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw DecodingError(std::string("missing member \"") + key + "\"");
    return *it;
}

std::vector<std::string> stringList(const Json& value, const char* key) {
    const Json& list = JSONCoding::requireArray(value, std::string("\"") + key + "\"");
    std::vector<std::string> out;
    out.reserve(list.size());
    for (const Json& item : list) out.push_back(JSONCoding::asString(item, std::string("element of \"") + key + "\""));
    return out;
}

template <class Tree>
FilterRules decodeRules(const Tree& json) {
    if (!json.is_object()) throw DecodingError("rules document is not an object");
    auto scalar = [&](const char* key) { return Json(member(json, key)); };
    FilterRules out;
    out.policySeq = JSONCoding::asInt64(scalar("policySeq"), "\"policySeq\"");
    out.kind = JSONCoding::asString(scalar("kind"), "\"kind\"");
    out.committed = JSONCoding::asBool(scalar("committed"), "\"committed\"");
    out.blocklistVersion = JSONCoding::asInt64(scalar("blocklistVersion"), "\"blocklistVersion\"");
    out.categories = stringList(scalar("categories"), "categories");
    out.missingCategories = stringList(scalar("missingCategories"), "missingCategories");
    out.generatedAt = JSONCoding::asString(scalar("generatedAt"), "\"generatedAt\"");
    out.ruleSet = RuleSet::fromJSON(member(json, "ruleSet"));
    return out;
}

}  // namespace

const FilterRules& FilterRules::empty() {
    static const FilterRules value{};
    return value;
}

FilterRules FilterRules::make(const EffectivePolicy& policy, RuleSet ruleSet,
                              std::vector<std::string> missing, Instant at) {
    FilterRules out;
    out.policySeq = policy.policySeq;
    out.kind = policy.kind;
    out.committed = policy.committed;
    out.blocklistVersion = policy.blocklistVersion;
    out.categories = policy.categories;
    out.missingCategories = std::move(missing);
    out.generatedAt = RFC3339::string(at);
    out.ruleSet = std::move(ruleSet);
    return out;
}

Json FilterRules::toJSON() const {
    Json j = Json::object();
    j["policySeq"] = policySeq;
    j["kind"] = kind;
    j["committed"] = committed;
    j["blocklistVersion"] = blocklistVersion;
    j["categories"] = categories;
    j["missingCategories"] = missingCategories;
    j["generatedAt"] = generatedAt;
    j["ruleSet"] = ruleSet.toJSON();
    return j;
}

FilterRules FilterRules::fromJSON(const Json& json) { return decodeRules(json); }

FilterRules FilterRules::fromJSON(const nlohmann::json& json) { return decodeRules(json); }

std::string FilterRules::encode() const { return JSONCoding::plainEncode(toJSON()); }

FilterRules FilterRules::decode(std::string_view text) {
    if (JSONCoding::nestingDepth(text) > kMaxDepth) throw DecodingError("rules document is nested too deeply");
    // An unordered tree: the insertion-ordered one looks up every key
    // linearly while parsing, which a large rule set cannot afford.
    nlohmann::json tree = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (tree.is_discarded()) throw DecodingError("rules document is not valid JSON");
    return decodeRules(tree);
}

FilterRulesStore::FilterRulesStore(std::filesystem::path url) : url_(std::move(url)) {}

std::optional<FilterRules> FilterRulesStore::load() const {
    std::string bytes;
    try {
        if (!readRegularFile(url_, bytes)) return std::nullopt;
    } catch (const std::exception& e) {
        throw FilterRulesStoreError(std::string("cannot read filter rules: ") + e.what());
    }
    try {
        return FilterRules::decode(bytes);
    } catch (const DecodingError& e) {
        throw FilterRulesStoreError("cannot decode filter rules " + url_.string() + ": " + e.what());
    }
}

void FilterRulesStore::save(const FilterRules& rules) const {
    std::string bytes;
    try {
        bytes = rules.encode();
    } catch (const std::exception& e) {
        throw FilterRulesStoreError(std::string("cannot encode filter rules: ") + e.what());
    }
    try {
        atomicWrite(url_, bytes);
    } catch (const AtomicWriteError& e) {
        throw FilterRulesStoreError(std::string("cannot write filter rules: ") + e.what());
    }
}

}  // namespace brivet

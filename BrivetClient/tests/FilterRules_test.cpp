#include "keldra/TestFiles.h"
#include "BrivetClient/FilterRules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "BrivetClient/AtomicFile.h"

namespace fs = std::filesystem;
using brivet::BlockRule;
using brivet::Blocklist;
using brivet::DecodingError;
using brivet::FilterRules;
using brivet::FilterRulesStore;
using brivet::FilterRulesStoreError;
using brivet::HostDecision;
using brivet::RuleSet;

namespace {

using keldra::test::TempDir;

using keldra::test::modeOf;

RuleSet sampleRuleSet() {
    return RuleSet({"ads", "social"},
                   {BlockRule{"domain", "Custom.Example"}},
                   {BlockRule{"domain_suffix", "ok.ads.example"}, BlockRule{"domain", "fine.example"}},
                   {Blocklist{"ads", 3, {BlockRule{"domain_suffix", "ads.example"}, BlockRule{"domain", "track.example"}}},
                    Blocklist{"social", 3, {BlockRule{"domain_suffix", "social.example"}}}});
}

FilterRules sampleRules() {
    FilterRules rules;
    rules.policySeq = 12;
    rules.kind = "commitment";
    rules.committed = true;
    rules.blocklistVersion = 3;
    rules.categories = {"ads", "gambling", "social"};
    rules.missingCategories = {"gambling"};
    rules.generatedAt = "2025-03-01T08:05:09Z";
    rules.ruleSet = sampleRuleSet();
    return rules;
}

}  // namespace

TEST(FilterRules, EmptyDocumentHasExactlyTheDocumentedMembers) {
    const FilterRules& empty = FilterRules::empty();
    EXPECT_EQ(FilterRules{}, empty);
    EXPECT_TRUE(empty.isComplete());
    EXPECT_TRUE(empty.ruleSet.isEmpty());

    auto tree = brivet::JSONCoding::parse(empty.encode());
    std::vector<std::string> keys;
    for (auto it = tree.begin(); it != tree.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"policySeq", "kind", "committed", "blocklistVersion", "categories",
                                              "missingCategories", "generatedAt", "ruleSet"}));
    EXPECT_EQ(tree["policySeq"], 0);
    EXPECT_EQ(tree["kind"], "none");
    EXPECT_EQ(tree["committed"], false);
    EXPECT_EQ(tree["blocklistVersion"], 0);
    EXPECT_EQ(tree["categories"], brivet::Json::array());
    EXPECT_EQ(tree["missingCategories"], brivet::Json::array());
    EXPECT_EQ(tree["generatedAt"], "1970-01-01T00:00:00Z");
    for (const char* key : {"exact", "suffixes", "allowExact", "allowSuffixes"})
        EXPECT_TRUE(tree["ruleSet"].contains(key)) << key;

    EXPECT_EQ(FilterRules::decode(empty.encode()), empty);
}

TEST(FilterRules, RoundTripsRulesThatStillDecide) {
    const FilterRules rules = sampleRules();
    EXPECT_FALSE(rules.isComplete());
    const auto text = rules.encode();
    const auto fromText = FilterRules::decode(text);
    EXPECT_EQ(fromText, rules);
    EXPECT_EQ(FilterRules::fromJSON(brivet::JSONCoding::parse(text)), rules);
    EXPECT_EQ(FilterRules::fromJSON(nlohmann::json::parse(text)), rules);

    EXPECT_EQ(fromText.ruleSet.decide("x.ads.example"), HostDecision::block("ads"));
    EXPECT_EQ(fromText.ruleSet.decide("ok.ads.example"), HostDecision::allow());
    EXPECT_EQ(fromText.ruleSet.decide("custom.example"), HostDecision::blockCustom());
    EXPECT_EQ(fromText.ruleSet.decide("m.track.example"), HostDecision::pass());

    // Equality looks inside the rule set too.
    FilterRules other = rules;
    other.ruleSet = RuleSet();
    EXPECT_NE(other, rules);
}

TEST(FilterRules, MadeFromThePolicyInForce) {
    brivet::EffectivePolicy policy;
    policy.policySeq = 41;
    policy.kind = "released";
    policy.committed = false;
    policy.blocklistVersion = 9;
    policy.categories = {"ads", "social"};
    policy.lockedCategories = {"social"};
    const auto at = brivet::Instant{std::chrono::seconds{1740816309}} + std::chrono::microseconds{999999};

    auto rules = FilterRules::make(policy, sampleRuleSet(), {"social"}, at);
    EXPECT_EQ(rules.policySeq, 41);
    EXPECT_EQ(rules.kind, "released");
    EXPECT_FALSE(rules.committed);
    EXPECT_EQ(rules.blocklistVersion, 9);
    EXPECT_EQ(rules.categories, (std::vector<std::string>{"ads", "social"}));
    EXPECT_EQ(rules.missingCategories, (std::vector<std::string>{"social"}));
    EXPECT_FALSE(rules.isComplete());
    EXPECT_EQ(rules.generatedAt, "2025-03-01T08:05:09Z");  // whole seconds, UTC
    EXPECT_EQ(rules.ruleSet, sampleRuleSet());

    policy.committed = true;
    policy.kind = "commitment";
    auto complete = FilterRules::make(policy, RuleSet(), {}, at);
    EXPECT_TRUE(complete.committed);
    EXPECT_EQ(complete.kind, "commitment");
    EXPECT_TRUE(complete.isComplete());
}

TEST(FilterRules, EveryMemberIsRequiredAndTyped) {
    const auto full = nlohmann::json::parse(sampleRules().encode());
    for (const char* key : {"policySeq", "kind", "committed", "blocklistVersion", "categories", "missingCategories",
                            "generatedAt", "ruleSet"}) {
        auto j = full;
        j.erase(key);
        EXPECT_THROW(FilterRules::decode(j.dump()), DecodingError) << key;
        EXPECT_THROW(FilterRules::fromJSON(brivet::Json(j)), DecodingError) << key;
    }
    auto extra = full;
    extra["comment"] = "ignored";
    EXPECT_EQ(FilterRules::decode(extra.dump()), sampleRules());

    const std::vector<std::pair<const char*, nlohmann::json>> wrong = {
        {"policySeq", "12"}, {"policySeq", 1.5}, {"policySeq", 9223372036854775808.0},
        {"kind", 1}, {"committed", "true"}, {"committed", 1}, {"blocklistVersion", nullptr},
        {"categories", "ads"}, {"categories", nlohmann::json::array({1})}, {"missingCategories", nullptr},
        {"generatedAt", 0}, {"ruleSet", nlohmann::json::array()}, {"ruleSet", nlohmann::json::object()},
    };
    for (const auto& [key, value] : wrong) {
        auto j = full;
        j[key] = value;
        EXPECT_THROW(FilterRules::decode(j.dump()), DecodingError) << key << " = " << value.dump();
    }
    for (const char* text : {"", "[]", "null", "{\"policySeq\":", "\xff"})
        EXPECT_THROW(FilterRules::decode(text), DecodingError) << text;
    EXPECT_THROW(FilterRules::decode(std::string(200, '[') + std::string(200, ']')), DecodingError);
}

TEST(FilterRulesStore, LoadsNothingWithoutAFileAndCreatesNothing) {
    TempDir dir;
    FilterRulesStore store(dir.path() / "missing" / "filter-rules.json");
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(FilterRulesStore, SavesIntoNewFoldersPrivatelyAndReplaces) {
    TempDir dir;
    const auto file = dir.path() / "a" / "b" / "filter-rules.json";
    FilterRulesStore store(file);
    ::umask(0);
    store.save(FilterRules::empty());
    ::umask(022);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(store.load(), FilterRules::empty());

    store.save(sampleRules());
    EXPECT_EQ(FilterRulesStore(file).load(), sampleRules());
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator{}), 1);
}

TEST(FilterRulesStore, DamagedOrUnwritableFilesFailAndKeepThePreviousFile) {
    TempDir dir;
    const auto file = dir.path() / "filter-rules.json";
    FilterRulesStore store(file);
    brivet::atomicWrite(file, R"({"policySeq":1})");
    EXPECT_THROW(store.load(), FilterRulesStoreError);
    EXPECT_THROW(store.load(), FilterRulesStoreError);  // every time, nothing repaired

    store.save(sampleRules());
    // A folder cannot be replaced by the new file; the old one stays.
    const auto folder = dir.path() / "taken";
    fs::create_directories(folder / "inner");
    EXPECT_THROW(FilterRulesStore(folder).save(FilterRules::empty()), FilterRulesStoreError);
    EXPECT_TRUE(fs::is_directory(folder / "inner"));
    EXPECT_THROW(FilterRulesStore(folder).load(), FilterRulesStoreError);
    EXPECT_EQ(store.load(), sampleRules());
}

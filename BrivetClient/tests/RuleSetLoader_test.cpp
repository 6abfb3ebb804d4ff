#include "BrivetClient/RuleSetLoader.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "StoresTestSupport.h"

namespace brivet {
namespace {

// Answers blocklist requests from a table keyed by request path; records
// every request. A path without an entry fails like an unreachable service.
class FakeTransport final : public HTTPTransport {
public:
    HTTPResponse send(const HTTPRequest& request) override {
        requests.push_back(request);
        const std::string prefix = "http://service.test";
        const std::string path = request.url.substr(prefix.size());
        auto it = replies.find(path);
        if (it == replies.end()) throw APIError::transport("connection refused");
        return it->second;
    }

    void serve(const Blocklist& list, std::string path = {}) {
        if (path.empty()) path = "/api/v1/blocklists/" + list.category + "/" + std::to_string(list.version);
        replies[path] = HTTPResponse(200, {}, JSONCoding::encode(list));
    }

    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (const auto& r : requests) out.push_back(r.method + " " + r.url.substr(19));
        return out;
    }

    std::map<std::string, HTTPResponse> replies;
    std::vector<HTTPRequest> requests;
};

// Counts what the loader asks of its cache.
class CountingCache final : public BlocklistCache {
public:
    std::optional<Blocklist> blocklist(const std::string& category, std::int64_t version) override {
        ++reads;
        return inner.blocklist(category, version);
    }
    void store(const Blocklist& list) override {
        ++stores;
        inner.store(list);
    }
    InMemoryBlocklistCache inner;
    int reads = 0;
    int stores = 0;
};

Blocklist list(std::string category, std::int64_t version, std::string host) {
    return Blocklist{std::move(category), version, {BlockRule{"domain_suffix", std::move(host)}}};
}

JSONValue rules(std::initializer_list<std::pair<const char*, const char*>> items) {
    JSONValue::Array out;
    for (const auto& [type, value] : items) {
        out.push_back(JSONValue(JSONValue::Object{{"rule_type", JSONValue(type)}, {"value", JSONValue(value)}}));
    }
    return JSONValue(out);
}

EffectivePolicy policy(std::vector<std::string> categories, std::int64_t version) {
    JSONValue::Array cats;
    for (auto& c : categories) cats.push_back(JSONValue(c));
    JSONValue::Object p{
        {"policy_seq", JSONValue(1)},
        {"categories", JSONValue(cats)},
        {"blocklist_version", JSONValue(version)},
        {"custom_rules", rules({{"domain", "custom.example"}})},
        {"allow_rules", rules({{"domain", "ok.ads.example"}})},
    };
    return EffectivePolicy(p, false);
}

class RuleSetLoaderTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::shared_ptr<DeviceAPI> api = std::make_shared<DeviceAPI>(
        DeviceAPIConfiguration{"http://service.test", "1.0"}, transport, [] { return std::nullopt; });
    std::shared_ptr<CountingCache> cache = std::make_shared<CountingCache>();
    RuleSetLoader loader{api, cache};
};

TEST_F(RuleSetLoaderTest, VersionBelowOneLooksNothingUp) {
    for (std::int64_t v : {0, -1}) {
        auto result = loader.load(policy({"ads", "custom"}, v));
        EXPECT_TRUE(result.missing.empty());
        EXPECT_EQ(result.ruleSet.decide("custom.example"), HostDecision::blockCustom());
        EXPECT_EQ(result.ruleSet.decide("ok.ads.example"), HostDecision::allow());
        EXPECT_EQ(result.ruleSet.decide("x.ads.example"), HostDecision::pass());
    }
    EXPECT_EQ(cache->reads + cache->stores, 0);
    EXPECT_TRUE(transport->requests.empty());
}

TEST_F(RuleSetLoaderTest, CustomIsNeverLookedUp) {
    auto result = loader.load(policy({"custom"}, 3));
    EXPECT_TRUE(result.missing.empty());
    EXPECT_EQ(cache->reads, 0);
    EXPECT_TRUE(transport->requests.empty());
}

TEST_F(RuleSetLoaderTest, UnreachableServiceReportsEveryCategoryInOrder) {
    transport->replies["/api/v1/blocklists/malware/3"] = HTTPResponse(404, {}, "");
    transport->replies["/api/v1/blocklists/social/3"] = HTTPResponse(200, {}, "not json");
    // The effective policy's categories are sorted; that order is kept.
    auto result = loader.load(policy({"social", "custom", "malware", "ads"}, 3));
    EXPECT_EQ(result.missing, (std::vector<std::string>{"ads", "malware", "social"}));
    EXPECT_EQ(result.ruleSet.decide("custom.example"), HostDecision::blockCustom());
    EXPECT_EQ(result.ruleSet.decide("ok.ads.example"), HostDecision::allow());
    EXPECT_EQ(cache->stores, 0);
}

TEST_F(RuleSetLoaderTest, FetchesOnceThenServesFromTheCache) {
    transport->serve(list("ads", 3, "ads.example"));
    transport->serve(list("adult", 3, "adult.example"));
    auto first = loader.load(policy({"ads", "adult", "ads"}, 3));
    EXPECT_TRUE(first.missing.empty());
    EXPECT_EQ(transport->paths(), (std::vector<std::string>{"GET /api/v1/blocklists/ads/3",
                                                            "GET /api/v1/blocklists/adult/3"}));
    EXPECT_EQ(first.ruleSet.decide("x.ads.example"), HostDecision::block("ads"));
    EXPECT_EQ(first.ruleSet.decide("adult.example"), HostDecision::block("adult"));
    EXPECT_EQ(first.ruleSet.decide("ok.ads.example"), HostDecision::allow());

    auto second = loader.load(policy({"adult", "ads"}, 3));
    EXPECT_EQ(transport->requests.size(), 2u);
    EXPECT_EQ(second.ruleSet, first.ruleSet);
}

TEST_F(RuleSetLoaderTest, AListUnderAnotherCategoryCountsOnlyForThatCategory) {
    // Asked for "ads", the service answers with the "adult" list.
    transport->serve(list("adult", 3, "adult.example"), "/api/v1/blocklists/ads/3");
    auto result = loader.load(policy({"ads"}, 3));
    EXPECT_TRUE(result.missing.empty());
    EXPECT_EQ(result.ruleSet.decide("adult.example"), HostDecision::pass());
    EXPECT_EQ(cache->inner.lists.count("adult@3"), 1u);

    // Once "adult" is a policy category, the kept list serves it without a request.
    auto both = loader.load(policy({"ads", "adult"}, 3));
    EXPECT_EQ(transport->requests.size(), 2u);  // "ads" is asked again, "adult" is not
    EXPECT_EQ(both.ruleSet.decide("adult.example"), HostDecision::block("adult"));
}

TEST(RuleSetLoader, CachedListOfAnotherCategoryOrVersionIsAMiss) {
    storestest::TempDir tmp;
    auto transport = std::make_shared<FakeTransport>();
    auto api = std::make_shared<DeviceAPI>(DeviceAPIConfiguration{"http://service.test", "1.0"}, transport,
                                           [] { return std::nullopt; });
    auto cache = std::make_shared<FileBlocklistCache>(tmp.path());
    RuleSetLoader loader(api, cache);

    // "a.b" and "ab" share one cache file.
    cache->store(list("a.b", 2, "ab-dot.example"));
    transport->serve(list("ab", 2, "ab.example"));
    auto result = loader.load(policy({"ab"}, 2));
    EXPECT_EQ(transport->paths(), (std::vector<std::string>{"GET /api/v1/blocklists/ab/2"}));
    EXPECT_TRUE(result.missing.empty());
    EXPECT_EQ(result.ruleSet.decide("ab.example"), HostDecision::block("ab"));
    EXPECT_EQ(result.ruleSet.decide("ab-dot.example"), HostDecision::pass());

    // A file whose content carries another version is not taken either.
    storestest::writeFile(tmp.path() / "ads@5.json", JSONCoding::encode(list("ads", 4, "old.example")));
    transport->serve(list("ads", 5, "new.example"));
    result = loader.load(policy({"ads"}, 5));
    EXPECT_EQ(result.ruleSet.decide("new.example"), HostDecision::block("ads"));
    EXPECT_EQ(result.ruleSet.decide("old.example"), HostDecision::pass());
    EXPECT_EQ(cache->blocklist("ads", 5), list("ads", 5, "new.example"));
}

}  // namespace
}  // namespace brivet

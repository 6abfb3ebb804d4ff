#include "BrivetClient/RuleSet.h"

#include "BrivetClient/EffectivePolicy.h"
#include "RuleSetReference.h"

#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

using brivet::Blocklist;
using brivet::BlockRule;
using brivet::DecodingError;
using brivet::HostDecision;
using brivet::Json;
using brivet::RuleSet;
using brivet::ruleset_reference::Reference;

namespace {

BlockRule domain(std::string v) { return {"domain", std::move(v)}; }
BlockRule suffix(std::string v) { return {"domain_suffix", std::move(v)}; }

const std::vector<Blocklist> kExampleLists = {
    {"ads", 1, {suffix("example.com"), domain("tracker.net")}},
    {"malware", 1, {suffix("ads.example.com")}},
    {"social", 1, {domain("face.example")}},
};

// The rule set of the shared acceptance example, from its policy object.
RuleSet exampleRules() {
    const auto object = nlohmann::json::parse(
        R"({"categories":["malware","ads"],"custom_rules":[{"rule_type":"domain_suffix","value":" Bad.ORG. "}],
            "allow_rules":[{"rule_type":"domain_suffix","value":"ok.example.com"}],"blocklist_version":3})")
                            .get<brivet::JSONValue>();
    return RuleSet(brivet::EffectivePolicy(*object.objectValue(), false), kExampleLists);
}

}  // namespace

TEST(RuleSet, AcceptanceDecisions) {
    const RuleSet rules = exampleRules();
    EXPECT_EQ(rules.decide("Ads.Example.COM."), HostDecision::block("malware"));
    EXPECT_EQ(rules.decide("tracker.net"), HostDecision::block("ads"));
    EXPECT_EQ(rules.decide("m.tracker.net"), HostDecision::pass());
    EXPECT_EQ(rules.decide("sub.bad.org"), HostDecision::blockCustom());
    EXPECT_EQ(rules.decide("a.ok.example.com"), HostDecision::allow());
    EXPECT_EQ(rules.decide("face.example"), HostDecision::pass());
    EXPECT_EQ(rules.decide(""), HostDecision::pass());
    EXPECT_EQ(rules.decide("..."), HostDecision::pass());
    EXPECT_EQ(rules.decide("example.com"), HostDecision::block("ads"));
    EXPECT_EQ(rules.decide("badexample.com"), HostDecision::pass());
    EXPECT_FALSE(rules.isEmpty());
    // The same from the lists directly.
    EXPECT_EQ(RuleSet({"malware", "ads"}, {suffix(" Bad.ORG. ")}, {suffix("ok.example.com")}, kExampleLists), rules);
}

TEST(RuleSet, NormalizeFoldsCaseTrimsUnicodeSpaceAndOuterDots) {
    EXPECT_EQ(RuleSet::normalize("  Ads.Example.COM.  "), "ads.example.com");
    EXPECT_EQ(RuleSet::normalize("\t\r\n..a.b..\n"), "a.b");
    EXPECT_EQ(RuleSet::normalize("..."), "");
    EXPECT_EQ(RuleSet::normalize(" \n\t "), "");
    // Dots are stripped after the white space, and white space inside stays.
    EXPECT_EQ(RuleSet::normalize(". a"), " a");
    // (The ideographic space inside is mapped to a plain space by IDNA.)
    EXPECT_EQ(RuleSet::normalize("\u3000.\u3000x."), " x");
    EXPECT_EQ(RuleSet::normalize("a .b"), "a .b");
    // Unicode white space: ideographic space, no-break space, NEL, LS, PS.
    EXPECT_EQ(RuleSet::normalize("\u3000Example.com\u00A0"), "example.com");
    EXPECT_EQ(RuleSet::normalize("\u0085x.y\u2028\u2029"), "x.y");
    // Zero-width space is not white space; IDNA drops it.
    EXPECT_EQ(RuleSet::normalize("\u200Bx"), "x");
    // Full lower-casing, then the ASCII form of each international label:
    // capital I with dot above becomes two code points.
    EXPECT_EQ(RuleSet::normalize("\u0130STANBUL.COM"), "xn--istanbul-o0e.com");
    EXPECT_EQ(RuleSet::normalize("\u00C9COLE.FR"), "xn--cole-9oa.fr");
    // Non-transitional: sharp s stays itself instead of becoming "ss" (but
    // IDNA maps the capital sharp s to "ss").
    EXPECT_EQ(RuleSet::normalize("\u00DF.DE"), "xn--zca.de");
    EXPECT_EQ(RuleSet::normalize("\u1E9E.DE"), "ss.de");
    EXPECT_EQ(RuleSet::normalize("xn--Bcher-kva.example"), "xn--bcher-kva.example");
    // Ill-formed bytes pass through; the rest is still folded.
    EXPECT_EQ(RuleSet::normalize("\xFF\xFE" "ABC."), "\xFF\xFE" "abc");
    EXPECT_EQ(RuleSet::normalize(" \xE2\x80"), "\xE2\x80");
}

// DNS queries carry international names in their "xn--" form, URLs often in
// Unicode; rules may be written either way.
TEST(RuleSet, UnicodeAndAsciiFormsDecideAlike) {
    const RuleSet rules({"c"}, {domain("B\u00DCcher.de"), suffix("xn--mnchen-3ya.example")},
                        {suffix("frei.b\u00FCcher.de"), domain("xn--fa-hia.de")},
                        {{"c", 1, {domain("fa\u00DF.de"), suffix("xn--caf-dma.example"), suffix("\u4F8B\u3048.jp")}}});
    // Unicode rule, either form of the host.
    EXPECT_EQ(rules.decide("xn--bcher-kva.de"), HostDecision::blockCustom());
    EXPECT_EQ(rules.decide("XN--BCHER-KVA.DE."), HostDecision::blockCustom());
    EXPECT_EQ(rules.decide("b\u00FCcher.de"), HostDecision::blockCustom());
    EXPECT_EQ(rules.decide("www.xn--bcher-kva.de"), HostDecision::pass());  // exact rule only
    EXPECT_EQ(rules.decide("x.xn--r8jz45g.jp"), HostDecision::block("c"));
    // "xn--" rule, Unicode host (also upper case, also under a suffix).
    EXPECT_EQ(rules.decide("M\u00DCNCHEN.example"), HostDecision::blockCustom());
    EXPECT_EQ(rules.decide("shop.caf\u00E9.example"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide("xn--caf-dma.example"), HostDecision::block("c"));
    // Allow rules too, whichever form: the allow beats the block.
    EXPECT_EQ(rules.decide("a.frei.xn--bcher-kva.de"), HostDecision::allow());
    EXPECT_EQ(rules.decide("fa\u00DF.de"), HostDecision::allow());
    // Non-transitional: "faß" is not "fass".
    EXPECT_EQ(rules.decide("fass.de"), HostDecision::pass());
    // The same rules written in the other form give the same rule set.
    EXPECT_EQ(RuleSet({"c"}, {domain("xn--bcher-kva.de"), suffix("m\u00FCnchen.example")},
                      {suffix("frei.xn--bcher-kva.de"), domain("fa\u00DF.de")},
                      {{"c", 1, {domain("xn--fa-hia.de"), suffix("caf\u00E9.example"), suffix("xn--r8jz45g.jp")}}}),
              rules);
    // Mixed names: ASCII labels stay, international ones convert.
    EXPECT_EQ(RuleSet::normalize("xn--bcher-kva.B\u00FCcher.de"), "xn--bcher-kva.xn--bcher-kva.de");
    // Full stops that IDNA reads as dots separate labels, also at the end.
    EXPECT_EQ(RuleSet::normalize("B\u00DCCHER\u3002DE\uFF0E"), "xn--bcher-kva.de");
    // IDNA's own case mapping: capital sigma is sigma, never final sigma.
    EXPECT_EQ(RuleSet::normalize("\u0391\u03A3.gr"), RuleSet::normalize("\u03B1\u03C3.gr"));
    EXPECT_NE(RuleSet::normalize("\u03B1\u03C2.gr"), RuleSet::normalize("\u03B1\u03C3.gr"));
}

// A label that is not valid IDNA keeps its written form and still matches
// itself; its neighbours convert as usual.
TEST(RuleSet, LabelsThatAreNotValidIDNAStayAsTheyAre) {
    for (const char* name : {"\u0301x.example", "a\uFFFDb.example", "xn--zz.example", "ab--c\u00E9.example"}) {
        const std::string normalized = RuleSet::normalize(name);
        EXPECT_EQ(normalized, name) << name;
        const RuleSet rules({}, {domain(name)}, {}, {});
        EXPECT_EQ(rules.decide(name), HostDecision::blockCustom()) << name;
    }
    EXPECT_EQ(RuleSet::normalize("\u0301x.B\u00FCcher.de"), "\u0301x.xn--bcher-kva.de");
    // A Unicode label whose ASCII form would exceed 63 bytes is not valid IDNA.
    const std::string longLabel(40, 'a');
    const std::string tooLong = longLabel + "\u00E9" + longLabel + ".de";
    EXPECT_EQ(RuleSet::normalize(tooLong), tooLong);
}

TEST(RuleSet, SuffixCandidatesKeepEmptyLabels) {
    using V = std::vector<std::string>;
    EXPECT_EQ(RuleSet::suffixCandidates("a.b.example.com"), (V{"a.b.example.com", "b.example.com", "example.com", "com"}));
    EXPECT_EQ(RuleSet::suffixCandidates("a..b"), (V{"a..b", ".b", "b"}));
    EXPECT_EQ(RuleSet::suffixCandidates("localhost"), (V{"localhost"}));
    // Taken as given, not normalised again.
    EXPECT_EQ(RuleSet::suffixCandidates(" a.B"), (V{" a.B", "B"}));
}

TEST(RuleSet, EdgeNamesPass) {
    const RuleSet rules({"c"}, {}, {}, {{"c", 1, {suffix("com"), domain("localhost")}}});
    for (const char* name : {"", ".", "....", "  \t\n", " . "}) {
        EXPECT_EQ(rules.decide(name), HostDecision::pass()) << name;
    }
    EXPECT_EQ(rules.decide("localhost"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide("x.localhost"), HostDecision::pass());
    // The space left after the dot is part of the name: normalised once only.
    EXPECT_EQ(rules.decide(". localhost"), HostDecision::pass());
    EXPECT_EQ(rules.decide(".\u3000com"), HostDecision::pass());
    EXPECT_EQ(rules.decide("anything.under.com"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide("com"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide("com.net"), HostDecision::pass());
}

TEST(RuleSet, PrecedenceOfAllowExactAndMostSpecificSuffix) {
    const RuleSet rules({"A", "B"}, {}, {suffix("example.com")},
                        {{"A", 1, {suffix("example.org"), domain("ads.example.com")}},
                         {"B", 1, {suffix("ads.example.org"), domain("m.example.org")}}});
    // An allow suffix beats an exact block.
    EXPECT_EQ(rules.decide("ads.example.com"), HostDecision::allow());
    // The most specific suffix wins.
    EXPECT_EQ(rules.decide("x.ads.example.org"), HostDecision::block("B"));
    EXPECT_EQ(rules.decide("x.example.org"), HostDecision::block("A"));
    // An exact block beats the suffix rules; a domain rule matches only itself.
    EXPECT_EQ(rules.decide("m.example.org"), HostDecision::block("B"));
    EXPECT_EQ(rules.decide("z.m.example.org"), HostDecision::block("A"));

    // Allow suffixes shorter and longer than the matching block suffix.
    const RuleSet nested({"A"}, {}, {suffix("x.ads.example.com"), domain("exact.example.com")},
                         {{"A", 1, {suffix("example.com")}}});
    EXPECT_EQ(nested.decide("x.ads.example.com"), HostDecision::allow());
    EXPECT_EQ(nested.decide("deep.x.ads.example.com"), HostDecision::allow());
    EXPECT_EQ(nested.decide("y.ads.example.com"), HostDecision::block("A"));
    EXPECT_EQ(nested.decide("exact.example.com"), HostDecision::allow());
    EXPECT_EQ(nested.decide("sub.exact.example.com"), HostDecision::block("A"));
}

TEST(RuleSet, FirstListAndFirstRuleWinSkipsAndEmptyValues) {
    const RuleSet rules({"one", "two"}, {domain("dup.example"), domain("custom.example"), suffix("  ")},
                        {domain(""), {"DOMAIN", "allowed.example"}},
                        {{"two", 1, {domain("dup.example"), {"Domain", "typed.example"}, domain(" . ")}},
                         {"one", 1, {domain("dup.example"), {"regex", "custom.example"}}},
                         {"other", 1, {domain("other.example")}}});
    // The list that comes first in the argument wins, whatever the policy's order.
    EXPECT_EQ(rules.decide("dup.example"), HostDecision::block("two"));
    EXPECT_EQ(rules.decide("custom.example"), HostDecision::blockCustom());
    // Rule types are exact, case-sensitive texts.
    EXPECT_EQ(rules.decide("typed.example"), HostDecision::pass());
    EXPECT_EQ(rules.decide("allowed.example"), HostDecision::pass());
    // A list for a category outside the policy contributes nothing.
    EXPECT_EQ(rules.decide("other.example"), HostDecision::pass());

    const Json json = rules.toJSON();
    EXPECT_EQ(json["exact"].size(), 2u);
    EXPECT_EQ(json["suffixes"].size(), 0u);
    // The empty allow value is kept as a member that never matches.
    EXPECT_EQ(json["allowExact"], Json::array({""}));
}

TEST(RuleSet, NamesWithVeryManyLabels) {
    const RuleSet rules({"c"}, {}, {suffix("ok.a.a.com")}, {{"c", 1, {suffix("com"), domain("b.a.a.com")}}});
    std::string host;
    for (int i = 0; i < 300000; ++i) host += "a.";
    EXPECT_EQ(rules.decide(host + "com"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide(host + "ok.a.a.com"), HostDecision::allow());
    EXPECT_EQ(rules.decide(host + "org"), HostDecision::pass());
    EXPECT_EQ(rules.decide("B.a.A.com"), HostDecision::block("c"));
}

TEST(RuleSet, OnlyAllowEntriesIsEmpty) {
    EXPECT_TRUE(RuleSet().isEmpty());
    const RuleSet allowOnly({}, {}, {domain("a.example"), suffix("b.example")}, {});
    EXPECT_TRUE(allowOnly.isEmpty());
    EXPECT_EQ(allowOnly.decide("x.b.example"), HostDecision::allow());
    EXPECT_FALSE(RuleSet({}, {domain("x")}, {}, {}).isEmpty());
}

TEST(HostDecisionJSON, CaseObjectsAndErrors) {
    EXPECT_EQ(HostDecision::block("ads").toJSON().dump(), R"({"block":{"category":"ads"}})");
    EXPECT_EQ(HostDecision::blockCustom().toJSON().dump(), R"({"blockCustom":{}})");
    EXPECT_EQ(HostDecision::allow().toJSON().dump(), R"({"allow":{}})");
    EXPECT_EQ(HostDecision::pass().toJSON().dump(), R"({"pass":{}})");
    for (const auto& d : {HostDecision::block("x"), HostDecision::blockCustom(), HostDecision::allow(), HostDecision::pass()}) {
        EXPECT_EQ(HostDecision::fromJSON(d.toJSON()), d);
        EXPECT_EQ(HostDecision::fromJSON(nlohmann::json::parse(d.toJSON().dump())), d);
    }
    // Unknown keys are ignored.
    EXPECT_EQ(HostDecision::fromJSON(Json::parse(R"({"note":1,"allow":{"x":2}})")), HostDecision::allow());

    auto message = [](const char* text) {
        try {
            HostDecision::fromJSON(Json::parse(text));
        } catch (const DecodingError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(R"({})"), "Invalid number of keys found, expected one.");
    EXPECT_EQ(message(R"({"other":{}})"), "Invalid number of keys found, expected one.");
    EXPECT_EQ(message(R"({"allow":{},"pass":{}})"), "Invalid number of keys found, expected one.");
    EXPECT_NE(message(R"({"allow":true})"), "no error");
    EXPECT_NE(message(R"({"block":{}})"), "no error");
    EXPECT_NE(message(R"({"block":{"category":3}})"), "no error");
    EXPECT_NE(message(R"([])"), "no error");
}

TEST(RuleSetJSON, RoundTripsAndComparesByContent) {
    const RuleSet rules = exampleRules();
    const Json json = rules.toJSON();
    EXPECT_EQ(json["exact"]["tracker.net"], HostDecision::block("ads").toJSON());
    EXPECT_EQ(json["suffixes"]["bad.org"], HostDecision::blockCustom().toJSON());
    EXPECT_EQ(json["allowSuffixes"], Json::array({"ok.example.com"}));
    EXPECT_EQ(json["allowExact"], Json::array());

    const RuleSet back = RuleSet::fromJSON(Json::parse(json.dump()));
    EXPECT_EQ(back, rules);
    EXPECT_EQ(RuleSet::fromJSON(nlohmann::json::parse(json.dump())), rules);
    EXPECT_EQ(back.decide("a.ok.example.com"), HostDecision::allow());
    EXPECT_EQ(back.decide("x.ads.example.com"), HostDecision::block("malware"));

    // Same content in another order is equal; any difference is not.
    const RuleSet reordered = RuleSet::fromJSON(Json::parse(
        R"({"allowSuffixes":["ok.example.com"],"allowExact":[],
            "suffixes":{"bad.org":{"blockCustom":{}},"ads.example.com":{"block":{"category":"malware"}},
                        "example.com":{"block":{"category":"ads"}}},
            "exact":{"tracker.net":{"block":{"category":"ads"}}}})"));
    EXPECT_EQ(reordered, rules);
    Json changed = json;
    changed["exact"]["tracker.net"] = HostDecision::block("malware").toJSON();
    EXPECT_FALSE(RuleSet::fromJSON(changed) == rules);
    changed = json;
    changed["allowExact"].push_back("ok.example.com");
    EXPECT_FALSE(RuleSet::fromJSON(changed) == rules);
    EXPECT_EQ(RuleSet::fromJSON(RuleSet().toJSON()), RuleSet());
    EXPECT_EQ(RuleSet().toJSON().dump(), R"({"exact":{},"suffixes":{},"allowExact":[],"allowSuffixes":[]})");
}

TEST(RuleSetJSON, DecodedEntriesAreTakenAsWrittenAndMalformedDocumentsFail) {
    // A stored "pass" in the exact map shadows the suffix rules, as written.
    const RuleSet rules = RuleSet::fromJSON(Json::parse(
        R"({"exact":{"a.example":{"pass":{}},"Upper.example":{"blockCustom":{}}},
            "suffixes":{"example":{"block":{"category":"c"}}},"allowExact":[],"allowSuffixes":[]})"));
    EXPECT_EQ(rules.decide("a.example"), HostDecision::pass());
    EXPECT_EQ(rules.decide("b.example"), HostDecision::block("c"));
    EXPECT_EQ(rules.decide("upper.example"), HostDecision::block("c"));

    // Unicode labels in keys (as files written before names were compared
    // in their ASCII form may hold) take their ASCII form.
    const RuleSet unicodeKeys = RuleSet::fromJSON(Json::parse(
        R"({"exact":{"b\u00fccher.de":{"blockCustom":{}}},"suffixes":{"caf\u00e9.example":{"block":{"category":"c"}}},
            "allowExact":["ok.b\u00fccher.de"],"allowSuffixes":["frei.caf\u00e9.example"]})"));
    EXPECT_EQ(unicodeKeys.decide("xn--bcher-kva.de"), HostDecision::blockCustom());
    EXPECT_EQ(unicodeKeys.decide("x.xn--caf-dma.example"), HostDecision::block("c"));
    EXPECT_EQ(unicodeKeys.decide("ok.xn--bcher-kva.de"), HostDecision::allow());
    EXPECT_EQ(unicodeKeys.decide("x.frei.caf\u00e9.example"), HostDecision::allow());
    EXPECT_EQ(RuleSet::fromJSON(Json::parse(unicodeKeys.toJSON().dump())), unicodeKeys);

    // A label ICU refuses (a C1 control) keeps its Unicode form; a name that
    // also ends in a label of white space (left once its trailing dot was
    // stripped) reads back as written, not trimmed a second time.
    const RuleSet odd({"c"}, {}, {}, {{"c", 1, {{"domain", "\xc2\x80\xc3\x89.\t."}}}});
    EXPECT_EQ(odd.toJSON()["exact"].size(), 1u);
    EXPECT_EQ(RuleSet::fromJSON(Json::parse(odd.toJSON().dump())), odd);
        EXPECT_EQ(RuleSet::fromJSON(nlohmann::json::parse(odd.toJSON().dump())), odd);

    // A capital that ICU refuses but whose small letter it takes decides
    // like the small letter, and reads back as written.
    const RuleSet palochka({"c"}, {}, {}, {{"c", 1, {{"domain", "\xd3\x80.example"}}}});
    EXPECT_EQ(palochka.decide("\xd3\x8f.example"), HostDecision::block("c"));
    EXPECT_EQ(RuleSet::fromJSON(Json::parse(palochka.toJSON().dump())), palochka);
    const RuleSet stops({"c"}, {}, {}, {{"c", 1, {{"domain", "\xd3\x80\xe3\x80\x82" "b.example"}}}});
    EXPECT_EQ(stops.decide("\xd3\x8f.b.example"), HostDecision::block("c"));
    EXPECT_EQ(RuleSet::fromJSON(Json::parse(stops.toJSON().dump())), stops);

    for (const char* text : {
             R"([])",
             R"({"suffixes":{},"allowExact":[],"allowSuffixes":[]})",
             R"({"exact":{},"allowExact":[],"allowSuffixes":[]})",
             R"({"exact":{},"suffixes":{},"allowSuffixes":[]})",
             R"({"exact":{},"suffixes":{},"allowExact":[]})",
             R"({"exact":[],"suffixes":{},"allowExact":[],"allowSuffixes":[]})",
             R"({"exact":{},"suffixes":{},"allowExact":{},"allowSuffixes":[]})",
             R"({"exact":{},"suffixes":{},"allowExact":[1],"allowSuffixes":[]})",
             R"({"exact":{"x":{}},"suffixes":{},"allowExact":[],"allowSuffixes":[]})",
             R"({"exact":{},"suffixes":{"x":"block"},"allowExact":[],"allowSuffixes":[]})",
         }) {
        EXPECT_THROW(RuleSet::fromJSON(Json::parse(text)), DecodingError) << text;
    }
}

TEST(RuleSet, MatchesReferenceOnRandomRules) {
    std::mt19937 rng(20240607);
    const std::vector<std::string> labels = {"a",   "B",   "c",  "ex", "com", "", "org", "\u00C9t\u00E9", "x y",
                                             "xn--t-9fab", "\u00E9t\u00E9"};
    auto randomName = [&](int maxLabels) {
        std::string name;
        const int n = 1 + static_cast<int>(rng() % maxLabels);
        for (int i = 0; i < n; ++i) {
            if (i) name += '.';
            name += labels[rng() % labels.size()];
        }
        if (rng() % 8 == 0) name += '.';
        if (rng() % 8 == 0) name = " " + name;
        return name;
    };
    const std::vector<std::string> types = {"domain", "domain_suffix", "other"};
    for (int round = 0; round < 40; ++round) {
        std::vector<Blocklist> lists;
        for (const char* category : {"p", "q", "r"}) {
            Blocklist list{category, 1, {}};
            for (int i = 0; i < 12; ++i) list.rules.push_back({types[rng() % 3], randomName(3)});
            lists.push_back(list);
        }
        std::vector<BlockRule> custom, allow;
        for (int i = 0; i < 6; ++i) custom.push_back({types[rng() % 3], randomName(3)});
        for (int i = 0; i < static_cast<int>(rng() % 4); ++i) allow.push_back({types[rng() % 3], randomName(3)});
        const std::vector<std::string> categories = {"q", "p"};

        Reference ref;
        for (const auto& list : lists) {
            if (list.category == "r") continue;
            for (const auto& r : list.rules) ref.block(r, HostDecision::block(list.category));
        }
        for (const auto& r : custom) ref.block(r, HostDecision::blockCustom());
        for (const auto& r : allow) ref.allow(r);

        const RuleSet rules(categories, custom, allow, lists);
        const RuleSet decoded = RuleSet::fromJSON(Json::parse(rules.toJSON().dump()));
        ASSERT_EQ(decoded, rules);
        for (int i = 0; i < 300; ++i) {
            const std::string host = randomName(5);
            const HostDecision expected = ref.decide(host);
            ASSERT_EQ(rules.decide(host), expected) << "round " << round << " host '" << host << "'";
            ASSERT_EQ(decoded.decide(host), expected) << "round " << round << " host '" << host << "'";
        }
    }
}

TEST(RuleSet, CopiesShareRulesAndDecideConcurrently) {
    std::vector<BlockRule> rules;
    for (int i = 0; i < 2000; ++i) {
        // Appended in place: GCC 12 at -O3 warns falsely (-Wrestrict) about
        // a literal put in front of a temporary string.
        std::string name = "n";
        name.append(std::to_string(i)).append(".example");
        rules.push_back(suffix(std::move(name)));
    }
    const RuleSet set({"c"}, {}, {}, {{"c", 1, rules}});
    const RuleSet copy = set;
    EXPECT_EQ(copy, set);
    std::vector<std::thread> threads;
    std::vector<int> blocked(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4000; ++i) {
                if (copy.decide("www.n" + std::to_string(i) + ".EXAMPLE").isBlocked()) ++blocked[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int count : blocked) EXPECT_EQ(count, 2000);
}

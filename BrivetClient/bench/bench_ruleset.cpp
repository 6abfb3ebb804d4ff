// Builds a rule set from one synthetic blocklist of 1,000,000 names and
// measures build time, resident memory per rule and the cost of one
// decision, each beside a bare std::unordered_set<std::string> holding the
// same normalised names and looked up once per suffix candidate.
//
//   bench_ruleset [names] [queries]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "BrivetClient/RuleSet.h"

using brivet::Blocklist;
using brivet::BlockRule;
using brivet::RuleSet;
using Clock = std::chrono::steady_clock;

namespace {

long residentBytes() {
    malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baseline's own normalisation: ASCII only, into a reused buffer.
void baselineNormalize(std::string_view in, std::string& out) {
    auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!in.empty() && space(in.front())) in.remove_prefix(1);
    while (!in.empty() && space(in.back())) in.remove_suffix(1);
    while (!in.empty() && in.back() == '.') in.remove_suffix(1);
    while (!in.empty() && in.front() == '.') in.remove_prefix(1);
    out.assign(in);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
}

// Standard hash and equality, made transparent so that lookups by
// string_view need no temporary string.
struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
struct Equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};
using Baseline = std::unordered_set<std::string, Hash, Equal>;

bool baselineDecide(const Baseline& set, std::string_view host, std::string& buffer) {
    baselineNormalize(host, buffer);
    const std::string_view name = buffer;
    if (name.empty()) return false;
    for (std::size_t pos = 0;;) {
        if (set.find(name.substr(pos)) != set.end()) return true;
        const std::size_t dot = name.find('.', pos);
        if (dot == std::string_view::npos) return false;
        pos = dot + 1;
    }
}

class Names {
public:
    explicit Names(std::uint64_t seed) : rng_(seed) {}

    std::string label() {
        static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-";
        const int length = 3 + static_cast<int>(rng_() % 8);
        std::string s;
        for (int i = 0; i < length; ++i) {
            char c = alphabet[rng_() % 36];  // no hyphen at the ends
            if (i > 0 && i + 1 < length && rng_() % 16 == 0) c = '-';
            s += c;
        }
        return s;
    }
    std::string tld() {
        static const char* tlds[] = {"com", "net", "org", "io", "de", "co.uk", "info", "biz", "xyz", "app",
                                     "ru",  "cn",  "fr",  "jp", "online", "site", "top", "club", "us", "eu"};
        return tlds[rng_() % 20];
    }
    // A name of `labels` labels (a two-label TLD counts as two).
    std::string name(int labels) {
        std::string t = tld();
        int have = t.find('.') != std::string::npos ? 2 : 1;
        if (have >= labels) t = "com", have = 1;
        std::string s = t;
        while (have < labels) {
            s = label() + "." + s;
            ++have;
        }
        return s;
    }
    std::uint64_t next() { return rng_(); }

private:
    std::mt19937_64 rng_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::size_t queryCount = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2'000'000;

    // One synthetic blocklist: domain and domain_suffix rules of 2 to 5
    // labels; one name in 20 written with capitals and a trailing dot.
    Names names(42);
    Blocklist list{"ads", 1, {}};
    list.rules.reserve(count);
    std::vector<std::size_t> exactRules, suffixRules;
    for (std::size_t i = 0; i < count; ++i) {
        std::string value = names.name(2 + static_cast<int>(names.next() % 4));
        if (names.next() % 20 == 0) {
            std::transform(value.begin(), value.end(), value.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
            value += '.';
        }
        const bool exact = names.next() % 5 < 3;
        (exact ? exactRules : suffixRules).push_back(i);
        list.rules.push_back({exact ? "domain" : "domain_suffix", std::move(value)});
    }
    const std::vector<std::string> categories = {"ads"};
    const std::vector<Blocklist> lists = {std::move(list)};
    const std::vector<BlockRule>& rules = lists[0].rules;

    // The queries: a third blocked names, a third names under blocked
    // suffixes, a third unlisted names of 2 to 6 labels.
    std::vector<std::string> queries;
    queries.reserve(queryCount);
    for (std::size_t i = 0; i < queryCount; ++i) {
        switch (i % 3) {
            case 0: queries.push_back(RuleSet::normalize(rules[exactRules[names.next() % exactRules.size()]].value)); break;
            case 1: {
                std::string q = RuleSet::normalize(rules[suffixRules[names.next() % suffixRules.size()]].value);
                const int extra = 1 + static_cast<int>(names.next() % 2);
                for (int k = 0; k < extra; ++k) q = names.label() + "." + q;
                queries.push_back(std::move(q));
                break;
            }
            default: queries.push_back(names.name(2 + static_cast<int>(names.next() % 5))); break;
        }
    }
    // One query in ten as a resolver may hand it over: capitals, trailing dot.
    for (std::size_t i = 0; i < queries.size(); i += 10) {
        for (std::size_t k = 0; k < queries[i].size(); k += 2) {
            if (queries[i][k] >= 'a' && queries[i][k] <= 'z') queries[i][k] = static_cast<char>(queries[i][k] - 32);
        }
        queries[i] += '.';
    }
    std::shuffle(queries.begin(), queries.end(), std::mt19937_64(7));

    // ---- Build and memory.
    const long before = residentBytes();
    auto start = Clock::now();
    const RuleSet ruleSet(categories, {}, {}, lists);
    const double ruleSetBuild = secondsSince(start);
    const long ruleSetMemory = residentBytes() - before;

    const long beforeBaseline = residentBytes();
    start = Clock::now();
    Baseline baseline;
    baseline.reserve(count);
    {
        std::string buffer;
        for (const BlockRule& rule : rules) {
            if (rule.ruleType != "domain" && rule.ruleType != "domain_suffix") continue;
            baselineNormalize(rule.value, buffer);
            if (!buffer.empty()) baseline.insert(buffer);
        }
    }
    const double baselineBuild = secondsSince(start);
    const long baselineMemory = residentBytes() - beforeBaseline;

    // ---- Decisions: best of a few passes each, interleaved.
    double ruleSetNs = 1e300, baselineNs = 1e300;
    std::size_t ruleSetBlocked = 0, baselineBlocked = 0;
    for (int pass = 0; pass < 3; ++pass) {
        start = Clock::now();
        std::size_t blocked = 0;
        for (const std::string& q : queries) blocked += ruleSet.decide(q).isBlocked();
        ruleSetNs = std::min(ruleSetNs, secondsSince(start) * 1e9 / static_cast<double>(queries.size()));
        ruleSetBlocked = blocked;

        start = Clock::now();
        blocked = 0;
        std::string buffer;
        for (const std::string& q : queries) blocked += baselineDecide(baseline, q, buffer);
        baselineNs = std::min(baselineNs, secondsSince(start) * 1e9 / static_cast<double>(queries.size()));
        baselineBlocked = blocked;
    }

    const double perRule = static_cast<double>(ruleSetMemory) / static_cast<double>(count);
    const double perRuleBaseline = static_cast<double>(baselineMemory) / static_cast<double>(count);
    std::printf("rules %zu (%zu distinct names), queries %zu (blocked: rule set %zu, baseline %zu)\n", count,
                baseline.size(), queries.size(), ruleSetBlocked, baselineBlocked);
    std::printf("%-22s %12s %12s %8s %6s\n", "", "RuleSet", "baseline", "ratio", "goal");
    std::printf("%-22s %12.3f %12.3f %8.2f %6s\n", "build (s)", ruleSetBuild, baselineBuild,
                ruleSetBuild / baselineBuild, "<=2.0");
    std::printf("%-22s %12.1f %12.1f %8.2f %6s\n", "memory (bytes/rule)", perRule, perRuleBaseline,
                perRule / perRuleBaseline, "<=1.5");
    std::printf("%-22s %12.1f %12.1f %8.2f %6s\n", "decide (ns)", ruleSetNs, baselineNs, ruleSetNs / baselineNs,
                "<=1.5");
    // The counts differ a little: the baseline does not tell exact rules from
    // suffix rules, so it also "blocks" names under an exact rule.
    return 0;
}

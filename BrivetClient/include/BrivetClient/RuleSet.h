#pragma once
// The compiled form of every name rule in force (the blocklists of the
// policy's categories, its custom rules and its allow rules) and the decision
// it gives for one host name.
//
// A RuleSet is an immutable value once built; copies share the compiled table
// and any number of threads may call decide() on one at the same time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/Models.h"

namespace brivet {

struct EffectivePolicy;

// What the rules say about one host name.
struct HostDecision {
    enum class Kind : std::uint8_t { block, blockCustom, allow, pass };

    Kind kind = Kind::pass;
    // The blocklist's category for `block`; empty for the other kinds.
    std::string category;

    static HostDecision block(std::string category) { return {Kind::block, std::move(category)}; }
    static HostDecision blockCustom() { return {Kind::blockCustom, {}}; }
    static HostDecision allow() { return {Kind::allow, {}}; }
    static HostDecision pass() { return {Kind::pass, {}}; }

    // True for `block` and `blockCustom`.
    bool isBlocked() const noexcept { return kind == Kind::block || kind == Kind::blockCustom; }

    bool operator==(const HostDecision& other) const noexcept {
        return kind == other.kind && (kind != Kind::block || category == other.category);
    }

    // {"block":{"category":"ads"}}, {"blockCustom":{}}, {"allow":{}}, {"pass":{}}.
    Json toJSON() const;
    // Keys other than the four case names are ignored; none or more than one
    // of them, a case whose value is not an object, and a `block` without a
    // text "category" throw DecodingError.
    static HostDecision fromJSON(const Json& json);
    static HostDecision fromJSON(const nlohmann::json& json);
};

// The case name used in the JSON form: "block", "blockCustom", "allow", "pass".
std::string_view caseName(HostDecision::Kind kind);

class RuleSet {
public:
    // The empty rule set: every name passes.
    RuleSet();

    // Compiles the blocklists of `categories` (lists of other categories are
    // skipped whole), then the custom rules, then the allow rules. The first
    // rule for a name wins; values are normalised, block rules whose value
    // normalises to nothing and rules of unknown types are ignored.
    RuleSet(const std::vector<std::string>& categories,
            const std::vector<BlockRule>& customRules,
            const std::vector<BlockRule>& allowRules,
            const std::vector<Blocklist>& blocklists);

    // The same from the policy in force; only its categories, custom rules
    // and allow rules are read.
    RuleSet(const EffectivePolicy& policy, const std::vector<Blocklist>& blocklists);

    // An allow rule beats every block rule, an exact block beats the suffix
    // rules, and the most specific suffix rule wins. Never fails.
    HostDecision decide(std::string_view host) const;

    // True when there are no block entries; allow entries do not count.
    bool isEmpty() const noexcept;

    // White space and line breaks trimmed from both ends, then trailing and
    // leading dots removed; then an ASCII name is lower-cased, and any other
    // takes its ASCII ("xn--") form by UTS #46 processing (non-transitional).
    // When the whole name is not valid IDNA, each valid label takes its ASCII
    // form and the others stay as they are, fully lower-cased. So
    // "Bücher.DE" and "xn--bcher-kva.de" are the same name.
    static std::string normalize(std::string_view name);

    // A (normalised) name and every name after one of its dots, longest
    // first; empty labels are kept ("a..b" gives "a..b", ".b", "b"). The
    // text is split as given: normalising is not idempotent (". a" gives
    // " a", which gives "a"), so it is left to the caller.
    static std::vector<std::string> suffixCandidates(std::string_view name);

    // One name of the table: its exact and suffix block decisions (pass when
    // it has none) and whether it is an exact or suffix allow entry.
    struct Entry {
        std::string_view name;
        HostDecision exact;
        HostDecision suffix;
        bool allowExact = false;
        bool allowSuffix = false;
    };
    // Every name of the table once, in no fixed order.
    void forEachEntry(const std::function<void(const Entry&)>& visit) const;
    // The entry of a normalised name; none when the table does not hold it.
    std::optional<Entry> entry(std::string_view name) const;

    // Equal when the four collections (exact, suffixes, allowExact,
    // allowSuffixes) hold the same entries.
    bool operator==(const RuleSet& other) const;

    // {"exact":{name:decision}, "suffixes":{name:decision},
    //  "allowExact":[names], "allowSuffixes":[names]}; all four required when
    // reading (DecodingError otherwise). Keys are taken as written, except
    // that keys holding Unicode are normalised (which gives their ASCII form).
    // Large rule sets are best read from an nlohmann::json tree: the
    // insertion-ordered tree looks keys up linearly while it is parsed.
    Json toJSON() const;
    static RuleSet fromJSON(const Json& json);
    static RuleSet fromJSON(const nlohmann::json& json);

    class Table;

private:
    explicit RuleSet(std::shared_ptr<const Table> table);
    std::shared_ptr<const Table> table_;
};

}  // namespace brivet

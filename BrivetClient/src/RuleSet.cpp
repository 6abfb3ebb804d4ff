#include "BrivetClient/RuleSet.h"

#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/UTF8.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/uidna.h>

namespace brivet {
namespace {

// ---------------------------------------------------------------------------
// Name normalisation

inline bool isAsciiSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Unicode white space and line breaks: the space separators, tab, the line
// break controls, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR.
bool isWhitespaceOrNewline(char32_t c) {
    if (c < 0x80) return isAsciiSpace(static_cast<unsigned char>(c));
    if (c == 0x85 || c == 0x2028 || c == 0x2029) return true;
    return u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

// Decodes the well-formed UTF-8 sequence at s[i]; returns its length, or 0
// when the bytes there are ill-formed.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& cp) {
    std::size_t at = i;
    std::uint32_t point = 0;
    if (!utf8::decode(s, at, point)) return 0;
    cp = point;
    return at - i;
}

// Removes trailing, then leading dots.
std::string_view stripDots(std::string_view s) {
    while (!s.empty() && s.back() == '.') s.remove_suffix(1);
    while (!s.empty() && s.front() == '.') s.remove_prefix(1);
    return s;
}

// Trims and strips an all-ASCII text (lower-casing does not move bytes in
// ASCII, so it can come after).
std::string_view trimAscii(std::string_view s) {
    while (!s.empty() && isAsciiSpace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && isAsciiSpace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return stripDots(s);
}

std::string_view trimUnicode(std::string_view s) {
    char32_t cp = 0;
    while (!s.empty()) {
        const std::size_t n = decodeAt(s, 0, cp);
        if (n == 0 || !isWhitespaceOrNewline(cp)) break;
        s.remove_prefix(n);
    }
    while (!s.empty()) {
        // Step back to the start of the last sequence (at most four bytes).
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        const std::size_t n = decodeAt(s, start, cp);
        if (n == 0 || start + n != s.size() || !isWhitespaceOrNewline(cp)) break;
        s.remove_suffix(n);
    }
    return stripDots(s);
}

void asciiLower(char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<char>(p[i] + ('a' - 'A'));
    }
}

bool isAscii(std::string_view s) {
    unsigned char acc = 0;
    for (char c : s) acc |= static_cast<unsigned char>(c);
    return acc < 0x80;
}

// Full Unicode lower-casing with the root locale's rules. Ill-formed bytes
// pass through as they are.
std::string unicodeLower(std::string_view s) {
    std::string out;
    if (s.size() <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        out.reserve(s.size() + s.size() / 4);
        icu::StringByteSink<std::string> sink(&out);
        UErrorCode status = U_ZERO_ERROR;
        icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())),
                                  sink, nullptr, status);
        if (U_SUCCESS(status)) return out;
    }
    out.assign(s);
    asciiLower(out.data(), out.size());
    return out;
}

// International names: a name is compared in its ASCII form, so a rule
// and a host name decide alike whether either is written in Unicode or with
// "xn--" labels. A name that is not all ASCII goes through UTS #46
// processing (non-transitional, so "ß" stays "ß" and becomes "xn--zca"), as
// a resolver does before it sends the query. When the name as a whole is not
// valid IDNA, each label is taken on its own: a valid one takes its ASCII
// form and an invalid one stays as it is, lower-cased. Names that are all
// ASCII ("xn--" labels included) never reach this and keep their fast path.
const UIDNA* uts46() {
    // Opened once and kept for the life of the process; an ICU IDNA
    // instance is immutable and safe to share between threads.
    static const UIDNA* const idna = [] {
        UErrorCode status = U_ZERO_ERROR;
        UIDNA* opened = uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_NONTRANSITIONAL_TO_UNICODE, &status);
        return U_SUCCESS(status) ? opened : nullptr;
    }();
    return idna;
}

using IdnaCall = int32_t (*)(const UIDNA*, const char*, int32_t, char*, int32_t, UIDNAInfo*, UErrorCode*);

// Runs one of ICU's UTF-8 IDNA conversions; nullopt when it reports any error.
std::optional<std::string> idnaConvert(IdnaCall call, std::string_view text) {
    const UIDNA* idna = uts46();
    if (!idna || text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 4)) return std::nullopt;
    std::string out(text.size() + 64, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UIDNAInfo info = UIDNA_INFO_INITIALIZER;
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = call(idna, text.data(), static_cast<int32_t>(text.size()), out.data(),
                                    static_cast<int32_t>(out.size()), &info, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR && attempt == 0 && length > 0) {
            out.assign(static_cast<std::size_t>(length), '\0');
            continue;
        }
        if (U_FAILURE(status) || info.errors != 0 || length < 0) return std::nullopt;
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    return std::nullopt;
}

// One conversion: the whole name when ICU takes it, else label by label.
void convertOnce(std::string_view name, std::string& out) {
    if (auto whole = idnaConvert(uidna_nameToASCII_UTF8, name)) {
        // Mapping may turn a final ideographic full stop into a dot.
        out.assign(stripDots(*whole));
        return;
    }
    out.clear();
    out.reserve(name.size() + 16);
    for (std::size_t start = 0;;) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (isAscii(label)) {
            const std::size_t at = out.size();
            out += label;
            asciiLower(out.data() + at, label.size());
        } else if (auto ascii = idnaConvert(uidna_labelToASCII_UTF8, label)) {
            out += *ascii;
        } else {
            out += unicodeLower(label);
        }
        if (dot == std::string_view::npos) break;
        out += '.';
        start = dot + 1;
    }
}

// `name` has been trimmed and holds a byte that is not ASCII.
//
// A label that ICU refuses may be taken once it is lower-cased, and a full
// stop that only the whole name's mapping splits on may leave a name that
// converts as a whole afterwards. So the conversion is repeated until it is
// stable (two rounds settle every label): converting a stored name again,
// as reading rules back does, then never changes it.
void internationalToAscii(std::string_view name, std::string& out) {
    convertOnce(name, out);
    std::string next;
    for (int round = 0; round < 4 && !isAscii(out); ++round) {
        convertOnce(out, next);
        if (next == out) break;
        out.swap(next);
    }
}

void normalizeInto(std::string_view name, std::string& out) {
    if (isAscii(name)) {
        const std::string_view trimmed = trimAscii(name);
        out.assign(trimmed);
        asciiLower(out.data(), out.size());
        return;
    }
    // Lower-casing neither adds nor removes white space or dots, so trimming
    // may come first; UTS #46 does its own case mapping.
    const std::string_view trimmed = trimUnicode(name);
    if (isAscii(trimmed)) {
        out.assign(trimmed);
        asciiLower(out.data(), out.size());
        return;
    }
    internationalToAscii(trimmed, out);
}

// ---------------------------------------------------------------------------
// Hashing
//
// A name's hash folds its labels in from the last to the first, so the hashes
// of all suffix candidates of a name come out of one pass over it: deciding
// stays linear in the length of the name however many labels it has.

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

constexpr std::uint64_t kSeed = 0xa0761d6478bd642full;

// The hash of the candidate that starts with `label`, given the hash of the
// candidate after it (kSeed for the last label).
inline std::uint64_t foldLabel(std::uint64_t h, const char* p, std::size_t n) {
    constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull;
    h ^= static_cast<std::uint64_t>(n) * k2;
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mix(h ^ w ^ k1, k2);
        p += 8;
        n -= 8;
    }
    std::uint64_t w = 0;
    if (n > 0) std::memcpy(&w, p, n);
    return mix(h ^ w ^ k2, k1 ^ (static_cast<std::uint64_t>(n) << 56));
}

// Where each suffix candidate of a name starts and its hash, longest first.
// Small names stay on the stack.
class Candidates {
public:
    explicit Candidates(std::string_view name) {
        std::size_t count = 1;
        for (char c : name) count += (c == '.');
        if (count > kInline) {
            heapStarts_.resize(count);
            heapHashes_.resize(count);
            starts_ = heapStarts_.data();
            hashes_ = heapHashes_.data();
        }
        count_ = count;
        starts_[0] = 0;
        std::size_t k = 1;
        for (std::size_t i = 0; i < name.size(); ++i) {
            if (name[i] == '.') starts_[k++] = i + 1;
        }
        std::uint64_t h = kSeed;
        std::size_t end = name.size();
        for (std::size_t i = count; i-- > 0;) {
            h = foldLabel(h, name.data() + starts_[i], end - starts_[i]);
            hashes_[i] = h;
            end = starts_[i] - 1;  // the dot before this label
        }
    }

    std::size_t size() const { return count_; }
    std::size_t start(std::size_t i) const { return starts_[i]; }
    std::uint64_t hash(std::size_t i) const { return hashes_[i]; }

private:
    static constexpr std::size_t kInline = 32;
    std::size_t inlineStarts_[kInline];
    std::uint64_t inlineHashes_[kInline];
    std::size_t* starts_ = inlineStarts_;
    std::uint64_t* hashes_ = inlineHashes_;
    std::size_t count_ = 0;
    std::vector<std::size_t> heapStarts_;
    std::vector<std::uint64_t> heapHashes_;
};

std::uint64_t hashName(std::string_view name) {
    std::uint64_t h = kSeed;
    std::size_t end = name.size();
    while (true) {
        const std::size_t dot = name.rfind('.', end == 0 ? 0 : end - 1);
        const std::size_t start = (end == 0 || dot == std::string_view::npos) ? 0 : dot + 1;
        h = foldLabel(h, name.data() + start, end - start);
        if (start == 0) return h;
        end = start - 1;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// HostDecision

std::string_view caseName(HostDecision::Kind kind) {
    switch (kind) {
        case HostDecision::Kind::block: return "block";
        case HostDecision::Kind::blockCustom: return "blockCustom";
        case HostDecision::Kind::allow: return "allow";
        case HostDecision::Kind::pass: return "pass";
    }
    return "pass";
}

Json HostDecision::toJSON() const {
    Json payload = Json::object();
    if (kind == Kind::block) payload["category"] = category;
    Json json = Json::object();
    json[std::string(caseName(kind))] = std::move(payload);
    return json;
}

namespace {

template <class J>
HostDecision decisionFromJSON(const J& json) {
    if (!json.is_object()) throw DecodingError("decision: expected an object");
    static constexpr HostDecision::Kind kinds[] = {HostDecision::Kind::block, HostDecision::Kind::blockCustom,
                                                   HostDecision::Kind::allow, HostDecision::Kind::pass};
    const J* payload = nullptr;
    HostDecision::Kind kind = HostDecision::Kind::pass;
    int found = 0;
    for (auto k : kinds) {
        const auto it = json.find(std::string(caseName(k)));
        if (it != json.end()) {
            ++found;
            payload = &*it;
            kind = k;
        }
    }
    if (found != 1) throw DecodingError("Invalid number of keys found, expected one.");
    if (!payload->is_object()) {
        throw DecodingError("decision: the value of \"" + std::string(caseName(kind)) + "\" is not an object");
    }
    if (kind != HostDecision::Kind::block) return HostDecision{kind, {}};
    const auto category = payload->find("category");
    if (category == payload->end()) throw DecodingError("decision: \"block\" without \"category\"");
    if (!category->is_string()) throw DecodingError("decision: \"category\" is not a text");
    return HostDecision::block(category->template get<std::string>());
}

}  // namespace

HostDecision HostDecision::fromJSON(const Json& json) { return decisionFromJSON(json); }
HostDecision HostDecision::fromJSON(const nlohmann::json& json) { return decisionFromJSON(json); }

// ---------------------------------------------------------------------------
// The compiled table
//
// One open-addressing hash table holds every name of the four collections
// once, so that a decision costs one probe per suffix candidate. Names live
// back to back in one arena; an entry records where its name is, the codes of
// its exact and suffix decisions and three flags. A slot holds 32 bits of the
// name's hash beside the entry index, so most misses never touch an entry.
//
// Deciding walks the candidates longest first and stops at the first entry
// that settles the name. That is the same answer as asking the allow sets
// first, then the exact map, then the suffix map, because an entry that holds
// a block decision also records whether any of its own suffix candidates
// (which are suffix candidates of the host too) is an allow suffix; allow
// suffixes longer than it were probed, and seen, before it.

class RuleSet::Table {
public:
    // Decision codes: 0 = no entry, then the three payload-free kinds, then
    // one code per category.
    static constexpr std::uint32_t kNone = 0, kBlockCustom = 1, kAllow = 2, kPass = 3, kFirstCategory = 4;

    static constexpr std::uint32_t kAllowExact = 1u << 31;
    static constexpr std::uint32_t kAllowSuffix = 1u << 30;
    // Some suffix candidate of the name (the name included) is an allow
    // suffix, so any name that reaches this entry is allowed.
    static constexpr std::uint32_t kCovered = 1u << 29;
    static constexpr std::uint32_t kLengthMask = kCovered - 1;

    struct Entry {
        std::uint32_t offset;
        std::uint32_t lengthAndFlags;
        std::uint32_t exact;
        std::uint32_t suffix;
    };

    std::string arena;
    std::vector<Entry> entries;
    std::vector<std::uint64_t> slots;  // (hash tag << 32) | (entry index + 1); 0 is empty
    std::vector<std::string> categories;
    std::size_t exactCount = 0, suffixCount = 0, allowExactCount = 0, allowSuffixCount = 0;

    std::string_view nameOf(const Entry& e) const {
        return {arena.data() + e.offset, e.lengthAndFlags & kLengthMask};
    }

    const Entry* find(std::string_view name) const { return find(name, hashName(name)); }

    const Entry* find(std::string_view name, std::uint64_t h) const {
        if (slots.empty()) return nullptr;
        const std::size_t mask = slots.size() - 1;
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::uint64_t s = slots[i];
            if (s == 0) return nullptr;
            if (static_cast<std::uint32_t>(s >> 32) == tag) {
                const Entry& e = entries[static_cast<std::uint32_t>(s) - 1];
                if (nameOf(e) == name) return &e;
            }
        }
    }

    void prefetch(std::uint64_t h) const {
        if (!slots.empty()) __builtin_prefetch(&slots[h & (slots.size() - 1)]);
    }

    HostDecision decision(std::uint32_t code) const {
        switch (code) {
            case kBlockCustom: return HostDecision::blockCustom();
            case kAllow: return HostDecision::allow();
            case kNone:
            case kPass: return HostDecision::pass();
            default: return HostDecision::block(categories[code - kFirstCategory]);
        }
    }

    bool sameDecision(std::uint32_t code, const Table& other, std::uint32_t otherCode) const {
        if (code < kFirstCategory || otherCode < kFirstCategory) return code == otherCode;
        return categories[code - kFirstCategory] == other.categories[otherCode - kFirstCategory];
    }
};

namespace {

using Table = RuleSet::Table;

// Fills a table. Entries are only ever added; the first decision given to a
// name in each map stays.
class Builder {
public:
    Builder() : table_(std::make_shared<Table>()) {}

    void reserve(std::size_t names, std::size_t bytes) {
        table_->entries.reserve(names);
        table_->arena.reserve(bytes);
        std::size_t capacity = 16;
        while (capacity < names * 2) capacity *= 2;
        if (capacity > table_->slots.size()) rehash(capacity);
    }

    std::uint32_t codeFor(const HostDecision& d) {
        switch (d.kind) {
            case HostDecision::Kind::blockCustom: return Table::kBlockCustom;
            case HostDecision::Kind::allow: return Table::kAllow;
            case HostDecision::Kind::pass: return Table::kPass;
            case HostDecision::Kind::block: break;
        }
        const auto it = categoryCodes_.find(d.category);
        if (it != categoryCodes_.end()) return it->second;
        if (table_->categories.size() >= std::numeric_limits<std::uint32_t>::max() - Table::kFirstCategory) {
            throw std::length_error("rule set: too many categories");
        }
        const auto code = static_cast<std::uint32_t>(table_->categories.size()) + Table::kFirstCategory;
        table_->categories.push_back(d.category);
        categoryCodes_.emplace(d.category, code);
        return code;
    }

    // Enters the decision unless the map already has the name.
    void addExact(std::string_view name, std::uint32_t code) {
        Table::Entry& e = entry(name);
        if (e.exact == Table::kNone) {
            e.exact = code;
            ++table_->exactCount;
        }
    }
    void addSuffix(std::string_view name, std::uint32_t code) {
        Table::Entry& e = entry(name);
        if (e.suffix == Table::kNone) {
            e.suffix = code;
            ++table_->suffixCount;
        }
    }
    void addAllowExact(std::string_view name) {
        Table::Entry& e = entry(name);
        if (!(e.lengthAndFlags & Table::kAllowExact)) {
            e.lengthAndFlags |= Table::kAllowExact;
            ++table_->allowExactCount;
        }
    }
    void addAllowSuffix(std::string_view name) {
        Table::Entry& e = entry(name);
        if (!(e.lengthAndFlags & Table::kAllowSuffix)) {
            e.lengthAndFlags |= Table::kAllowSuffix;
            ++table_->allowSuffixCount;
        }
    }

    std::shared_ptr<const Table> finish() {
        Table& t = *table_;
        if (t.allowSuffixCount > 0) {
            for (Table::Entry& e : t.entries) {
                if (e.exact == Table::kNone && e.suffix == Table::kNone) continue;
                const std::string_view name = t.nameOf(e);
                const Candidates candidates(name);
                for (std::size_t i = 0; i < candidates.size(); ++i) {
                    const Table::Entry* c = t.find(name.substr(candidates.start(i)), candidates.hash(i));
                    if (c && (c->lengthAndFlags & Table::kAllowSuffix)) {
                        e.lengthAndFlags |= Table::kCovered;
                        break;
                    }
                }
            }
        }
        // Give back what a generous reservation left unused.
        if (t.entries.capacity() > t.entries.size() + t.entries.size() / 4) t.entries.shrink_to_fit();
        if (t.arena.capacity() > t.arena.size() + t.arena.size() / 4) t.arena.shrink_to_fit();
        std::size_t capacity = 16;
        while (capacity < t.entries.size() * 2) capacity *= 2;
        if (t.slots.size() > capacity * 2) rehash(capacity);
        return std::move(table_);
    }

private:
    Table::Entry& entry(std::string_view name) {
        Table& t = *table_;
        if ((t.entries.size() + 1) * 2 > t.slots.size()) rehash(std::max<std::size_t>(16, t.slots.size() * 2));
        const std::uint64_t h = hashName(name);
        const std::size_t mask = t.slots.size() - 1;
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        std::size_t i = h & mask;
        for (;; i = (i + 1) & mask) {
            const std::uint64_t s = t.slots[i];
            if (s == 0) break;
            if (static_cast<std::uint32_t>(s >> 32) == tag) {
                Table::Entry& e = t.entries[static_cast<std::uint32_t>(s) - 1];
                if (t.nameOf(e) == name) return e;
            }
        }
        if (name.size() > Table::kLengthMask || t.arena.size() + name.size() > std::numeric_limits<std::uint32_t>::max() ||
            t.entries.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
            throw std::length_error("rule set: too large");
        }
        const auto offset = static_cast<std::uint32_t>(t.arena.size());
        t.arena.append(name);
        t.entries.push_back({offset, static_cast<std::uint32_t>(name.size()), Table::kNone, Table::kNone});
        t.slots[i] = (static_cast<std::uint64_t>(tag) << 32) | static_cast<std::uint64_t>(t.entries.size());
        return t.entries.back();
    }

    void rehash(std::size_t capacity) {
        Table& t = *table_;
        std::vector<std::uint64_t> slots(capacity, 0);
        const std::size_t mask = capacity - 1;
        for (std::size_t index = 0; index < t.entries.size(); ++index) {
            const std::uint64_t h = hashName(t.nameOf(t.entries[index]));
            std::size_t i = h & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = ((h >> 32) << 32) | static_cast<std::uint64_t>(index + 1);
        }
        t.slots = std::move(slots);
    }

    std::shared_ptr<Table> table_;
    std::unordered_map<std::string, std::uint32_t> categoryCodes_;
};

const std::shared_ptr<const Table>& emptyTable() {
    static const std::shared_ptr<const Table> empty = std::make_shared<Table>();
    return empty;
}

}  // namespace

// ---------------------------------------------------------------------------
// RuleSet

RuleSet::RuleSet() : table_(emptyTable()) {}

RuleSet::RuleSet(std::shared_ptr<const Table> table) : table_(std::move(table)) {}

RuleSet::RuleSet(const std::vector<std::string>& categories, const std::vector<BlockRule>& customRules,
                 const std::vector<BlockRule>& allowRules, const std::vector<Blocklist>& blocklists) {
    auto wanted = [&](const Blocklist& list) {
        return std::find(categories.begin(), categories.end(), list.category) != categories.end();
    };
    std::size_t names = customRules.size() + allowRules.size();
    std::size_t bytes = 0;
    auto count = [&](const std::vector<BlockRule>& rules) {
        for (const BlockRule& r : rules) bytes += r.value.size();
    };
    count(customRules);
    count(allowRules);
    for (const Blocklist& list : blocklists) {
        if (!wanted(list)) continue;
        names += list.rules.size();
        count(list.rules);
    }

    Builder builder;
    builder.reserve(names, bytes);
    std::string name;
    auto addBlock = [&](const BlockRule& rule, std::uint32_t code) {
        const bool exact = rule.ruleType == "domain";
        if (!exact && rule.ruleType != "domain_suffix") return;
        normalizeInto(rule.value, name);
        if (name.empty()) return;
        if (exact) {
            builder.addExact(name, code);
        } else {
            builder.addSuffix(name, code);
        }
    };
    for (const Blocklist& list : blocklists) {
        if (!wanted(list)) continue;
        const std::uint32_t code = builder.codeFor(HostDecision::block(list.category));
        for (const BlockRule& rule : list.rules) addBlock(rule, code);
    }
    for (const BlockRule& rule : customRules) addBlock(rule, Table::kBlockCustom);
    // An empty allow value is kept: it never matches, since an empty name is
    // decided before the allow rules and no suffix candidate is empty.
    for (const BlockRule& rule : allowRules) {
        if (rule.ruleType == "domain") {
            normalizeInto(rule.value, name);
            builder.addAllowExact(name);
        } else if (rule.ruleType == "domain_suffix") {
            normalizeInto(rule.value, name);
            builder.addAllowSuffix(name);
        }
    }
    table_ = builder.finish();
}

RuleSet::RuleSet(const EffectivePolicy& policy, const std::vector<Blocklist>& blocklists)
    : RuleSet(policy.categories, policy.customRules, policy.allowRules, blocklists) {}

std::string RuleSet::normalize(std::string_view name) {
    std::string out;
    normalizeInto(name, out);
    return out;
}

std::vector<std::string> RuleSet::suffixCandidates(std::string_view n) {
    std::vector<std::string> candidates;
    for (std::size_t pos = 0;;) {
        candidates.emplace_back(n.substr(pos));
        const std::size_t dot = n.find('.', pos);
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    return candidates;
}

HostDecision RuleSet::decide(std::string_view host) const {
    const Table& t = *table_;
    if (t.entries.empty()) return HostDecision::pass();

    // Nearly every name is ASCII and already lower case: then the trimmed
    // view of the host itself is the normalised name, and nothing is copied.
    std::string_view name;
    char stackBuffer[256];
    std::string heapBuffer;
    if (isAscii(host)) {
        name = trimAscii(host);
        bool upper = false;
        for (char c : name) upper |= (c >= 'A' && c <= 'Z');
        if (upper) {
            char* out = stackBuffer;
            if (name.size() > sizeof stackBuffer) {
                heapBuffer.resize(name.size());
                out = heapBuffer.data();
            }
            std::memcpy(out, name.data(), name.size());
            asciiLower(out, name.size());
            name = std::string_view(out, name.size());
        }
    } else {
        normalizeInto(host, heapBuffer);
        name = heapBuffer;
    }
    if (name.empty()) return HostDecision::pass();

    // Longest candidate first; see Table for what the flags promise.
    const Candidates candidates(name);
    // The probes are independent: start fetching every slot at once.
    for (std::size_t i = 0; i < candidates.size() && i < 8; ++i) t.prefetch(candidates.hash(i));
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const Table::Entry* e = t.find(name.substr(candidates.start(i)), candidates.hash(i));
        if (!e) continue;
        const std::uint32_t flags = e->lengthAndFlags;
        if (flags & (Table::kAllowSuffix | Table::kCovered)) return HostDecision::allow();
        if (i == 0) {
            if (flags & Table::kAllowExact) return HostDecision::allow();
            if (e->exact != Table::kNone) return t.decision(e->exact);
        }
        if (e->suffix != Table::kNone) return t.decision(e->suffix);
    }
    return HostDecision::pass();
}

bool RuleSet::isEmpty() const noexcept { return table_->exactCount == 0 && table_->suffixCount == 0; }

bool RuleSet::operator==(const RuleSet& other) const {
    const Table& a = *table_;
    const Table& b = *other.table_;
    if (&a == &b) return true;
    if (a.entries.size() != b.entries.size() || a.exactCount != b.exactCount || a.suffixCount != b.suffixCount ||
        a.allowExactCount != b.allowExactCount || a.allowSuffixCount != b.allowSuffixCount) {
        return false;
    }
    constexpr std::uint32_t allowFlags = Table::kAllowExact | Table::kAllowSuffix;
    for (const Table::Entry& e : a.entries) {
        const Table::Entry* f = b.find(a.nameOf(e));
        if (!f) return false;
        if ((e.lengthAndFlags & allowFlags) != (f->lengthAndFlags & allowFlags)) return false;
        if (!a.sameDecision(e.exact, b, f->exact) || !a.sameDecision(e.suffix, b, f->suffix)) return false;
    }
    return true;
}

namespace {

RuleSet::Entry entryOf(const RuleSet::Table& t, const RuleSet::Table::Entry& e);

}  // namespace

void RuleSet::forEachEntry(const std::function<void(const Entry&)>& visit) const {
    const Table& t = *table_;
    for (const Table::Entry& e : t.entries) visit(entryOf(t, e));
}

std::optional<RuleSet::Entry> RuleSet::entry(std::string_view name) const {
    const Table& t = *table_;
    const Table::Entry* e = t.find(name);
    if (e == nullptr) return std::nullopt;
    return entryOf(t, *e);
}

namespace {

RuleSet::Entry entryOf(const RuleSet::Table& t, const RuleSet::Table::Entry& e) {
    RuleSet::Entry out;
    out.name = t.nameOf(e);
    out.exact = t.decision(e.exact);
    out.suffix = t.decision(e.suffix);
    out.allowExact = (e.lengthAndFlags & RuleSet::Table::kAllowExact) != 0;
    out.allowSuffix = (e.lengthAndFlags & RuleSet::Table::kAllowSuffix) != 0;
    return out;
}

}  // namespace

Json RuleSet::toJSON() const {
    const Table& t = *table_;
    Json exact = Json::object();
    Json suffixes = Json::object();
    Json allowExact = Json::array();
    Json allowSuffixes = Json::array();
    // Names are unique in the table, so members are appended directly rather
    // than through the object's own (linear) key lookup.
    auto& exactMembers = exact.get_ref<Json::object_t&>();
    auto& suffixMembers = suffixes.get_ref<Json::object_t&>();
    exactMembers.reserve(t.exactCount);
    suffixMembers.reserve(t.suffixCount);
    for (const Table::Entry& e : t.entries) {
        const std::string_view name = t.nameOf(e);
        if (e.exact != Table::kNone) exactMembers.emplace_back(std::string(name), t.decision(e.exact).toJSON());
        if (e.suffix != Table::kNone) suffixMembers.emplace_back(std::string(name), t.decision(e.suffix).toJSON());
        if (e.lengthAndFlags & Table::kAllowExact) allowExact.push_back(std::string(name));
        if (e.lengthAndFlags & Table::kAllowSuffix) allowSuffixes.push_back(std::string(name));
    }
    Json json = Json::object();
    json["exact"] = std::move(exact);
    json["suffixes"] = std::move(suffixes);
    json["allowExact"] = std::move(allowExact);
    json["allowSuffixes"] = std::move(allowSuffixes);
    return json;
}

namespace {

template <class J>
const J& requireMemberOf(const J& object, const char* key, bool wantObject) {
    const auto it = object.find(key);
    if (it == object.end()) throw DecodingError(std::string("rule set: missing \"") + key + "\"");
    if (wantObject ? !it->is_object() : !it->is_array()) {
        throw DecodingError(std::string("rule set: \"") + key + "\" is not " + (wantObject ? "an object" : "an array"));
    }
    return *it;
}

template <class J>
std::shared_ptr<const Table> tableFromJSON(const J& json) {
    if (!json.is_object()) throw DecodingError("rule set: expected an object");
    const J& exact = requireMemberOf(json, "exact", true);
    const J& suffixes = requireMemberOf(json, "suffixes", true);
    const J& allowExact = requireMemberOf(json, "allowExact", false);
    const J& allowSuffixes = requireMemberOf(json, "allowSuffixes", false);

    Builder builder;
    builder.reserve(exact.size() + suffixes.size() + allowExact.size() + allowSuffixes.size(), 0);
    // Names are taken as written, except that names holding Unicode (from
    // files written before names were compared in their ASCII form) take
    // that form. They were trimmed when they were written; trimming them
    // again could change a name whose label of white space was exposed by
    // stripping its dots, and the rules read back would differ from those
    // written.
    std::string converted;
    auto nameOf = [&](const std::string& key) -> const std::string& {
        if (isAscii(key)) return key;
        internationalToAscii(key, converted);
        return converted;
    };
    for (auto it = exact.begin(); it != exact.end(); ++it) {
        builder.addExact(nameOf(it.key()), builder.codeFor(decisionFromJSON(it.value())));
    }
    for (auto it = suffixes.begin(); it != suffixes.end(); ++it) {
        builder.addSuffix(nameOf(it.key()), builder.codeFor(decisionFromJSON(it.value())));
    }
    for (const J& member : allowExact) {
        if (!member.is_string()) throw DecodingError("rule set: \"allowExact\" holds a value that is not a text");
        builder.addAllowExact(nameOf(member.template get_ref<const std::string&>()));
    }
    for (const J& member : allowSuffixes) {
        if (!member.is_string()) throw DecodingError("rule set: \"allowSuffixes\" holds a value that is not a text");
        builder.addAllowSuffix(nameOf(member.template get_ref<const std::string&>()));
    }
    return builder.finish();
}

}  // namespace

RuleSet RuleSet::fromJSON(const Json& json) { return RuleSet(tableFromJSON(json)); }
RuleSet RuleSet::fromJSON(const nlohmann::json& json) { return RuleSet(tableFromJSON(json)); }

}  // namespace brivet

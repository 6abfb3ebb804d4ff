// Builds a rule set from the input's lines and decides names against it,
// comparing every decision with a plain reading of the rules over ordered
// containers, and the JSON form with a round trip.
//
// Each line is one item; its first byte modulo 6 says what the rest is:
// 0 a "domain" rule, 1 a "domain_suffix" rule (both to one of two lists or
// to the custom rules), 2 an allow "domain", 3 an allow "domain_suffix",
// 4 and 5 a host name to decide. A host name that ICU converts as a whole
// to its ASCII or its Unicode form must be decided alike in every form.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/uidna.h>
#include <unicode/utf8.h>

#include "BrivetClient/RuleSet.h"
#include "../tests/RuleSetReference.h"

using brivet::BlockRule;
using brivet::HostDecision;
using brivet::RuleSet;
using brivet::ruleset_reference::Reference;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const UIDNA* idna() {
    static const UIDNA* const instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        UIDNA* opened = uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_ASCII | UIDNA_NONTRANSITIONAL_TO_UNICODE, &status);
        return U_SUCCESS(status) ? opened : nullptr;
    }();
    return instance;
}

using IdnaCall = int32_t (*)(const UIDNA*, const char*, int32_t, char*, int32_t, UIDNAInfo*, UErrorCode*);

// The whole name converted by ICU, or an empty text when ICU reports an error.
std::string converted(IdnaCall call, const std::string& name) {
    std::string out(name.size() * 4 + 64, '\0');
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = call(idna(), name.data(), static_cast<int32_t>(name.size()), out.data(),
                                static_cast<int32_t>(out.size()), &info, &status);
    if (U_FAILURE(status) || info.errors != 0 || length < 0) return {};
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// Names with white space are left out: trimming happens before IDNA, while
// ICU's conversion keeps the white space inside the label.
bool hasWhiteSpace(const std::string& name) {
    for (int32_t i = 0; i < static_cast<int32_t>(name.size());) {
        UChar32 c;
        U8_NEXT(name.data(), i, static_cast<int32_t>(name.size()), c);
        if (c < 0) return true;  // ill-formed: ICU would refuse it anyway
        if (c <= 0x20 || c == 0x85 || u_isUWhiteSpace(c)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<brivet::Blocklist> lists = {{"x", 1, {}}, {"y", 1, {}}, {"skipped", 1, {}}};
    std::vector<BlockRule> custom, allow;
    std::vector<std::string> hosts;
    for (std::size_t pos = 0; pos <= input.size();) {
        std::size_t nl = input.find('\n', pos);
        if (nl == std::string_view::npos) nl = input.size();
        const std::string_view line = input.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.empty()) continue;
        const auto op = static_cast<unsigned char>(line[0]);
        const std::string value(line.substr(1));
        switch (op % 6) {
            case 0:
            case 1: {
                BlockRule rule{op % 6 == 0 ? "domain" : "domain_suffix", value};
                const unsigned target = (op / 6) % 4;
                if (target == 3) {
                    custom.push_back(rule);
                } else {
                    lists[target].rules.push_back(rule);
                }
                break;
            }
            case 2: allow.push_back({"domain", value}); break;
            case 3: allow.push_back({"domain_suffix", value}); break;
            default: hosts.push_back(value); break;
        }
    }

    Reference ref;
    for (const auto& list : lists) {
        if (list.category == "skipped") continue;
        for (const auto& rule : list.rules) ref.block(rule, HostDecision::block(list.category));
    }
    for (const auto& rule : custom) ref.block(rule, HostDecision::blockCustom());
    for (const auto& rule : allow) ref.allow(rule);

    const RuleSet rules({"y", "x"}, custom, allow, lists);
    check(rules.isEmpty() == (ref.exact.empty() && ref.suffixes.empty()));
    // Every rule value is worth deciding too, with a label in front.
    for (const auto& list : lists) {
        for (const auto& rule : list.rules) {
            hosts.push_back(rule.value);
            hosts.push_back("w." + rule.value);
        }
    }
    for (const auto& rule : allow) hosts.push_back("w." + rule.value);
    // The reference lists every candidate as a string, so it only reads
    // names of moderate length; the rule set decides every name.
    auto agrees = [&](const RuleSet& set, const std::string& host) {
        const HostDecision decision = set.decide(host);
        return host.size() > 4096 || decision == ref.decide(host);
    };
    for (const auto& host : hosts) check(agrees(rules, host));
    for (const auto& host : hosts) {
        if (host.size() > 1024 || hasWhiteSpace(host)) continue;
        // Only valid IDNA names have two forms: a label that is not (one too
        // long for DNS, say, which the conversion to Unicode does not check)
        // stays as written.
        const IdnaCall toAscii = uidna_nameToASCII_UTF8;
        if (converted(toAscii, host).empty()) continue;
        const HostDecision decision = rules.decide(host);
        for (IdnaCall call : {toAscii, IdnaCall(uidna_nameToUnicodeUTF8)}) {
            const std::string other = converted(call, host);
            // Mapping may bring white space in (U+0385 maps to a space and
            // two marks), which trimming then treats as such.
            if (other.empty() || hasWhiteSpace(other) || converted(toAscii, other).empty()) continue;
            check(rules.decide(other) == decision);
        }
    }

    // The JSON form carries the rules; text that is not UTF-8 cannot be
    // written as JSON, so the round trip is only checked for the rest.
    try {
        const std::string text = rules.toJSON().dump();
        const RuleSet back = RuleSet::fromJSON(brivet::Json::parse(text));
        check(back == rules);
        for (const auto& host : hosts) check(agrees(back, host));
    } catch (const nlohmann::json::type_error&) {
    }
    return 0;
}

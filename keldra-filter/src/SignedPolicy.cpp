#include "keldra-filter/SignedPolicy.h"

#include "BrivetClient/AtomicFile.h"
#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/JSONCoding.h"
#include "BrivetClient/LogText.h"
#include "BrivetClient/RuleSetLoader.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <thread>
#include <map>
#include <set>
#include <vector>

namespace keldra::filter {
namespace {

using brivet::BlockRule;
using brivet::Blocklist;
using brivet::HostDecision;
using brivet::RuleSet;
namespace core = brivet::BrivetCore;

constexpr const char* kClientVersion = "keldra-filter";

brivet::Instant systemNow() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

bool blocks(const HostDecision& decision) {
    return decision.kind == HostDecision::Kind::block || decision.kind == HostDecision::Kind::blockCustom;
}

// The block entries of each category in a rule set, as blocklist rules.
std::map<std::string, std::vector<BlockRule>> entriesByCategory(const RuleSet& rules) {
    std::map<std::string, std::vector<BlockRule>> out;
    rules.forEachEntry([&](const RuleSet::Entry& entry) {
        if (entry.exact.kind == HostDecision::Kind::block) {
            out[entry.exact.category].push_back({"domain", std::string(entry.name)});
        }
        if (entry.suffix.kind == HostDecision::Kind::block) {
            out[entry.suffix.category].push_back({"domain_suffix", std::string(entry.name)});
        }
    });
    return out;
}

// The daemon's cache, with a stand-in for every category it has no list of
// yet: the entries the rules in force hold for it, else those of the
// caller's document. Each stand-in is noted, so the category stays counted
// as missing and is fetched.
class DerivationCache final : public brivet::BlocklistCache {
public:
    DerivationCache(brivet::BlocklistCache& verified, const RuleSet& inForce, const RuleSet* document)
        : verified_(verified), inForce_(inForce), document_(document) {}

    std::optional<Blocklist> blocklist(const std::string& category, std::int64_t version) override {
        // Two names may share a file: only the list of this category counts.
        if (auto list = verified_.blocklist(category, version); list && list->category == category && list->version == version) {
            return list;
        }
        if (!lent_) {
            lent_.emplace(entriesByCategory(inForce_));
            if (document_ != nullptr) {
                for (auto& [name, rules] : entriesByCategory(*document_)) lent_->try_emplace(name, std::move(rules));
            }
        }
        standIns.insert(category);
        const auto found = lent_->find(category);
        return Blocklist{category, version, found == lent_->end() ? std::vector<BlockRule>{} : found->second};
    }
    void store(const Blocklist&) override {}

    std::set<std::string> standIns;

private:
    brivet::BlocklistCache& verified_;
    const RuleSet& inForce_;
    const RuleSet* document_;
    std::optional<std::map<std::string, std::vector<BlockRule>>> lent_;
};

// Why `published` is weaker than `derived`, or none. Of several categories
// left out, the reason names the first by name. A category that either side
// still lacks the list of is not held against the publish: the daemon's
// entries for it are a stand-in (a caller with the service's newer list
// would be refused for the difference), and a caller that says it has no
// list yet has none to leave out. Only the derivation is in force either way.
std::optional<std::string> weakerThan(const brivet::FilterRules& publication, const brivet::FilterRules& derivation) {
    const RuleSet& published = publication.ruleSet;
    const RuleSet& derived = derivation.ruleSet;
    std::vector<std::string> fetching = derivation.missingCategories;
    fetching.insert(fetching.end(), publication.missingCategories.begin(), publication.missingCategories.end());
    const std::int64_t seq = derivation.policySeq;
    const std::string policy = "policy " + std::to_string(seq);
    std::set<std::string> categories;
    bool custom = false;
    derived.forEachEntry([&](const RuleSet::Entry& entry) {
        const auto own = published.entry(entry.name);
        for (const auto& [mine, theirs] : {std::pair(&entry.exact, own ? &own->exact : nullptr),
                                           std::pair(&entry.suffix, own ? &own->suffix : nullptr)}) {
            if (!blocks(*mine) || (theirs != nullptr && blocks(*theirs))) continue;
            if (mine->kind == HostDecision::Kind::block) {
                if (std::find(fetching.begin(), fetching.end(), mine->category) == fetching.end()) {
                    categories.insert(mine->category);
                }
            } else {
                custom = true;
            }
        }
    });
    if (!categories.empty()) return "the rules leave out entries of " + *categories.begin() + " that " + policy + " blocks";
    if (custom) return "the rules leave out custom rules that " + policy + " blocks";
    bool allows = false;
    published.forEachEntry([&](const RuleSet::Entry& entry) {
        if (allows || !(entry.allowExact || entry.allowSuffix)) return;
        const auto own = derived.entry(entry.name);
        allows = !own || (entry.allowExact && !own->allowExact) || (entry.allowSuffix && !own->allowSuffix);
    });
    if (allows) return "the rules allow names that " + policy + " does not allow";
    return std::nullopt;
}

// base64url, with or without padding; none for anything else.
std::optional<std::string> base64url(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int value = -1;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '-') value = 62;
        else if (c == '_') value = 63;
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

// The device and installation an envelope's payload names. Read only once
// the core has verified the envelope, to bind a fresh state.
std::optional<core::ClientState> freshStateFor(const nlohmann::json& envelope) {
    const auto payload = envelope.find("payload_b64");
    if (payload == envelope.end() || !payload->is_string()) return std::nullopt;
    const auto bytes = base64url(payload->get_ref<const std::string&>());
    if (!bytes) return std::nullopt;
    const auto tree = nlohmann::json::parse(*bytes, nullptr, false);
    if (tree.is_discarded() || !tree.is_object()) return std::nullopt;
    const auto device = tree.find("device_id");
    const auto installation = tree.find("installation_id");
    if (device == tree.end() || !device->is_string() || installation == tree.end() || !installation->is_string()) {
        return std::nullopt;
    }
    return core::ClientState(device->get<std::string>(), installation->get<std::string>());
}

bool committed(const std::optional<core::ClientState>& client) {
    return client && client->policy && brivet::EffectivePolicy(*client->policy, false).committed;
}

}  // namespace

SignedPolicy::SignedPolicy(FilterState& state, std::optional<PolicyTrust> trust, Log log,
                           std::shared_ptr<brivet::HTTPTransport> transport, std::chrono::milliseconds retryInterval)
    : state_(state),
      trust_(std::move(trust)),
      log_(log ? std::move(log) : Log([](const std::string&) {})),
      retryInterval_(retryInterval),
      cache_(std::make_shared<brivet::FileBlocklistCache>(state.folder() / blocklistsFolderName)) {
    if (trust_) {
        transport_ = transport ? std::move(transport) : std::make_shared<brivet::CurlTransport>();
        api_ = std::make_shared<brivet::DeviceAPI>(brivet::DeviceAPIConfiguration{trust_->apiBaseUrl, kClientVersion},
                                                   transport_, [] { return std::optional<std::string>(); });
    }
    const auto file = state_.folder() / clientStateFileName;
    try {
        std::string text;
        if (brivet::readWholeFile(file, text)) {
            core::ClientState client;
            from_json(nlohmann::json::parse(text), client);
            client_ = std::move(client);
        }
    } catch (const std::exception& error) {
        std::string where;
        try {
            where = "; moved aside to " + brivet::moveAside(file).filename().string();
        } catch (const std::exception& failure) {
            where = "; not moved aside: " + std::string(failure.what());
        }
        log_("the verified policy state is damaged (" + brivet::logSafe(error.what()) + ")" + where +
             "; the next signed policy binds the daemon afresh");
    }
}

SignedPolicy::~SignedPolicy() {
    if (!fetcher_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // A request in flight ends at once, and no other begins.
    transport_->close();
    fetcher_.join();
}

void SignedPolicy::start() {
    {
        std::lock_guard<std::mutex> lock(publishing_);
        if (client_ && client_->policy) {
            const auto inForce = state_.rules();
            if (inForce.policySeq != client_->highestPolicySeq || state_.rulesDamaged()) enforce(derive(nullptr));
        }
    }
    if (!api_ || fetcher_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        wanted_ = true;  // the rules in force may lack lists from before
    }
    fetcher_ = std::thread([this] { fetchLoop(); });
}

void SignedPolicy::saveState(const core::ClientState& client) const {
    nlohmann::json json;
    to_json(json, client);
    brivet::atomicWrite(state_.folder() / clientStateFileName, json.dump());
}

brivet::FilterRules SignedPolicy::derive(const brivet::FilterRules* document) const {
    const brivet::EffectivePolicy policy(*client_->policy, false);
    const brivet::FilterRules inForce = state_.rules();
    auto cache = std::make_shared<DerivationCache>(*cache_, inForce.ruleSet, document ? &document->ruleSet : nullptr);
    // Derivations never reach the network: the fetcher does.
    auto loaded = brivet::RuleSetLoader(nullptr, cache).load(policy);
    // A stand-in counts as missing until the service's own list is in.
    std::vector<std::string> missing;
    for (const auto& category : policy.categories) {
        const bool lacking = cache->standIns.count(category) != 0 ||
                             std::find(loaded.missing.begin(), loaded.missing.end(), category) != loaded.missing.end();
        if (lacking && std::find(missing.begin(), missing.end(), category) == missing.end()) missing.push_back(category);
    }
    auto derived = brivet::FilterRules::make(policy, std::move(loaded.ruleSet), std::move(missing), systemNow());
    // The time of the rules in force is kept when nothing else changed, so
    // that an unchanged derivation is not written again.
    auto same = derived;
    same.generatedAt = inForce.generatedAt;
    return same == inForce ? inForce : derived;
}

void SignedPolicy::enforce(const brivet::FilterRules& derived) {
    if (derived == state_.rules() && !state_.rulesDamaged()) return;
    if (auto failure = state_.enforce(derived)) log_("rules in force not saved: " + brivet::logSafe(*failure));
    if (!derived.isComplete()) wantLists();
}

void SignedPolicy::wantLists() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        wanted_ = true;
    }
    wake_.notify_all();
}

std::optional<std::string> SignedPolicy::publish(const brivet::FilterRules& rules,
                                                 const std::optional<nlohmann::json>& envelope) {
    if (!envelope) return std::string("the publish carries no signed policy");
    if (!trust_) return std::string("the daemon has no pinned keys to verify a policy with");
    std::lock_guard<std::mutex> lock(publishing_);
    // The core reads these four texts of an envelope and nothing else. The
    // rest of what a caller sent is not handed on, so that it is never
    // parsed a second time.
    nlohmann::json own = nlohmann::json::object();
    for (const char* name : {"alg", "key_id", "payload_b64", "sig"}) {
        if (const auto member = envelope->find(name); member != envelope->end() && member->is_string()) {
            own[name] = *member;
        }
    }
    const std::string text = own.dump();
    std::optional<core::PolicyApplication> applied;
    std::string refusal;
    const auto apply = [&](const core::ClientState& on) {
        try {
            applied = core::applyPolicy(on, text, trust_->keys);
        } catch (const core::CoreError& error) {
            refusal = error.name;
        } catch (const std::exception& error) {
            refusal = error.what();
        }
    };
    // Without a state of its own the daemon tries a state bound to no
    // device: the core verifies the signature before it reads the payload,
    // so a signed policy comes back as another device's, and nothing
    // unsigned is parsed here.
    apply(client_ ? *client_ : core::ClientState(std::string(), std::string()));
    // The first envelope binds the daemon to its device and installation;
    // another device's policy takes a fresh state only while no commitment
    // holds this one.
    if (refusal == "device_mismatch" && !committed(client_)) {
        if (auto fresh = freshStateFor(*envelope)) {
            refusal.clear();
            apply(*fresh);
        } else {
            refusal = "malformed_envelope";
        }
    }
    if (!applied) return "the signed policy was refused: " + brivet::logSafe(refusal);
    if (applied->outcome == core::PolicyOutcome::applied) {
        try {
            saveState(applied->state);
        } catch (const std::exception& error) {
            log_("verified policy state not saved: " + brivet::logSafe(error.what()));
        }
        client_ = std::move(applied->state);
    }

    // The same signed policy again (the app publishes on every tick while it
    // lacks a list): rules in force that are whole are its derivation.
    const bool nothingNew = applied->outcome != core::PolicyOutcome::applied;
    brivet::FilterRules inForce = state_.rules();
    const bool whole = client_ && inForce.isComplete() && !state_.rulesDamaged() &&
                       inForce.policySeq == client_->highestPolicySeq;
    const brivet::FilterRules derived = nothingNew && whole ? std::move(inForce) : derive(&rules);
    enforce(derived);
    if (rules.policySeq != derived.policySeq) {
        return "the rules are of policy " + std::to_string(rules.policySeq) + ", the signed policy is " +
               std::to_string(derived.policySeq);
    }
    return weakerThan(rules, derived);
}

std::optional<brivet::EffectivePolicy> SignedPolicy::policyToFetch() const {
    std::lock_guard<std::mutex> lock(publishing_);
    if (!client_ || !client_->policy || state_.rules().isComplete()) return std::nullopt;
    return brivet::EffectivePolicy(*client_->policy, false);
}

void SignedPolicy::fetched(std::int64_t seq) {
    std::lock_guard<std::mutex> lock(publishing_);
    if (client_ && client_->policy && client_->highestPolicySeq == seq) enforce(derive(nullptr));
}

void SignedPolicy::fetchLoop() {
    auto retry = retryInterval_;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wake_.wait_for(lock, retry, [&] { return stopping_ || wanted_; });
            if (stopping_) return;
            wanted_ = false;
        }
        const auto policy = policyToFetch();
        if (!policy) {
            retry = retryInterval_;
            continue;
        }
        // Fetches what the cache lacks; the loader keeps every list it gets.
        const auto loaded = brivet::RuleSetLoader(api_, cache_).load(*policy);
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            if (stopping_) return;
        }
        fetched(policy->policySeq);
        // Lists of earlier blocklist versions are of no more use once every
        // list of this one is in.
        if (loaded.missing.empty()) cache_->prune(policy->blocklistVersion);
        // While the service cannot give every list, ask less and less often
        // (up to every ten minutes); a new policy asks at once.
        retry = loaded.missing.empty() ? retryInterval_
                                       : std::min<std::chrono::milliseconds>(retry * 2, std::chrono::minutes(10));
    }
}

void SignedPolicy::reset(const std::filesystem::path& stateFolder) {
    std::error_code ec;
    std::filesystem::remove(stateFolder / clientStateFileName, ec);
    if (ec) {
        throw std::filesystem::filesystem_error("cannot remove the verified policy state", stateFolder / clientStateFileName,
                                                ec);
    }
    std::filesystem::remove_all(stateFolder / blocklistsFolderName, ec);
    if (ec) throw std::filesystem::filesystem_error("cannot remove the blocklists", stateFolder / blocklistsFolderName, ec);
}

}  // namespace keldra::filter

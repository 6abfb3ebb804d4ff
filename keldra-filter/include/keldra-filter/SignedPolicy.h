#pragma once
// The lock the daemon holds itself: the rules in force are derived from the
// device policy the service signed, never taken from a caller.
//
// A publish carries the signed envelope its rules came from. The envelope is
// applied, as root, to the daemon's own policy state with the core library
// (so rollbacks, conflicting duplicates and weakenings under a commitment
// are refused here, whatever the caller's files say), and the rules in force
// are compiled from the verified policy with the client library's own code:
// the effective policy, blocklists of the policy's version from the daemon's
// own cache, and the rule set. A category whose blocklist the daemon has not
// fetched yet keeps the entries the rules in force hold for it; one it never
// had takes the block entries of the caller's document for it (more blocking
// is never weaker). Allow entries come only from the signed policy.
//
// The published document is only compared: it is accepted when it is of the
// derivation's sequence, holds every block entry of the derivation (but
// those of categories either side still lacks) and allows nothing the
// derivation does not; otherwise it is refused with a short reason ("the
// rules leave out entries of ads that policy 7 blocks"). A valid newer envelope is applied
// either way, and its derivation is in force before the reply; a publish
// without a valid envelope changes nothing.
//
// Files, root-only, in the state folder:
//   client-state.json   the verified policy state (the core's ClientState)
//   blocklists/         the blocklists fetched from the service
// Missing blocklists are fetched by a thread of their own (public requests,
// no token); once they are in, the derivation is compiled again and put in
// force. The packet path only ever reads the compiled rules in force.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "BrivetClient/AppGroup.h"
#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/FilterRules.h"
#include "BrivetClient/HTTPTransport.h"
#include "BrivetCore/BrivetCore.h"
#include "keldra-filter/FilterState.h"

namespace keldra::filter {

// What the daemon trusts: the service's address and the pinned keys, from
// the installed app's environment file.
struct PolicyTrust {
    std::string apiBaseUrl;
    brivet::PinnedKeys keys;
};

class SignedPolicy {
public:
    using Log = std::function<void(const std::string&)>;

    static constexpr const char* clientStateFileName = "client-state.json";
    static constexpr const char* blocklistsFolderName = "blocklists";

    // Reads the verified state from the state folder of `state` (a damaged
    // file is logged and moved aside). Without `trust` no envelope can be
    // verified, so every publish is refused and the rules in force stay.
    // `transport` fetches blocklists (the real one when none).
    SignedPolicy(FilterState& state, std::optional<PolicyTrust> trust, Log log,
                 std::shared_ptr<brivet::HTTPTransport> transport = nullptr,
                 std::chrono::milliseconds retryInterval = std::chrono::seconds(30));
    ~SignedPolicy();

    SignedPolicy(const SignedPolicy&) = delete;
    SignedPolicy& operator=(const SignedPolicy&) = delete;

    // Puts the verified policy's derivation in force when the rules in force
    // are not it (after a damaged rules file, say), and starts fetching the
    // blocklists it lacks.
    void start();

    // A caller's publish. Returns the reason for a refusal, none when the
    // rules are accepted. Whatever the answer, the rules in force are the
    // derivation of the newest verified policy when it returns.
    std::optional<std::string> publish(const brivet::FilterRules& rules, const std::optional<nlohmann::json>& envelope);

    // Removes the verified state and the blocklist cache.
    static void reset(const std::filesystem::path& stateFolder);

private:
    // The derivation of the verified policy; `document` lends block entries
    // for categories never had. Holds publishing_.
    brivet::FilterRules derive(const brivet::FilterRules* document) const;
    // Puts a derivation in force when it differs from the rules in force.
    void enforce(const brivet::FilterRules& derived);
    void saveState(const brivet::BrivetCore::ClientState& client) const;
    // Asks the fetcher for another round.
    void wantLists();

    // The fetcher's thread: a round whenever lists are wanted, and again
    // after a while when some could not be had.
    void fetchLoop();
    // The verified policy when the rules in force lack lists of it.
    std::optional<brivet::EffectivePolicy> policyToFetch() const;
    // The lists of policy `seq` were fetched (some may still be missing).
    void fetched(std::int64_t seq);

    FilterState& state_;
    std::optional<PolicyTrust> trust_;
    Log log_;
    std::chrono::milliseconds retryInterval_;
    std::shared_ptr<brivet::HTTPTransport> transport_;
    std::shared_ptr<brivet::DeviceAPI> api_;
    std::shared_ptr<brivet::FileBlocklistCache> cache_;

    // Serialises publishes and re-derivations; guards client_.
    mutable std::mutex publishing_;
    std::optional<brivet::BrivetCore::ClientState> client_;

    std::mutex wakeMutex_;  // guards the two flags
    std::condition_variable wake_;
    bool wanted_ = false;
    bool stopping_ = false;
    std::thread fetcher_;  // ended by the destructor
};

}  // namespace keldra::filter

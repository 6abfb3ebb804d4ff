#include "BrivetClient/ProtectionClient.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <openssl/evp.h>
#include <sys/random.h>

namespace brivet {
namespace {

void fillRandom(unsigned char* buffer, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        ssize_t n = ::getrandom(buffer + filled, size - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw RandomSourceError(std::string("random source failed: ") + std::strerror(errno));
        }
        filled += static_cast<size_t>(n);
    }
}

// Standard base64 made URL-safe: "+" to "-", "/" to "_", padding removed.
std::string base64url(const unsigned char* data, size_t size) {
    // EVP_EncodeBlock also writes a terminating NUL.
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(written));
    std::replace(out.begin(), out.end(), '+', '-');
    std::replace(out.begin(), out.end(), '/', '_');
    out.erase(std::find(out.begin(), out.end(), '='), out.end());
    return out;
}

}  // namespace

std::string ProtectionClient::ReleaseDecision::caseName() const {
    static const char* names[] = {"released", "deferred", "invalid", "none"};
    return names[value.index()];
}

std::string ProtectionClient::RefreshOutcome::caseName() const {
    switch (kind) {
        case Kind::applied: return "applied";
        case Kind::unchanged: return "unchanged";
        case Kind::ignored: return "ignored";
    }
    return "unchanged";
}

ProtectionClient::ProtectionClient(std::shared_ptr<DeviceAPI> api, std::shared_ptr<StateStore> store,
                                   PinnedKeys keys, std::string clientVersion, Clock clock,
                                   NonceGenerator nonce)
    : api_(std::move(api)),
      store_(std::move(store)),
      keys_(std::move(keys)),
      clientVersion_(std::move(clientVersion)),
      clock_(std::move(clock)),
      nonceGenerator_(std::move(nonce)),
      state_(store_->load()) {}

ProtectionClient::Clock ProtectionClient::systemClock() {
    return [] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); };
}

std::string ProtectionClient::randomNonce() {
    std::array<unsigned char, 32> bytes{};
    fillRandom(bytes.data(), bytes.size());
    return base64url(bytes.data(), bytes.size());
}

std::string ProtectionClient::randomUUID() {
    std::array<unsigned char, 16> b{};
    fillRandom(b.data(), b.size());
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 15];
    }
    return out;
}

void ProtectionClient::recordContact() {
    state_.lastServerContact = RFC3339::string(clock_());
    state_.offlineRelease.reset();
}

void ProtectionClient::save() { store_->save(state_); }

DeviceIdentity ProtectionClient::enroll(const std::string& code, const std::string& name) {
    std::string installationId = state_.installationId ? *state_.installationId : randomUUID();
    state_.installationId = installationId;
    save();

    EnrollmentResult result = api_->enroll(code, Platform::macos, name, installationId);

    DeviceIdentity identity{result.deviceId, installationId, result.deviceToken};
    state_.identity = identity;
    state_.client = BrivetCore::ClientState(result.deviceId, installationId);
    state_.policyEnvelope.reset();
    state_.offlineReleasedAt.reset();
    recordContact();
    save();
    return identity;
}

ProtectionClient::RefreshOutcome ProtectionClient::refreshPolicy() {
    if (!state_.client || !state_.identity) throw APIError::notEnrolled();

    // Without the envelope of the stored policy the service is asked for it
    // whole: a 304 would leave nothing to hand the filter.
    std::optional<std::int64_t> ifNoneMatch;
    if (state_.client->highestPolicySeq >= 1 && state_.policyEnvelope) ifNoneMatch = state_.client->highestPolicySeq;
    PolicyFetch fetch = api_->fetchPolicy(ifNoneMatch);

    if (fetch.isNotModified()) {
        recordContact();
        save();
        return RefreshOutcome::unchanged();
    }

    BrivetCore::PolicyApplication application;
    try {
        application = BrivetCore::applyPolicy(*state_.client, fetch.body, keys_);
    } catch (const BrivetCore::CoreError& error) {
        state_.lastRejectedPolicy = error.name;
        save();
        throw PolicyRejected(error.name);
    }

    recordContact();
    if (application.outcome == BrivetCore::PolicyOutcome::ignored) {
        state_.policyEnvelope = std::move(fetch.body);
        save();
        return RefreshOutcome::ignored();
    }
    state_.client = std::move(application.state);
    state_.policyEnvelope = std::move(fetch.body);
    state_.offlineReleasedAt.reset();
    state_.lastRejectedPolicy.reset();
    save();
    std::int64_t seq = state_.client->highestPolicySeq;
    api_->acknowledgePolicy(seq, clock_());
    return RefreshOutcome::applied(seq);
}

Instant ProtectionClient::attestTime() {
    if (!state_.identity) throw APIError::notEnrolled();
    std::string nonce = nonceGenerator_();
    std::string body = api_->requestTimeAttestation(nonce);
    BrivetCore::Attestation attestation =
        BrivetCore::verifyAttestation(body, keys_, state_.identity->deviceId, nonce);
    std::optional<Instant> serverTime = RFC3339::date(attestation.serverTime);
    if (!serverTime) throw APIError::decoding("attestation server_time");

    std::optional<Instant> highWater;
    if (state_.trustedTimeHighWater) highWater = RFC3339::date(*state_.trustedTimeHighWater);
    if (!highWater || *serverTime > *highWater) state_.trustedTimeHighWater = RFC3339::string(*serverTime);

    recordContact();
    save();
    return *serverTime;
}

ProtectionClient::ReleaseDecision ProtectionClient::checkGlobalRelease() {
    std::optional<std::string> document = api_->fetchGlobalRelease();
    if (!document) return ReleaseDecision::none();

    BrivetCore::VerifiedRelease release;
    try {
        release = BrivetCore::verifyRelease(*document, keys_, clock_(), protocolClientVersion);
    } catch (const BrivetCore::CoreError& error) {
        if (error.name == "not_effective_until") {
            auto it = error.details.find("effective_at");
            if (it != error.details.end()) {
                if (auto text = it->second.stringValue()) return ReleaseDecision::deferred(*text);
            }
        }
        return ReleaseDecision::invalid(error.name);
    }

    state_.globalRelease = GlobalReleaseRecord{release.keyId, release.reason, release.effectiveAt,
                                               RFC3339::string(clock_())};
    save();
    return ReleaseDecision::released(release.reason, release.effectiveAt);
}

HeartbeatResult ProtectionClient::heartbeat(const MacCapabilities& capabilities) {
    if (!state_.identity) throw APIError::notEnrolled();
    HeartbeatResult result = api_->heartbeat(heartbeatFacts(capabilities));
    recordContact();
    save();
    return result;
}

HeartbeatFacts ProtectionClient::heartbeatFacts(const MacCapabilities& capabilities) const {
    HeartbeatFacts::Revocations revocations;
    if (capabilities.filterRevokedAt) revocations.vpnRevokedAt = RFC3339::string(*capabilities.filterRevokedAt);
    if (capabilities.appMonitorRevokedAt)
        revocations.usageAccessRevokedAt = RFC3339::string(*capabilities.appMonitorRevokedAt);

    HeartbeatFacts facts(clientVersion_, capabilities.osVersion, state_.client ? state_.client->highestPolicySeq : 0,
                         state_.client.has_value() && state_.client->policy.has_value(), capabilities.filterActive,
                         capabilities.appMonitorPermitted, capabilities.appMonitorRunning);
    facts.accessibilityActive = false;
    facts.privateDnsMode = "unknown";
    facts.integrityState = "unavailable";
    facts.integrityCheckedAt.reset();
    facts.revocations = revocations;
    return facts;
}

bool ProtectionClient::recordRuntime(std::int64_t monotonicSeconds) {
    std::optional<EffectivePolicy> policy = effectivePolicy();
    std::optional<Instant> lockEnd;
    if (policy && policy->committed && policy->lockedUntil) lockEnd = RFC3339::date(*policy->lockedUntil);

    Instant localNow = clock_();
    state_.offlineRelease.record(monotonicSeconds, localNow, lockEnd);

    bool fired = false;
    if (policy && policy->committed && !state_.offlineReleasedAt &&
        state_.offlineRelease.due(policy->offlineReleaseRuntimeSeconds)) {
        state_.offlineReleasedAt = RFC3339::string(clock_());
        fired = true;
    }
    save();
    return fired;
}

bool ProtectionClient::needsPolicyRefresh(const HeartbeatResult& result) const {
    std::int64_t stored = state_.client ? state_.client->highestPolicySeq : 0;
    return stored < result.policySeq;
}

std::optional<EffectivePolicy> ProtectionClient::effectivePolicy() const {
    if (!state_.client || !state_.client->policy) return std::nullopt;
    return EffectivePolicy(*state_.client->policy, state_.offlineReleasedAt.has_value());
}

std::optional<Instant> ProtectionClient::trustedTimeHighWater() const {
    if (!state_.trustedTimeHighWater) return std::nullopt;
    return RFC3339::date(*state_.trustedTimeHighWater);
}

}  // namespace brivet

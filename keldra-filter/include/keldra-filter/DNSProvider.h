#pragma once
// The DNS-proxy provider: while the DNS-proxy configuration names this
// extension, the daemon answers DNS on 127.0.0.1:53 with the shared listener
// (NXDOMAIN for blocked names, every other query forwarded to the machine's
// former name servers) and points the machine's DNS at itself: through the
// resolver file, or where systemd-resolved manages DNS through a drop-in of
// resolved's configuration.
//
// What it changed is recorded (root-only, durably) before it changes it, so
// that a clean stop puts it back, and after a kill -9 the next start does.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "keldra-filter/FilterState.h"
#include "keldra-proxy/DNSProxy.h"
#include "keldra-proxy/ResolvedDropIn.h"

namespace keldra::filter {

struct DNSProviderSettings {
    std::string listenHost = "127.0.0.1";
    std::uint16_t listenPort = 53;
    std::uint16_t upstreamPort = brivet::DNSProxy::kUpstreamPort;
    std::filesystem::path resolverFile = "/etc/resolv.conf";
    brivet::ResolvedPaths resolved;
};

class DNSProvider {
public:
    using Log = std::function<void(const std::string&)>;

    static constexpr const char* recordFileName = "dns-before.json";

    DNSProvider(FilterState& state, DNSProviderSettings settings, std::filesystem::path stateFolder, Log log);
    ~DNSProvider();

    DNSProvider(const DNSProvider&) = delete;
    DNSProvider& operator=(const DNSProvider&) = delete;

    // Listens, then points the machine's DNS here. Throws std::runtime_error
    // when it cannot listen or point; nothing stays changed then.
    void start();
    // Puts the machine's DNS back, then stops listening. Idempotent.
    void stop();
    bool serving() const noexcept { return proxy_ != nullptr; }
    const std::vector<std::string>& upstreams() const noexcept { return upstreams_; }

    // Puts back what a record left by an earlier run says (after a kill -9),
    // and removes the record. Logs what it did; never throws.
    static void restoreLeftover(const std::filesystem::path& stateFolder, const DNSProviderSettings& settings,
                                const Log& log);

private:
    class QueryFilter;

    DNSProviderSettings settings_;
    std::filesystem::path stateFolder_;
    Log log_;
    std::unique_ptr<QueryFilter> filter_;
    std::unique_ptr<brivet::DNSProxy> proxy_;
    std::vector<std::string> upstreams_;
};

}  // namespace keldra::filter

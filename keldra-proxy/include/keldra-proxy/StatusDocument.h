#pragma once
// The status document the proxy rewrites after every tick ("status.json" in
// the data directory unless --status names another file). Observers such as
// the menu-bar app read it; the proxy never reads it back.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrivetClient/EffectivePolicy.h"
#include "BrivetClient/Engine.h"
#include "BrivetClient/ProtectionClient.h"
#include "BrivetClient/ProxyStatus.h"
#include "BrivetClient/RFC3339.h"
#include "BrivetClient/StateStore.h"

namespace brivet {

class DevHost;
class LocalFilter;

// The proxy's client version, reported to the service and in the document.
inline constexpr const char* kProxyClientVersion = "0.1.0-macos-beta";

struct StatusFile : ProxyStatus {
    StatusFile() { version = kProxyClientVersion; }

    bool operator==(const StatusFile&) const = default;

    // The document right after a tick: the client's identity and effective
    // policy, the policy sequence of the filter's rules, the host's last DNS
    // check and the listener's counters; `now` is the moment it is built.
    static StatusFile make(const TickReport& report, const ProtectionClient& client, LocalFilter& filter,
                           const DevHost& host, std::int64_t blocked, std::int64_t answered, Instant now);
    // The same from the facts themselves.
    static StatusFile make(const TickReport& report, const std::optional<DeviceIdentity>& identity,
                           const std::optional<EffectivePolicy>& policy, std::int64_t policySeq,
                           std::optional<bool> dnsPointsHere, std::int64_t blocked, std::int64_t answered,
                           Instant now);

    // One member per field, named as the field; absent optionals are left
    // out. Keys sort by name.
    nlohmann::json toJSON() const;
    // Pretty-printed JSON with sorted keys and a final line feed. Bytes that
    // are not UTF-8 are written as U+FFFD.
    std::string encode() const;

    // Replaces `target` atomically with a new file created with mode 0644
    // whatever the umask. Whatever is at `target` (a symlink, another file)
    // is replaced, never written through nor changed. Never fails: a
    // document that cannot be written leaves the previous one in place. The
    // directory is not created.
    void write(const std::filesystem::path& target) const noexcept;
};

}  // namespace brivet

#pragma once
// The fields of the proxy's status document, shared by the proxy that writes
// it and the app that reads it. Each field is a member of the document
// under its own name.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brivet {

struct ProxyStatus {
    std::string version;
    bool enrolled = false;
    std::optional<std::string> deviceId;
    std::optional<std::string> state;
    bool filterRunning = false;
    // Only when the proxy checks the DNS settings.
    std::optional<bool> dnsAsserted;
    std::int64_t policySeq = 0;
    bool committed = false;
    std::optional<std::string> lockedUntil;
    std::vector<std::string> categories;
    std::int64_t blocked = 0;
    std::int64_t answered = 0;
    std::string lastTickAt;
    std::vector<std::string> errors;

    bool operator==(const ProxyStatus&) const = default;
};

}  // namespace brivet

#pragma once
// The client of the device service's HTTP JSON interface: one blocking call
// per endpoint. Every failure is an APIError (or whatever a custom transport
// throws); signed documents are returned as raw bytes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "BrivetClient/HTTPTransport.h"
#include "BrivetClient/Models.h"
#include "BrivetClient/RFC3339.h"

namespace brivet {

struct DeviceAPIConfiguration {
    std::string baseURL;        // e.g. "https://service.example:8443"
    std::string clientVersion;  // sent in the User-Agent

    bool operator==(const DeviceAPIConfiguration&) const = default;
};

class DeviceAPI {
public:
    // Asked again for every authenticated request; no value sends no
    // Authorization header.
    using TokenSource = std::function<std::optional<std::string>()>;

    DeviceAPI(DeviceAPIConfiguration configuration, std::shared_ptr<HTTPTransport> transport, TokenSource token);

    EnrollmentResult enroll(const std::string& code, Platform platform, const std::string& name,
                            const std::string& installationId) const;
    // Sends If-None-Match: "<seq>" when a sequence is given; 304 gives notModified.
    PolicyFetch fetchPolicy(std::optional<std::int64_t> ifNoneMatchSeq) const;
    void acknowledgePolicy(std::int64_t seq, Instant appliedAt) const;
    HeartbeatResult heartbeat(const HeartbeatFacts& facts) const;
    EventBatchResult sendEvents(const std::vector<CoalescedEvent>& events) const;
    // The reply body, unread (a signed envelope).
    std::string requestTimeAttestation(const std::string& nonce) const;
    Blocklist fetchBlocklist(const std::string& category, std::int64_t version) const;
    // The "release" member re-serialised compactly with sorted keys, or no
    // value when the service publishes none.
    std::optional<std::string> fetchGlobalRelease() const;

    const DeviceAPIConfiguration& configuration() const noexcept { return configuration_; }

    // Scheme and authority of `baseURL` followed by `path` (which starts with
    // "/"): any path, query or fragment of the base is dropped.
    static std::string resolve(std::string_view baseURL, std::string_view path);
    // Percent-encodes everything outside the RFC 3986 unreserved characters;
    // a segment made only of dots is encoded whole so it never reads as "."
    // or "..".
    static std::string encodePathSegment(std::string_view segment);

private:
    HTTPRequest request(std::string method, std::string_view path, std::optional<std::string> body,
                        bool authenticated) const;
    HTTPResponse perform(const HTTPRequest& request, const std::set<int>& accepted = {}) const;

    DeviceAPIConfiguration configuration_;
    std::shared_ptr<HTTPTransport> transport_;
    TokenSource token_;
};

}  // namespace brivet

#pragma once
// The HTTP seam of the device-service client, and its libcurl implementation.

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivet {

// Whether two header names (or other ASCII tokens) are equal ignoring the
// case of ASCII letters.
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;

struct HTTPRequest {
    std::string method = "GET";
    std::string url;
    // In the order they are sent; names compare without regard to case.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
    // How long connecting may take, and then how long the exchange may go on
    // without a single byte sent or received. A slow but steady reply never
    // runs into it.
    std::chrono::milliseconds timeout{60'000};
    // A cap on the whole exchange, so that a peer trickling a byte now and
    // then cannot hold a request for ever.
    std::chrono::milliseconds totalTimeout{15 * 60'000};

    // Sets a header, replacing any earlier value under the same name.
    void setHeader(std::string name, std::string value);
    std::optional<std::string> header(std::string_view name) const;

    bool operator==(const HTTPRequest&) const = default;
};

struct HTTPResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;

    HTTPResponse() = default;
    // Stores every header name lower-cased, whatever case it is given in.
    HTTPResponse(int status, const std::map<std::string, std::string>& headers, std::string body);

    std::optional<std::string> header(std::string_view lowerCaseName) const;

    bool operator==(const HTTPResponse&) const = default;
};

// Sends one request and returns whatever HTTP reply arrives; no status checks.
class HTTPTransport {
public:
    virtual ~HTTPTransport() = default;
    virtual HTTPResponse send(const HTTPRequest& request) = 0;

    // Ends the requests in flight at once: each fails as an
    // APIError::transport. Later requests go as usual. May be called from
    // any thread; a transport that cannot end its requests does nothing.
    virtual void cancelRequests() {}
    // Ends the requests in flight like cancelRequests(), and every later one
    // fails the same way before anything is sent: for the end of a program,
    // when no answer may hold it up any longer.
    virtual void close() { cancelRequests(); }
};

struct CurlTransportOptions {
    // Override the request's own limits when set (tests use short ones):
    // `timeout` the connect and idle limit, `totalTimeout` the cap on the
    // whole exchange.
    std::optional<std::chrono::milliseconds> timeout;
    bool verifyTLS = true;
    std::optional<std::string> caBundlePath;  // extra trust anchors for tests
    // Replies larger than this fail as a transport error instead of
    // exhausting memory.
    std::size_t maxBodyBytes = std::size_t{256} * 1024 * 1024;
    long maxRedirects = 10;
    std::optional<std::chrono::milliseconds> totalTimeout;
};

// The real transport. http and https only; TLS certificates verified;
// redirects followed (http/https only) and the Authorization header is never
// sent to any origin other than the one it was set for. Every failure before
// a complete reply is an APIError::transport. Safe to use from several
// threads at once (each call has its own handle); cancelRequests() and
// close() end a request at once, whatever it waits on (the name look-up,
// the connection, the reply).
class CurlTransport : public HTTPTransport {
public:
    explicit CurlTransport(CurlTransportOptions options = {});
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    HTTPResponse send(const HTTPRequest& request) override;
    void cancelRequests() override;
    void close() override;

    const CurlTransportOptions& options() const noexcept { return options_; }

    struct InFlight;

private:
    CurlTransportOptions options_;
    std::unique_ptr<InFlight> inFlight_;
};

}  // namespace brivet

#include "BrivetClient/HTTPTransport.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include <curl/curl.h>

#include "BrivetClient/Models.h"

namespace brivet {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

std::string_view trimmed(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const std::size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

// A header name is an RFC 9110 token; a value holds no control characters
// that would end the line (which would let a value inject further headers).
bool validHeaderName(std::string_view name) {
    if (name.empty()) return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        std::string_view("!#$%&'*+-.^_`|~").find(ch) != std::string_view::npos;
        if (!ok) return false;
    }
    return true;
}

bool validHeaderValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// Keeps the easy handle in the multi handle for as long as it lives.
class Attached {
public:
    Attached(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        const CURLMcode rc = curl_multi_add_handle(multi, easy);
        if (rc != CURLM_OK) throw APIError::transport(std::string("cannot start request: ") + curl_multi_strerror(rc));
    }
    ~Attached() { curl_multi_remove_handle(multi_, easy_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    CURLM* multi_;
    CURL* easy_;
};

APIError requestCancelled() { return APIError::transport("request cancelled"); }

using SteadyClock = std::chrono::steady_clock;

struct Exchange {
    std::size_t maxBody = 0;
    bool tooLarge = false;
    // The idle limit counts from the moment the connection is up; until
    // then the connect limit applies.
    std::chrono::milliseconds idleLimit{0};
    bool connected = false;
    bool idleExpired = false;
    SteadyClock::time_point lastActivity{};
    curl_off_t uploaded = 0;
    std::string body;
    std::map<std::string, std::string> headers;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::size_t n = size * count;
    if (n > exchange->maxBody - exchange->body.size()) {
        exchange->tooLarge = true;
        return 0;  // aborts the transfer with CURLE_WRITE_ERROR
    }
    exchange->body.append(data, n);
    exchange->lastActivity = SteadyClock::now();
    return n;
}

// Called once the connection (with any TLS handshake) is established, for
// every connection of the exchange (redirects included).
int onConnected(void* user, char*, char*, int, int) {
    auto* exchange = static_cast<Exchange*>(user);
    exchange->connected = true;
    exchange->lastActivity = SteadyClock::now();
    return CURL_PREREQFUNC_OK;
}

// libcurl calls this at least about once a second, also while nothing moves.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* exchange = static_cast<Exchange*>(user);
    const auto now = SteadyClock::now();
    if (uploaded != exchange->uploaded) {
        exchange->uploaded = uploaded;
        exchange->lastActivity = now;
    }
    if (exchange->connected && now - exchange->lastActivity >= exchange->idleLimit) {
        exchange->idleExpired = true;
        return 1;  // aborts the transfer
    }
    return 0;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::size_t n = size * count;
    exchange->lastActivity = SteadyClock::now();
    const std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        // A new reply begins (after an interim 1xx or a redirect): only the
        // final reply's headers count.
        exchange->headers.clear();
        return n;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    const std::string name = lowered(trimmed(line.substr(0, colon)));
    if (name.empty()) return n;
    const std::string_view value = trimmed(line.substr(colon + 1));
    auto [it, inserted] = exchange->headers.try_emplace(name, value);
    if (!inserted) {
        // Repeated fields combine into one comma-separated value.
        it->second.append(", ");
        it->second.append(value);
    }
    return n;
}

template <class T>
void setOption(CURL* handle, CURLoption option, T value) {
    const CURLcode rc = curl_easy_setopt(handle, option, value);
    if (rc != CURLE_OK) throw APIError::transport(std::string("cannot configure request: ") + curl_easy_strerror(rc));
}

}  // namespace

void HTTPRequest::setHeader(std::string name, std::string value) {
    for (auto& [existing, existingValue] : headers) {
        if (equalsIgnoringCase(existing, name)) {
            existingValue = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> HTTPRequest::header(std::string_view name) const {
    for (const auto& [existing, value] : headers) {
        if (equalsIgnoringCase(existing, name)) return value;
    }
    return std::nullopt;
}

HTTPResponse::HTTPResponse(int status, const std::map<std::string, std::string>& givenHeaders, std::string body)
    : status(status), body(std::move(body)) {
    for (const auto& [name, value] : givenHeaders) headers[lowered(name)] = value;
}

std::optional<std::string> HTTPResponse::header(std::string_view lowerCaseName) const {
    const auto it = headers.find(lowered(lowerCaseName));
    if (it == headers.end()) return std::nullopt;
    return it->second;
}

// The requests in flight, each by the multi handle it waits in, so that
// another thread can end them: a cancelled request's flag is set and its
// wait woken. A request leaves the set before its handle goes.
struct CurlTransport::InFlight {
    struct Request {
        CURLM* multi = nullptr;
        bool cancelled = false;
    };

    std::mutex mutex;
    bool closed = false;
    std::vector<Request*> requests;

    void cancelAll() {
        for (Request* request : requests) {
            request->cancelled = true;
            curl_multi_wakeup(request->multi);
        }
    }
};

namespace {

// One request's place in the set, for its lifetime.
class Registration {
public:
    Registration(CurlTransport::InFlight& inFlight, CURLM* multi) : inFlight_(inFlight) {
        request_.multi = multi;
        std::lock_guard lock(inFlight_.mutex);
        if (inFlight_.closed) throw requestCancelled();
        inFlight_.requests.push_back(&request_);
    }
    ~Registration() {
        std::lock_guard lock(inFlight_.mutex);
        auto& all = inFlight_.requests;
        all.erase(std::remove(all.begin(), all.end(), &request_), all.end());
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    bool cancelled() const {
        std::lock_guard lock(inFlight_.mutex);
        return request_.cancelled;
    }

private:
    CurlTransport::InFlight& inFlight_;
    CurlTransport::InFlight::Request request_;
};

}  // namespace

CurlTransport::CurlTransport(CurlTransportOptions options)
    : options_(std::move(options)), inFlight_(std::make_unique<InFlight>()) {
    initialiseCurl();
}

CurlTransport::~CurlTransport() = default;

void CurlTransport::cancelRequests() {
    std::lock_guard lock(inFlight_->mutex);
    inFlight_->cancelAll();
}

void CurlTransport::close() {
    std::lock_guard lock(inFlight_->mutex);
    inFlight_->closed = true;
    inFlight_->cancelAll();
}

HTTPResponse CurlTransport::send(const HTTPRequest& request) {
    const std::string scheme = lowered(request.url.substr(0, request.url.find("://")));
    if (request.url.find("://") == std::string::npos || (scheme != "http" && scheme != "https")) {
        throw APIError::transport("unsupported URL: only http and https are allowed");
    }

    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle) throw APIError::transport("cannot create request");
    CURL* h = handle.get();

    std::unique_ptr<curl_slist, ListDeleter> list;
    auto append = [&list](const std::string& line) {
        curl_slist* next = curl_slist_append(list.get(), line.c_str());
        if (next == nullptr) throw APIError::transport("out of memory");
        (void)list.release();
        list.reset(next);
    };
    bool hasExpect = false;
    for (const auto& [name, value] : request.headers) {
        if (!validHeaderName(name) || !validHeaderValue(value)) {
            throw APIError::transport("invalid header field \"" + name + "\"");
        }
        if (equalsIgnoringCase(name, "expect")) hasExpect = true;
        // "Name;" is how an empty value is sent; "Name:" would remove the field.
        append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!hasExpect) append("Expect:");  // no 100-continue round trip for large bodies

    Exchange exchange;
    exchange.maxBody = options_.maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {0};
    const auto idle = options_.timeout ? *options_.timeout : request.timeout;
    const auto total = options_.totalTimeout ? *options_.totalTimeout : request.totalTimeout;
    exchange.idleLimit = idle;
    const long connectMs = static_cast<long>(std::max<std::chrono::milliseconds::rep>(idle.count(), 1));
    const long totalMs = static_cast<long>(std::max<std::chrono::milliseconds::rep>(total.count(), 1));

    setOption(h, CURLOPT_URL, request.url.c_str());
    setOption(h, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    setOption(h, CURLOPT_FOLLOWLOCATION, 1L);
    setOption(h, CURLOPT_MAXREDIRS, options_.maxRedirects);
    // Credentials (including a custom Authorization header) stay with the
    // origin they were set for; libcurl drops them when a redirect changes
    // host, port or scheme.
    setOption(h, CURLOPT_UNRESTRICTED_AUTH, 0L);
    setOption(h, CURLOPT_NOSIGNAL, 1L);
    // A request ended while its name look-up hangs must not wait for it:
    // the look-up's thread is left to end on its own.
    setOption(h, CURLOPT_QUICK_EXIT, 1L);
    // Connecting may take the request's time-out; after that the exchange
    // fails only when nothing has moved for that long (checked in the
    // progress callback), or when the whole exchange passes its cap.
    setOption(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    setOption(h, CURLOPT_TIMEOUT_MS, totalMs);
    setOption(h, CURLOPT_PREREQFUNCTION, &onConnected);
    setOption(h, CURLOPT_PREREQDATA, static_cast<void*>(&exchange));
    setOption(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    setOption(h, CURLOPT_XFERINFODATA, static_cast<void*>(&exchange));
    setOption(h, CURLOPT_NOPROGRESS, 0L);
    setOption(h, CURLOPT_SSL_VERIFYPEER, options_.verifyTLS ? 1L : 0L);
    setOption(h, CURLOPT_SSL_VERIFYHOST, options_.verifyTLS ? 2L : 0L);
    if (options_.caBundlePath) setOption(h, CURLOPT_CAINFO, options_.caBundlePath->c_str());
    // gzip only: a server that packs a large blocklist with a slower codec
    // can hold back the first byte for longer than the idle limit.
    setOption(h, CURLOPT_ACCEPT_ENCODING, "gzip");
    setOption(h, CURLOPT_ERRORBUFFER, errorText);
    setOption(h, CURLOPT_WRITEFUNCTION, &onBody);
    setOption(h, CURLOPT_WRITEDATA, static_cast<void*>(&exchange));
    setOption(h, CURLOPT_HEADERFUNCTION, &onHeader);
    setOption(h, CURLOPT_HEADERDATA, static_cast<void*>(&exchange));
    setOption(h, CURLOPT_HTTPHEADER, list.get());

    if (request.method == "GET") {
        setOption(h, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        setOption(h, CURLOPT_NOBODY, 1L);
    } else {
        if (request.method != "POST") setOption(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        else setOption(h, CURLOPT_POST, 1L);
    }
    if (request.body) {
        setOption(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
        setOption(h, CURLOPT_POSTFIELDS, request.body->data());
    } else if (request.method == "POST") {
        setOption(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        setOption(h, CURLOPT_POSTFIELDS, "");
    }

    // The exchange runs in a multi handle of its own, whose wait another
    // thread can wake: that is how cancelRequests() ends it at once.
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!multi) throw APIError::transport("cannot create request");
    const Attached attached(multi.get(), h);
    const Registration registration(*inFlight_, multi.get());
    for (;;) {
        int running = 0;
        CURLMcode step = curl_multi_perform(multi.get(), &running);
        if (step == CURLM_OK && running > 0 && !registration.cancelled()) {
            step = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        }
        if (step != CURLM_OK) throw APIError::transport(std::string("request failed: ") + curl_multi_strerror(step));
        if (registration.cancelled()) throw requestCancelled();
        if (running == 0) break;
    }
    CURLcode rc = CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == h) rc = message->data.result;
    }
    if (exchange.tooLarge) throw APIError::transport("response body too large");
    if (exchange.idleExpired) {
        throw APIError::transport("Timeout was reached: nothing sent or received for " +
                                  std::to_string(idle.count()) + " ms");
    }
    if (rc != CURLE_OK) {
        std::string text = curl_easy_strerror(rc);
        if (errorText[0] != '\0') text += ": " + std::string(errorText);
        throw APIError::transport(text);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 100 || status > 999) throw APIError::transport("not an HTTP response");
    return HTTPResponse(static_cast<int>(status), exchange.headers, std::move(exchange.body));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace brivet

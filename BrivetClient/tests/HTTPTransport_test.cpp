#include "BrivetClient/HTTPTransport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <sstream>
#include <functional>
#include <thread>

#include "BrivetClient/DeviceAPI.h"
#include "BrivetClient/Models.h"
#include "keldra/TestFiles.h"

extern char** environ;

using namespace brivet;
using namespace std::chrono_literals;

namespace {

// A small HTTP/1.1 server on an ephemeral loopback port: one request per
// connection, each connection on its own thread, answers from a handler.
struct SeenRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string header(std::string_view name) const {
        for (const auto& [n, v] : headers) {
            if (n.size() == name.size() &&
                std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                return v;
            }
        }
        return "";
    }
    bool has(std::string_view name) const {
        for (const auto& [n, v] : headers) {
            if (n.size() == name.size() &&
                std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                return true;
            }
        }
        return false;
    }
};

struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

class TestServer {
public:
    explicit TestServer(std::function<Reply(const SeenRequest&)> handler) : handler_(std::move(handler)) {
        listener_ = listenOnLoopback(port_);
        acceptor_ = std::thread([this] {
            while (true) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                std::lock_guard<std::mutex> lock(mutex_);
                workers_.emplace_back([this, fd] { serve(fd); });
            }
        });
    }
    ~TestServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (auto& worker : workers_) worker.join();
        ::close(listener_);
    }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return "http://" + host + ":" + std::to_string(port_) + path;
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    void serve(int fd) {
        std::string data;
        char buf[65536];
        std::size_t headerEnd;
        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) { ::close(fd); return; }
            data.append(buf, static_cast<std::size_t>(n));
        }
        SeenRequest request;
        std::istringstream head(data.substr(0, headerEnd));
        std::string line;
        std::getline(head, line);
        std::istringstream first(line);
        first >> request.method >> request.target;
        std::size_t length = 0;
        while (std::getline(head, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            request.headers.emplace_back(line.substr(0, colon), value);
        }
        if (request.has("Content-Length")) length = std::stoul(request.header("Content-Length"));
        request.body = data.substr(headerEnd + 4);
        while (request.body.size() < length) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.body.append(buf, static_cast<std::size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(request);
        }
        const Reply reply = handler_(request);
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";
        for (const auto& [n, v] : reply.headers) out += n + ": " + v + "\r\n";
        out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
        out += reply.body;
        sendAll(fd, out);
        ::close(fd);
    }

    std::function<Reply(const SeenRequest&)> handler_;
    int listener_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<SeenRequest> seen_;
};

// A raw TCP listener that reads one request and then does whatever the test
// wants with the connection (half a reply, garbage, an immediate close).
class RawServer {
public:
    explicit RawServer(std::function<void(int fd)> behaviour) {
        listener_ = listenOnLoopback(port_);
        thread_ = std::thread([this, behaviour] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            char buf[4096];
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            behaviour(fd);
            ::close(fd);
        });
    }
    ~RawServer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

HTTPRequest get(const std::string& url) {
    HTTPRequest r;
    r.url = url;
    return r;
}

APIError transportFailure(CurlTransport& transport, const HTTPRequest& request) {
    try {
        transport.send(request);
    } catch (const APIError& e) {
        return e;
    }
    ADD_FAILURE() << "request to " << request.url << " succeeded";
    return APIError::notEnrolled();
}

}  // namespace

TEST(CurlTransport, SendsHeadersAndBodyAndLowerCasesReplyHeaders) {
    TestServer server([](const SeenRequest&) {
        return Reply{201, {{"ETag", "\"7\""}, {"X-Mixed-CASE", "v"}, {"Content-Type", "application/json"}},
                     "{\"ok\":true}"};
    });
    CurlTransport transport;
    HTTPRequest r;
    r.method = "POST";
    r.url = server.url("/echo");
    r.body = std::string(2 * 1024 * 1024, 'x');  // large enough for curl to consider 100-continue
    r.setHeader("Content-Type", "application/json");
    r.setHeader("User-Agent", "Brivet-macOS/9");
    r.setHeader("Authorization", "Bearer abc");
    const HTTPResponse response = transport.send(r);

    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "{\"ok\":true}");
    EXPECT_EQ(response.header("etag"), "\"7\"");
    EXPECT_EQ(response.headers.count("x-mixed-case"), 1u);
    EXPECT_EQ(response.headers.count("content-type"), 1u);
    for (const auto& [name, value] : response.headers) {
        for (char c : name) EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    }
    const auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/echo");
    EXPECT_EQ(seen[0].body, *r.body);
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer abc");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[0].header("User-Agent"), "Brivet-macOS/9");
    EXPECT_FALSE(seen[0].has("Expect"));
}

TEST(CurlTransport, ReturnsErrorStatusesWithoutJudgingThem) {
    TestServer server([](const SeenRequest& req) {
        if (req.target == "/missing") return Reply{404, {}, R"({"error":{"code":"nope","message":"m"}})"};
        return Reply{304, {}, ""};
    });
    CurlTransport transport;
    const HTTPResponse missing = transport.send(get(server.url("/missing")));
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, R"({"error":{"code":"nope","message":"m"}})");
    EXPECT_EQ(transport.send(get(server.url("/same"))).status, 304);
}

TEST(CurlTransport, AuthorizationNeverFollowsARedirectToAnotherHost) {
    TestServer other([](const SeenRequest&) { return Reply{200, {}, "landed"}; });
    TestServer origin([&](const SeenRequest& req) {
        if (req.target == "/to-other-host") return Reply{302, {{"Location", other.url("/landing", "localhost")}}, ""};
        if (req.target == "/to-other-port") return Reply{302, {{"Location", other.url("/landing")}}, ""};
        if (req.target == "/to-same") return Reply{302, {{"Location", "/landing"}}, ""};
        if (req.target == "/to-file") return Reply{302, {{"Location", "file:///etc/passwd"}}, ""};
        return Reply{200, {}, "home"};
    });
    CurlTransport transport;
    HTTPRequest r = get(origin.url("/to-other-host"));
    r.setHeader("Authorization", "Bearer secret");

    EXPECT_EQ(transport.send(r).body, "landed");
    r.url = origin.url("/to-other-port");
    EXPECT_EQ(transport.send(r).body, "landed");
    const auto landed = other.seen();
    ASSERT_EQ(landed.size(), 2u);
    for (const auto& req : landed) {
        EXPECT_EQ(req.target, "/landing");
        EXPECT_FALSE(req.has("Authorization")) << req.header("Host");
    }

    // Same origin keeps it (so the checks above are not vacuous).
    r.url = origin.url("/to-same");
    EXPECT_EQ(transport.send(r).body, "home");
    EXPECT_EQ(origin.seen().back().target, "/landing");
    EXPECT_EQ(origin.seen().back().header("Authorization"), "Bearer secret");

    r.url = origin.url("/to-file");
    EXPECT_EQ(transportFailure(transport, r).kind(), APIError::Kind::transport);
}

TEST(CurlTransport, TimeOutAndCancellationAreTransportErrors) {
    std::atomic<bool> release{false};
    TestServer server([&](const SeenRequest&) {
        for (int i = 0; i < 300 && !release; ++i) std::this_thread::sleep_for(10ms);
        return Reply{200, {}, "late"};
    });
    CurlTransportOptions options;
    options.timeout = 200ms;
    CurlTransport transport(options);
    const auto start = std::chrono::steady_clock::now();
    const APIError error = transportFailure(transport, get(server.url("/slow")));
    release = true;
    EXPECT_EQ(error.kind(), APIError::Kind::transport);
    EXPECT_NE(error.text().find("imeout"), std::string::npos) << error.text();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // The request's own time-out applies when none is injected.
    CurlTransport plain;
    release = false;
    HTTPRequest r = get(server.url("/slow"));
    r.timeout = 200ms;
    EXPECT_EQ(transportFailure(plain, r).kind(), APIError::Kind::transport);
    release = true;
    EXPECT_EQ(CurlTransport().options().timeout, std::nullopt);
    EXPECT_EQ(HTTPRequest().timeout, 60s);

    // Cancelled from another thread, a request that waits on its reply ends
    // at once, long before any time-out; later requests go as usual. After
    // close() one in flight ends the same way and a later one never leaves.
    for (const bool closing : {false, true}) {
        release = false;
        std::thread canceller([&] {
            std::this_thread::sleep_for(300ms);
            if (closing) plain.close(); else plain.cancelRequests();
        });
        const auto asked = std::chrono::steady_clock::now();
        const APIError cancelled = transportFailure(plain, get(server.url("/slow")));
        canceller.join();
        EXPECT_EQ(cancelled.kind(), APIError::Kind::transport);
        EXPECT_EQ(cancelled.text(), "request cancelled");
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
        release = true;
        const std::size_t seen = server.seen().size();
        if (closing) {
            EXPECT_EQ(transportFailure(plain, get(server.url("/after"))).text(), "request cancelled");
            EXPECT_EQ(server.seen().size(), seen);
        } else {
            EXPECT_EQ(plain.send(get(server.url("/after"))).body, "late");
        }
    }
}

// Sends the head of a ten-byte reply at once, then `bytes` body bytes one by
// one, `gap` apart; then waits until the client hangs up.
std::function<void(int)> trickle(int bytes, std::chrono::milliseconds gap) {
    return [bytes, gap](int fd) {
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        for (int i = 0; i < bytes; ++i) {
            std::this_thread::sleep_for(gap);
            sendAll(fd, "x");
        }
        char buf[64];
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    };
}

TEST(CurlTransport, TheTimeOutIsAnIdleLimitUnderAnOverallCap) {
    CurlTransportOptions options;
    options.timeout = 700ms;
    CurlTransport transport(options);
    {
        // Steady but slow: 2.5 s in all, never 700 ms without a byte.
        RawServer server(trickle(10, 250ms));
        EXPECT_EQ(transport.send(get(server.url())).body, "xxxxxxxxxx");
    }
    {
        // Goes silent after two bytes.
        RawServer server(trickle(2, 100ms));
        const auto start = std::chrono::steady_clock::now();
        const APIError error = transportFailure(transport, get(server.url()));
        EXPECT_EQ(error.kind(), APIError::Kind::transport);
        EXPECT_NE(error.text().find("imeout"), std::string::npos) << error.text();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    }
    {
        // Steady, but past the cap on the whole exchange.
        options.totalTimeout = 1s;
        CurlTransport capped(options);
        RawServer server(trickle(10, 250ms));
        const APIError error = transportFailure(capped, get(server.url()));
        EXPECT_EQ(error.kind(), APIError::Kind::transport);
        EXPECT_NE(error.text().find("imeout"), std::string::npos) << error.text();
    }
    EXPECT_EQ(HTTPRequest().totalTimeout, 15min);
    EXPECT_EQ(CurlTransport().options().totalTimeout, std::nullopt);
}

TEST(CurlTransport, HugeBodiesAreCappedNotBuffered) {
    const std::string huge(6 * 1024 * 1024, 'h');
    TestServer server([&](const SeenRequest&) { return Reply{200, {}, huge}; });
    CurlTransportOptions small;
    small.maxBodyBytes = 1024 * 1024;
    CurlTransport capped(small);
    EXPECT_EQ(transportFailure(capped, get(server.url("/huge"))), APIError::transport("response body too large"));

    CurlTransport roomy;
    EXPECT_EQ(roomy.send(get(server.url("/huge"))).body, huge);
}

TEST(CurlTransport, BrokenConnectionsAreTransportErrors) {
    CurlTransport transport;
    {
        RawServer server([](int fd) { sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part"); });
        EXPECT_EQ(transportFailure(transport, get(server.url())).kind(), APIError::Kind::transport);
    }
    {
        RawServer server([](int) {});  // closes without a reply
        EXPECT_EQ(transportFailure(transport, get(server.url())).kind(), APIError::Kind::transport);
    }
    {
        RawServer server([](int fd) { sendAll(fd, "SSH-2.0-nonsense\r\n\r\n"); });
        EXPECT_EQ(transportFailure(transport, get(server.url())).kind(), APIError::Kind::transport);
    }
    {
        // Connection refused: a loopback port nobody listens on any more.
        int port = 0;
        ::close(listenOnLoopback(port));
        EXPECT_EQ(transportFailure(transport, get("http://127.0.0.1:" + std::to_string(port) + "/")).kind(),
                  APIError::Kind::transport);
    }
}

// A TLS server with a freshly made self-signed certificate for 127.0.0.1,
// run as a child process of the openssl command-line tool.
class TLSServer {
public:
    TLSServer() {
        const std::string dir = dir_.path().string();
        const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
                                 " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
                                 " -keyout " + dir + "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) return;
        ::close(listenOnLoopback(port_));
        const std::string accept = "127.0.0.1:" + std::to_string(port_);
        const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
        std::vector<std::string> args = {"openssl", "s_server", "-quiet", "-www", "-accept", accept,
                                         "-cert", cert, "-key", key};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = ::posix_spawnp(&pid_, "openssl", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) { pid_ = -1; return; }
        // Wait until it accepts connections.
        for (int i = 0; i < 500; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<std::uint16_t>(port_));
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (up) { ready_ = true; return; }
            std::this_thread::sleep_for(10ms);
        }
    }
    ~TLSServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return ready_; }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }
    std::string certificate() const { return (dir_ / "cert.pem").string(); }

private:
    keldra::test::TempDir dir_{"keldra-tls"};
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

TEST(CurlTransport, TLSCertificatesAreVerifiedByDefault) {
    EXPECT_TRUE(CurlTransport().options().verifyTLS);
    TLSServer server;
    if (!server.ready()) GTEST_SKIP() << "openssl command-line tool not available";

    CurlTransportOptions options;
    options.timeout = 5s;
    CurlTransport strict(options);
    const APIError refused = transportFailure(strict, get(server.url()));
    EXPECT_EQ(refused.kind(), APIError::Kind::transport);
    EXPECT_NE(refused.text().find("certificate"), std::string::npos) << refused.text();

    options.caBundlePath = server.certificate();
    CurlTransport trusting(options);
    EXPECT_EQ(trusting.send(get(server.url())).status, 200);
}

TEST(CurlTransport, PlainServerIsNotMistakenForTLS) {
    TestServer server([](const SeenRequest&) { return Reply{200, {}, "plain"}; });
    std::string url = server.url("/");
    url.replace(0, 4, "https");
    CurlTransportOptions options;
    options.timeout = 500ms;
    CurlTransport transport(options);
    EXPECT_EQ(transportFailure(transport, get(url)).kind(), APIError::Kind::transport);
}

TEST(CurlTransport, RefusesOtherSchemesAndInjectedHeaders) {
    CurlTransport transport;
    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/", "/relative", ""}) {
        EXPECT_EQ(transportFailure(transport, get(url)).kind(), APIError::Kind::transport) << url;
    }
    TestServer server([](const SeenRequest&) { return Reply{200, {}, "ok"}; });
    HTTPRequest r = get(server.url("/"));
    r.setHeader("Authorization", "Bearer x\r\nX-Injected: 1");
    EXPECT_EQ(transportFailure(transport, r).kind(), APIError::Kind::transport);
    HTTPRequest badName = get(server.url("/"));
    badName.setHeader("Bad Name", "v");
    EXPECT_EQ(transportFailure(transport, badName).kind(), APIError::Kind::transport);
    EXPECT_TRUE(server.seen().empty());
    // A present but empty token still sends the field.
    HTTPRequest empty = get(server.url("/"));
    empty.setHeader("Authorization", "Bearer ");
    EXPECT_EQ(transport.send(empty).body, "ok");
    ASSERT_EQ(server.seen().size(), 1u);
    EXPECT_TRUE(server.seen()[0].has("Authorization"));
}

TEST(HTTPRecords, HeaderNamesCompareWithoutCase) {
    HTTPRequest r;
    r.setHeader("Accept", "a");
    r.setHeader("ACCEPT", "b");
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.header("accept"), "b");
    const HTTPResponse response(200, {{"ETag", "\"1\""}, {"Content-TYPE", "x"}}, "");
    EXPECT_EQ(response.headers, (std::map<std::string, std::string>{{"content-type", "x"}, {"etag", "\"1\""}}));
    EXPECT_EQ(response.header("ETag"), "\"1\"");
}

TEST(CurlTransport, DeviceAPIRequestsOnTheWire) {
    TestServer server([](const SeenRequest& req) {
        if (req.header("If-None-Match") == "\"12\"") return Reply{304, {}, ""};
        return Reply{200, {{"ETag", "\"13\""}}, "{\"signed\":true}"};
    });
    const std::string base = server.url("/some/prefix/");
    DeviceAPI api{DeviceAPIConfiguration{base, "0.1.0"}, std::make_shared<CurlTransport>(),
                  [] { return std::optional<std::string>("tok"); }};

    EXPECT_TRUE(api.fetchPolicy(12).isNotModified());
    EXPECT_EQ(api.fetchPolicy(std::nullopt), PolicyFetch::makeEnvelope("{\"signed\":true}", "\"13\""));
    const auto seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/api/v1/device/policy");
    EXPECT_EQ(seen[0].header("If-None-Match"), "\"12\"");
    EXPECT_EQ(seen[0].header("Accept"), "application/json");
    EXPECT_EQ(seen[0].header("User-Agent"), "Brivet-macOS/0.1.0");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer tok");
    EXPECT_FALSE(seen[1].has("If-None-Match"));
}

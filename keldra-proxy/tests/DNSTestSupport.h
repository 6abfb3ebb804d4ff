#pragma once
// Small DNS clients, fake upstreams and process helpers for the proxy's tests.

#include "BrivetClient/DNSMessage.h"
#include "keldra-proxy/DNSProxy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// True in builds with AddressSanitizer, whose shadow memory makes resident
// sizes meaningless and which needs free descriptors of its own.
#if defined(__SANITIZE_ADDRESS__)
#define KELDRA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELDRA_TEST_ASAN 1
#endif
#endif
#ifndef KELDRA_TEST_ASAN
#define KELDRA_TEST_ASAN 0
#endif

namespace keldra_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes buildQuery(const std::string& name, std::uint16_t type = 1, std::uint16_t qclass = 1,
                        std::uint16_t id = 0x1234) {
    Bytes q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            dot = name.size();
        }
        q.push_back(static_cast<std::uint8_t>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    q.push_back(0);
    q.push_back(static_cast<std::uint8_t>(type >> 8));
    q.push_back(static_cast<std::uint8_t>(type & 0xFF));
    q.push_back(static_cast<std::uint8_t>(qclass >> 8));
    q.push_back(static_cast<std::uint8_t>(qclass & 0xFF));
    return q;
}

// The resident set size of this process in bytes (0 when unknown).
inline std::size_t residentBytes() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return 0;
    }
    char line[256];
    std::size_t kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmRSS: %zu kB", &kib) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kib * 1024;
}

inline int rcode(const Bytes& message) { return message.size() >= 4 ? (message[3] & 0x0F) : -1; }

class FD {
public:
    explicit FD(int fd = -1) : fd_(fd) {}
    FD(FD&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FD& operator=(FD&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~FD() { reset(); }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

inline sockaddr_in endpoint(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

inline bool waitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

// Sends one datagram to the address and waits for one reply.
inline std::optional<Bytes> udpExchange(const std::string& address, std::uint16_t port, const Bytes& query,
                                        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    FD fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint(address, port);
    ::sendto(fd.get(), query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (!waitReadable(fd.get(), timeout)) {
        return std::nullopt;
    }
    Bytes buffer(65536);
    const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) {
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

inline FD tcpConnect(const std::string& address, std::uint16_t port) {
    FD fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto sa = endpoint(address, port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return FD();
    }
    return fd;
}

inline bool sendAll(int fd, const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

inline Bytes frame(const Bytes& message) {
    Bytes f;
    f.reserve(message.size() + 2);
    f.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    f.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
    for (const std::uint8_t byte : message) f.push_back(byte);
    return f;
}

// Reads exactly n bytes; nothing on end of stream or time-out.
inline std::optional<Bytes> readExactly(int fd, std::size_t n, std::chrono::milliseconds timeout) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(fd, left)) {
            return std::nullopt;
        }
        std::uint8_t buffer[4096];
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
        if (got <= 0) {
            return std::nullopt;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

inline std::optional<Bytes> readFrame(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto length = readExactly(fd, 2, timeout);
    if (!length) {
        return std::nullopt;
    }
    return readExactly(fd, (std::size_t{(*length)[0]} << 8) | (*length)[1], timeout);
}

// True when the peer closed the connection within the time-out.
inline bool closedByPeer(int fd, std::chrono::milliseconds timeout) {
    if (!waitReadable(fd, timeout)) {
        return false;
    }
    std::uint8_t byte;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

inline std::optional<Bytes> tcpExchange(const std::string& address, std::uint16_t port, const Bytes& query,
                                        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    FD fd = tcpConnect(address, port);
    if (fd.get() < 0 || !sendAll(fd.get(), frame(query))) {
        return std::nullopt;
    }
    return readFrame(fd.get(), timeout);
}

// Blocks a fixed set of names for classes IN and ANY, as the proxy's filter does.
class SetFilter : public brivet::DNSFilter {
public:
    explicit SetFilter(std::set<std::string> names) : names_(std::move(names)) {}
    brivet::HostDecision decide(const brivet::DNSQuestion& question) override {
        ++calls;
        if (question.qclass != 1 && question.qclass != 255) {
            return brivet::HostDecision::pass();
        }
        return names_.count(brivet::RuleSet::normalize(question.name)) ? brivet::HostDecision::block("test")
                                                                       : brivet::HostDecision::pass();
    }
    std::atomic<int> calls{0};

private:
    std::set<std::string> names_;
};

// A DNS server on one address and port, UDP and TCP, answering through a
// function of the query (nothing: stay silent). Counts what it received.
class FakeUpstream {
public:
    using Responder = std::function<std::optional<Bytes>(const Bytes& query)>;

    FakeUpstream(const std::string& address, std::uint16_t port, Responder respond)
        : respond_(std::move(respond)) {
        udp_ = FD(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        tcp_ = FD(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(tcp_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        auto sa = endpoint(address, port);
        ok_ = ::bind(udp_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        socklen_t len = sizeof sa;
        ::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        ok_ = ok_ && ::bind(tcp_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              ::listen(tcp_.get(), 64) == 0;
        if (ok_) {
            thread_ = std::thread([this] { serve(); });
        }
    }
    ~FakeUpstream() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    int received() const { return received_.load(); }

    // Answers with the query itself, QR set, and one marker byte appended.
    static Responder echo(std::uint8_t marker) {
        return [marker](const Bytes& query) -> std::optional<Bytes> {
            Bytes reply = query;
            if (reply.size() > 2) {
                reply[2] |= 0x80;
            }
            reply.push_back(marker);
            return reply;
        };
    }
    static Responder silent() {
        return [](const Bytes&) -> std::optional<Bytes> { return std::nullopt; };
    }

    // Called with each UDP query and its sender before the reply is sent,
    // on the upstream's thread.
    std::function<void(const Bytes& query, const sockaddr_in& peer)> onUdpQuery;
    // For TCP: what is written back for a reply (default: the framed reply).
    std::function<Bytes(const Bytes& reply)> tcpWire = [](const Bytes& reply) { return frame(reply); };
    std::atomic<bool> closeAfterTcpReply{false};

private:
    void serve() {
        std::vector<FD> clients;
        while (!stop_) {
            std::vector<pollfd> fds = {{udp_.get(), POLLIN, 0}, {tcp_.get(), POLLIN, 0}};
            for (auto& c : clients) {
                fds.push_back({c.get(), POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                Bytes buffer(65536);
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                const ssize_t n = ::recvfrom(udp_.get(), buffer.data(), buffer.size(), 0,
                                             reinterpret_cast<sockaddr*>(&peer), &len);
                if (n > 0) {
                    ++received_;
                    buffer.resize(static_cast<std::size_t>(n));
                    if (onUdpQuery) {
                        onUdpQuery(buffer, peer);
                    }
                    if (auto reply = respond_(buffer)) {
                        ::sendto(udp_.get(), reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
                    }
                }
            }
            if (fds[1].revents & POLLIN) {
                clients.emplace_back(::accept4(tcp_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) {
                    continue;
                }
                const int fd = fds[i].fd;
                auto query = readFrame(fd, std::chrono::milliseconds(1000));
                if (!query) {
                    for (auto& c : clients) {
                        if (c.get() == fd) {
                            c.reset();
                        }
                    }
                    continue;
                }
                ++received_;
                if (auto reply = respond_(*query)) {
                    sendAll(fd, tcpWire(*reply));
                    if (closeAfterTcpReply) {
                        for (auto& c : clients) {
                            if (c.get() == fd) {
                                c.reset();
                            }
                        }
                    }
                }
            }
            std::erase_if(clients, [](const FD& c) { return c.get() < 0; });
        }
    }

    Responder respond_;
    FD udp_;
    FD tcp_;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
    std::thread thread_;
};

// Serialises tests that use fixed addresses and ports across the test
// processes that ctest runs in parallel.
class MachineLock {
public:
    explicit MachineLock(const char* name = "/tmp/keldra-proxy-dns-tests.lock")
        : fd_(::open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_.get() >= 0) {
            ::flock(fd_.get(), LOCK_EX);
        }
    }

private:
    FD fd_;
};

}  // namespace keldra_test

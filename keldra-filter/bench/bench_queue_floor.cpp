// The floor of the content filter's cost: a reader that puts the same chain
// in place as keldra-filter (through FirewallChain, so it follows the
// daemon's rules) and lets every queued packet go the way the daemon lets
// an allowed flow go: a SYN back through the chain marked as read, any
// other packet with the allowed mark, after which its connection no longer
// reaches the queue. It reads the packets with the same library and queue
// settings as the daemon, and looks at nothing in them but the SYN flag. Needs root; meant for a network namespace of its own.
//   bench_queue_floor QUEUE
// Prints "ready" once the queue is bound and the chain is in place, with
// which packets the chain queues; SIGTERM or SIGINT removes the chain and
// ends it.
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "keldra-filter/FirewallChain.h"

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace {

using keldra::filter::AddressFamily;
using keldra::filter::FamilyChain;
using keldra::filter::FirewallChain;
using keldra::filter::FirewallMarks;

constexpr std::uint32_t kQueueLength = 8192;
constexpr int kReceiveBuffer = 8 << 20;

// Whether a queued packet is a SYN (the chain queues those so that the
// daemon learns where each stream starts): the TCP flags byte alone, with
// the IP header's length.
bool isSyn(::nfq_data* data) {
    unsigned char* packet = nullptr;
    const int length = ::nfq_get_payload(data, &packet);
    if (length < 1) return false;
    const int header = (packet[0] >> 4) == 4 ? (packet[0] & 0x0f) * 4 : 40;
    return length > header + 13 && (packet[header + 13] & 0x12) == 0x02;
}

int allowPacket(nfq_q_handle* queue, ::nfgenmsg*, ::nfq_data* data, void*) {
    const auto* header = ::nfq_get_msg_packet_hdr(data);
    if (header == nullptr) return 0;
    // A SYN goes on as the daemon lets it (marked as read), the first data
    // of its connection as the daemon lets an allowed one.
    ::nfq_set_verdict2(queue, ntohl(header->packet_id), NF_REPEAT,
                       isSyn(data) ? FirewallMarks::fresh : FirewallMarks::allowed, 0, nullptr);
    return 0;
}

// The queue, bound for the life of the object.
class Queue {
public:
    explicit Queue(std::uint16_t number) {
        handle_ = ::nfq_open();
        if (handle_ == nullptr) throw std::runtime_error("cannot open the packet queue (nfq_open)");
        queue_ = ::nfq_create_queue(handle_, number, &allowPacket, nullptr);
        if (queue_ == nullptr) {
            ::nfq_close(handle_);
            throw std::runtime_error("cannot bind packet queue " + std::to_string(number));
        }
        ::nfq_set_mode(queue_, NFQNL_COPY_PACKET, 0xffff);
        ::nfq_set_queue_maxlen(queue_, kQueueLength);
        // As the daemon: a full queue drops rather than lets through.
        ::nfq_set_queue_flags(queue_, NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO, NFQA_CFG_F_GSO);
        ::setsockopt(::nfq_fd(handle_), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    ~Queue() {
        ::nfq_destroy_queue(queue_);
        ::nfq_close(handle_);
    }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    int fd() const { return ::nfq_fd(handle_); }
    void handle(char* bytes, int length) { ::nfq_handle_packet(handle_, bytes, length); }

private:
    nfq_handle* handle_ = nullptr;
    nfq_q_handle* queue_ = nullptr;
};

// The chain, in place for the life of the object. Like the daemon, it needs
// one family in place and none failed.
class Chain {
public:
    explicit Chain(std::uint16_t queue) : chain_(queue) {
        bool any = false;
        for (const auto& family : chain_.install()) {
            if (family.state == FamilyChain::State::failed) {
                chain_.remove();
                throw std::runtime_error(family.error);
            }
            if (family.state == FamilyChain::State::installed) {
                any = true;
                if (family.family == AddressFamily::ipv4) payloadOnly_ = family.payloadMatch;
            }
        }
        if (!any) throw std::runtime_error("no address family to filter");
    }
    ~Chain() { chain_.remove(); }
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    // Whether only packets that carry payload reach the queue.
    bool payloadOnly() const { return payloadOnly_; }

private:
    FirewallChain chain_;
    bool payloadOnly_ = false;
};

class SignalFd {
public:
    SignalFd() {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        ::sigprocmask(SIG_BLOCK, &signals, nullptr);
        fd_ = ::signalfd(-1, &signals, SFD_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot take signals (signalfd)");
    }
    ~SignalFd() { ::close(fd_); }
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_queue_floor QUEUE\n");
        return 2;
    }
    const long number = std::strtol(argv[1], nullptr, 10);
    if (number <= 0 || number > 65535) {
        std::fprintf(stderr, "bench_queue_floor: the queue number must be from 1 to 65535\n");
        return 2;
    }
    try {
        SignalFd signals;
        Queue queue(static_cast<std::uint16_t>(number));
        Chain chain(static_cast<std::uint16_t>(number));
        std::printf("ready (queued: %s)\n",
                    chain.payloadOnly() ? "packets with payload" : "every packet of an undecided connection");
        std::fflush(stdout);
        std::vector<char> buffer(1 << 17);
        pollfd fds[2] = {{queue.fd(), POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        while (true) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("cannot wait for packets (poll)");
            }
            if (fds[1].revents & POLLIN) break;
            if (fds[0].revents & POLLIN) {
                while (true) {
                    const ssize_t n = ::recv(queue.fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
                    if (n <= 0) break;  // ENOBUFS: the kernel dropped messages; go on
                    queue.handle(buffer.data(), static_cast<int>(n));
                }
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_queue_floor: %s\n", error.what());
        return 1;
    }
    return 0;
}

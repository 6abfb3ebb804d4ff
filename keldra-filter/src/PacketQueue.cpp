#include "keldra-filter/PacketQueue.h"

#include "keldra-filter/FirewallChain.h"

#include <arpa/inet.h>
#include <cerrno>
#include <linux/netfilter.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace keldra::filter {
namespace {

constexpr int kReceiveBuffer = 8 << 20;

}  // namespace

PacketQueue::PacketQueue(std::uint16_t queueNumber, FlowTracker& tracker, std::uint32_t length) : tracker_(tracker) {
    handle_ = ::nfq_open();
    if (handle_ == nullptr) throw std::runtime_error("cannot open the packet queue (nfq_open)");
    queue_ = ::nfq_create_queue(handle_, queueNumber, &PacketQueue::onPacket, this);
    if (queue_ == nullptr) {
        ::nfq_close(handle_);
        throw std::runtime_error("cannot bind packet queue " + std::to_string(queueNumber));
    }
    if (::nfq_set_mode(queue_, NFQNL_COPY_PACKET, 0xffff) < 0) {
        ::nfq_destroy_queue(queue_);
        ::nfq_close(handle_);
        throw std::runtime_error("cannot set the packet queue's copy mode");
    }
    ::nfq_set_queue_maxlen(queue_, length);
    // No fail-open: when the queue is full (a local user flooding it, or a
    // burst we cannot keep up with), the kernel drops the packet and its
    // sender resends it, rather than letting a ClientHello through unread.
    // While no program reads the queue at all, the rule's bypass lets
    // traffic pass.
    ::nfq_set_queue_flags(queue_, NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO, NFQA_CFG_F_GSO);
    const int fd = ::nfq_fd(handle_);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PacketQueue::~PacketQueue() {
    if (queue_ != nullptr) ::nfq_destroy_queue(queue_);
    if (handle_ != nullptr) ::nfq_close(handle_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void PacketQueue::stop() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

int PacketQueue::onPacket(nfq_q_handle*, ::nfgenmsg*, ::nfq_data* data, void* context) {
    auto* self = static_cast<PacketQueue*>(context);
    self->seen_.fetch_add(1, std::memory_order_relaxed);
    const auto* header = ::nfq_get_msg_packet_hdr(data);
    if (header == nullptr) return 0;
    const std::uint32_t id = ntohl(header->packet_id);
    // Our marks replace only our own bits: others on the machine may route
    // by the rest.
    const std::uint32_t mark = ::nfq_get_nfmark(data);
    unsigned char* payload = nullptr;
    const int length = ::nfq_get_payload(data, &payload);
    if (length < 0) {
        self->answer(id, mark, PacketAction::pass);
        return 0;
    }
    PacketContext seen;
    seen.fresh = (mark & FirewallMarks::fresh) != 0;
    // A local packet handed over before segmentation has no checksum yet.
    seen.checksumFilled = (::nfq_get_skbinfo(data) & NFQA_SKB_CSUMNOTREADY) == 0;
    self->answer(id, mark,
                 self->tracker_.onPacket(std::span<const std::uint8_t>(payload, static_cast<std::size_t>(length)),
                                         FlowTracker::Clock::now(), seen));
    return 0;
}

void PacketQueue::answer(std::uint32_t packetId, std::uint32_t mark, PacketAction action) {
    const std::uint32_t others = mark & ~(FirewallMarks::mask | FirewallMarks::fresh);
    switch (action) {
    case PacketAction::pass:
        ::nfq_set_verdict(queue_, packetId, NF_ACCEPT, 0, nullptr);
        break;
    case PacketAction::opened:
        ::nfq_set_verdict2(queue_, packetId, NF_REPEAT, others | FirewallMarks::fresh, 0, nullptr);
        break;
    case PacketAction::allow:
        ::nfq_set_verdict2(queue_, packetId, NF_REPEAT, others | FirewallMarks::allowed, 0, nullptr);
        break;
    case PacketAction::block:
        ::nfq_set_verdict2(queue_, packetId, NF_REPEAT, others | FirewallMarks::blocked, 0, nullptr);
        break;
    }
}

void PacketQueue::run() {
    const int fd = ::nfq_fd(handle_);
    std::vector<char> buffer(1 << 17);
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (!stopping_) {
        const int ready = ::poll(fds, 2, 250);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            while (true) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0) break;  // ENOBUFS: the kernel dropped messages; go on
                ::nfq_handle_packet(handle_, buffer.data(), static_cast<int>(n));
            }
        }
        tracker_.expire(FlowTracker::Clock::now());
    }
    tracker_.clear();
}

}  // namespace keldra::filter

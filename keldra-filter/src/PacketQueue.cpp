#include "keldra-filter/PacketQueue.h"

#include "keldra-filter/FirewallChain.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
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

void PacketQueue::CloseHandle::operator()(nfq_handle* handle) const noexcept { ::nfq_close(handle); }

void PacketQueue::DestroyQueue::operator()(nfq_q_handle* queue) const noexcept { ::nfq_destroy_queue(queue); }

PacketQueue::PacketQueue(std::uint16_t queueNumber, FlowTracker& tracker, std::uint32_t length)
    : tracker_(tracker), handle_(::nfq_open()) {
    if (!handle_) throw std::runtime_error("cannot open the packet queue (nfq_open)");
    queue_.reset(::nfq_create_queue(handle_.get(), queueNumber, &PacketQueue::onPacket, this));
    if (!queue_) throw std::runtime_error("cannot bind packet queue " + std::to_string(queueNumber));
    if (::nfq_set_mode(queue_.get(), NFQNL_COPY_PACKET, 0xffff) < 0) {
        throw std::runtime_error("cannot set the packet queue's copy mode");
    }
    if (::nfq_set_queue_maxlen(queue_.get(), length) < 0) {
        throw std::runtime_error("cannot set the packet queue's length to " + std::to_string(length));
    }
    // No fail-open: when the queue is full (a local user flooding it, or a
    // burst we cannot keep up with), the kernel drops the packet and its
    // sender resends it, rather than letting a ClientHello through unread.
    // While no program reads the queue at all, the rule's bypass lets
    // traffic pass.
    if (::nfq_set_queue_flags(queue_.get(), NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0) {
        throw std::runtime_error("cannot set the packet queue's flags");
    }
    // A large receive buffer rides out bursts; without the privilege to
    // force it, the system's largest plain one.
    const int fd = ::nfq_fd(handle_.get());
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
        throw std::runtime_error("cannot size the packet queue's receive buffer: " + std::string(std::strerror(errno)));
    }
    wakeFd_ = brivet::Descriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wakeFd_.get() < 0) {
        throw std::runtime_error("cannot make the packet queue's wake-up event: " + std::string(std::strerror(errno)));
    }
}

PacketQueue::~PacketQueue() = default;

void PacketQueue::stop() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_.get(), &one, sizeof one);
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
        ::nfq_set_verdict(queue_.get(), packetId, NF_ACCEPT, 0, nullptr);
        break;
    case PacketAction::opened:
        ::nfq_set_verdict2(queue_.get(), packetId, NF_REPEAT, others | FirewallMarks::fresh, 0, nullptr);
        break;
    case PacketAction::allow:
        ::nfq_set_verdict2(queue_.get(), packetId, NF_REPEAT, others | FirewallMarks::allowed, 0, nullptr);
        break;
    case PacketAction::block:
        ::nfq_set_verdict2(queue_.get(), packetId, NF_REPEAT, others | FirewallMarks::blocked, 0, nullptr);
        break;
    }
}

void PacketQueue::run() {
    const int fd = ::nfq_fd(handle_.get());
    std::vector<char> buffer(1 << 17);
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    while (!stopping_) {
        const int ready = ::poll(fds, 2, 250);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            while (true) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0) break;  // ENOBUFS: the kernel dropped messages; go on
                ::nfq_handle_packet(handle_.get(), buffer.data(), static_cast<int>(n));
            }
        }
        tracker_.expire(FlowTracker::Clock::now());
    }
    tracker_.clear();
}

}  // namespace keldra::filter

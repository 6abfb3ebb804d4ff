#pragma once
// One NFQUEUE queue read with libnetfilter_queue, feeding a FlowTracker and
// handing its verdict for each packet straight back to the kernel: a passing
// packet is accepted; a SYN that was read, an allowed or a blocked packet
// goes through the chain a second time with our mark (see FirewallChain),
// which marks its connection.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "BrivetClient/Descriptor.h"
#include "keldra-filter/FlowTracker.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfgenmsg;
struct nfq_data;

namespace keldra::filter {

class PacketQueue {
public:
    static constexpr std::uint32_t defaultLength = 8192;

    // Binds the queue, holding at most `length` packets that wait for a
    // verdict; throws std::runtime_error when it cannot (not root, no
    // NFQUEUE support, or the queue number taken).
    PacketQueue(std::uint16_t queueNumber, FlowTracker& tracker, std::uint32_t length = defaultLength);
    ~PacketQueue();

    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Serves until stop() is called from another thread.
    void run();
    void stop();

    std::uint64_t packetsSeen() const noexcept { return seen_.load(std::memory_order_relaxed); }

private:
    static int onPacket(nfq_q_handle* queue, ::nfgenmsg* message, ::nfq_data* data, void* self);
    void answer(std::uint32_t packetId, std::uint32_t mark, PacketAction action);

    struct CloseHandle {
        void operator()(nfq_handle* handle) const noexcept;
    };
    struct DestroyQueue {
        void operator()(nfq_q_handle* queue) const noexcept;
    };

    FlowTracker& tracker_;
    // The queue goes before the handle it was made with.
    std::unique_ptr<nfq_handle, CloseHandle> handle_;
    std::unique_ptr<nfq_q_handle, DestroyQueue> queue_;
    brivet::Descriptor wakeFd_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> seen_{0};
};

}  // namespace keldra::filter

#pragma once

#include "channel/dc_slot.h"

#include <atomic>
#include <memory>
#include <mutex>

// Table of channel slots addressed by index. global() is the one table of the
// process (100 slots, made on first use); tests may make pools of their own.
// Per-index operations return -1 for an index that is negative, beyond the
// table, or names a free slot, and touch nothing then.
class DcPool {
public:
    static constexpr int kDefaultSlots = 100;

    static DcPool& global();

    // Makes the table once (n <= 0 means 100). 1, or 0 when it cannot be
    // allocated (the pool then stays empty).
    int init(int n);

    // Index of the lowest free slot, now in use with a channel created for
    // that address and port; -1 when every slot is in use.
    int acquire(int kind, const SocketAddress& address);

    // Destroys the slot's channel and frees the slot; always -1.
    int release(int index);

    // Options for the slot's next build: 1, or -1 for a bad or free index.
    int setMulticastOptions(int index, const MulticastOptions& options);

    int build(int index);
    // DcChannel::join of the slot's channel, all its groups or the one of
    // that index; -1 for a bad or free index.
    int join(int index);
    int join(int index, std::size_t group);
    int state(int index);
    int send(int index, const void* data, int length, const SocketAddress& to);
    int receive(int index, void* buffer, int size, SocketAddress* sender = nullptr);

    // Sets the receive time-out of the slot's sockets: 1 when set, 0 when the
    // system refused it, -1 for a bad or free index or a channel without a
    // socket.
    int setReceiveTimeout(int index, int milliseconds);

    // The socket of the slot's channel; kInvalidSocket for a bad or free index.
    SocketHandle socketOf(int index) const;

    int slotCount() const { return count_.load(std::memory_order_acquire); }

    // The slot's channel, for reading its status line; nullptr for a bad index.
    const DcChannel* channel(int index) const;

private:
    int initLocked(int n);
    DcSlot* usedSlot(int index) const;

    std::mutex tableLock_;   // init, acquire and release only; per-index calls take none
    // Published after the table is made, so that a per-index call on another
    // thread never sees a count without its table.
    std::atomic<int> count_ = 0;
    std::unique_ptr<DcSlot[]> slots_;
};

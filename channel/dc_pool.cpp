#include "channel/dc_pool.h"

#include <new>

DcPool& DcPool::global()
{
    static DcPool pool;
    return pool;
}

int DcPool::init(int n)
{
    std::lock_guard<std::mutex> lock(tableLock_);
    return initLocked(n);
}

int DcPool::initLocked(int n)
{
    if (count_.load(std::memory_order_relaxed) > 0)
        return 1;
    if (n <= 0)
        n = kDefaultSlots;
    // Value-initialised: every slot free, every channel empty with no socket.
    slots_.reset(new (std::nothrow) DcSlot[n]());
    if (!slots_)
        return 0;
    count_.store(n, std::memory_order_release);
    return 1;
}

int DcPool::acquire(int kind, const SocketAddress& address)
{
    std::lock_guard<std::mutex> lock(tableLock_);
    if (count_.load(std::memory_order_relaxed) <= 0 && !initLocked(0))
        return -1;
    const int count = count_.load(std::memory_order_relaxed);
    for (int index = 0; index < count; ++index) {
        DcSlot& slot = slots_[index];
        if (slot.inUse.load(std::memory_order_relaxed) == 0) {
            slot.channel.setId(index);
            slot.channel.create(kind, address);
            slot.inUse.store(1, std::memory_order_release);
            return index;
        }
    }
    return -1;
}

int DcPool::release(int index)
{
    std::lock_guard<std::mutex> lock(tableLock_);
    if (DcSlot* slot = usedSlot(index)) {
        if (slot->channel.destroy())
            slot->inUse.store(0, std::memory_order_release);
    }
    return -1;
}

int DcPool::setMulticastOptions(int index, const MulticastOptions& options)
{
    DcSlot* slot = usedSlot(index);
    if (slot == nullptr)
        return -1;
    slot->channel.setMulticastOptions(options);
    return 1;
}

int DcPool::build(int index)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.build() : -1;
}

int DcPool::join(int index)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.join() : -1;
}

int DcPool::join(int index, std::size_t group)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.join(group) : -1;
}

int DcPool::state(int index)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.state() : -1;
}

int DcPool::send(int index, const void* data, int length, const SocketAddress& to)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.send(data, length, to) : -1;
}

int DcPool::receive(int index, void* buffer, int size, SocketAddress* sender)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.receive(buffer, size, sender) : -1;
}

int DcPool::setReceiveTimeout(int index, int milliseconds)
{
    DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.setReceiveTimeout(milliseconds) : -1;
}

SocketHandle DcPool::socketOf(int index) const
{
    const DcSlot* slot = usedSlot(index);
    return slot ? slot->channel.socket() : kInvalidSocket;
}

const DcChannel* DcPool::channel(int index) const
{
    if (index < 0 || index >= count_.load(std::memory_order_acquire))
        return nullptr;
    return &slots_[index].channel;
}

DcSlot* DcPool::usedSlot(int index) const
{
    if (index < 0 || index >= count_.load(std::memory_order_acquire))
        return nullptr;
    DcSlot* slot = &slots_[index];
    return slot->inUse.load(std::memory_order_acquire) ? slot : nullptr;
}

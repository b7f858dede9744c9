#pragma once

#include "channel/csock.h"
#include "core/ip_address.h"

#include <cstdint>
#include <memory>

// Receives up to 64 datagrams from a socket in one system call, each into a
// buffer of its own. A call waits up to the socket's receive time-out for the
// first datagram and takes whatever else is already queued without waiting.
//
// Per datagram it keeps the length, the sender (address and port), and the socket's 32-bit count of
// datagrams dropped for want of room, as it stood when the datagram was queued (Csock's
// setDropCount must be on for the count to come along), and the address the
// datagram was sent to (Csock's setDestinationInfo must be on for that).
class BatchReceiver {
public:
    static constexpr int kBatch = 64;
    // Holds any UDP datagram, the largest being 65507 bytes.
    static constexpr int kBufferSize = 65536;

    explicit BatchReceiver(int bufferSize = kBufferSize);
    ~BatchReceiver();
    BatchReceiver(const BatchReceiver&) = delete;
    BatchReceiver& operator=(const BatchReceiver&) = delete;

    // Receives up to max datagrams (at most 64); returns how many, 0 when
    // none came in time or the socket failed. A call that finds nothing reads
    // the socket's drop count directly: drops after the last queued datagram
    // come with no datagram.
    int receive(SocketHandle socket, int max);

    // Where the drop count of the next receive starts: for one receiver
    // taking turns over several sockets, each with a count of its own.
    void resumeDropCount(std::uint32_t count) { latestDrops_ = count; }

    // Of the i-th datagram of the latest call: its bytes, and their number,
    // or -1 when it was longer than the buffer (a failed receive, as in
    // Csock::recvFrom).
    const unsigned char* data(int i) const { return buffer(i); }
    int length(int i) const { return lengths_[i]; }
    const SocketAddress& sender(int i) const { return senders_[i]; }
    std::uint32_t dropCount(int i) const { return drops_[i]; }
    // The address in the datagram's header (IPv4 or IPv6): a group, this
    // host's own address or a broadcast address; family None when the
    // datagram did not say.
    const IpAddress& destination(int i) const { return destinations_[i]; }

    // The socket's drop count as last seen, by a datagram or a call that
    // found nothing.
    std::uint32_t dropCount() const { return latestDrops_; }

private:
    struct Slots;

    unsigned char* buffer(int i) const
    {
        return buffers_.get() + static_cast<std::size_t>(i) * bufferSize_;
    }

    std::size_t bufferSize_;
    std::unique_ptr<unsigned char[]> buffers_;
    std::unique_ptr<Slots> slots_;
    int lengths_[kBatch] = {};
    SocketAddress senders_[kBatch] = {};
    std::uint32_t drops_[kBatch] = {};
    IpAddress destinations_[kBatch] = {};
    std::uint32_t latestDrops_ = 0;
};

#pragma once

#include "channel/csock.h"
#include "core/ip_address.h"

#include <cstdint>
#include <memory>
#include <vector>

// Receives up to 64 datagrams from a socket in one system call, each into a
// buffer of its own. A call waits up to the socket's receive time-out for the
// first datagram and takes whatever else is already queued without waiting.
//
// Per datagram it keeps the length, the sender (address and port), and the socket's 32-bit count of
// datagrams dropped for want of room, as it stood when the datagram was queued (Csock's
// setDropCount must be on for the count to come along), and the address the
// datagram was sent to (Csock's setDestinationInfo must be on for that), and
// the hop limit it arrived with (IPv4 TTL, IPv6 hop limit), which the
// receiver asks each socket for.
//
// It asks each socket for coalesced receives (UDP_GRO): one receive may then
// bring many datagrams of one sender back to back, with their segment size,
// and the receiver splits them apart again. Every datagram, coalesced or
// not, is presented alone through the same accessors. What one call does not
// present is kept for the next, which takes it without a system call. Where
// the socket refuses the option, each receive brings one datagram.
class BatchReceiver {
public:
    static constexpr int kBatch = 64;
    // Holds any UDP datagram, the largest being 65507 bytes.
    static constexpr int kBufferSize = 65536;

    // coalesce: ask the kernel for coalesced receives where the buffers can
    // hold them; without, each receive takes single datagrams (for
    // measurements with and without).
    explicit BatchReceiver(int bufferSize = kBufferSize, bool coalesce = true);
    virtual ~BatchReceiver();
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
    const unsigned char* data(int i) const { return data_[i]; }
    int length(int i) const { return lengths_[i]; }
    const SocketAddress& sender(int i) const { return senders_[i]; }
    std::uint32_t dropCount(int i) const { return drops_[i]; }
    // The address in the datagram's header (IPv4 or IPv6): a group, this
    // host's own address or a broadcast address; family None when the
    // datagram did not say.
    const IpAddress& destination(int i) const { return destinations_[i]; }
    // Its IPv4 TTL or IPv6 hop limit as it arrived; -1 when not carried. The
    // datagrams of one coalesced receive share it.
    int hopLimit(int i) const { return hopLimits_[i]; }
    // The wall-clock time (CLOCK_REALTIME, ns since 1970) the system took it
    // in, once askArrivalTimes was called; 0 when not carried.
    std::int64_t arrivalNs(int i) const { return arrivalNs_[i]; }

    // Has each socket's datagrams carry their arrival time from its next
    // receive on (the system then stamps every datagram it takes in). A
    // coalesced receive carries one for all its datagrams: the time the
    // system took the whole in.
    void askArrivalTimes() { arrivalTimes_ = true; }

    // The socket's drop count as last seen, by a datagram or a call that
    // found nothing.
    std::uint32_t dropCount() const { return latestDrops_; }

    // Whether datagrams of the latest receive wait to be presented: the
    // next call presents them, from the same socket, without receiving.
    bool pending() const { return message_ < messages_; }

    // Datagrams presented so far that came in coalesced receives.
    std::uint64_t coalesced() const { return coalesced_; }

protected:
    // What one message of a receive brought, as the system says it.
    struct Message {
        int length = 0;    // -1 when it did not fit
        int segment = 0;   // the size of its datagrams when coalesced, else 0
        SocketAddress sender;
        // The socket's drop count, when it came along; once received, the
        // count as it stood when the datagram was queued.
        bool hasDropCount = false;
        std::uint32_t drops = 0;
        IpAddress destination;
        int hopLimit = -1;            // -1 when not carried
        std::int64_t arrivalNs = 0;   // 0 when not carried
    };

    // The one system receive: up to max messages from the socket, the i-th
    // into buffer(i) (bufferSize() bytes) and what it brought into
    // messages[i]; the number of messages, 0 when none came. recvmmsg with
    // its control messages; a test overrides it to feed the receiver
    // without a network.
    virtual int receiveSystem(SocketHandle socket, int max, Message* messages);

    unsigned char* buffer(int i) const
    {
        return buffers_.get() + static_cast<std::size_t>(i) * bufferSize_;
    }
    std::size_t bufferSize() const { return bufferSize_; }

private:
    struct Slots;

    // Receives into the slots: the number of messages, 0 when none came.
    int receiveMessages(SocketHandle socket, int max);
    // Presents up to max datagrams of the messages received and not yet
    // presented; how many.
    int present(int max);

    std::size_t bufferSize_;
    std::unique_ptr<unsigned char[]> buffers_;
    std::unique_ptr<Slots> slots_;
    bool coalescing_;
    // The sockets asked for coalesced receives and hop limits.
    std::vector<SocketHandle> asked_;
    bool arrivalTimes_ = false;
    std::vector<SocketHandle> timed_;   // the sockets asked for arrival times
    // The messages of the latest receive, and where presenting stands.
    int messages_ = 0;
    int message_ = 0;
    std::size_t offset_ = 0;
    std::uint64_t coalesced_ = 0;
    const unsigned char* data_[kBatch] = {};
    int lengths_[kBatch] = {};
    SocketAddress senders_[kBatch] = {};
    std::uint32_t drops_[kBatch] = {};
    IpAddress destinations_[kBatch] = {};
    int hopLimits_[kBatch] = {};
    std::int64_t arrivalNs_[kBatch] = {};
    std::uint32_t latestDrops_ = 0;
};

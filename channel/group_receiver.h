#pragma once

#include "channel/batch_receive.h"
#include "core/ip_address.h"

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

class DcPool;

// The receiving side of one built multicast channel of many groups: waits on
// all its sockets at once, receives a batch from each that is ready, tells
// which of the run's groups each datagram was sent to, keeps each socket's
// count of datagrams it dropped, and joins again the groups that stay silent.
//
// One socket is read directly: its receive waits out the socket's time-out
// itself. Several are waited on together.
class GroupReceiver {
public:
    // A group silent for this long is joined again, and again as long as it
    // stays silent: a link deleted and made again (an adapter plugged back in,
    // a virtual machine's link renewed) comes back without the memberships.
    static constexpr std::uint64_t kRejoinMs = 3000;

    // The groups of the pool slot's built channel and the one source whose
    // datagrams count (family None: any); nowMs starts every group's rejoin
    // timer. batch receives; it outlives this.
    GroupReceiver(DcPool& pool, int slot, BatchReceiver& batch, std::vector<IpAddress> groups,
                  IpAddress source, std::uint64_t nowMs);
    ~GroupReceiver();
    GroupReceiver(const GroupReceiver&) = delete;
    GroupReceiver& operator=(const GroupReceiver&) = delete;

    // One round: waits up to timeoutMs for the first datagram, then receives
    // from every socket that is ready, each batch handed to take(batch, got)
    // as it comes; what a coalesced receive held beyond one call is taken
    // from the same socket before the next is read. want() says how many
    // more the caller takes (0: the round ends). The datagrams received.
    template <typename Want, typename Take>
    int receiveRound(int timeoutMs, Want want, Take take)
    {
        int got = 0;
        for (const std::size_t i : ready(timeoutMs)) {
            int max = want();
            if (max == 0)
                break;
            int n = receiveFrom(i, max);
            while (n != 0) {
                got += n;
                take(batch_, n);
                if (!batch_.pending() || (max = want()) == 0)
                    break;
                n = receiveFrom(i, max);
            }
        }
        return got;
    }

    // The index in the run's groups of the i-th datagram of the latest batch,
    // or nothing when it was sent elsewhere (or, in a source-specific run, by
    // another source). Any socket may take any of the groups' datagrams: the
    // system may spread a port's datagrams over the sockets sharing it.
    std::optional<std::size_t> groupOf(int i) const;

    // A datagram of the group arrived at nowMs: its membership works.
    void heard(std::size_t group, std::uint64_t nowMs) { rejoinAt_[group] = nowMs + kRejoinMs; }

    // What joining the silent groups again did.
    struct Rejoin {
        std::size_t joined = 0;
        std::size_t failed = 0;
        IpAddress firstFailed;   // with the system's reason, when any failed
        int error = 0;
    };
    // Joins again, once their time came at nowMs, the groups silent for
    // kRejoinMs; the others' memberships work.
    Rejoin rejoinSilent(std::uint64_t nowMs);

    // Datagrams the sockets dropped for want of room since last asked; a
    // batch's drops are counted as it is received, before take() sees it.
    std::uint64_t takeDropped()
    {
        const std::uint64_t n = dropped_;
        dropped_ = 0;
        return n;
    }

private:
    const std::vector<std::size_t>& ready(int timeoutMs);
    // One receive from the socket, its drops counted.
    int receiveFrom(std::size_t socket, int max);

    DcPool& pool_;
    int slot_;
    BatchReceiver& batch_;
    std::vector<int> sockets_;
    int poller_ = -1;
    std::vector<epoll_event> events_;
    std::vector<std::size_t> ready_;
    // Per socket: its 32-bit drop count as last seen (a new socket starts at 0).
    std::vector<std::uint32_t> dropCounts_;
    std::uint64_t dropped_ = 0;
    std::vector<IpAddress> groups_;
    std::unordered_map<IpAddress, std::size_t, IpAddressHash> index_;
    IpAddress source_;
    // Per group, when to join it again unless a datagram of it comes first;
    // and the earliest of these, or later.
    std::vector<std::uint64_t> rejoinAt_;
    std::uint64_t nextRejoin_ = 0;
};

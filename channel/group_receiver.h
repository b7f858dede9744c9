#pragma once

#include "channel/batch_receive.h"
#include "core/ip_address.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class DcPool;

// The receiving side of one built multicast channel of many groups: reads
// its receiving socket, which takes every group's datagrams however many
// sockets hold the memberships, tells which of the run's groups each
// datagram was sent to, keeps the socket's count of datagrams it dropped, and
// joins again the groups that stay silent.
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

    // One round: a receive that waits up to the socket's time-out for the
    // first datagram, its batch handed to take(batch, got); what a coalesced
    // receive held beyond one call is taken at once after it. want() says
    // how many more the caller takes (0: the round ends). The datagrams
    // received.
    template <typename Want, typename Take>
    int receiveRound(Want want, Take take)
    {
        int got = 0;
        for (int max = want(); max != 0; max = want()) {
            const int n = receive(max);
            if (n == 0)
                break;
            got += n;
            take(batch_, n);
            if (!batch_.pending())
                break;
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
    // One receive, its drops counted.
    int receive(int max);
    // Where a group's place is looked for first in index_.
    std::size_t slotOf(const IpAddress& group) const
    {
        const std::size_t h = IpAddressHash{}(group);
        return (h ^ (h >> 32)) & mask_;
    }

    DcPool& pool_;
    int slot_;
    BatchReceiver& batch_;
    SocketHandle socket_;
    std::uint32_t dropCount_ = 0;   // the socket's 32-bit count as last seen
    std::uint64_t dropped_ = 0;
    std::vector<IpAddress> groups_;
    std::vector<std::uint32_t> index_;   // many groups: their places by destination
    std::size_t mask_ = 0;
    IpAddress source_;
    // Per group, when to join it again unless a datagram of it comes first;
    // and the earliest of these, or later.
    std::vector<std::uint64_t> rejoinAt_;
    std::uint64_t nextRejoin_ = 0;
};

#pragma once

#include "core/interval_figures.h"
#include "core/receive_events.h"
#include "engine/delay_factor.h"
#include "engine/loss_bursts.h"
#include "engine/sequence_tracker.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// Where one datagram stood in its sender's sequence.
struct Arrival {
    enum Order {
        Unnumbered,   // no sequence number
        Next,         // ahead of the sender's newest number, or its first
        Late,         // behind the newest, not seen before
        Repeated,     // seen before
        Held,         // far from the newest: moves nothing until its successor comes
    };
    SocketAddress sender;
    std::uint64_t bytes = 0;
    Order order = Unnumbered;
    std::uint32_t seq = 0;
    std::int64_t lostChange = 0;   // what it changed in the losses
    std::size_t group = 0;         // its group's place in the run's group list
    int hops = -1;                 // its hop limit as it arrived; -1 when unknown
    std::uint32_t behind = 0;      // Late: how far behind its sender's newest number
    bool stamped = false;          // it carried its send time
    std::int64_t delayNs = 0;      // stamped: from its send time to its arrival
    // When it arrived, ns of the wall clock (CLOCK_REALTIME); 0 when unknown.
    std::int64_t arrivedNs = 0;
};

// The tracker's verdict on a numbered datagram, as the meter counts it.
Arrival::Order arrivalOrder(SequenceTracker::Order order);

// The one set of a receiver run's counts: turns its datagrams into figures
// per interval, per sender, per group and in total, keeps what the run counts
// beside them (own drops, strays, payloads saved, streams evicted), and
// notices outages: a flow silent for longer than the
// threshold, ended by its next datagram. In a run of one group the flows are
// its senders; in a run of several, the groups, for one sender commonly sends
// them all and a group silent among busy ones is what matters. Times are
// milliseconds of the receiver's clock; the meter never reads a clock itself.
class IntervalMeter {
public:
    static constexpr int kSenders = 64;

    IntervalMeter(std::uint64_t intervalMs, std::uint64_t outageMs);

    // Starts a run of the groups (at least one) at nowMs with nothing counted.
    void start(std::uint64_t nowMs, std::vector<IpAddress> groups);

    // Counts one datagram that arrived at nowMs; its group is a place in the
    // run's list. Returns true, with the outage in ended, when it ended one.
    bool take(const Arrival& arrival, std::uint64_t nowMs, Outage& ended);
    // Whether the latest datagram taken came with another hop limit than its
    // sender's before, and if so the change; each change is given once.
    bool takeRouteChange(RouteChange& change)
    {
        if (!routeChanged_)
            return false;
        routeChanged_ = false;
        change = routeChange_;
        return true;
    }
    void addOverflowed(std::uint64_t datagrams);
    // A datagram that reached the port without being sent to a group of the run.
    void addStray() { ++stray_; }
    // Payloads the capture file took whole; those it lost afterwards.
    void addSaved(std::uint64_t datagrams) { saved_ += datagrams; }
    void takeBackSaved(std::uint64_t datagrams) { saved_ -= std::min(saved_, datagrams); }
    // Streams the sequence tracker evicted since the start.
    void setEvicted(std::uint64_t streams) { evicted_ = streams; }

    // The statistics since the start, at nowMs.
    ReceiveReport report(std::uint64_t nowMs) const;
    std::uint64_t overflowed() const { return overflowedTotal_; }
    std::uint64_t saved() const { return saved_; }

    // Whether the interval in progress is over at nowMs.
    bool due(std::uint64_t nowMs) const { return nowMs >= nextMs_; }
    // The ms from nowMs until it is over; 0 once it is.
    std::uint64_t dueInMs(std::uint64_t nowMs) const { return due(nowMs) ? 0 : nextMs_ - nowMs; }
    // Closes the interval in progress at nowMs and starts the next.
    ReceiveInterval close(std::uint64_t nowMs);

    const FlowCounts& total() const { return total_.total; }
    const OutageSummary& outages() const { return outages_; }

private:
    struct Sender {
        SenderFigures figures;
        std::uint64_t order = 0;   // when it first arrived
        std::uint64_t lastUse = 0;
        std::uint32_t newest = 0;
        bool numbered = false;   // newest holds a number
        LossBursts bursts;
        // The delay of its latest stamped datagram, for the jitter.
        bool delayed = false;
        std::int64_t lastDelayNs = 0;
        double jitterNs = 0;
        // The latest arrival time, for the gaps, and the interval's arrivals.
        bool arrived = false;
        std::int64_t latestArrivalNs = 0;
        DelayFactor factor;
    };

    struct Group {
        GroupFigures figures;
        SocketAddress newestFrom;   // whose number newest is
        std::uint32_t newest = 0;
        bool numbered = false;
    };

    // The sender's entry; isNew when it is heard from for the first time
    // (or again after it made room for others).
    Sender& senderOf(const SocketAddress& sender, bool& isNew);
    static void count(SenderFigures& figures, const Arrival& arrival, std::uint64_t nowMs);
    // Counts the quality figures of a datagram of the sender.
    void countQuality(Sender& sender, const Arrival& arrival, const Group& group);
    static void countArrival(Sender& sender, const Arrival& arrival);
    // Settles the arrival figures of the sender's interval, lengthMs long,
    // that closes at nowMs, and starts its next.
    static void closeArrivals(Sender& sender, std::uint64_t lengthMs, std::uint64_t nowMs);
    // An outage of a sender or group whose last datagram came at lastMs,
    // ended by arrival at nowMs; false when the silence was not long enough.
    bool outageOf(std::uint64_t lastMs, bool numbered, std::uint32_t newest, const Arrival& arrival,
                  std::uint64_t nowMs, Outage& ended);

    std::uint64_t intervalMs_;
    std::uint64_t outageMs_;
    std::uint64_t closedMs_ = 0;   // the end of the previous interval, or the start
    std::uint64_t nextMs_ = 0;
    SenderFigures total_;
    std::uint64_t overflowed_ = 0;
    std::uint64_t overflowedTotal_ = 0;
    std::uint64_t stray_ = 0;
    std::uint64_t saved_ = 0;
    std::uint64_t evicted_ = 0;
    std::uint64_t evictedClosed_ = 0;   // evicted_ when the latest interval closed
    SocketAddress latestSender_;
    std::vector<Sender> senders_;
    std::vector<Group> groups_;
    std::uint64_t arrivals_ = 0;
    std::size_t latest_ = 0;
    OutageSummary outages_;
    bool routeChanged_ = false;
    RouteChange routeChange_;
};

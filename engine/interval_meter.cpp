#include "engine/interval_meter.h"

#include <algorithm>
#include <cmath>
#include <optional>

Arrival::Order arrivalOrder(SequenceTracker::Order order)
{
    switch (order) {
    case SequenceTracker::Order::Next: return Arrival::Next;
    case SequenceTracker::Order::Late: return Arrival::Late;
    case SequenceTracker::Order::Repeated: return Arrival::Repeated;
    case SequenceTracker::Order::Held: return Arrival::Held;
    }
    return Arrival::Unnumbered;
}

namespace {

constexpr std::uint32_t kHalfRange = 0x80000000u;

void add(FlowCounts& counts, const Arrival& arrival, std::uint64_t nowMs)
{
    if (counts.datagrams++ == 0) {
        counts.firstMs = nowMs;
        counts.firstBytes = arrival.bytes;
    }
    counts.lastMs = nowMs;
    counts.bytes += arrival.bytes;
    counts.lost += arrival.lostChange;
    if (arrival.lostChange > 0)
        counts.missing += static_cast<std::uint64_t>(arrival.lostChange);
    else
        counts.recovered += static_cast<std::uint64_t>(-arrival.lostChange);
    counts.late += arrival.order == Arrival::Late ? 1 : 0;
    counts.repeated += arrival.order == Arrival::Repeated ? 1 : 0;
    const bool numbered = arrival.order == Arrival::Next || arrival.order == Arrival::Late;
    counts.numbered += numbered ? 1 : 0;
}

}   // namespace

IntervalMeter::IntervalMeter(std::uint64_t intervalMs, std::uint64_t outageMs)
    : intervalMs_(std::max<std::uint64_t>(intervalMs, 1)), outageMs_(outageMs)
{
    senders_.reserve(kSenders);
}

void IntervalMeter::start(std::uint64_t nowMs, std::vector<IpAddress> groups)
{
    if (groups.empty())
        groups.emplace_back();
    groups_.assign(groups.size(), {});
    for (std::size_t i = 0; i < groups.size(); ++i)
        groups_[i].figures.group = groups[i];
    closedMs_ = nowMs;
    nextMs_ = nowMs + intervalMs_;
    total_ = {};
    overflowed_ = 0;
    overflowedTotal_ = 0;
    stray_ = 0;
    saved_ = 0;
    evicted_ = 0;
    evictedClosed_ = 0;
    latestSender_ = {};
    senders_.clear();
    arrivals_ = 0;
    latest_ = 0;
    outages_ = {};
    routeChanged_ = false;
}

void IntervalMeter::count(SenderFigures& figures, const Arrival& arrival, std::uint64_t nowMs)
{
    add(figures.interval, arrival, nowMs);
    add(figures.total, arrival, nowMs);
}

bool IntervalMeter::outageOf(std::uint64_t lastMs, bool numbered, std::uint32_t newest,
                             const Arrival& arrival, std::uint64_t nowMs, Outage& ended)
{
    const std::uint64_t silentMs = nowMs - lastMs;
    if (silentMs <= outageMs_)
        return false;
    ended = {arrival.sender, lastMs, silentMs, 0, {}};
    // Numbers skipped across the silence; a flow that started again from
    // further back lost nothing that its sequence can tell.
    const std::uint32_t ahead = arrival.seq - newest;
    if (numbered && arrival.order != Arrival::Unnumbered && ahead != 0 && ahead < kHalfRange)
        ended.lost = ahead - 1;
    ++outages_.count;
    outages_.totalMs += silentMs;
    outages_.longestMs = std::max(outages_.longestMs, silentMs);
    return true;
}

bool IntervalMeter::take(const Arrival& arrival, std::uint64_t nowMs, Outage& ended)
{
    count(total_, arrival, nowMs);
    latestSender_ = arrival.sender;
    bool isNew = false;
    Sender& sender = senderOf(arrival.sender, isNew);
    // A place past the list is the caller's mistake; the first group takes it.
    Group& group = groups_[arrival.group < groups_.size() ? arrival.group : 0];
    bool outage = false;
    if (groups_.size() == 1) {
        outage = !isNew && outageOf(sender.figures.total.lastMs, sender.numbered, sender.newest,
                                    arrival, nowMs, ended);
    } else if (group.figures.total.datagrams != 0) {
        // Another sender's numbers say nothing about this one's.
        const bool numbered = group.numbered && group.newestFrom == arrival.sender;
        outage =
            outageOf(group.figures.total.lastMs, numbered, group.newest, arrival, nowMs, ended);
    }
    if (outage) {
        ended.group = group.figures.group;
        ++group.figures.outages;
        ++group.figures.intervalOutages;
    }
    if (arrival.order == Arrival::Next) {
        sender.newest = arrival.seq;
        sender.numbered = true;
        group.newest = arrival.seq;
        group.newestFrom = arrival.sender;
        group.numbered = true;
    }
    count(sender.figures, arrival, nowMs);
    countQuality(sender, arrival, group);
    add(group.figures.interval, arrival, nowMs);
    add(group.figures.total, arrival, nowMs);
    return outage;
}

void IntervalMeter::countQuality(Sender& sender, const Arrival& arrival, const Group& group)
{
    SenderFigures& f = sender.figures;
    if (arrival.stamped) {
        // RFC 3550's estimate: J += (|D| - J) / 16, D the change of the
        // transit time from the datagram before.
        if (sender.delayed) {
            const double change =
                std::abs(static_cast<double>(arrival.delayNs - sender.lastDelayNs));
            sender.jitterNs += (change - sender.jitterNs) / 16;
        }
        sender.delayed = true;
        sender.lastDelayNs = arrival.delayNs;
        f.intervalQuality.delay.add(arrival.delayNs, sender.jitterNs);
        f.totalQuality.delay.add(arrival.delayNs, sender.jitterNs);
    }
    countArrival(sender, arrival);
    if (arrival.order == Arrival::Next) {
        const std::uint64_t lost =
            arrival.lostChange > 0 ? static_cast<std::uint64_t>(arrival.lostChange) : 0;
        sender.bursts.take(lost, f.intervalQuality.losses, f.totalQuality.losses);
    } else if (arrival.order == Arrival::Late) {
        f.intervalQuality.losses.reorderExtent =
            std::max(f.intervalQuality.losses.reorderExtent, arrival.behind);
        f.totalQuality.losses.reorderExtent =
            std::max(f.totalQuality.losses.reorderExtent, arrival.behind);
    }
    if (arrival.hops >= 0 && arrival.hops != f.totalQuality.hops.latest) {
        if (f.totalQuality.hops.latest >= 0) {
            routeChange_ = {arrival.sender, f.totalQuality.hops.latest, arrival.hops,
                            group.figures.group};
            routeChanged_ = true;
            ++f.intervalQuality.hops.changes;
            ++f.totalQuality.hops.changes;
        }
        f.intervalQuality.hops.add(arrival.hops);
        f.totalQuality.hops.add(arrival.hops);
    } else if (arrival.hops >= 0 && f.intervalQuality.hops.latest < 0) {
        // The same as before, first in this interval.
        f.intervalQuality.hops.add(arrival.hops);
    }
}

void IntervalMeter::countArrival(Sender& sender, const Arrival& arrival)
{
    if (arrival.arrivedNs == 0)
        return;
    if (sender.arrived) {
        const std::int64_t gap =
            std::max<std::int64_t>(arrival.arrivedNs - sender.latestArrivalNs, 0);
        for (ArrivalCounts* a :
             {&sender.figures.intervalQuality.arrivals, &sender.figures.totalQuality.arrivals}) {
            ++a->gaps;
            a->largestGapNs = std::max(a->largestGapNs, static_cast<std::uint64_t>(gap));
        }
    }
    sender.latestArrivalNs =
        sender.arrived ? std::max(sender.latestArrivalNs, arrival.arrivedNs) : arrival.arrivedNs;
    sender.arrived = true;
    sender.factor.take(arrival.arrivedNs, arrival.bytes);
}

void IntervalMeter::closeArrivals(Sender& sender, std::uint64_t lengthMs, std::uint64_t nowMs)
{
    SenderFigures& f = sender.figures;
    ArrivalCounts& interval = f.intervalQuality.arrivals;
    ArrivalCounts& total = f.totalQuality.arrivals;
    if (const std::optional<std::uint64_t> factor = sender.factor.factorNs()) {
        interval.rated = true;
        interval.delayFactorNs = *factor;
        total.delayFactorNs = total.rated ? std::max(total.delayFactorNs, *factor) : *factor;
        total.rated = true;
    }
    sender.factor.clear();
    auto perSecond = [](std::uint64_t count, std::uint64_t ms) {
        return ms == 0 ? 0 : static_cast<double>(count) * 1000 / static_cast<double>(ms);
    };
    interval.lossRate = perSecond(f.interval.missing, lengthMs);
    total.lossRate =
        f.total.datagrams == 0 ? 0 : perSecond(f.total.missing, nowMs - f.total.firstMs);
}

IntervalMeter::Sender& IntervalMeter::senderOf(const SocketAddress& sender, bool& isNew)
{
    ++arrivals_;
    isNew = false;
    if (!senders_.empty() && senders_[latest_].figures.sender == sender) {
        senders_[latest_].lastUse = arrivals_;
        return senders_[latest_];
    }
    auto found = std::find_if(senders_.begin(), senders_.end(),
                              [sender](const Sender& s) { return s.figures.sender == sender; });
    if (found == senders_.end()) {
        if (senders_.size() < kSenders) {
            found = senders_.emplace(senders_.end());
        } else {
            // The sender not heard from for longest makes room; what it
            // sent stays in the total.
            found = std::min_element(
                senders_.begin(), senders_.end(),
                [](const Sender& a, const Sender& b) { return a.lastUse < b.lastUse; });
            *found = {};
        }
        found->figures.sender = sender;
        found->order = arrivals_;
        isNew = true;
    }
    found->lastUse = arrivals_;
    latest_ = static_cast<std::size_t>(found - senders_.begin());
    return *found;
}

void IntervalMeter::addOverflowed(std::uint64_t datagrams)
{
    overflowed_ += datagrams;
    overflowedTotal_ += datagrams;
}

ReceiveInterval IntervalMeter::close(std::uint64_t nowMs)
{
    ReceiveInterval closed;
    closed.startMs = closedMs_;
    closed.endMs = nowMs;
    closed.interval = total_.interval;
    closed.total = total_.total;
    closed.overflowed = overflowed_;
    closed.overflowedTotal = overflowedTotal_;
    closed.evictedTotal = evicted_;
    closed.evicted = evicted_ - evictedClosed_;
    evictedClosed_ = evicted_;
    std::vector<const Sender*> byOrder;
    byOrder.reserve(senders_.size());
    for (Sender& s : senders_) {
        closeArrivals(s, nowMs - closedMs_, nowMs);
        byOrder.push_back(&s);
    }
    std::sort(byOrder.begin(), byOrder.end(),
              [](const Sender* a, const Sender* b) { return a->order < b->order; });
    closed.senders.reserve(byOrder.size());
    for (const Sender* s : byOrder) {
        closed.senders.push_back(s->figures);
        // Since the start, a burst still open counts as it stands.
        LossPattern& total = closed.senders.back().totalQuality.losses;
        total = s->bursts.withOpen(total);
        closed.losses.merge(s->figures.intervalQuality.losses);
        closed.totalLosses.merge(total);
        closed.delay.merge(s->figures.intervalQuality.delay);
        closed.totalDelay.merge(s->figures.totalQuality.delay);
        closed.arrivals.merge(s->figures.intervalQuality.arrivals);
        closed.totalArrivals.merge(s->figures.totalQuality.arrivals);
    }
    closed.groups.reserve(groups_.size());
    for (Group& g : groups_) {
        const FlowCounts& total = g.figures.total;
        g.figures.silent = total.datagrams == 0 || nowMs - total.lastMs > outageMs_;
        g.figures.from = g.newestFrom;
        closed.groups.push_back(g.figures);
        g.figures.interval = {};
        g.figures.intervalOutages = 0;
    }

    total_.interval = {};
    overflowed_ = 0;
    for (Sender& s : senders_) {
        s.figures.interval = {};
        s.figures.intervalQuality = {};
    }
    // The next interval starts where this one ended; its end stays on the
    // grid of whole intervals since the start, however late this close came.
    if (nowMs >= nextMs_)
        nextMs_ += ((nowMs - nextMs_) / intervalMs_ + 1) * intervalMs_;
    closedMs_ = nowMs;
    return closed;
}

ReceiveReport IntervalMeter::report(std::uint64_t nowMs) const
{
    const FlowCounts& total = total_.total;
    const std::uint64_t kbps = nowMs != 0 ? (total.bytes / nowMs) * 8 : 0;
    return {total.datagrams != 0 ? latestSender_ : SocketAddress{},
            total.datagrams,
            total.bytes,
            kbps,
            total.lost,
            overflowedTotal_,
            saved_,
            stray_,
            evicted_};
}

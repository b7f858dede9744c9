#include "engine/interval_meter.h"

#include <algorithm>

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

void IntervalMeter::start(std::uint64_t nowMs, std::vector<IpAddress> /*groups*/)
{
    closedMs_ = nowMs;
    nextMs_ = nowMs + intervalMs_;
    total_ = {};
    overflowed_ = 0;
    overflowedTotal_ = 0;
    senders_.clear();
    arrivals_ = 0;
    latest_ = 0;
    outages_ = {};
}

void IntervalMeter::count(SenderFigures& figures, const Arrival& arrival, std::uint64_t nowMs)
{
    add(figures.interval, arrival, nowMs);
    add(figures.total, arrival, nowMs);
}

bool IntervalMeter::take(const Arrival& arrival, std::uint64_t nowMs, Outage& ended)
{
    count(total_, arrival, nowMs);
    bool isNew = false;
    Sender& sender = senderOf(arrival.sender, isNew);
    const std::uint64_t silentMs = nowMs - sender.figures.total.lastMs;
    const bool outage = !isNew && silentMs > outageMs_;
    if (outage) {
        ended = {arrival.sender, sender.figures.total.lastMs, silentMs, 0};
        // Numbers skipped across the silence; a sender that started again
        // from further back lost nothing that its sequence can tell.
        const std::uint32_t ahead = arrival.seq - sender.newest;
        if (sender.numbered && arrival.order != Arrival::Unnumbered && ahead != 0 &&
            ahead < kHalfRange)
            ended.lost = ahead - 1;
        ++outages_.count;
        outages_.totalMs += silentMs;
        outages_.longestMs = std::max(outages_.longestMs, silentMs);
    }
    if (arrival.order == Arrival::Next) {
        sender.newest = arrival.seq;
        sender.numbered = true;
    }
    count(sender.figures, arrival, nowMs);
    return outage;
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
    std::vector<const Sender*> byOrder;
    byOrder.reserve(senders_.size());
    for (const Sender& s : senders_)
        byOrder.push_back(&s);
    std::sort(byOrder.begin(), byOrder.end(),
              [](const Sender* a, const Sender* b) { return a->order < b->order; });
    closed.senders.reserve(byOrder.size());
    for (const Sender* s : byOrder)
        closed.senders.push_back(s->figures);

    total_.interval = {};
    overflowed_ = 0;
    for (Sender& s : senders_)
        s.figures.interval = {};
    // The next interval starts where this one ended; its end stays on the
    // grid of whole intervals since the start, however late this close came.
    if (nowMs >= nextMs_)
        nextMs_ += ((nowMs - nextMs_) / intervalMs_ + 1) * intervalMs_;
    closedMs_ = nowMs;
    return closed;
}

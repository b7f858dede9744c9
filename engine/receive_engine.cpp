#include "engine/receive_engine.h"

#include "channel/batch_receive.h"
#include "channel/csock.h"
#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/receive_events.h"
#include "engine/interval_meter.h"
#include "engine/sequence_tracker.h"
#include "file/capture_file.h"
#include "platform/clock.h"

#include <sys/uio.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int kBuildAttempts = 100;
constexpr int kMissesPerReport = 10;
constexpr std::uint64_t kStatisticsEvery = 50;
constexpr int kFewDatagrams = 8;
constexpr int kCoalesceMs = 4;

Arrival::Order orderOf(SequenceTracker::Order order)
{
    switch (order) {
    case SequenceTracker::Order::Next: return Arrival::Next;
    case SequenceTracker::Order::Late: return Arrival::Late;
    case SequenceTracker::Order::Repeated: return Arrival::Repeated;
    case SequenceTracker::Order::Held: return Arrival::Held;
    }
    return Arrival::Unnumbered;
}

}   // namespace

// The figures of the run in progress, as of the latest datagram taken.
struct ReceiveEngine::Progress {
    Progress(std::uint64_t intervalMs, std::uint64_t outageMs) : meter(intervalMs, outageMs) {}

    bool channelWorks = false;
    std::uint64_t t0 = 0;
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    std::uint64_t reported = 0;    // count at the latest statistics
    SocketAddress sender;          // the latest, once count > 0
    std::uint32_t dropCount = 0;   // the socket's, as last seen; a new socket starts at 0
    std::uint64_t overflowed = 0;
    std::uint64_t overflowReported = 0;
    std::uint64_t stray = 0;
    int misses = 0;   // receives in a row that brought nothing
    // Whether a datagram of the group came since the latest receive that
    // brought none, and when to join the group again if none comes.
    bool heard = false;
    std::uint64_t nextJoin = 0;
    SequenceTracker tracker;
    // Counts in times since t0.
    IntervalMeter meter;
    bool closedAny = false;   // an interval was closed
    // Payloads taken but not yet in the capture file: at most one batch.
    iovec records[BatchReceiver::kBatch] = {};
    int pending = 0;
    int pendingEmpty = 0;   // taken but not yet saved, without payload
    // Counted as saved once the capture file takes them; taken back when it
    // reports them lost.
    std::uint64_t saved = 0;
    std::uint64_t savedReported = 0;   // saved at the latest statistics
    std::uint64_t lostSeen = 0;        // the capture file's counts, as last seen
    std::uint64_t failuresSeen = 0;

    void noteDropCount(std::uint32_t socketCount)
    {
        // The socket's count is 32-bit and wraps.
        const std::uint32_t dropped = socketCount - dropCount;
        dropCount = socketCount;
        if (dropped == 0)
            return;
        overflowed += dropped;
        meter.addOverflowed(dropped);
    }
};

ReceiveEngine::ReceiveEngine(ReceiveSink& sink, CaptureFile& capture, Clock& clock, DcPool& pool,
                             ReceiveSettings settings)
    : sink_(sink), capture_(capture), clock_(clock), pool_(pool), settings_(std::move(settings))
{
}

void ReceiveEngine::setIntervals(std::uint64_t intervalMs, std::uint64_t outageMs)
{
    intervalMs_ = intervalMs;
    outageMs_ = outageMs;
}

void ReceiveEngine::run()
{
    totals_ = {};
    lastInterval_ = {};
    outages_ = {};
    rejoins_.store(0, std::memory_order_relaxed);
    const int slot = pool_.acquire(MulticastReceive, settings_.group.c_str(), settings_.port);
    slot_.store(slot, std::memory_order_relaxed);
    if (slot < 0) {
        sink_.showStatus({ReceiveStatus::NoSlot});
        sink_.flashLamp(Lamp::Error);
        sink_.restoreButtons();
        return;
    }

    pool_.setMulticastOptions(slot, multicast_);
    const Build build = buildChannel(slot);
    if (build == Build::Failed) {
        // The last failure stays in the status line.
        slot_.store(pool_.release(slot), std::memory_order_relaxed);
        sink_.restoreButtons();
        return;
    }

    const SocketHandle socket = pool_.socketOf(slot);
    const IpAddress group = IpAddress::v4(addressValue(settings_.group.c_str()));
    auto batch = std::make_unique<BatchReceiver>();
    auto owned = std::make_unique<Progress>(intervalMs_, outageMs_);
    Progress& p = *owned;
    p.channelWorks = build == Build::Works;
    p.lostSeen = capture_.lost();
    p.failuresSeen = capture_.failures();
    p.t0 = clock_.tickCount();
    p.nextJoin = p.t0 + kRejoinMs;
    p.meter.start(0);

    while (sink_.isRunning() && (limit_ == 0 || p.count < limit_)) {
        // Never more than the limit still allows.
        const int want = limit_ == 0 ? BatchReceiver::kBatch
                                     : static_cast<int>(std::min<std::uint64_t>(
                                           BatchReceiver::kBatch, limit_ - p.count));
        const std::uint64_t before = p.channelWorks ? 0 : clock_.tickCount();
        const int got = batch->receive(socket, want);
        if (got == 0) {
            p.noteDropCount(batch->dropCount());
            missed(p, before);
            const std::uint64_t now = clock_.tickCount();
            keepMembership(p, slot, now);
            closeDue(p, now);
            continue;
        }
        // The whole batch arrived at once, as far as the figures tell.
        const std::uint64_t now = clock_.tickCount();
        int taken = 0;
        for (int i = 0; i < got; ++i) {
            const int n = batch->length(i);
            if (n < 0) {
                missed(p, 0);
                continue;
            }
            if (batch->destination(i) != group) {
                ++p.stray;
                p.noteDropCount(batch->dropCount(i));
                continue;
            }
            ++taken;
            p.misses = 0;
            const unsigned char* data = batch->data(i);
            const TestDatagram datagram = TestDatagram::parse(data, n);
            Arrival arrival{batch->sender(i), static_cast<std::uint64_t>(n)};
            if (datagram.tagged) {
                arrival.seq = static_cast<std::uint32_t>(datagram.seq);
                const SequenceTracker::Seen seen = p.tracker.observe(arrival.sender, arrival.seq);
                arrival.order = orderOf(seen.order);
                arrival.lostChange = seen.change;
            }
            Outage ended;
            if (p.meter.take(arrival, now - p.t0, ended))
                sink_.showSenderOutage(ended);
            const int payload = n - datagram.headerLength;
            if (payload > 0) {
                // writev only reads what the record points at.
                p.records[p.pending++] = {const_cast<unsigned char*>(data) + datagram.headerLength,
                                          static_cast<std::size_t>(payload)};
            } else {
                ++p.pendingEmpty;
            }
            ++p.count;
            p.sum += static_cast<std::uint64_t>(n);
            p.sender = arrival.sender;
            p.noteDropCount(batch->dropCount(i));
            if (p.count % kStatisticsEvery == 0) {
                report(p);
                p.reported = p.count;
                sink_.setDefaultLamp(Lamp::Active);
            }
        }
        save(p);
        if (taken == 0)
            keepMembership(p, slot, now);
        else
            p.heard = true;
        closeDue(p, now);
        // A slow flow would wake the receiver for almost every datagram; a
        // short pause after a batch of only a few lets the next call take
        // several at once. A fast flow fills its batches and never pauses.
        if (got < want && got < kFewDatagrams)
            clock_.sleepMs(kCoalesceMs);
    }
    // Everything taken is in the file before the last figures count it.
    save(p);
    capture_.flush();
    // The end of the run shows the last figures once more, even when a pause
    // already showed them.
    if (p.count != 0)
        report(p);

    const std::uint64_t end = clock_.tickCount();
    // The last, shorter interval; none when the run ended just as one closed.
    if (!p.closedAny || end - p.t0 > lastInterval_.endMs)
        closeInterval(p, end);
    outages_ = p.meter.outages();
    totals_ = figures(p, end - p.t0);
    slot_.store(pool_.release(slot), std::memory_order_relaxed);
}

void ReceiveEngine::missed(Progress& p, std::uint64_t before)
{
    if (!p.channelWorks)
        waitOutTimeout(before);
    noteCapture(p);
    if (++p.misses < kMissesPerReport)
        return;
    // A pause: a single time-out is only the gap between two datagrams of a
    // slow flow, ten in a row are what the status line calls no data. What
    // arrived since the latest figures shows now, once.
    p.misses = 0;
    if (p.count != p.reported || p.saved != p.savedReported) {
        report(p);
        p.reported = p.count;
    }
    sink_.showStatus({ReceiveStatus::NoData});
    sink_.flashLamp(Lamp::Error);
}

void ReceiveEngine::keepMembership(Progress& p, int slot, std::uint64_t now)
{
    // A link deleted and made again (an adapter plugged back in, a virtual
    // machine's link renewed) comes back without the membership, and the
    // group stays silent for good unless joined again. A join while still a
    // member changes nothing.
    if (p.heard) {
        p.heard = false;
        p.nextJoin = now + kRejoinMs;
        return;
    }
    if (now < p.nextJoin)
        return;
    p.nextJoin = now + kRejoinMs;
    // A failure is tried again at the next turn, unreported: the silence
    // already shows in the status line.
    pool_.join(slot);
    rejoins_.fetch_add(1, std::memory_order_relaxed);
}

void ReceiveEngine::closeDue(Progress& p, std::uint64_t now)
{
    if (p.meter.due(now - p.t0))
        closeInterval(p, now);
}

void ReceiveEngine::closeInterval(Progress& p, std::uint64_t now)
{
    lastInterval_ = p.meter.close(now - p.t0);
    p.closedAny = true;
    sink_.showReceiveInterval(lastInterval_);
}

void ReceiveEngine::save(Progress& p)
{
    const int pending = p.pending;
    const int empty = p.pendingEmpty;
    p.pending = 0;
    p.pendingEmpty = 0;
    if (capture_.isOpen()) {
        p.saved += static_cast<std::uint64_t>(empty);
        if (pending != 0)
            p.saved += static_cast<std::uint64_t>(capture_.write(p.records, pending));
    }
    noteCapture(p);
}

void ReceiveEngine::noteCapture(Progress& p)
{
    // The file's writer finds failures after the records were counted.
    const std::uint64_t lost = capture_.lost();
    if (lost != p.lostSeen) {
        p.saved -= std::min(p.saved, lost - p.lostSeen);
        p.lostSeen = lost;
    }
    // One report per series of failed writes; the payloads are still counted.
    const std::uint64_t failures = capture_.failures();
    if (failures != p.failuresSeen) {
        p.failuresSeen = failures;
        sink_.showStatus({ReceiveStatus::SaveFailed});
        sink_.flashLamp(Lamp::Error);
    }
}

void ReceiveEngine::report(Progress& p)
{
    // The file holds what the figures count, or has it queued.
    save(p);
    // Noticed here, at the latest: a capture file deleted or replaced while
    // saving would otherwise swallow everything after it unseen. What went
    // in since the file was last seen under its name counts as lost.
    const bool gone = capture_.closeIfGone();
    if (gone)
        noteCapture(p);
    p.savedReported = p.saved;
    const std::uint64_t elapsed = clock_.tickCount() - p.t0;
    if (elapsed != 0)
        sink_.showStatistics(figures(p, elapsed));
    if (p.overflowed != p.overflowReported) {
        p.overflowReported = p.overflowed;
        sink_.showStatus({ReceiveStatus::Overflow, 0, p.overflowed});
        sink_.flashLamp(Lamp::Error);
    }
    if (gone) {
        sink_.showStatus({ReceiveStatus::CaptureGone});
        sink_.flashLamp(Lamp::Error);
    }
}

ReceiveReport ReceiveEngine::figures(const Progress& p, std::uint64_t elapsed) const
{
    const std::uint64_t kbps = elapsed != 0 ? (p.sum / elapsed) * 8 : 0;
    return {p.count != 0 ? p.sender : SocketAddress{},
            p.count,
            p.sum,
            kbps,
            p.tracker.lost(),
            p.overflowed,
            p.saved,
            p.stray};
}

ReceiveEngine::Build ReceiveEngine::buildChannel(int slot)
{
    for (int attempt = 1; attempt <= kBuildAttempts; ++attempt) {
        pool_.build(slot);
        const bool hasSocket = pool_.setReceiveTimeout(slot, kReceiveTimeoutMs) >= 0;
        if (pool_.state(slot) == 1)
            return hasSocket ? Build::Works : Build::NoSocket;

        sink_.showStatus({ReceiveStatus::BuildFailed, attempt});
        sink_.flashLamp(Lamp::Error);
    }
    return Build::Failed;
}

void ReceiveEngine::waitOutTimeout(std::uint64_t before)
{
    // A channel that could not be built often fails its receive at once; the
    // loop would then spin. Each miss is made to cost the time-out it stands for.
    const std::uint64_t spent = clock_.tickCount() - before;
    if (spent < static_cast<std::uint64_t>(kReceiveTimeoutMs))
        clock_.sleepMs(kReceiveTimeoutMs - static_cast<int>(spent));
}

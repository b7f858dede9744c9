#include "engine/receive_engine.h"

#include "channel/batch_receive.h"
#include "channel/dc_pool.h"
#include "channel/group_receiver.h"
#include "core/datagram.h"
#include "core/receive_events.h"
#include "engine/interval_meter.h"
#include "engine/receive_rest.h"
#include "engine/sequence_tracker.h"
#include "file/capture_file.h"
#include "platform/clock.h"

#include <sys/uio.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kBuildAttempts = 100;
constexpr int kMissesPerReport = 10;
constexpr std::uint64_t kStatisticsEvery = 50;
constexpr std::int64_t kFarthestDelayNs = std::int64_t{365} * 86'400 * 1'000'000'000;

}   // namespace

// Where the run in progress stands; its figures are the meter's.
struct ReceiveEngine::Progress {
    Progress(std::uint64_t intervalMs, std::uint64_t outageMs) : meter(intervalMs, outageMs) {}

    bool channelWorks = false;
    std::uint64_t t0 = 0;
    IntervalMeter meter;   // times since t0
    ReceiveRest rest;
    // The arrival time of the datagram taken last, or the latest close if
    // later: none is put before it.
    std::uint64_t takenMs = 0;
    SequenceTracker tracker;
    std::uint64_t reported = 0;        // datagrams at the latest statistics
    std::uint64_t savedReported = 0;   // saved at the latest statistics
    std::uint64_t overflowReported = 0;
    int joinFailure = 0;      // the reason of the latest rejoins that failed, 0 once they work
    int misses = 0;           // receives in a row that brought nothing
    bool closedAny = false;   // an interval was closed
    // Payloads taken but not yet in the capture file: at most one batch.
    iovec records[BatchReceiver::kBatch] = {};
    int pending = 0;
    int pendingEmpty = 0;         // taken but not yet saved, without payload
    std::uint64_t lostSeen = 0;   // the capture file's counts, as last seen
    std::uint64_t failuresSeen = 0;

    std::uint64_t count() const { return meter.total().datagrams; }
};

ReceiveEngine::ReceiveEngine(ReceiveSink& sink, CaptureFile& capture, Clock& clock, DcPool& pool,
                             ReceiveSettings settings)
    : sink_(sink), capture_(capture), clock_(clock), pool_(pool), settings_(settings)
{
}

void ReceiveEngine::setIntervals(std::uint64_t intervalMs, std::uint64_t outageMs)
{
    intervalMs_ = intervalMs;
    outageMs_ = outageMs;
}

void ReceiveEngine::setGroups(std::vector<IpAddress> groups, IpAddress source)
{
    groups_ = std::move(groups);
    source_ = source;
}

void ReceiveEngine::run()
{
    totals_ = {};
    lastInterval_ = {};
    outages_ = {};
    buildError_ = 0;
    rejoins_.store(0, std::memory_order_relaxed);
    std::vector<IpAddress> groups = groups_;
    if (groups.empty())
        groups.push_back(settings_.group);
    Build build = Build::Failed;
    const int slot = open(groups, build);
    if (slot < 0)
        return;

    std::unique_ptr<BatchReceiver> batch =
        makeReceiver_ ? makeReceiver_() : std::make_unique<BatchReceiver>();
    auto p = std::make_unique<Progress>(intervalMs_, outageMs_);
    // Every datagram's arrival time, for the delay and the gaps between them.
    batch->askArrivalTimes();
    p->channelWorks = build == Build::Works;
    p->lostSeen = capture_.lost();
    p->failuresSeen = capture_.failures();
    p->t0 = clock_.tickCount();
    p->meter.start(0, groups);
    GroupReceiver receiver(pool_, slot, *batch, groups, source_, p->t0);
    receive(*p, receiver);
    finish(*p);
    slot_.store(pool_.release(slot), std::memory_order_relaxed);
}

int ReceiveEngine::open(const std::vector<IpAddress>& groups, Build& build)
{
    const int slot =
        pool_.acquire(MulticastReceive,
                      SocketAddress{groups.front(), static_cast<std::uint16_t>(settings_.port)});
    slot_.store(slot, std::memory_order_relaxed);
    if (slot < 0) {
        sink_.showStatus({ReceiveStatus::NoSlot});
        sink_.flashLamp(Lamp::Error);
        sink_.restoreButtons();
        return -1;
    }
    MulticastOptions multicast = multicast_;
    multicast.groups = groups;
    multicast.source = source_;
    pool_.setMulticastOptions(slot, multicast);
    build = buildChannel(slot);
    if (build != Build::Failed)
        return slot;
    // The last failure stays in the status line.
    buildError_ = pool_.channel(slot)->lastError();
    slot_.store(pool_.release(slot), std::memory_order_relaxed);
    sink_.restoreButtons();
    return -1;
}

void ReceiveEngine::receive(Progress& p, GroupReceiver& receiver)
{
    // Never more than the limit still allows.
    auto wanted = [&] {
        return limit_ == 0 ? BatchReceiver::kBatch
                           : static_cast<int>(std::min<std::uint64_t>(BatchReceiver::kBatch,
                                                                      limit_ - p.count()));
    };
    while (sink_.isRunning() && wanted() != 0) {
        const int want = wanted();
        const std::uint64_t before = p.channelWorks ? 0 : clock_.tickCount();
        const int got = receiver.receiveRound(
            wanted, [&](const BatchReceiver& b, int n) { take(p, receiver, b, n); });
        if (got == 0)
            missed(p, receiver, before);
        const std::uint64_t now = clock_.tickCount();
        rejoinSilent(p, receiver, now);
        if (p.meter.due(now - p.t0))
            closeInterval(p, now);
        // A slow flow would wake the receiver for almost every datagram; a
        // short rest lets the next call take many at once.
        const std::uint64_t ms = now - p.t0;
        if (const int rest =
                p.rest.after(got, want, ms, p.count(), p.meter.total().bytes, p.meter.dueInMs(ms));
            rest > 0)
            clock_.sleepMs(rest);
    }
}

void ReceiveEngine::finish(Progress& p)
{
    // Everything taken is in the file before the last figures count it.
    save(p);
    capture_.flush();
    // The end of the run shows the last figures once more, even when a pause
    // already showed them.
    if (p.count() != 0)
        report(p);

    const std::uint64_t end = clock_.tickCount();
    // The last, shorter interval; none when the run ended just as one closed.
    if (!p.closedAny || end - p.t0 > lastInterval_.endMs)
        closeInterval(p, end);
    outages_ = p.meter.outages();
    totals_ = p.meter.report(end - p.t0);
}

void ReceiveEngine::take(Progress& p, GroupReceiver& receiver, const BatchReceiver& batch, int got)
{
    // The batch was read now; each datagram arrived when the system says,
    // on the run's clock.
    const std::uint64_t now = clock_.tickCount();
    const std::uint64_t ms = now - p.t0;
    const std::int64_t wallNs = clock_.wallNs();
    p.meter.addOverflowed(receiver.takeDropped());
    for (int i = 0; i < got; ++i) {
        const int n = batch.length(i);
        if (n < 0) {
            missed(p, receiver, 0);
            continue;
        }
        const std::optional<std::size_t> group = receiver.groupOf(i);
        if (!group) {
            p.meter.addStray();
            continue;
        }
        receiver.heard(*group, now);
        p.misses = 0;
        const unsigned char* data = batch.data(i);
        const TestDatagram datagram = TestDatagram::parse(data, n);
        Arrival arrival{batch.sender(i), static_cast<std::uint64_t>(n)};
        arrival.group = *group;
        arrival.hops = batch.hopLimit(i);
        if (datagram.tagged) {
            arrival.seq = static_cast<std::uint32_t>(datagram.seq);
            const SequenceTracker::Seen seen =
                p.tracker.observe(arrival.sender, arrival.seq, arrival.group);
            arrival.order = arrivalOrder(seen.order);
            arrival.lostChange = seen.change;
            arrival.behind = seen.behind;
            p.meter.setEvicted(p.tracker.evicted());
        }
        // The system's arrival time, else the batch's.
        const std::int64_t arrived = batch.arrivalNs(i);
        arrival.arrivedNs = arrived != 0 ? arrived : wallNs;
        // On the run's clock: the batch's time less how long the system
        // held it, never before the datagram taken last.
        const std::uint64_t heldMs = wallNs > arrival.arrivedNs
                                         ? (static_cast<std::uint64_t>(wallNs) -
                                            static_cast<std::uint64_t>(arrival.arrivedNs)) /
                                               1'000'000
                                         : 0;
        p.takenMs = ms - std::min(heldMs, ms - p.takenMs);
        // A send time a year or more from the arrival is no clock's: the
        // datagram counts as one without, and no two delays are so far
        // apart that their difference overflows.
        std::int64_t delayNs = 0;
        if (const std::optional<std::int64_t> sent =
                SendStamp::parse(data + datagram.headerLength, n - datagram.headerLength);
            sent && !__builtin_sub_overflow(arrival.arrivedNs, *sent, &delayNs) &&
            delayNs > -kFarthestDelayNs && delayNs < kFarthestDelayNs) {
            arrival.stamped = true;
            arrival.delayNs = delayNs;
        }
        Outage ended;
        if (p.meter.take(arrival, p.takenMs, ended))
            sink_.showSenderOutage(ended);
        if (RouteChange change; p.meter.takeRouteChange(change))
            sink_.showRouteChange(change);
        const int payload = n - datagram.headerLength;
        if (payload > 0) {
            // writev only reads what the record points at.
            p.records[p.pending++] = {const_cast<unsigned char*>(data) + datagram.headerLength,
                                      static_cast<std::size_t>(payload)};
        } else {
            ++p.pendingEmpty;
        }
        if (p.count() % kStatisticsEvery == 0) {
            report(p);
            p.reported = p.count();
            sink_.setDefaultLamp(Lamp::Active);
        }
    }
    // The payloads point into the batch's buffers, which the next receive reuses.
    save(p);
}

void ReceiveEngine::missed(Progress& p, GroupReceiver& receiver, std::uint64_t before)
{
    if (!p.channelWorks)
        waitOutTimeout(before);
    p.meter.addOverflowed(receiver.takeDropped());
    noteCapture(p);
    if (++p.misses < kMissesPerReport)
        return;
    // A pause: a single time-out is only the gap between two datagrams of a
    // slow flow, ten in a row are what the status line calls no data. What
    // arrived since the latest figures shows now, once.
    p.misses = 0;
    if (p.count() != p.reported || p.meter.saved() != p.savedReported) {
        report(p);
        p.reported = p.count();
    }
    sink_.showStatus({ReceiveStatus::NoData});
    sink_.flashLamp(Lamp::Error);
}

void ReceiveEngine::rejoinSilent(Progress& p, GroupReceiver& receiver, std::uint64_t now)
{
    const GroupReceiver::Rejoin rejoin = receiver.rejoinSilent(now);
    if (rejoin.joined == 0)
        return;
    rejoins_.fetch_add(rejoin.joined, std::memory_order_relaxed);
    // Tried again at the next turn; said again only for another reason.
    const int reason = rejoin.failed != 0 ? rejoin.error : 0;
    if (reason != 0 && reason != p.joinFailure) {
        ReceiveStatus failure{ReceiveStatus::JoinFailed};
        failure.group = rejoin.firstFailed;
        failure.error = rejoin.error;
        failure.groups = rejoin.failed;
        sink_.showStatus(failure);
        sink_.flashLamp(Lamp::Error);
    }
    p.joinFailure = reason;
}

void ReceiveEngine::closeInterval(Progress& p, std::uint64_t now)
{
    lastInterval_ = p.meter.close(now - p.t0);
    p.takenMs = now - p.t0;
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
        p.meter.addSaved(static_cast<std::uint64_t>(empty));
        if (pending != 0)
            p.meter.addSaved(static_cast<std::uint64_t>(capture_.write(p.records, pending)));
    }
    noteCapture(p);
}

void ReceiveEngine::noteCapture(Progress& p)
{
    // The file's writer finds failures after the records were counted.
    const std::uint64_t lost = capture_.lost();
    if (lost != p.lostSeen) {
        p.meter.takeBackSaved(lost - p.lostSeen);
        p.lostSeen = lost;
    }
    // One report per series of failed writes; the payloads are still counted.
    const std::uint64_t failures = capture_.failures();
    if (failures != p.failuresSeen) {
        p.failuresSeen = failures;
        sink_.showStatus({ReceiveStatus::SaveFailed, 0, 0, capture_.lastError()});
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
    p.savedReported = p.meter.saved();
    const std::uint64_t elapsed = clock_.tickCount() - p.t0;
    if (elapsed != 0)
        sink_.showStatistics(p.meter.report(elapsed));
    const std::uint64_t overflowed = p.meter.overflowed();
    if (overflowed != p.overflowReported) {
        p.overflowReported = overflowed;
        sink_.showStatus({ReceiveStatus::Overflow, 0, overflowed});
        sink_.flashLamp(Lamp::Error);
    }
    if (gone) {
        sink_.showStatus({ReceiveStatus::CaptureGone});
        sink_.flashLamp(Lamp::Error);
    }
}

ReceiveEngine::Build ReceiveEngine::buildChannel(int slot)
{
    for (int attempt = 1; attempt <= kBuildAttempts; ++attempt) {
        pool_.build(slot);
        const bool hasSocket = pool_.setReceiveTimeout(slot, kReceiveTimeoutMs) >= 0;
        if (pool_.state(slot) == 1)
            return hasSocket ? Build::Works : Build::NoSocket;

        sink_.showStatus(
            {ReceiveStatus::BuildFailed, attempt, 0, pool_.channel(slot)->lastError()});
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

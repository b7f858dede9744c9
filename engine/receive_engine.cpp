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

#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kBuildAttempts = 100;
constexpr int kMissesPerReport = 10;
constexpr std::uint64_t kStatisticsEvery = 50;
constexpr int kFewDatagrams = 8;
constexpr int kCoalesceMs = 4;

constexpr std::size_t kScannedGroups = 32;

// Which of a channel's sockets have datagrams waiting. One socket is always
// read at once: its receive waits out the time-out itself. Several are
// waited on together.
class SocketWait {
public:
    SocketWait(const DcChannel& channel, std::size_t sockets)
    {
        poller_ = sockets > 1 ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
        if (poller_ < 0) {
            // Without a poller each socket is read in turn, each receive
            // waiting out its time-out.
            for (std::size_t i = 0; i < sockets; ++i)
                ready_.push_back(i);
            return;
        }
        events_.resize(sockets);
        for (std::size_t i = 0; i < sockets; ++i) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = i;
            ::epoll_ctl(poller_, EPOLL_CTL_ADD, channel.socket(i), &e);
        }
    }
    ~SocketWait()
    {
        if (poller_ >= 0)
            ::close(poller_);
    }
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;

    // The sockets with datagrams, waiting up to timeoutMs for the first.
    const std::vector<std::size_t>& ready(int timeoutMs)
    {
        if (poller_ < 0)
            return ready_;
        ready_.clear();
        const int n =
            ::epoll_wait(poller_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
        for (int k = 0; k < n; ++k)
            ready_.push_back(
                static_cast<std::size_t>(events_[static_cast<std::size_t>(k)].data.u64));
        return ready_;
    }

private:
    int poller_ = -1;
    std::vector<epoll_event> events_;
    std::vector<std::size_t> ready_;
};

}   // namespace

// The figures of the run in progress, as of the latest datagram taken.
struct ReceiveEngine::Progress {
    Progress(std::uint64_t intervalMs, std::uint64_t outageMs) : meter(intervalMs, outageMs) {}

    bool channelWorks = false;
    std::uint64_t t0 = 0;
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    std::uint64_t reported = 0;   // count at the latest statistics
    SocketAddress sender;         // the latest, once count > 0
    // Per socket: its drop count as last seen (a new socket starts at 0).
    std::vector<std::uint32_t> dropCounts;
    // Per group, when to join it again unless a datagram of it comes first;
    // the earliest of these, or later; and the reason of the latest rejoins
    // that failed, 0 once they work.
    std::vector<std::uint64_t> rejoinAt;
    std::uint64_t nextRejoin = 0;
    int joinFailure = 0;
    std::size_t socket = 0;   // the one being read
    std::uint64_t overflowed = 0;
    std::uint64_t overflowReported = 0;
    std::uint64_t stray = 0;
    int misses = 0;   // receives in a row that brought nothing
    // The run's groups, and which group a destination is, by its index in them.
    std::vector<IpAddress> groups;
    std::unordered_map<IpAddress, std::size_t, IpAddressHash> groupOf;
    IpAddress source;   // family None: any
    SequenceTracker tracker;
    std::uint64_t evictedClosed = 0;   // tracker.evicted() when the latest interval closed
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

    // The index of the datagram's group, or nothing when it was sent
    // elsewhere (or, in a source-specific run, by another source). Any of
    // the run's sockets may take any of its groups' datagrams: the system
    // may spread a port's datagrams over the sockets sharing it.
    std::optional<std::size_t> groupIndex(const IpAddress& destination, const SocketAddress& from)
    {
        if (source.family != IpAddress::Family::None && from.address != source)
            return std::nullopt;
        if (groups.size() <= kScannedGroups) {
            for (std::size_t g = 0; g < groups.size(); ++g) {
                if (groups[g] == destination)
                    return g;
            }
            return std::nullopt;
        }
        const auto it = groupOf.find(destination);
        if (it == groupOf.end())
            return std::nullopt;
        return it->second;
    }

    void noteDropCount(std::uint32_t socketCount)
    {
        // The socket's count is 32-bit and wraps.
        const std::uint32_t dropped = socketCount - dropCounts[socket];
        dropCounts[socket] = socketCount;
        if (dropped == 0)
            return;
        overflowed += dropped;
        meter.addOverflowed(dropped);
    }
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
    const int slot =
        pool_.acquire(MulticastReceive,
                      SocketAddress{groups.front(), static_cast<std::uint16_t>(settings_.port)});
    slot_.store(slot, std::memory_order_relaxed);
    if (slot < 0) {
        sink_.showStatus({ReceiveStatus::NoSlot});
        sink_.flashLamp(Lamp::Error);
        sink_.restoreButtons();
        return;
    }

    MulticastOptions multicast = multicast_;
    multicast.groups = groups;
    multicast.source = source_;
    pool_.setMulticastOptions(slot, multicast);
    const Build build = buildChannel(slot);
    if (build == Build::Failed) {
        // The last failure stays in the status line.
        buildError_ = pool_.channel(slot)->lastError();
        slot_.store(pool_.release(slot), std::memory_order_relaxed);
        sink_.restoreButtons();
        return;
    }

    const DcChannel& channel = *pool_.channel(slot);
    const std::size_t socketCount = std::max<std::size_t>(channel.socketCount(), 1);
    SocketWait wait(channel, socketCount);
    std::unique_ptr<BatchReceiver> batch =
        makeReceiver_ ? makeReceiver_() : std::make_unique<BatchReceiver>();
    auto owned = std::make_unique<Progress>(intervalMs_, outageMs_);
    Progress& p = *owned;
    p.channelWorks = build == Build::Works;
    p.lostSeen = capture_.lost();
    p.failuresSeen = capture_.failures();
    p.t0 = clock_.tickCount();
    p.dropCounts.assign(socketCount, 0);
    p.rejoinAt.assign(groups.size(), p.t0 + kRejoinMs);
    p.nextRejoin = p.t0 + kRejoinMs;
    p.source = source_;
    p.groups = groups;
    for (std::size_t i = 0; i < groups.size(); ++i)
        p.groupOf.emplace(groups[i], i);
    p.meter.start(0, groups);

    while (sink_.isRunning() && (limit_ == 0 || p.count < limit_)) {
        // Never more than the limit still allows.
        auto wanted = [&] {
            return limit_ == 0 ? BatchReceiver::kBatch
                               : static_cast<int>(std::min<std::uint64_t>(BatchReceiver::kBatch,
                                                                          limit_ - p.count));
        };
        const int want = wanted();
        const std::uint64_t before = p.channelWorks ? 0 : clock_.tickCount();
        const std::vector<std::size_t>& ready = wait.ready(kReceiveTimeoutMs);
        int got = 0;
        int gotHere = 0;
        std::uint64_t now = 0;
        for (const std::size_t i : ready) {
            p.socket = i;
            batch->resumeDropCount(p.dropCounts[i]);
            gotHere = batch->receive(channel.socket(i), want);
            if (gotHere == 0) {
                p.noteDropCount(batch->dropCount());
                continue;
            }
            got += gotHere;
            // The whole batch arrived at once, as far as the figures tell.
            now = clock_.tickCount();
            take(p, *batch, gotHere, now);
            // Coalesced receives may hold more than one call presents: the
            // rest is this socket's, taken before any other socket is read.
            while (batch->pending() && (limit_ == 0 || p.count < limit_)) {
                gotHere = batch->receive(channel.socket(i), wanted());
                got += gotHere;
                take(p, *batch, gotHere, now);
            }
            if (limit_ != 0 && p.count >= limit_)
                break;
        }
        if (got == 0) {
            missed(p, before);
            now = clock_.tickCount();
        }
        keepMemberships(p, slot, now);
        closeDue(p, now);
        if (got == 0)
            continue;
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

int ReceiveEngine::take(Progress& p, const BatchReceiver& batch, int got, std::uint64_t now)
{
    int taken = 0;
    for (int i = 0; i < got; ++i) {
        const int n = batch.length(i);
        if (n < 0) {
            missed(p, 0);
            continue;
        }
        const std::optional<std::size_t> group =
            p.groupIndex(batch.destination(i), batch.sender(i));
        if (!group) {
            ++p.stray;
            p.noteDropCount(batch.dropCount(i));
            continue;
        }
        ++taken;
        p.rejoinAt[*group] = now + kRejoinMs;
        p.misses = 0;
        const unsigned char* data = batch.data(i);
        const TestDatagram datagram = TestDatagram::parse(data, n);
        Arrival arrival{batch.sender(i), static_cast<std::uint64_t>(n)};
        arrival.group = *group;
        if (datagram.tagged) {
            arrival.seq = static_cast<std::uint32_t>(datagram.seq);
            const SequenceTracker::Seen seen =
                p.tracker.observe(arrival.sender, arrival.seq, arrival.group);
            arrival.order = arrivalOrder(seen.order);
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
        p.noteDropCount(batch.dropCount(i));
        if (p.count % kStatisticsEvery == 0) {
            report(p);
            p.reported = p.count;
            sink_.setDefaultLamp(Lamp::Active);
        }
    }
    // The payloads point into the batch's buffers, which the next receive reuses.
    save(p);
    return taken;
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

void ReceiveEngine::keepMemberships(Progress& p, int slot, std::uint64_t now)
{
    // A link deleted and made again (an adapter plugged back in, a virtual
    // machine's link renewed) comes back without the memberships, and a group
    // stays silent for good unless joined again. Only the silent groups are:
    // the others' memberships work.
    if (now < p.nextRejoin)
        return;
    p.nextRejoin = now + kRejoinMs;
    std::size_t joined = 0;
    std::size_t failed = 0;
    ReceiveStatus failure{ReceiveStatus::JoinFailed};
    for (std::size_t g = 0; g < p.rejoinAt.size(); ++g) {
        if (now >= p.rejoinAt[g]) {
            p.rejoinAt[g] = now + kRejoinMs;
            ++joined;
            if (pool_.join(slot, g) != 1) {
                if (failed == 0) {
                    failure.group = p.groups[g];
                    failure.error = pool_.channel(slot)->joinError();
                }
                ++failed;
            }
        }
        p.nextRejoin = std::min(p.nextRejoin, p.rejoinAt[g]);
    }
    rejoins_.fetch_add(joined, std::memory_order_relaxed);
    if (joined == 0)
        return;
    // Tried again at the next turn; said again only for another reason.
    const int reason = failed != 0 ? failure.error : 0;
    if (reason != 0 && reason != p.joinFailure) {
        failure.groups = failed;
        sink_.showStatus(failure);
        sink_.flashLamp(Lamp::Error);
    }
    p.joinFailure = reason;
}

void ReceiveEngine::closeDue(Progress& p, std::uint64_t now)
{
    if (p.meter.due(now - p.t0))
        closeInterval(p, now);
}

void ReceiveEngine::closeInterval(Progress& p, std::uint64_t now)
{
    lastInterval_ = p.meter.close(now - p.t0);
    lastInterval_.evictedTotal = p.tracker.evicted();
    lastInterval_.evicted = lastInterval_.evictedTotal - p.evictedClosed;
    p.evictedClosed = lastInterval_.evictedTotal;
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
            p.stray,
            p.tracker.evicted()};
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

#pragma once

#include "channel/dc_channel.h"
#include "core/interval_figures.h"
#include "core/receive_events.h"
#include "core/settings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class BatchReceiver;
class CaptureFile;
class Clock;
class DcPool;
class GroupReceiver;
class ReceiveSink;

// One receiver run, on the worker thread: joins the groups, receives batches
// of datagrams with a 10 ms time-out for the first, counts datagrams, bytes,
// sequence gaps and what its own socket dropped, writes payloads to the
// capture file while it is open, and reports every 50 datagrams, when a
// pause begins (ten time-outs in a row) and at the end. Only datagrams sent
// to the group count; others that reach the port are counted apart as
// stray. Every interval it reports the figures of the interval and of the
// run so far, per sender and in total, and the last, shorter interval at the
// end; a sender silent for longer than the outage threshold is reported when
// its next datagram ends the outage. While none of the group's arrive, it
// joins the group again every 3 s of its clock, so that a membership lost
// with its link comes back. run() returns after the sink stops running, or at
// once when there is no slot or no channel after 100 builds (then with
// restoreButtons); it always releases its slot.
//
// A run of many groups (setGroups) counts each datagram for the group it
// was sent to, then by sender; the channel spreads the memberships over as
// many sockets as the system's per-socket limit needs and receives them all
// on one. Each group is joined again on its own, every 3 s while it is
// silent; a join that fails is reported with the system's reason, once per
// series of failures for one reason. Every figure comes from one interval
// meter.
class ReceiveEngine {
public:
    static constexpr int kReceiveTimeoutMs = 10;

    ReceiveEngine(ReceiveSink& sink, CaptureFile& capture, Clock& clock, DcPool& pool,
                  ReceiveSettings settings);

    void run();

    // Interface to join on; the system's choice unless set.
    void setMulticastOptions(const MulticastOptions& options) { multicast_ = options; }
    // The groups of the runs that start afterwards, all of one family, and
    // the one source whose datagrams count (family None: any). Unless set,
    // the settings' group, from any source.
    void setGroups(std::vector<IpAddress> groups, IpAddress source = {});
    // The run ends after this many datagrams; 0 receives until the sink stops.
    void setDatagramLimit(std::uint64_t limit) { limit_ = limit; }

    // Makes the batch receiver of each run that starts afterwards; a plain
    // BatchReceiver unless set. For tests that feed the receive path from a
    // script instead of the channel's sockets.
    void setReceiverFactory(std::function<std::unique_ptr<BatchReceiver>()> make)
    {
        makeReceiver_ = std::move(make);
    }

    // The length of an interval and the silence that makes an outage, in ms
    // (1000 each unless set); for the runs that start afterwards.
    void setIntervals(std::uint64_t intervalMs, std::uint64_t outageMs);

    // The figures of the whole last run, as a report at its end would give
    // them; read after run() returns.
    const ReceiveReport& totals() const { return totals_; }
    // The last interval of the last run, whose totals are the run's; and
    // its outages. Read after run() returns.
    const ReceiveInterval& lastInterval() const { return lastInterval_; }
    const OutageSummary& outages() const { return outages_; }

    // The pool slot of the run in progress, -1 while none.
    int slot() const { return slot_.load(std::memory_order_relaxed); }

    // Groups joined again since the run in progress (or the last) started,
    // successful or not.
    std::uint64_t rejoins() const { return rejoins_.load(std::memory_order_relaxed); }

    // errno of the step that failed the last run's last build; 0 when it was built.
    int buildError() const { return buildError_; }

private:
    enum class Build { Failed, NoSocket, Works };
    struct Progress;

    // Acquires a slot and builds its channel for the groups: the slot, or
    // -1 when there is none or no channel after 100 builds (both reported).
    int open(const std::vector<IpAddress>& groups, Build& build);
    // Up to 100 builds.
    Build buildChannel(int slot);
    // Receives until the sink stops running or the limit is reached.
    void receive(Progress& progress, GroupReceiver& receiver);
    void waitOutTimeout(std::uint64_t before);
    // Counts the datagrams of a batch the receiver took.
    void take(Progress& progress, GroupReceiver& receiver, const BatchReceiver& batch, int got);
    // A receive that brought nothing (before: the clock when it started).
    void missed(Progress& progress, GroupReceiver& receiver, std::uint64_t before);
    void rejoinSilent(Progress& progress, GroupReceiver& receiver, std::uint64_t now);
    void closeInterval(Progress& progress, std::uint64_t now);
    void save(Progress& progress);
    // Takes in what the capture file lost and its failures since last seen.
    void noteCapture(Progress& progress);
    void report(Progress& progress);
    // Saves what is pending and gives the run's last figures.
    void finish(Progress& progress);

    ReceiveSink& sink_;
    CaptureFile& capture_;
    Clock& clock_;
    DcPool& pool_;
    ReceiveSettings settings_;
    std::atomic<int> slot_{-1};
    std::atomic<std::uint64_t> rejoins_{0};
    MulticastOptions multicast_;
    std::vector<IpAddress> groups_;
    IpAddress source_;
    int buildError_ = 0;
    std::uint64_t limit_ = 0;
    std::uint64_t intervalMs_ = RunDefaults::kIntervalMs;
    std::uint64_t outageMs_ = RunDefaults::kOutageMs;
    std::function<std::unique_ptr<BatchReceiver>()> makeReceiver_;
    ReceiveReport totals_;
    ReceiveInterval lastInterval_;
    OutageSummary outages_;
};

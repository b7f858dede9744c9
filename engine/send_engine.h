#pragma once

#include "channel/batch_send.h"
#include "channel/dc_channel.h"
#include "core/send_events.h"
#include "core/settings.h"

#include "core/ip_address.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Clock;
class DcPool;

// One sender run, on the worker thread: streams numbered test datagrams to
// the group from send.txt beside the executable (zeros without it), paces
// towards the target speed, and reports through the sink, also what each
// interval sent. While the pacing leaves no pause between datagrams, those up
// to the pacing rule's next check go to the kernel in one call. run() returns
// when the sink stops running, the attempt limit (100 unless set) is reached
// by failed attempts in a row to send one datagram, or send.txt turns out
// empty or unreadable; it always releases its slot and restores the buttons.
//
// A run of several groups sends each group its own stream, numbered from 0
// at the settings' speed, so that the total is the groups times that speed:
// the datagrams go to the groups in turn from one socket that joins none of
// them, the run's n-th datagram to group n mod groups with sequence
// n / groups.
class SendEngine {
public:
    static constexpr int kSendAttempts = 100;
    // Between two attempts, so that a link down for less than a second is
    // ridden out.
    static constexpr int kRetrySpacingMs = 10;

    SendEngine(SendSink& sink, Clock& clock, DcPool& pool, SendSettings settings);
    virtual ~SendEngine() = default;
    SendEngine(const SendEngine&) = delete;
    SendEngine& operator=(const SendEngine&) = delete;

    void run();

    // Payload source; defaults to send.txt in the executable's directory.
    void setSourcePath(std::string path) { sourcePath_ = std::move(path); }
    // Interface and TTL of the channel; the system's interface and TTL 20 unless set.
    void setMulticastOptions(const MulticastOptions& options) { multicast_ = options; }
    // The groups of the run, all of one family, at the settings' port; empty
    // (as unless set): the settings' group alone.
    void setGroups(std::vector<IpAddress> groups) { groups_ = std::move(groups); }
    // The run ends after this many datagrams in all; 0 sends until the sink stops.
    void setDatagramLimit(std::uint64_t limit) { limit_ = limit; }
    // The path a run's batches start from: the fastest the kernel takes
    // unless set.
    void setFastestPath(BatchSender::Path path) { fastest_ = path; }
    // Failed attempts in a row to send one datagram that end the run; 0
    // tries until the sink stops, however long sending is down.
    void setAttemptLimit(int limit) { attemptLimit_ = limit; }
    // The length of the intervals the sink is shown, in ms of the clock
    // (0 counts as 1); 1000 unless set.
    void setIntervalMs(std::uint64_t ms) { intervalMs_ = ms == 0 ? 1 : ms; }
    // When sending resumes after an outage, and when the clock shows that
    // the run stood still (the process stopped, or starved) for more than
    // kPausePeriods of the pacing's checks at the target (and kMinPauseMs),
    // the pacing starts afresh from that moment, as at the start, rather
    // than make up for what the gap did not send. Off unless set: the pace
    // is then the average since the start.
    void setPaceRestarts(bool on) { paceRestarts_ = on; }
    // Whether each payload starts with its send time (SendStamp), the
    // source's bytes after it; payloads shorter than the stamp stay as they are.
    void setTimestamps(bool on) { timestamps_ = on; }
    static constexpr std::uint64_t kPausePeriods = 3;
    // Below this, a late reading is the scheduler's delay, not a pause.
    static constexpr std::uint64_t kMinPauseMs = 100;

    // What the last run sent, headers included; read after run() returns.
    std::uint64_t datagramsSent() const { return datagramsSent_; }
    std::int64_t bytesSent() const { return bytesSent_; }
    // The path the last run's batches ended on; Single when it sent none.
    BatchSender::Path pathTaken() const { return pathTaken_; }

protected:
    // One attempt to send count datagrams of length bytes, lying back to
    // back from first, on the slot's channel; tests override it to fail. How
    // many went out, from the first; 0 or less when none did. The first goes
    // to group group of groups() (the settings' group when there are none),
    // each after it to the next in turn.
    virtual int sendDatagrams(int slot, const unsigned char* first, int length, int count,
                              std::size_t group);

    const std::vector<IpAddress>& groups() const { return groups_; }

private:
    // Ends a run that never started or cannot go on: the status with the
    // error lamp, then Start again.
    void end(const SendStatus& status);
    // Sends count datagrams, each after up to the attempt limit's attempts
    // 10 ms apart; reports every failed attempt, and when sending went down
    // and came back, then notes when it came back. The datagrams sent.
    int sendRetrying(int slot, const unsigned char* first, int length, int count,
                     std::size_t group);
    // The groups the run sends to in turn: 1 for the settings' group alone.
    std::uint64_t groupCount() const { return groups_.empty() ? 1 : groups_.size(); }

    // The run's intervals lie on a grid from its start. Each closes at the
    // first reading of the clock at or past its grid point, so that the
    // clock is read for them only when the pauses since the last reading
    // may have reached that point; the next starts where it closed.
    void startIntervals(std::uint64_t nowMs);
    bool intervalMayBeOver() const { return expectedMs_ >= closeAtMs_; }
    // A reading of the clock: shows the interval to the sink when it is over.
    void reached(std::uint64_t nowMs);
    // Shows the last interval, unless the run ended where it began and
    // sent nothing in it.
    void finishIntervals();
    // Shows the interval in progress as closed at nowMs and starts the next.
    void closeInterval(std::uint64_t nowMs);

    SendSink& sink_;
    Clock& clock_;
    DcPool& pool_;
    SendSettings settings_;
    std::vector<IpAddress> groups_;
    std::string sourcePath_;
    MulticastOptions multicast_;
    std::uint64_t limit_ = 0;
    bool paceRestarts_ = false;
    bool timestamps_ = false;
    std::optional<std::uint64_t> resumedAtMs_;   // of the last sendRetrying
    int attemptLimit_ = kSendAttempts;
    BatchSender::Path fastest_ = BatchSender::Path::Segmented;
    BatchSender::Path pathTaken_ = BatchSender::Path::Single;
    std::unique_ptr<BatchSender> batch_;   // the run's, while it runs
    std::uint64_t datagramsSent_ = 0;
    std::int64_t bytesSent_ = 0;
    std::uint64_t intervalMs_ = RunDefaults::kIntervalMs;
    std::uint64_t runStartMs_ = 0;
    std::uint64_t closeAtMs_ = 0;
    std::uint64_t expectedMs_ = 0;   // the last reading plus the pauses since
    SendInterval interval_;          // the one in progress, counted so far
};

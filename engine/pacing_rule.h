#pragma once

#include <cstdint>

// The sender's pacing: a pause after every successful datagram, adjusted every
// 30 datagrams by comparing the average speed since the start with the target.
// Lowering is twice as fast as raising, and the average may exceed the target
// by 1 % before the sender slows down. The first pause is the one the target
// implies for one datagram, so that large datagrams do not start far above
// it. A restart measures afresh from its moment, as the start does. Pure: the
// caller supplies the times.
class PacingRule {
public:
    static constexpr int kEvaluateEvery = 30;
    static constexpr int kMinInitialSleepMs = 1;
    static constexpr int kLowerStepMs = 2;
    static constexpr int kRaiseStepMs = 1;
    static constexpr double kAllowance = 1.01;

    // target in bytes per millisecond; startTick is the start of the
    // measurement, moved only by restart(); datagramBytes is the size of each
    // datagram, headers included.
    PacingRule(std::int64_t targetBytesPerMs, std::uint64_t startTick, std::int64_t datagramBytes);

    // datagramBytes / target ms (a target below 1 counts as 1), at least 1.
    static int initialSleepMs(std::int64_t targetBytesPerMs, std::int64_t datagramBytes);

    // Counts one successful datagram of the given bytes. True when this
    // datagram is due an evaluation (every 30th).
    bool recordSend(std::int64_t bytes);

    // Compares the average since the start with the target at tick now and
    // adjusts the pause. False, with nothing changed, when no time has passed.
    bool evaluate(std::uint64_t now);

    // Measures afresh from tick now, with the first pause again, so that
    // time in which nothing could be sent is not made up for. The datagrams
    // and bytes sent so far stay counted.
    void restart(std::uint64_t now);

    // The pause after each datagram; never below 0.
    int sleepMs() const { return sleepMs_; }

    // Datagrams sent so far; the next datagram's sequence number.
    std::uint64_t seq() const { return seq_; }

    // Bytes sent so far, headers included.
    std::int64_t total() const { return total_; }

    // kbit/s of the last successful evaluation: (bytes / elapsed) * 8 since
    // the start (or the latest restart) in integer arithmetic.
    std::int64_t rateKbps() const { return rateKbps_; }

private:
    std::int64_t target_ = 0;
    std::uint64_t startTick_ = 0;
    int initialSleepMs_ = kMinInitialSleepMs;
    int sleepMs_ = kMinInitialSleepMs;
    std::uint64_t seq_ = 0;
    std::int64_t total_ = 0;
    std::int64_t measured_ = 0;   // bytes since startTick_
    std::int64_t rateKbps_ = 0;
};

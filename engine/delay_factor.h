#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// RFC 4445's delay factor of one sender's datagrams over one span: a
// virtual buffer that each datagram fills with its bytes as it arrives and
// that drains at the rate the span measured, its bytes after the first
// datagram over the time from the first arrival to the last; the factor is
// the buffer's highest (just after an arrival) less its lowest (just before
// one), over that rate.
//
// The rate is known only at the span's end, so the datagrams are kept as the
// two convex hulls of the points (arrival time, bytes so far) that the
// highest and lowest fill can lie on, whatever the rate: for a stream with
// any regular pacing a handful of points each, whatever its speed. Each
// datagram costs a comparison or two; datagrams that share an arrival time
// (a coalesced receive) are one point.
class DelayFactor {
public:
    // The most points a hull keeps; beyond it every second inner point goes,
    // which can only lower the factor.
    static constexpr std::size_t kMaxPoints = 256;

    // A datagram of bytes that arrived at ns; a time before the latest
    // counts as the latest (another socket's receive, read later).
    void take(std::int64_t ns, std::uint64_t bytes);
    // The delay factor in ns of the datagrams taken; none until two arrived
    // at different times.
    std::optional<std::uint64_t> factorNs() const;
    // Starts a new span.
    void clear();

private:
    // Relative to the span's first arrival.
    struct Point {
        std::int64_t ns = 0;
        std::uint64_t bytes = 0;
    };

    // Adds at to a hull; upper: the points above (the fill after an
    // arrival), else those below (the fill before it).
    static void add(std::vector<Point>& hull, Point at, bool upper);

    std::int64_t firstNs_ = 0;
    std::int64_t latestNs_ = 0;   // relative
    std::uint64_t firstBytes_ = 0;
    std::uint64_t bytes_ = 0;   // since the first, its own included
    bool any_ = false;
    std::vector<Point> upper_;   // arrival times and the bytes after each
    std::vector<Point> lower_;   // ... and the bytes before each
};

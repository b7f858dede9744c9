#pragma once

#include "core/interval_figures.h"
#include "core/receive_events.h"
#include "report/figure_text.h"

#include <chrono>
#include <string>
#include <vector>

// kestil-cli's lines over time: one per interval, one per outage, in the
// human form and as JSON fields. Every JSON object
// names its group: the run's one group, or in a run of several, a group or
// "all" for the totals.

// The human form names at most this many groups, or new senders, in an
// interval's lines.
constexpr std::size_t kGroupsNamed = 8;
// The columns a human line's text fits in after its time stamp, so that the
// whole line fits 80.
constexpr std::size_t kTextWidth = 66;

// "512.0 kbit/s  lost 0  total 1000, lost 3 (0.30%)" for one interval: its
// speed and losses, and the datagrams and losses since the start. Lines
// before it name each sender whose first datagram came in the interval
// ("from 10.0.0.1"); in a run of several groups, lines after it name those
// that are silent at its end, lost datagrams or ended an outage in it,
// worst first. One text, its lines separated by newlines.
std::string intervalLine(const ReceiveInterval& interval);
// The interval's figures, its totals (keys prefixed "total_") and those of
// each sender ("senders": an array).
std::vector<JsonField> intervalFields(const ReceiveInterval& interval);
// One group's figures in the interval, and since the start.
std::vector<JsonField> groupFields(const ReceiveInterval& interval, const GroupFigures& group);
// The interval's JSON objects: a run of one group has one; a run of several
// one per group in the run's order, then the totals.
std::vector<std::vector<JsonField>> intervalObjects(const ReceiveInterval& interval);

// The groups worst first, by their figures in the interval or since the
// start: silent at the interval's end (since the start: none arrived), then
// most lost, then most outages; ties in the run's order.
std::vector<const GroupFigures*> worstFirst(const std::vector<GroupFigures>& groups,
                                            bool inInterval);

// A group's figures for the summary of a run of several.
std::string groupSummaryLine(const GroupFigures& group);
std::vector<JsonField> groupSummaryFields(const GroupFigures& group);

// "outage: 10.0.0.1 silent 3.012 s, lost 187", to be printed when the
// outage ended; the outage of a group in a run of several names the group
// ("outage: group 239.1.1.1 silent ..."), its sender being in the JSON.
std::string outageLine(const Outage& outage, std::chrono::system_clock::time_point endedAt,
                       bool ofGroup = false);
std::vector<JsonField> outageFields(const Outage& outage,
                                    std::chrono::system_clock::time_point endedAt);

// How each sender's datagrams arrived in the interval, for --verbose: one
// line per sender that said anything ("10.0.0.1  ttl 19 (1 router from ttl
// 20)"), at most kGroupsNamed; none when no sender said anything.
std::vector<std::string> qualityLines(const ReceiveInterval& interval);

// "route: 10.0.0.1 ttl 19 -> 18 (2 routers from ttl 20)", printed as the
// first datagram with the new hop limit arrives.
std::string routeLine(const RouteChange& change);
std::vector<JsonField> routeFields(const RouteChange& change);

// The outages of the whole run, for the summary.
std::string outageSummaryText(const OutageSummary& outages);
std::vector<JsonField> outageSummaryFields(const OutageSummary& outages);

// The summary at the end of a run, from its statistics and its last
// interval: the datagrams with those lost and the speed since the start, to
// the millisecond; the sender, bytes, while saving the datagrams in the
// capture file, what this host dropped itself, the datagrams that reached
// the port without being sent to the group and the streams the sequence
// tracker evicted when there were any; the outages; and how each sender's
// datagrams arrived (a line each, at most kGroupsNamed; in JSON "senders").
std::string summaryText(const ReceiveReport& report, const ReceiveInterval& last, bool saving,
                        const OutageSummary& outages);
std::vector<JsonField> summaryFields(const ReceiveReport& report, const ReceiveInterval& last,
                                     bool saving, const OutageSummary& outages);

// Why a run broke --max-loss limit percent, or nothing when it did not: the
// loss since the start, and in a run of several groups each group that lost
// more than the limit, worst first (eight named at most).
std::string lossAboveLimitText(const ReceiveInterval& last, double limit);

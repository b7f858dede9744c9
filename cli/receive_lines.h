#pragma once

#include "cli/cli_output.h"
#include "core/interval_figures.h"

#include <chrono>
#include <string>
#include <vector>

// kestil-cli's lines over time: one per interval, one per outage, in the
// human form (the dialog's words) and as JSON fields.

// A sender as the receiver keeps it (address << 16 | port), dotted.
std::string senderText(std::uint64_t sender);

// Wall-clock time as RFC 3339 with milliseconds and the local offset, e.g.
// "2026-12-07T17:25:53.747+01:00", so that the lines of two hosts line up.
std::string rfc3339(std::chrono::system_clock::time_point at);

// A number with a fixed count of decimals, whatever the locale.
std::string decimalText(double value, int decimals = 3);
JsonField jsonDecimal(std::string_view key, double value, int decimals = 3);

// "接收速度 512.000  数据包 62 (丢包0, 0.00%)  总计 ..." for one interval.
std::string intervalLine(const ReceiveInterval& interval);
// The interval's figures, its totals (keys prefixed "total_") and those of
// each sender ("senders": an array), after "ts".
std::vector<JsonField> intervalFields(const ReceiveInterval& interval,
                                      std::chrono::system_clock::time_point closedAt);

// "outage: 10.0.0.1 silent from 17:25:53.747 for 3.012 s, 187 lost".
std::string outageLine(const Outage& outage, std::chrono::system_clock::time_point endedAt);
std::vector<JsonField> outageFields(const Outage& outage,
                                    std::chrono::system_clock::time_point endedAt);

// The outages of the whole run, for the summary.
std::string outageSummaryText(const OutageSummary& outages);
std::vector<JsonField> outageSummaryFields(const OutageSummary& outages);

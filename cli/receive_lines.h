#pragma once

#include "cli/cli_output.h"
#include "core/interval_figures.h"

#include <chrono>
#include <string>
#include <vector>

// kestil-cli's lines over time: one per interval, one per outage, in the
// human form (the dialog's words) and as JSON fields.

// "接收速度 512.000  数据包 62 (丢包0, 0.00%)  总计 ..." for one interval.
std::string intervalLine(const ReceiveInterval& interval);
// The interval's figures, its totals (keys prefixed "total_") and those of
// each sender ("senders": an array).
std::vector<JsonField> intervalFields(const ReceiveInterval& interval);

// "outage: 10.0.0.1 silent from 17:25:53.747 for 3.012 s, 187 lost".
std::string outageLine(const Outage& outage, std::chrono::system_clock::time_point endedAt);
std::vector<JsonField> outageFields(const Outage& outage,
                                    std::chrono::system_clock::time_point endedAt);

// The outages of the whole run, for the summary.
std::string outageSummaryText(const OutageSummary& outages);
std::vector<JsonField> outageSummaryFields(const OutageSummary& outages);

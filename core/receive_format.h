#pragma once

#include "core/receive_events.h"

#include <string>

// The receiver's four statistics texts, in the order of its dialog.
struct ReceiveTexts {
    std::string from;
    std::string bytes;
    std::string rate;
    std::string packets;   // "count (丢包lost)"
};

// A sender as the receiver keeps it (address << 16 | port), as the dotted
// address the dialog shows.
std::string senderText(std::uint64_t sender);

std::string receiveStatusText(const ReceiveStatus& status);
ReceiveTexts receiveReportTexts(const ReceiveReport& report);

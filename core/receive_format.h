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

// A sender's address as the dialog shows it: dotted for IPv4.
std::string senderText(const SocketAddress& sender);

// Empty for an event the status line does not show.
std::string receiveStatusText(const ReceiveStatus& status);
ReceiveTexts receiveReportTexts(const ReceiveReport& report);

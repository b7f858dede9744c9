#pragma once

#include "core/send_events.h"

#include <string>

// The sender's status line for each report and event.
std::string sendStatusText(const SendStatus& status);
std::string sendReportText(const SendReport& report);
// The command-line sender's words for an outage, e.g. "sending failed:
// Network is unreachable" and "sending resumed after 2.31 s".
std::string sendOutageText(const SendOutage& outage);

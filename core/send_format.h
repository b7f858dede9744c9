#pragma once

#include "core/send_events.h"

#include <string>

// The sender's status line for each report and event.
std::string sendStatusText(const SendStatus& status);
std::string sendReportText(const SendReport& report);

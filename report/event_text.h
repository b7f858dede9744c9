#pragma once

#include "core/receive_events.h"
#include "core/send_events.h"
#include "report/figure_text.h"

#include <string>
#include <string_view>
#include <vector>

// The engines' events in the words of the command-line programs: a name for
// JSON ("no-data"), the line's text, and the fields that JSON adds.
struct EventText {
    std::string_view name;
    std::string text;
    std::vector<JsonField> fields;
};

// The system's words for an errno, e.g. "No such file or directory".
std::string systemReason(int error);

// Why the file at path could not be opened, error being the errno of the
// attempt (0 when the system gave none): a symbolic link or anything but a
// regular file is said to be one, since such files are refused unopened.
std::string fileReason(const std::string& path, int error);

// "cannot open \"x/y.bin\": No such file or directory".
std::string cannotOpen(const std::string& path, int error);

// The sender's status, source being its payload file and destination its
// group and port ("224.1.1.1 port 9000").
EventText sendStatusEvent(const SendStatus& status, const std::string& source,
                          const std::string& destination);
// "sending failed: Network is unreachable", "sending resumed after 2.31 s".
EventText sendOutageEvent(const SendOutage& outage);

// The receiver's status, port being the run's and capture its file (empty
// when it saves nothing). A channel that fails to build reads the same at
// every attempt.
EventText receiveStatusEvent(const ReceiveStatus& status, int port, const std::string& capture);

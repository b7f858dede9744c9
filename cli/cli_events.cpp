#include "cli/cli_events.h"

#include "core/send_format.h"

#include <sys/stat.h>

#include <system_error>

std::string systemReason(int error)
{
    return std::generic_category().message(error);
}

std::string fileReason(const std::string& path, int error)
{
    struct stat named {};
    if (::lstat(path.c_str(), &named) == 0) {
        if (S_ISLNK(named.st_mode))
            return "it is a symbolic link";
        if (S_ISDIR(named.st_mode))
            return systemReason(EISDIR);
        if (!S_ISREG(named.st_mode))
            return "it is not a regular file";
    }
    return error != 0 ? systemReason(error) : "it is not a regular file";
}

std::string cannotOpen(const std::string& path, int error)
{
    return "cannot open \"" + path + "\": " + fileReason(path, error);
}

CliEvent sendStatusEvent(const SendStatus& status, const std::string& source,
                         const std::string& destination)
{
    switch (status.kind) {
    case SendStatus::BuildFailed:
        return {"start-failed",
                "cannot send to " + destination + ": " +
                    (status.error != 0 ? systemReason(status.error) : "no free channel"),
                {}};
    case SendStatus::SendFailed:
        return {"send-attempt-failed",
                "sending failed, attempt " + std::to_string(status.attempt),
                {jsonNumber("attempt", static_cast<std::int64_t>(status.attempt))}};
    case SendStatus::EmptySource:
        return {"source-empty", "source \"" + source + "\" is empty", {jsonText("file", source)}};
    case SendStatus::UnreadableSource:
        return {"source-unreadable", cannotOpen(source, status.error), {jsonText("file", source)}};
    }
    return {};
}

CliEvent sendOutageEvent(const SendOutage& outage)
{
    if (outage.kind == SendOutage::Down)
        return {
            "send-failed", sendOutageText(outage), {jsonText("error", systemReason(outage.error))}};
    return {"send-resumed",
            sendOutageText(outage),
            {jsonDecimal("seconds", static_cast<double>(outage.downMs) / 1000)}};
}

CliEvent receiveStatusEvent(const ReceiveStatus& status, int port, const std::string& capture)
{
    switch (status.kind) {
    case ReceiveStatus::NoSlot: return {"start-failed", "cannot receive: no free channel", {}};
    case ReceiveStatus::BuildFailed:
        return {"start-failed",
                "cannot receive on port " + std::to_string(port) + ": " +
                    systemReason(status.error),
                {jsonText("error", systemReason(status.error))}};
    case ReceiveStatus::NoData: return {"no-data", "no datagrams received", {}};
    case ReceiveStatus::SaveFailed:
        return {"save-failed",
                "cannot write to \"" + capture + "\"" +
                    (status.error != 0 ? ": " + systemReason(status.error) : std::string()),
                {jsonText("file", capture)}};
    case ReceiveStatus::CaptureGone:
        return {"capture-gone",
                "\"" + capture + "\" was deleted or replaced: saving stopped",
                {jsonText("file", capture)}};
    case ReceiveStatus::Overflow:
        return {"overflow",
                "receive buffer overflowed: " + std::to_string(status.overflowed) +
                    " datagrams dropped by this host",
                {jsonNumber("overflowed", status.overflowed)}};
    }
    return {};
}

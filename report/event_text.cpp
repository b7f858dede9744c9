#include "report/event_text.h"

#include "report/messages.h"

#include <sys/stat.h>

#include <cstdio>
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
            return tr("it is a symbolic link");
        if (S_ISDIR(named.st_mode))
            return systemReason(EISDIR);
        if (!S_ISREG(named.st_mode))
            return tr("it is not a regular file");
    }
    return error != 0 ? systemReason(error) : tr("it is not a regular file");
}

std::string cannotOpen(const std::string& path, int error)
{
    return say("cannot open \"{1}\": {2}", {path, fileReason(path, error)});
}

EventText sendStatusEvent(const SendStatus& status, const std::string& source,
                          const std::string& destination)
{
    switch (status.kind) {
    case SendStatus::BuildFailed:
        return {"start-failed",
                say("cannot send to {1}: {2}",
                    {destination,
                     status.error != 0 ? systemReason(status.error) : tr("no free channel")}),
                {}};
    case SendStatus::SendFailed:
        return {"send-attempt-failed",
                say("sending failed, attempt {1}", {std::to_string(status.attempt)}),
                {jsonNumber("attempt", static_cast<std::int64_t>(status.attempt))}};
    case SendStatus::EmptySource:
        return {
            "source-empty", say("source \"{1}\" is empty", {source}), {jsonText("file", source)}};
    case SendStatus::UnreadableSource:
        return {"source-unreadable", cannotOpen(source, status.error), {jsonText("file", source)}};
    }
    return {};
}

EventText sendOutageEvent(const SendOutage& outage)
{
    if (outage.kind == SendOutage::Down)
        return {"send-failed",
                say("sending failed: {1}", {systemReason(outage.error)}),
                {jsonText("error", systemReason(outage.error))}};
    // Hundredths cut off, not rounded: never longer than it was.
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%llu.%02llu",
                  static_cast<unsigned long long>(outage.downMs / 1000),
                  static_cast<unsigned long long>(outage.downMs % 1000 / 10));
    return {"send-resumed",
            say("sending resumed after {1} s", {seconds}),
            {jsonDecimal("seconds", static_cast<double>(outage.downMs) / 1000)}};
}

EventText receiveStatusEvent(const ReceiveStatus& status, int port, const std::string& capture)
{
    switch (status.kind) {
    case ReceiveStatus::NoSlot: return {"start-failed", tr("cannot receive: no free channel"), {}};
    case ReceiveStatus::BuildFailed:
        return {"start-failed",
                say("cannot receive on port {1}: {2}",
                    {std::to_string(port), systemReason(status.error)}),
                {jsonText("error", systemReason(status.error))}};
    case ReceiveStatus::NoData: return {"no-data", tr("no datagrams received"), {}};
    case ReceiveStatus::SaveFailed:
        return {"save-failed",
                status.error != 0
                    ? say("cannot write to \"{1}\": {2}", {capture, systemReason(status.error)})
                    : say("cannot write to \"{1}\"", {capture}),
                {jsonText("file", capture)}};
    case ReceiveStatus::CaptureGone:
        return {"capture-gone",
                say("\"{1}\" was deleted or replaced: saving stopped", {capture}),
                {jsonText("file", capture)}};
    case ReceiveStatus::JoinFailed: {
        const std::string group = status.group.text();
        std::vector<JsonField> fields{
            jsonText("group", group),
            jsonNumber("groups", static_cast<std::uint64_t>(status.groups)),
            jsonText("error", systemReason(status.error))};
        return {"join-failed",
                status.groups > 1
                    ? say("cannot join {1} and {2} more groups again: {3}",
                          {group, std::to_string(status.groups - 1), systemReason(status.error)})
                    : say("cannot join {1} again: {2}", {group, systemReason(status.error)}),
                std::move(fields)};
    }
    case ReceiveStatus::Overflow:
        return {"overflow",
                say("receive buffer overflowed: {1} datagrams dropped by this host",
                    {std::to_string(status.overflowed)}),
                {jsonNumber("overflowed", status.overflowed)}};
    }
    return {};
}

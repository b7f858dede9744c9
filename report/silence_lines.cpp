#include "report/silence_lines.h"

#include "core/receive_format.h"
#include "report/messages.h"

namespace {

std::string seconds(std::uint64_t ms)
{
    return std::to_string(ms / 1000);
}

std::string orUnknown(const std::string& text)
{
    return text.empty() ? "?" : text;
}

std::string groupsText(const std::vector<IpAddress>& groups)
{
    if (groups.size() == 1)
        return groups.front().text();
    return say("{1} groups {2} \u2026 {3}",
               {std::to_string(groups.size()), groups.front().text(), groups.back().text()});
}

}   // namespace

std::string_view silenceCauseName(SilenceCause::Kind kind)
{
    switch (kind) {
    case SilenceCause::NotDelivered: return "not-delivered";
    case SilenceCause::OtherPort: return "other-port";
    case SilenceCause::OtherInterface: return "other-interface";
    case SilenceCause::ReversePath: return "reverse-path";
    case SilenceCause::Firewall: return "firewall";
    case SilenceCause::HostDrops: return "host-drops";
    }
    return "not-delivered";
}

std::string silenceCauseText(const SilenceCause& cause, const IpAddress& silentGroup, int port)
{
    const std::string group =
        cause.kind == SilenceCause::NotDelivered
            ? (cause.groups > 1 ? say("{1} silent groups", {std::to_string(cause.groups)})
                                : silentGroup.text())
            : cause.seen.group.text();
    const std::string sender = senderText(cause.seen.sender);
    const std::string on = orUnknown(cause.seenOn);
    switch (cause.kind) {
    case SilenceCause::NotDelivered:
        return say("nothing of {1} reaches any link of this host: the network does not deliver it",
                   {group});
    case SilenceCause::OtherPort:
        return say("{1} reaches {2} from {3} for port {4}, not for port {5}: the stream goes to "
                   "another port",
                   {group, on, sender, std::to_string(cause.seen.port), std::to_string(port)});
    case SilenceCause::OtherInterface:
        return say("{1} from {2} reaches {3}, but was joined on {4}: join it on {3} (--interface)",
                   {group, sender, on, orUnknown(cause.joinedOn)});
    case SilenceCause::ReversePath:
        return cause.routeBack.empty()
                   ? say("{1} from {2} reaches {3}, but this host drops it: rp_filter is {4} on "
                         "{3} and there is no route back to {5}",
                         {group, sender, on, std::to_string(cause.reversePath),
                          cause.seen.sender.address.text()})
                   : say("{1} from {2} reaches {3}, but this host drops it: rp_filter is {4} on "
                         "{3} and the route back to {5} leaves by {6}",
                         {group, sender, on, std::to_string(cause.reversePath),
                          cause.seen.sender.address.text(), cause.routeBack});
    case SilenceCause::Firewall:
        return say("{1} from {2} reaches {3}, but this host drops it: the firewall filters input "
                   "({4})",
                   {group, sender, on, cause.firewall});
    case SilenceCause::HostDrops:
        return say("{1} from {2} reaches {3}, but this host drops it, for a reason not found",
                   {group, sender, on});
    }
    return {};
}

std::vector<JsonField> silenceCauseFields(const SilenceCause& cause, const IpAddress& silentGroup)
{
    std::vector<JsonField> fields{jsonText("cause", silenceCauseName(cause.kind))};
    if (cause.kind == SilenceCause::NotDelivered) {
        fields.push_back(jsonText("group", silentGroup.text()));
        fields.push_back(jsonNumber("groups", static_cast<std::uint64_t>(cause.groups)));
        return fields;
    }
    fields.push_back(jsonText("group", cause.seen.group.text()));
    fields.push_back(jsonText("sender", senderText(cause.seen.sender)));
    fields.push_back(jsonNumber("port", static_cast<std::uint64_t>(cause.seen.port)));
    fields.push_back(jsonText("interface", cause.seenOn));
    fields.push_back(jsonNumber("seen", cause.seenDatagrams));
    if (cause.kind == SilenceCause::OtherInterface)
        fields.push_back(jsonText("joined_interface", cause.joinedOn));
    if (cause.kind == SilenceCause::ReversePath) {
        fields.push_back(jsonNumber("rp_filter", static_cast<std::uint64_t>(cause.reversePath)));
        fields.push_back(cause.routeBack.empty() ? JsonField{"route_back", "null"}
                                                 : jsonText("route_back", cause.routeBack));
    }
    if (cause.kind == SilenceCause::Firewall)
        fields.push_back(jsonText("firewall", cause.firewall));
    return fields;
}

std::string queryVersionText(const IpAddress& querier, int version)
{
    return (querier.isV6() ? "MLDv" : "IGMPv") + std::to_string(version);
}

std::string querierHeardText(const QuerierHeard& heard, const std::string& interface,
                             const std::optional<IpAddress>& previous)
{
    const std::string version = queryVersionText(heard.querier, heard.version);
    if (previous)
        return say("querier changed: {1} on {2} ({3}), was {4}",
                   {heard.querier.text(), orUnknown(interface), version, previous->text()});
    return say("querier {1} heard on {2} ({3})",
               {heard.querier.text(), orUnknown(interface), version});
}

std::vector<JsonField> querierHeardFields(const QuerierHeard& heard, const std::string& interface,
                                          const std::optional<IpAddress>& previous)
{
    std::vector<JsonField> fields{
        jsonText("querier", heard.querier.text()),
        jsonText("version", queryVersionText(heard.querier, heard.version)),
        jsonText("interface", interface)};
    if (previous)
        fields.push_back(jsonText("previous", previous->text()));
    return fields;
}

std::string querierMissingText(std::uint64_t silentMs, std::uint64_t membershipMs)
{
    return say("no querier heard in the last {1} s: switches with IGMP snooping drop a membership "
               "after about {2} s without one",
               {seconds(silentMs), seconds(membershipMs)});
}

std::string querierNote(const std::optional<QuerierHeard>& heard, std::uint64_t nowMs,
                        std::uint64_t membershipMs)
{
    const std::uint64_t since = heard ? nowMs - std::min(nowMs, heard->atMs) : nowMs;
    if (since > membershipMs)
        return querierMissingText(since, membershipMs);
    if (!heard)
        return say("no querier heard in the last {1} s", {seconds(since)});
    const std::string version = queryVersionText(heard->querier, heard->version);
    return heard->intervalMs != 0
               ? say("querier {1} ({2}, every {3} s) last heard {4} s ago",
                     {heard->querier.text(), version,
                      fixedText(static_cast<double>(heard->intervalMs) / 1000, 1), seconds(since)})
               : say("querier {1} ({2}) last heard {3} s ago",
                     {heard->querier.text(), version, seconds(since)});
}

std::vector<JsonField> querierNoteFields(const std::optional<QuerierHeard>& heard,
                                         std::uint64_t nowMs)
{
    if (!heard)
        return {
            {"querier", "null"}, {"querier_last_heard_s", "null"}, {"querier_interval_s", "null"}};
    return {jsonText("querier", heard->querier.text()),
            jsonDecimal("querier_last_heard_s",
                        static_cast<double>(nowMs - std::min(nowMs, heard->atMs)) / 1000, 1),
            heard->intervalMs != 0 ? jsonDecimal("querier_interval_s",
                                                 static_cast<double>(heard->intervalMs) / 1000, 1)
                                   : JsonField{"querier_interval_s", "null"}};
}

std::string linkLookUnavailableText()
{
    return tr("to tell why nothing arrives, kestil-cli looks at the links, which needs "
              "CAP_NET_RAW (run it as root, or give it the capability: setcap cap_net_raw+ep)");
}

std::string joinedText(const std::vector<IpAddress>& groups, const std::string& interface,
                       const std::string& address)
{
    if (groups.empty())
        return {};
    return address.empty() ? say("joined {1} on {2}", {groupsText(groups), orUnknown(interface)})
                           : say("joined {1} on {2} ({3})",
                                 {groupsText(groups), orUnknown(interface), address});
}

std::string membershipMissingText(const std::vector<IpAddress>& missing, std::size_t groups,
                                  const std::string& interface)
{
    if (missing.empty())
        return {};
    if (groups == 1)
        return say("the kernel holds no membership of {1} on {2}",
                   {missing.front().text(), orUnknown(interface)});
    return say("the kernel holds no membership of {1} of the {2} groups on {3}, the first {4}",
               {std::to_string(missing.size()), std::to_string(groups), orUnknown(interface),
                missing.front().text()});
}

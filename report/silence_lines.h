#pragma once

#include "core/ip_address.h"
#include "core/silence_cause.h"
#include "report/figure_text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// kestil-cli's words for why nothing arrives: the cause of a silence, the
// querier of the links, and where the groups were joined.

// The cause's name in JSON: "not-delivered", "other-port", "other-interface",
// "reverse-path", "firewall" or "host-drops".
std::string_view silenceCauseName(SilenceCause::Kind kind);
// "224.1.1.1 reaches eth1, but was joined on eth0 ...": the group named is the
// one the datagrams were seen for, or the silent groups when none were; port
// is the run's.
std::string silenceCauseText(const SilenceCause& cause, const IpAddress& silentGroup, int port);
std::vector<JsonField> silenceCauseFields(const SilenceCause& cause, const IpAddress& silentGroup);

// "IGMPv3", "MLDv2".
std::string queryVersionText(const IpAddress& querier, int version);
// A querier heard for the first time, or in place of previous.
std::string querierHeardText(const QuerierHeard& heard, const std::string& interface,
                             const std::optional<IpAddress>& previous);
std::vector<JsonField> querierHeardFields(const QuerierHeard& heard, const std::string& interface,
                                          const std::optional<IpAddress>& previous);
// What outages and the summary say of the querier at nowMs: when one was
// last heard, or that none has been for longer than the group membership
// interval, after which switches with IGMP snooping let memberships go.
std::string querierNote(const std::optional<QuerierHeard>& heard, std::uint64_t nowMs,
                        std::uint64_t membershipMs);
std::vector<JsonField> querierNoteFields(const std::optional<QuerierHeard>& heard,
                                         std::uint64_t nowMs);
// No querier heard for longer than the membership interval: silentMs long.
std::string querierMissingText(std::uint64_t silentMs, std::uint64_t membershipMs);

// Said once when the look at the links cannot be made.
std::string linkLookUnavailableText();

// "joined 224.1.1.1 on eth0 (10.0.0.2)", or of many groups their count,
// first and last; interface empty for the system's choice not found.
std::string joinedText(const std::vector<IpAddress>& groups, const std::string& interface,
                       const std::string& address);
// The groups the kernel holds no membership of, of all the run's.
std::string membershipMissingText(const std::vector<IpAddress>& missing, std::size_t groups,
                                  const std::string& interface);

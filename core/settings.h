#pragma once

#include "core/ip_address.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Settings of a run, made once from the typed texts when the run starts, so
// that edits during a run affect only the next one. From then on the group and
// port travel as numbers.
template <class Settings>
struct Parsed {
    std::optional<Settings> settings;
    // The text shown instead of starting a run; empty when settings is set.
    std::string_view refusal;
};

// What both programs, the dialogs and the command-line tools alike, offer
// before anything is typed. The group and port match, so that a sender and a
// receiver started as they are find each other.
namespace RunDefaults {
inline constexpr std::string_view kGroup = "224.1.1.1";
inline constexpr int kPort = 9000;
inline constexpr int kSpeedKbps = 512;
inline constexpr int kPacketSize = 1024;   // payload bytes after the header
// The receiver dialog's capture file, relative to the folder it started in.
inline constexpr std::string_view kCaptureFile = "Recv.txt";
// The sender's payload file, beside its program.
inline constexpr std::string_view kSourceFile = "send.txt";
// How far multicast sent goes: the TTL (IPv4) or hop limit (IPv6).
inline constexpr int kTtl = 20;
// The receiver's figures come once per interval; a sender silent for longer
// than the outage threshold had an outage.
inline constexpr std::uint64_t kIntervalMs = 1000;
inline constexpr std::uint64_t kOutageMs = 1000;
}   // namespace RunDefaults

// A typed text without the blanks (spaces and tabs) around it.
std::string_view withoutBlanks(std::string_view text);

// Both programs read their texts the same strict way; blanks around a text
// are ignored, anything else that does not fit is refused:
//   group  a dotted quad of four decimal numbers 0-255 (no leading zeros,
//          which the system would read as octal) inside 224.0.0.0/4
//   port   1-65535, digits only
// Each of those texts alone, read as the settings read it: the value, or
// nothing when it is refused.
std::optional<int> parsePort(std::string_view text);
std::optional<int> parseSpeedKbps(std::string_view text);
std::optional<int> parsePacketSize(std::string_view text);

struct SendSettings {
    // Largest payload: with the 8-byte header it fills the largest UDP
    // datagram over IPv4 (65507 bytes).
    static constexpr int kMaxPacketSize = 65499;
    // Slowest speed: below it the target is 0 bytes per millisecond.
    static constexpr int kMinSpeedKbps = 8;

    IpAddress group;
    int port = 0;
    int speedKbps = 0;
    int packetSize = 0;   // payload bytes after the 8-byte header

    // Besides group and port: a speed in whole kbit/s of at least 8, and a
    // packet size of 0-65499, both digits only.
    static Parsed<SendSettings> parse(std::string_view group, std::string_view port,
                                      std::string_view speed, std::string_view packetSize);
};

struct ReceiveSettings {
    IpAddress group;
    int port = 0;

    static Parsed<ReceiveSettings> parse(std::string_view group, std::string_view port);
};

#pragma once

#include <optional>
#include <string>
#include <string_view>

// Settings of a run, made once from the typed texts when the run starts, so
// that edits during a run affect only the next one.
template <class Settings>
struct Parsed {
    std::optional<Settings> settings;
    // The text shown instead of starting a run; empty when settings is set.
    std::string_view refusal;
};

struct SendSettings {
    // Longest group text a channel takes.
    static constexpr std::size_t kMaxGroupLength = 19;
    // Largest packet size accepted; far beyond what any network carries, so
    // only nonsense is refused before the run.
    static constexpr int kMaxPacketSize = 16 * 1024 * 1024;

    std::string group;
    int port = 0;
    int speedKbps = 0;
    int packetSize = 0;   // payload bytes after the 8-byte header

    // Numbers are read as atoi reads them (leading blanks, a sign, digits up
    // to the first other character, 0 without digits), clamped to int.
    static Parsed<SendSettings> parse(std::string_view group, std::string_view port,
                                      std::string_view speed, std::string_view packetSize);
};

struct ReceiveSettings {
    std::string group;
    int port = 0;

    // Never refuses: an unusable group shows when the channel is built.
    static Parsed<ReceiveSettings> parse(std::string_view group, std::string_view port);
};

#pragma once

#include "core/settings.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The command line of dovrin-cli and kestil-cli, each value read and checked
// as it is typed. The groups stay text: they are read together, for a group
// list is refused as a whole (two families, a group twice).
struct CliOptions {
    enum Program { Sender, Receiver };

    // Each --group as typed, in order ("ADDR" or "ADDR+N"); the default group
    // when none is given.
    std::vector<std::string> groups{std::string(RunDefaults::kGroup)};
    std::string ssmSource;   // receiver only; empty: any source
    int port = RunDefaults::kPort;
    int speedKbps = RunDefaults::kSpeedKbps;     // sender only
    int packetSize = RunDefaults::kPacketSize;   // sender only
    std::string source;            // sender only; empty: send.txt beside the executable
    std::string save;              // receiver only; empty: no capture
    std::uint64_t count = 0;       // 0: no limit
    double durationSeconds = 0;    // 0: no limit; at most kMaxDurationSeconds
    std::string interface;         // empty: the system's choice
    int ttl = RunDefaults::kTtl;   // sender only

    double intervalSeconds =
        RunDefaults::kIntervalMs / 1000.0;   // kMinIntervalSeconds to kMaxIntervalSeconds
    std::optional<double> maxLossPercent;    // receiver only; 0 to 100
    std::string plot;                        // receiver only; empty: no picture
    std::string metrics;                     // receiver only; empty: no metrics file
    // Receiver only: where to serve the metrics over HTTP; port 0: nowhere.
    // An empty address is every address of the host. The default port lies
    // outside the range of the public list of exporters' ports, which is
    // full, and is no service's that the system knows (/etc/services).
    static constexpr int kMetricsPort = 19100;
    std::string metricsAddress;
    int metricsPort = 0;

    bool json = false;
    bool quiet = false;
    bool verbose = false;      // receiver only: how each sender's datagrams arrived
    bool live = false;         // receiver only: a full-screen table of the groups
    bool timestamps = false;   // sender only: each payload starts with its send time
    bool help = false;
    bool version = false;

    // The longest --duration: half of what the steady clock counts, so that
    // the deadline, counted from the clock's reading at the start, always
    // fits in it (about 146 years).
    static constexpr double kMaxDurationSeconds = 4'611'686'018;
    static constexpr double kMinIntervalSeconds = 0.1;
    static constexpr double kMaxIntervalSeconds = 3600;
};

// One option of either program, declared once: its names, the name of its
// value, its help and how its value is read.
struct CliOption {
    enum Applies { Both, SenderOnly, ReceiverOnly };

    std::string_view name{};    // the long name, without its dashes
    char letter = 0;            // the short name; 0 for none
    std::string_view value{};   // the value's name in the help; empty for a flag
    Applies applies = Both;
    // Its lines in the help, apart by '\n'; "{port}" and the like stand for
    // the defaults. The receiver's own lines where they differ, else empty.
    std::string_view help{};
    std::string_view receiverHelp{};
    // Reads the value as typed (nothing for a flag) into the options: the
    // refusal, in the user's language, or empty when the value is taken.
    std::string (*set)(CliOptions& options, std::string_view value) = nullptr;

    bool appliesTo(CliOptions::Program program) const;
    // As the help and the manual page name it: "-g, --group ADDR[+N]",
    // "--plot FILE.svg", "-j, --json".
    std::string synopsis() const;
};

// Every option of both programs, in the order of their help.
std::span<const CliOption> cliOptionList();

struct CliParse {
    std::optional<CliOptions> options;
    std::string error;     // one line, set when options is not
    bool json = false;     // --json came before what was refused
    bool syntax = false;   // the refusal is of the command line's form, not of a value
};

// Reads the arguments after the program name as getopt_long does: "-p N",
// "-pN", "--port N", "--port=N", any unambiguous beginning of a long name,
// flags together ("-jq"), and "--" ending the options. Refuses anything
// else, and a value out of its range, in a line that shows what was typed.
// May be called again and again.
CliParse parseCliOptions(CliOptions::Program program, const std::vector<std::string_view>& args);

// The --help text of each program, in the words of its manual page.
std::string_view cliHelpText(CliOptions::Program program);

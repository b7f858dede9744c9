#pragma once

#include "core/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The command line of dovrin-cli and kestil-cli. Groups, port, speed and size
// stay text here: the run settings' own parser reads and refuses them, as it
// does for the dialogs.
struct CliOptions {
    enum Program { Sender, Receiver };

    // Each --group as typed, in order ("ADDR" or "ADDR+N"); the default group
    // when none is given.
    std::vector<std::string> groups{std::string(RunDefaults::kGroup)};
    std::string ssmSource;   // receiver only; empty: any source
    std::string port = std::to_string(RunDefaults::kPort);
    std::string speed = std::to_string(RunDefaults::kSpeedKbps);   // sender only
    std::string size = std::to_string(RunDefaults::kPacketSize);   // sender only
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

    bool json = false;
    bool quiet = false;
    bool help = false;
    bool version = false;

    // The longest --duration: half of what the steady clock counts, so that
    // the deadline, counted from the clock's reading at the start, always
    // fits in it (about 146 years).
    static constexpr double kMaxDurationSeconds = 4'611'686'018;
    static constexpr double kMinIntervalSeconds = 0.1;
    static constexpr double kMaxIntervalSeconds = 3600;
};

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

// What both programs do first: read the arguments, and answer bad usage (one
// line on stderr, exit code 2), --help and --version (exit code 0) at once.
// The options to run with, or else the exit code to end with.
struct CliStart {
    std::optional<CliOptions> options;
    int exitCode = 0;
};
CliStart startCli(CliOptions::Program program, const char* name, int argc, char* argv[]);

// A setting the run settings refused: one line on stderr (a JSON object
// under --json); exit code 2.
int refuseSetting(const char* name, const CliOptions& options, std::string_view refusal);

#pragma once

#include "channel/dc_channel.h"
#include "cli/cli_options.h"
#include "core/ip_address.h"

#include <optional>
#include <string_view>
#include <vector>

// What both headless programs start from: the options, the groups and the
// receiver's source read from them, and the channel options. Else the exit
// code to end with at once: 0 after --help or --version, 2 after bad usage
// or a refused setting, said in one line on stderr (a JSON object under
// --json).
struct CliStart {
    std::optional<CliOptions> options;
    std::vector<IpAddress> groups;
    IpAddress ssmSource;          // family None: any source
    MulticastOptions multicast;   // the interface and the TTL
    int exitCode = 0;
};

// Reads the command line main() was given and answers what needs no run.
CliStart startCli(CliOptions::Program program, const char* name, int argc, char* argv[]);

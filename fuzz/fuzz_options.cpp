// Command lines as anyone may type them, through both programs' option
// parser: a refusal with its reason, or options whose values are in range.
//
// Input: the arguments, separated by NUL bytes.

#include "cli/cli_options.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> args;
    while (!text.empty()) {
        const std::size_t end = text.find('\0');
        args.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    for (const CliOptions::Program program : {CliOptions::Sender, CliOptions::Receiver}) {
        const CliParse parsed = parseCliOptions(program, args);
        FUZZ_CHECK(parsed.options.has_value() == parsed.error.empty());
        FUZZ_CHECK(parsed.error.find('\n') == std::string::npos);
        if (!parsed.options)
            continue;
        const CliOptions& o = *parsed.options;
        FUZZ_CHECK(o.durationSeconds >= 0 && o.durationSeconds <= CliOptions::kMaxDurationSeconds);
        FUZZ_CHECK(o.intervalSeconds >= CliOptions::kMinIntervalSeconds &&
                   o.intervalSeconds <= CliOptions::kMaxIntervalSeconds);
        FUZZ_CHECK(!o.maxLossPercent || (*o.maxLossPercent >= 0 && *o.maxLossPercent <= 100));
        FUZZ_CHECK(o.ttl >= 0 && o.ttl <= 255);
        FUZZ_CHECK(o.port >= 1 && o.port <= 65535);
        FUZZ_CHECK(o.speedKbps >= SendSettings::kMinSpeedKbps);
        FUZZ_CHECK(o.packetSize >= 0 && o.packetSize <= SendSettings::kMaxPacketSize);
        FUZZ_CHECK(!o.groups.empty());
    }
    return 0;
}

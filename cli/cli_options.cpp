#include "cli/cli_options.h"

#include "channel/dc_channel.h"
#include "cli/cli_text.h"
#include "core/group_list.h"
#include "platform/version.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

static_assert(
    CliOptions::kMaxDurationSeconds <=
        std::chrono::duration<double>(std::chrono::steady_clock::duration::max()).count() / 2,
    "a deadline of the longest duration must fit in the steady clock");

namespace {

enum class Applies { Both, SenderOnly, ReceiverOnly };

struct KnownOption {
    std::string_view name;
    bool takesValue;
    Applies applies;
};

constexpr KnownOption kOptions[] = {
    {"--group", true, Applies::Both},
    {"--port", true, Applies::Both},
    {"--speed", true, Applies::SenderOnly},
    {"--size", true, Applies::SenderOnly},
    {"--source", true, Applies::SenderOnly},
    {"--save", true, Applies::ReceiverOnly},
    {"--count", true, Applies::Both},
    {"--duration", true, Applies::Both},
    {"--interface", true, Applies::Both},
    {"--ttl", true, Applies::SenderOnly},
    {"--interval", true, Applies::Both},
    {"--max-loss", true, Applies::ReceiverOnly},
    {"--plot", true, Applies::ReceiverOnly},
    {"--metrics", true, Applies::ReceiverOnly},
    {"--ssm-source", true, Applies::ReceiverOnly},
    {"--json", false, Applies::Both},
    {"--quiet", false, Applies::Both},
    {"--help", false, Applies::Both},
    {"--version", false, Applies::Both},
};

const KnownOption* findOption(CliOptions::Program program, std::string_view name)
{
    for (const KnownOption& known : kOptions) {
        if (known.name != name)
            continue;
        if (known.applies == Applies::SenderOnly && program != CliOptions::Sender)
            return nullptr;
        if (known.applies == Applies::ReceiverOnly && program != CliOptions::Receiver)
            return nullptr;
        return &known;
    }
    return nullptr;
}

// A plain decimal number (no "inf" or "nan").
bool parseNumber(std::string_view text, double& value)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

bool parseWhole(std::string_view text, std::uint64_t& value)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

// An interface is the name or one of the addresses of one of this host's interfaces.
bool interfaceExists(const std::string& interface)
{
    return interfaceIndex(interface).has_value();
}

std::string applyValue(CliOptions& options, std::string_view name, std::string_view value,
                       bool& groupGiven)
{
    const std::string text(value);
    if (name == "--group") {
        if (!groupGiven)
            options.groups.clear();
        groupGiven = true;
        options.groups.push_back(text);
    } else if (name == "--ssm-source") {
        if (text.empty())
            return "--ssm-source needs an address";
        options.ssmSource = text;
    } else if (name == "--port") {
        options.port = text;
    } else if (name == "--speed") {
        options.speed = text;
    } else if (name == "--size") {
        options.size = text;
    } else if (name == "--source") {
        if (text.empty())
            return "--source needs a file name";
        options.source = text;
    } else if (name == "--save") {
        if (text.empty())
            return "--save needs a file name";
        options.save = text;
    } else if (name == "--count") {
        if (!parseWhole(value, options.count) || options.count == 0)
            return "--count must be a whole number above 0, not '" + text + "'";
    } else if (name == "--duration") {
        double seconds = 0;
        if (!parseNumber(value, seconds) || seconds <= 0)
            return "--duration must be a number of seconds above 0, not '" + text + "'";
        if (seconds > CliOptions::kMaxDurationSeconds)
            return "--duration must be at most " +
                   std::to_string(static_cast<std::uint64_t>(CliOptions::kMaxDurationSeconds)) +
                   " seconds, not '" + text + "'";
        options.durationSeconds = seconds;
    } else if (name == "--interface") {
        if (text.empty() || text.size() >= MulticastOptions::kInterfaceSize ||
            !interfaceExists(text))
            return "--interface: no interface '" + text + "' on this host";
        options.interface = text;
    } else if (name == "--interval") {
        double seconds = 0;
        if (!parseNumber(value, seconds) || seconds < CliOptions::kMinIntervalSeconds ||
            seconds > CliOptions::kMaxIntervalSeconds)
            return "--interval must be a number of seconds from 0.1 to 3600, not '" + text + "'";
        options.intervalSeconds = seconds;
    } else if (name == "--max-loss") {
        double percent = 0;
        if (!parseNumber(value, percent) || percent < 0 || percent > 100)
            return "--max-loss must be a percentage from 0 to 100, not '" + text + "'";
        options.maxLossPercent = percent;
    } else if (name == "--plot") {
        if (text.empty())
            return "--plot needs a file name";
        options.plot = text;
    } else if (name == "--metrics") {
        if (text.empty())
            return "--metrics needs a file name";
        options.metrics = text;
    } else if (name == "--ttl") {
        std::uint64_t ttl = 0;
        if (!parseWhole(value, ttl) || ttl > 255)
            return "--ttl must be a whole number from 0 to 255, not '" + text + "'";
        options.ttl = static_cast<int>(ttl);
    }
    return {};
}

void applyFlag(CliOptions& options, std::string_view name)
{
    if (name == "--json")
        options.json = true;
    else if (name == "--quiet")
        options.quiet = true;
    else if (name == "--help")
        options.help = true;
    else if (name == "--version")
        options.version = true;
}

// text with each "{name}" of a default replaced by its value.
std::string withDefaults(std::string_view text)
{
    const std::pair<std::string_view, std::string> values[] = {
        {"{group}", std::string(RunDefaults::kGroup)},
        {"{port}", std::to_string(RunDefaults::kPort)},
        {"{speed}", std::to_string(RunDefaults::kSpeedKbps)},
        {"{size}", std::to_string(RunDefaults::kPacketSize)},
    };
    std::string out(text);
    for (const auto& [name, value] : values) {
        for (std::size_t at = out.find(name); at != std::string::npos;
             at = out.find(name, at + value.size()))
            out.replace(at, name.size(), value);
    }
    return out;
}

// The refusal as one line that shows what was typed: a control character in
// a typed value is written as \xNN, so that it can neither break the line
// nor reach the terminal as a command.
std::string printable(const std::string& text)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0xf];
    }
    return out;
}

CliParse parseArguments(CliOptions::Program program, const std::vector<std::string_view>& args)
{
    CliOptions options;
    bool groupGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> value;
        if (const auto equals = name.find('=');
            name.starts_with("--") && equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const KnownOption* known = findOption(program, name);
        if (known == nullptr) {
            if (name.starts_with("-"))
                return {std::nullopt, "unknown option '" + std::string(name) + "'"};
            return {std::nullopt, "unexpected argument '" + std::string(name) + "'"};
        }
        if (!known->takesValue) {
            if (value)
                return {std::nullopt, std::string(name) + " takes no value"};
            applyFlag(options, name);
            continue;
        }
        if (!value) {
            if (i + 1 == args.size())
                return {std::nullopt, std::string(name) + " needs a value"};
            value = args[++i];
        }
        if (std::string error = applyValue(options, name, *value, groupGiven); !error.empty())
            return {std::nullopt, std::move(error)};
    }
    return {std::move(options), {}};
}

}   // namespace

CliParse parseCliOptions(CliOptions::Program program, const std::vector<std::string_view>& args)
{
    CliParse parsed = parseArguments(program, args);
    parsed.error = printable(parsed.error);
    return parsed;
}

std::string_view cliHelpText(CliOptions::Program program)
{
    if (program == CliOptions::Sender) {
        static const std::string sender = withDefaults(R"(Usage: dovrin-cli [OPTION]...
Streams numbered test datagrams to an IP multicast group at a paced speed.

  --group ADDR[+N]    multicast group, IPv4 or IPv6 (default {group});
                      ADDR+N adds the N groups after ADDR; may be repeated,
                      each group then a stream of its own
  --port N            destination port (default {port})
  --speed KBITS       target speed in kbit/s (default {speed})
  --size BYTES        payload bytes per datagram (default {size})
  --source FILE       payload file (default send.txt beside the program)
  --count N           stop after N datagrams
  --duration SECONDS  stop after SECONDS seconds
  --interface IF      send on this interface (name or address)
  --ttl N             multicast TTL, 0 to 255 (default 20)
  --interval SECONDS  one line or JSON object per interval, 0.1 to 3600
                      (default 1)
  --json              JSON Lines on standard output
  --quiet             print only the final summary
  --help              show this help and exit
  --version           show the version and exit

Runs until --count or --duration is reached, or until SIGINT or SIGTERM,
riding out failed sends; says on standard error when sending failed and
when it resumed.
Exit status: 0 after a run, 1 when the run could not start or standard
output was closed, 2 for bad usage or a refused setting.
)");
        return sender;
    }
    static const std::string receiver = withDefaults(R"(Usage: kestil-cli [OPTION]...
Joins an IP multicast group and counts datagrams, bytes, speed and losses.

  --group ADDR[+N]    multicast group, IPv4 or IPv6 (default {group});
                      ADDR+N adds the N groups after ADDR; may be repeated
  --ssm-source ADDR   join source-specific: count only ADDR's datagrams
  --port N            port to receive on (default {port})
  --save FILE         append every payload to FILE (created when missing)
  --count N           stop after N datagrams
  --duration SECONDS  stop after SECONDS seconds
  --interface IF      join on this interface (name or address;
                      needed for IPv6 groups of link-local scope)
  --interval SECONDS  one line or JSON object per interval, 0.1 to 3600
                      (default 1)
  --max-loss PERCENT  exit 4 when the run's loss is above PERCENT
  --plot FILE.svg     write an SVG picture of the run at its end, and each
                      minute during it
  --metrics FILE      rewrite FILE each interval in the text exposition
                      format of a monitoring system's text file collector
  --json              JSON Lines on standard output
  --quiet             print only the final summary
  --help              show this help and exit
  --version           show the version and exit

Runs until --count or --duration is reached, or until SIGINT or SIGTERM,
then closes the capture and prints the final summary.
Exit status: 0 after a run, 1 when the run could not start or standard
output was closed, 2 for bad usage or a refused setting, 5 when the capture
failed (a write failed, or the file was deleted or replaced).
)");
    return receiver;
}

CliStart startCli(CliOptions::Program program, const char* name, int argc, char* argv[])
{
    setUpMessages();
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CliParse parsed = parseCliOptions(program, args);
    if (!parsed.options) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", name, parsed.error.c_str(), name);
        return {std::nullopt, 2};
    }
    if (parsed.options->help) {
        std::fputs(cliHelpText(program).data(), stdout);
        return {std::nullopt, 0};
    }
    if (parsed.options->version) {
        std::printf("%s %s\n", name, MCT_VERSION_TEXT);
        return {std::nullopt, 0};
    }
    return {parsed.options, 0};
}

int refuseSetting(const char* name, std::string_view refusal)
{
    std::fprintf(stderr, "%s: %.*s\n", name, static_cast<int>(refusal.size()), refusal.data());
    return 2;
}

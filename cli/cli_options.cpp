#include "cli/cli_options.h"

#include "channel/dc_channel.h"
#include "cli/cli_output.h"
#include "report/messages.h"
#include "core/group_list.h"
#include "platform/version.h"

#include <getopt.h>

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
    std::string_view name;   // the long name, without its dashes
    char letter;             // the short name; 0 for none
    bool takesValue;
    Applies applies;
};

constexpr KnownOption kOptions[] = {
    {"group", 'g', true, Applies::Both},
    {"port", 'p', true, Applies::Both},
    {"speed", 'b', true, Applies::SenderOnly},
    {"size", 'l', true, Applies::SenderOnly},
    {"source", 'f', true, Applies::SenderOnly},
    {"save", 'w', true, Applies::ReceiverOnly},
    {"count", 'c', true, Applies::Both},
    {"duration", 't', true, Applies::Both},
    {"interface", 'i', true, Applies::Both},
    {"ttl", 'T', true, Applies::SenderOnly},
    {"interval", 'r', true, Applies::Both},
    {"max-loss", 0, true, Applies::ReceiverOnly},
    {"plot", 0, true, Applies::ReceiverOnly},
    {"metrics", 0, true, Applies::ReceiverOnly},
    {"ssm-source", 'S', true, Applies::ReceiverOnly},
    {"json", 'j', false, Applies::Both},
    {"quiet", 'q', false, Applies::Both},
    {"help", 'h', false, Applies::Both},
    {"version", 'V', false, Applies::Both},
};

// What getopt_long returns for an option: its letter, or past every
// character for one without.
constexpr int kLongOnly = 0x100;

int codeOf(const KnownOption& known)
{
    return known.letter != 0 ? known.letter : kLongOnly + static_cast<int>(&known - kOptions);
}

bool appliesTo(const KnownOption& known, CliOptions::Program program)
{
    return known.applies == Applies::Both ||
           (known.applies == Applies::SenderOnly) == (program == CliOptions::Sender);
}

const KnownOption* optionOf(CliOptions::Program program, int code)
{
    for (const KnownOption& known : kOptions) {
        if (codeOf(known) == code && appliesTo(known, program))
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

// "port \"70000\" is not between 1 and 65535": what was refused, as typed
// ({1} in the message), and why, in the user's language.
std::string refused(const char* message, const std::string& text)
{
    return say(message, {text});
}

std::string applyValue(CliOptions& options, std::string_view name, std::string_view value,
                       bool& groupGiven)
{
    const std::string text(value);
    if (name == "group") {
        if (!groupGiven)
            options.groups.clear();
        groupGiven = true;
        options.groups.push_back(text);
    } else if (name == "ssm-source") {
        if (text.empty())
            return tr("--ssm-source needs an address");
        options.ssmSource = text;
    } else if (name == "port") {
        if (!parsePort(text))
            return refused("port \"{1}\" is not between 1 and 65535", text);
        options.port = text;
    } else if (name == "speed") {
        if (!parseSpeedKbps(text))
            return refused("speed \"{1}\" is not a whole number of kbit/s, at least 8", text);
        options.speed = text;
    } else if (name == "size") {
        if (!parsePacketSize(text))
            return refused("size \"{1}\" is not a whole number of bytes from 0 to 65499", text);
        options.size = text;
    } else if (name == "source") {
        if (text.empty())
            return tr("--source needs a file name");
        options.source = text;
    } else if (name == "save") {
        if (text.empty())
            return tr("--save needs a file name");
        options.save = text;
    } else if (name == "count") {
        if (!parseWhole(value, options.count) || options.count == 0)
            return refused("count \"{1}\" is not a whole number above 0", text);
    } else if (name == "duration") {
        double seconds = 0;
        if (!parseNumber(value, seconds) || seconds <= 0)
            return refused("duration \"{1}\" is not a number of seconds above 0", text);
        if (seconds > CliOptions::kMaxDurationSeconds)
            return say("duration \"{1}\" is longer than {2} seconds",
                       {text, std::to_string(
                                  static_cast<std::uint64_t>(CliOptions::kMaxDurationSeconds))});
        options.durationSeconds = seconds;
    } else if (name == "interface") {
        if (text.empty() || text.size() >= MulticastOptions::kInterfaceSize ||
            !interfaceExists(text))
            return refused(
                "interface \"{1}\" is neither the name nor an address of an interface of this host",
                text);
        options.interface = text;
    } else if (name == "interval") {
        double seconds = 0;
        if (!parseNumber(value, seconds) || seconds < CliOptions::kMinIntervalSeconds ||
            seconds > CliOptions::kMaxIntervalSeconds)
            return refused("interval \"{1}\" is not a number of seconds from 0.1 to 3600", text);
        options.intervalSeconds = seconds;
    } else if (name == "max-loss") {
        double percent = 0;
        if (!parseNumber(value, percent) || percent < 0 || percent > 100)
            return refused("max-loss \"{1}\" is not a percentage from 0 to 100", text);
        options.maxLossPercent = percent;
    } else if (name == "plot") {
        if (text.empty())
            return tr("--plot needs a file name");
        options.plot = text;
    } else if (name == "metrics") {
        if (text.empty())
            return tr("--metrics needs a file name");
        options.metrics = text;
    } else if (name == "ttl") {
        std::uint64_t ttl = 0;
        if (!parseWhole(value, ttl) || ttl > 255)
            return refused("ttl \"{1}\" is not a whole number from 0 to 255", text);
        options.ttl = static_cast<int>(ttl);
    }
    return {};
}

void applyFlag(CliOptions& options, std::string_view name)
{
    if (name == "json")
        options.json = true;
    else if (name == "quiet")
        options.quiet = true;
    else if (name == "help")
        options.help = true;
    else if (name == "version")
        options.version = true;
}

// The end of both programs' option lists, and the forms options take.
constexpr std::string_view kCommonHelp =
    R"(  -j, --json               JSON Lines on standard output, and each event
                           and error a JSON object on standard error
  -q, --quiet              print only the final summary
  -h, --help               show this help and exit
  -V, --version            show the version and exit

Long options may be shortened to any unambiguous beginning; their values
follow as "--port N" or "--port=N", a short option's as "-p N" or "-pN".
)";

// text with each "{name}" of a default replaced by its value, and
// "{common}" by the options both programs share.
std::string withDefaults(std::string_view text)
{
    const std::pair<std::string_view, std::string> values[] = {
        {"{group}", std::string(RunDefaults::kGroup)},
        {"{port}", std::to_string(RunDefaults::kPort)},
        {"{speed}", std::to_string(RunDefaults::kSpeedKbps)},
        {"{size}", std::to_string(RunDefaults::kPacketSize)},
        {"{common}\n", std::string(kCommonHelp)},
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

// Why getopt_long refused the argument it returned '?' or ':' for, typed
// being that argument when it is a long option.
std::string refusal(CliOptions::Program program, int got, const std::string& typed)
{
    const KnownOption* known = optionOf(program, optopt);
    if (got == ':' && known != nullptr)
        return say("--{1} needs a value", {std::string(known->name)});
    if (known != nullptr)
        return say("--{1} takes no value", {std::string(known->name)});
    if (optopt != 0)
        return say("unknown option \"{1}\"", {"-" + std::string(1, static_cast<char>(optopt))});
    // A long option that is unknown, or the beginning of several.
    const std::string name = typed.substr(0, typed.find('='));
    std::string candidates;
    for (const KnownOption& k : kOptions) {
        if (appliesTo(k, program) && name.size() > 2 && k.name.starts_with(name.substr(2)))
            candidates += (candidates.empty() ? "--" : ", --") + std::string(k.name);
    }
    if (candidates.find(',') != std::string::npos)
        return say("option \"{1}\" is ambiguous: {2}", {name, candidates});
    return say("unknown option \"{1}\"", {name});
}

CliParse parseArguments(CliOptions::Program program, const std::vector<std::string_view>& args)
{
    // getopt_long reads a command line like the one main() is given: the
    // program's name, then the arguments, each a C string.
    std::vector<std::string> words{"cli"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    // ':' first: a missing value is told apart from an unknown option.
    std::string letters = ":";
    std::vector<option> longs;
    for (const KnownOption& known : kOptions) {
        if (!appliesTo(known, program))
            continue;
        // The names are literals, each ending in a NUL.
        longs.push_back({known.name.data(), known.takesValue ? required_argument : no_argument,
                         nullptr, codeOf(known)});
        if (known.letter != 0) {
            letters += known.letter;
            if (known.takesValue)
                letters += ':';
        }
    }
    longs.push_back({});

    // getopt_long keeps its place between calls: 0 starts it afresh, and
    // its own messages stay unprinted, for ours are printed instead.
    opterr = 0;
    optind = 0;
    CliOptions options;
    bool groupGiven = false;
    for (;;) {
        const int got = getopt_long(argc, argv.data(), letters.c_str(), longs.data(), nullptr);
        if (got == -1)
            break;
        if (got == '?' || got == ':') {
            const std::string typed = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            return {std::nullopt, refusal(program, got, typed.starts_with("--") ? typed : ""),
                    options.json, true};
        }
        const KnownOption* known = optionOf(program, got);
        if (known == nullptr)
            return {std::nullopt, "unknown option", options.json, true};
        if (!known->takesValue) {
            applyFlag(options, known->name);
            continue;
        }
        if (std::string error = applyValue(options, known->name, optarg, groupGiven);
            !error.empty())
            return {std::nullopt, std::move(error), options.json, false};
    }
    if (optind < argc)
        return {std::nullopt, say("unexpected argument \"{1}\"", {std::string(argv[optind])}),
                options.json, true};
    const bool json = options.json;
    return {std::move(options), {}, json, false};
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

  -g, --group ADDR[+N]     multicast group, IPv4 or IPv6 (default {group});
                           ADDR+N adds the N groups after ADDR; may be
                           repeated, each group then a stream of its own
  -p, --port N             destination port (default {port})
  -b, --speed KBITS        target speed in kbit/s (default {speed})
  -l, --size BYTES         payload bytes per datagram (default {size})
  -f, --source FILE        payload file (default send.txt beside the program)
  -c, --count N            stop after N datagrams
  -t, --duration SECONDS   stop after SECONDS seconds
  -i, --interface IF       send on this interface (name or address)
  -T, --ttl N              multicast TTL, 0 to 255 (default 20)
  -r, --interval SECONDS   one line or JSON object per interval, 0.1 to 3600
                           (default 1)
{common}
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

  -g, --group ADDR[+N]     multicast group, IPv4 or IPv6 (default {group});
                           ADDR+N adds the N groups after ADDR; may be
                           repeated
  -S, --ssm-source ADDR    join source-specific: count only ADDR's datagrams
  -p, --port N             port to receive on (default {port})
  -w, --save FILE          append every payload to FILE (created when missing)
  -c, --count N            stop after N datagrams
  -t, --duration SECONDS   stop after SECONDS seconds
  -i, --interface IF       join on this interface (name or address;
                           needed for IPv6 groups of link-local scope)
  -r, --interval SECONDS   one line or JSON object per interval, 0.1 to 3600
                           (default 1)
      --max-loss PERCENT   exit 4 when the run's loss is above PERCENT
      --plot FILE.svg      write an SVG picture of the run at its end, and
                           each minute during it
      --metrics FILE       rewrite FILE each interval in the text exposition
                           format of a monitoring system's text file collector
{common}
Runs until --count or --duration is reached, or until SIGINT or SIGTERM,
then closes the capture and prints the final summary.
Exit status: 0 after a run, 1 when the run could not start or standard
output was closed, 2 for bad usage or a refused setting, 3 when no
datagram arrived, 4 when the loss was above --max-loss, 5 when the capture
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
        // A command line of the wrong form points to the help.
        const std::string line =
            parsed.json || !parsed.syntax
                ? errorLine(name, parsed.json, parsed.error)
                : errorLine(name, false, say("{1} (see {2} --help)", {parsed.error, name}));
        std::fputs(line.c_str(), stderr);
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

int refuseSetting(const char* name, const CliOptions& options, std::string_view refusal)
{
    std::fputs(errorLine(name, options.json, printable(std::string(refusal))).c_str(), stderr);
    return 2;
}

#include "cli/cli_options.h"

#include "channel/dc_channel.h"
#include "core/group_list.h"
#include "report/messages.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <string>
#include <utility>

static_assert(
    CliOptions::kMaxDurationSeconds <=
        std::chrono::duration<double>(std::chrono::steady_clock::duration::max()).count() / 2,
    "a deadline of the longest duration must fit in the steady clock");

namespace {

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

// "port \"70000\" is not between 1 and 65535": what was refused, as typed
// ({1} in the message), and why, in the user's language.
std::string refused(const char* message, std::string_view text)
{
    return say(message, {std::string(text)});
}

// "ADDR", "[ADDR]:PORT" or ":PORT" for --metrics-listen: "127.0.0.1",
// "[::1]:9000", ":9000". An address alone (an IPv6 one with or without
// brackets) listens on the default port; the address must be one, the port a
// port.
std::string setListen(CliOptions& o, std::string_view text)
{
    const char* refusal = "metrics-listen \"{1}\" is not ADDRESS, [ADDRESS]:PORT or :PORT";
    // "[ADDR]" without its brackets; anything else as it is.
    const auto unbracketed = [](std::string_view a) {
        return a.size() >= 2 && a.front() == '[' && a.back() == ']' ? a.substr(1, a.size() - 2) : a;
    };
    std::string_view address = unbracketed(text);
    std::optional<int> port = CliOptions::kMetricsPort;
    // An address alone, even an IPv6 one with its colons, takes the default.
    if (!parseIpAddress(address)) {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return refused(refusal, text);
        address = unbracketed(text.substr(0, colon));
        if (address.size() == colon && address.find(':') != std::string_view::npos)
            return refused(refusal, text);   // an IPv6 address with a port goes in brackets
        port = parsePort(text.substr(colon + 1));
    }
    if (!port || (!address.empty() && !parseIpAddress(address)) ||
        (address.empty() && text.front() != ':'))
        return refused(refusal, text);
    o.metricsAddress = std::string(address);
    o.metricsPort = *port;
    return {};
}

// A value kept as typed that must not be empty; refusal names the option.
std::string setText(std::string& field, std::string_view text, const char* refusal)
{
    if (text.empty())
        return tr(refusal);
    field = text;
    return {};
}

// A value the run settings read as the dialogs do.
std::string setSetting(int& field, std::optional<int> (*parse)(std::string_view),
                       std::string_view text, const char* refusal)
{
    const std::optional<int> value = parse(text);
    if (!value)
        return refused(refusal, text);
    field = *value;
    return {};
}

template <bool CliOptions::*Flag>
std::string setFlag(CliOptions& options, std::string_view)
{
    options.*Flag = true;
    return {};
}

using Text = std::string_view;
using O = CliOptions;
using A = CliOption::Applies;

// The options in the order of the help; each program's own in it.
constexpr CliOption kOptions[] = {
    {.name = "group",
     .letter = 'g',
     .value = "ADDR[+N]",
     .help = "multicast group, IPv4 or IPv6 (default {group});\n"
             "ADDR+N adds the N groups after ADDR; may be\n"
             "repeated, each group then a stream of its own",
     .receiverHelp = "multicast group, IPv4 or IPv6 (default {group});\n"
                     "ADDR+N adds the N groups after ADDR; may be\n"
                     "repeated",
     // The groups are read together when the run starts.
     .set =
         [](O& o, Text t) {
             o.groups.emplace_back(t);
             return std::string();
         }},
    {.name = "ssm-source",
     .letter = 'S',
     .value = "ADDR",
     .applies = A::ReceiverOnly,
     .help = "join source-specific: count only ADDR's datagrams",
     .set = [](O& o, Text t) { return setText(o.ssmSource, t, "--ssm-source needs an address"); }},
    {.name = "port",
     .letter = 'p',
     .value = "N",
     .help = "destination port (default {port})",
     .receiverHelp = "port to receive on (default {port})",
     .set =
         [](O& o, Text t) {
             return setSetting(o.port, parsePort, t, "port \"{1}\" is not between 1 and 65535");
         }},
    {.name = "speed",
     .letter = 'b',
     .value = "KBITS",
     .applies = A::SenderOnly,
     .help = "target speed in kbit/s (default {speed})",
     .set =
         [](O& o, Text t) {
             return setSetting(o.speedKbps, parseSpeedKbps, t,
                               "speed \"{1}\" is not a whole number of kbit/s, at least 8");
         }},
    {.name = "size",
     .letter = 'l',
     .value = "BYTES",
     .applies = A::SenderOnly,
     .help = "payload bytes per datagram (default {size})",
     .set =
         [](O& o, Text t) {
             return setSetting(o.packetSize, parsePacketSize, t,
                               "size \"{1}\" is not a whole number of bytes from 0 to 65499");
         }},
    {.name = "source",
     .letter = 'f',
     .value = "FILE",
     .applies = A::SenderOnly,
     .help = "payload file (default send.txt beside the program)",
     .set = [](O& o, Text t) { return setText(o.source, t, "--source needs a file name"); }},
    {.name = "save",
     .letter = 'w',
     .value = "FILE",
     .applies = A::ReceiverOnly,
     .help = "append every payload to FILE (created when missing)",
     .set = [](O& o, Text t) { return setText(o.save, t, "--save needs a file name"); }},
    {.name = "count",
     .letter = 'c',
     .value = "N",
     .help = "stop after N datagrams",
     .set =
         [](O& o, Text t) {
             if (!parseWhole(t, o.count) || o.count == 0)
                 return refused("count \"{1}\" is not a whole number above 0", t);
             return std::string();
         }},
    {.name = "duration",
     .letter = 't',
     .value = "SECONDS",
     .help = "stop after SECONDS seconds",
     .set =
         [](O& o, Text t) {
             double seconds = 0;
             if (!parseNumber(t, seconds) || seconds <= 0)
                 return refused("duration \"{1}\" is not a number of seconds above 0", t);
             if (seconds > O::kMaxDurationSeconds)
                 return say("duration \"{1}\" is longer than {2} seconds",
                            {std::string(t),
                             std::to_string(static_cast<std::uint64_t>(O::kMaxDurationSeconds))});
             o.durationSeconds = seconds;
             return std::string();
         }},
    {.name = "interface",
     .letter = 'i',
     .value = "IF",
     .help = "send on this interface (name or address)",
     .receiverHelp = "join on this interface (name or address;\n"
                     "needed for IPv6 groups of link-local scope)",
     // The name or one of the addresses of one of this host's interfaces.
     .set =
         [](O& o, Text t) {
             if (t.empty() || t.size() >= MulticastOptions::kInterfaceSize || !interfaceIndex(t))
                 return refused("interface \"{1}\" is neither the name nor an address of an "
                                "interface of this host",
                                t);
             o.interface = t;
             return std::string();
         }},
    {.name = "ttl",
     .letter = 'T',
     .value = "N",
     .applies = A::SenderOnly,
     .help = "multicast TTL, 0 to 255 (default 20)",
     .set =
         [](O& o, Text t) {
             std::uint64_t ttl = 0;
             if (!parseWhole(t, ttl) || ttl > 255)
                 return refused("ttl \"{1}\" is not a whole number from 0 to 255", t);
             o.ttl = static_cast<int>(ttl);
             return std::string();
         }},
    {.name = "timestamps",
     .applies = A::SenderOnly,
     .help = "start each payload with its send time, for the\n"
             "receiver's one-way delay and jitter",
     .set = setFlag<&O::timestamps>},
    {.name = "interval",
     .letter = 'r',
     .value = "SECONDS",
     .help = "one line or JSON object per interval, 0.1 to 3600\n"
             "(default 1)",
     .set =
         [](O& o, Text t) {
             double seconds = 0;
             if (!parseNumber(t, seconds) || seconds < O::kMinIntervalSeconds ||
                 seconds > O::kMaxIntervalSeconds)
                 return refused("interval \"{1}\" is not a number of seconds from 0.1 to 3600", t);
             o.intervalSeconds = seconds;
             return std::string();
         }},
    {.name = "max-loss",
     .value = "PERCENT",
     .applies = A::ReceiverOnly,
     .help = "exit 4 when the run's loss, or a group's, is above PERCENT",
     .set =
         [](O& o, Text t) {
             double percent = 0;
             if (!parseNumber(t, percent) || percent < 0 || percent > 100)
                 return refused("max-loss \"{1}\" is not a percentage from 0 to 100", t);
             o.maxLossPercent = percent;
             return std::string();
         }},
    {.name = "plot",
     .value = "FILE.svg",
     .applies = A::ReceiverOnly,
     .help = "write an SVG picture of the run at its end, and\n"
             "each minute during it",
     .set = [](O& o, Text t) { return setText(o.plot, t, "--plot needs a file name"); }},
    {.name = "metrics",
     .value = "FILE",
     .applies = A::ReceiverOnly,
     .help = "rewrite FILE each interval in the text exposition\n"
             "format of a monitoring system's text file collector",
     .set = [](O& o, Text t) { return setText(o.metrics, t, "--metrics needs a file name"); }},
    {.name = "metrics-listen",
     .value = "ADDR|[ADDR]:PORT",
     .applies = A::ReceiverOnly,
     .help = "serve the metrics over HTTP at /metrics on PORT\n"
             "(default 19100), of ADDR only when given",
     .set = [](O& o, Text t) { return setListen(o, t); }},
    {.name = "json",
     .letter = 'j',
     .help = "JSON Lines on standard output, and each event\n"
             "and error a JSON object on standard error",
     .set = setFlag<&O::json>},
    {.name = "quiet",
     .letter = 'q',
     .help = "print only the final summary",
     .set = setFlag<&O::quiet>},
    {.name = "verbose",
     .letter = 'v',
     .applies = A::ReceiverOnly,
     .help = "each interval, a line per sender on how its\n"
             "datagrams arrived (hops, loss bursts, delay)",
     .set = setFlag<&O::verbose>},
    {.name = "live",
     .letter = 'L',
     .applies = A::ReceiverOnly,
     .help = "a full-screen table of the groups, updated each\n"
             "interval, worst first (standard output must be a\n"
             "terminal; keys: see the manual page)",
     .set = setFlag<&O::live>},
    {.name = "help", .letter = 'h', .help = "show this help and exit", .set = setFlag<&O::help>},
    {.name = "version",
     .letter = 'V',
     .help = "show the version and exit",
     .set = setFlag<&O::version>},
};

// What getopt_long returns for an option: its letter, or past every
// character for one without.
constexpr int kLongOnly = 0x100;

int codeOf(const CliOption& known)
{
    return known.letter != 0 ? known.letter : kLongOnly + static_cast<int>(&known - kOptions);
}

const CliOption* optionOf(CliOptions::Program program, int code)
{
    for (const CliOption& known : kOptions) {
        if (codeOf(known) == code && known.appliesTo(program))
            return &known;
    }
    return nullptr;
}

// The help's column of the options' texts.
constexpr std::size_t kHelpColumn = 27;

// The forms options take, after both programs' option lists.
constexpr std::string_view kFormsHelp = R"(
Long options may be shortened to any unambiguous beginning; their values
follow as "--port N" or "--port=N", a short option's as "-p N" or "-pN".
)";

// A program's help: its head, its options, the forms and its tail, each
// "{name}" of a default replaced by its value.
std::string helpText(CliOptions::Program program, std::string_view head, std::string_view tail)
{
    std::string out(head);
    for (const CliOption& known : kOptions) {
        if (!known.appliesTo(program))
            continue;
        std::string line = (known.letter != 0 ? "  " : "      ") + known.synopsis();
        line.resize(std::max(kHelpColumn, line.size() + 2), ' ');
        std::string_view help = program == CliOptions::Receiver && !known.receiverHelp.empty()
                                    ? known.receiverHelp
                                    : known.help;
        for (std::size_t end = help.find('\n'); end != std::string_view::npos;
             end = help.find('\n')) {
            out += line;
            out += help.substr(0, end);
            out += '\n';
            line.assign(kHelpColumn, ' ');
            help.remove_prefix(end + 1);
        }
        out += line;
        out += help;
        out += '\n';
    }
    out += kFormsHelp;
    out += tail;

    const std::pair<std::string_view, std::string> values[] = {
        {"{group}", std::string(RunDefaults::kGroup)},
        {"{port}", std::to_string(RunDefaults::kPort)},
        {"{speed}", std::to_string(RunDefaults::kSpeedKbps)},
        {"{size}", std::to_string(RunDefaults::kPacketSize)},
    };
    for (const auto& [name, value] : values) {
        for (std::size_t at = out.find(name); at != std::string::npos;
             at = out.find(name, at + value.size()))
            out.replace(at, name.size(), value);
    }
    return out;
}

// Why getopt_long refused the argument it returned '?' or ':' for, typed
// being that argument when it is a long option.
std::string refusal(CliOptions::Program program, int got, const std::string& typed)
{
    const CliOption* known = optionOf(program, optopt);
    if (got == ':' && known != nullptr)
        return say("--{1} needs a value", {std::string(known->name)});
    if (known != nullptr)
        return say("--{1} takes no value", {std::string(known->name)});
    if (optopt != 0)
        return say("unknown option \"{1}\"", {"-" + std::string(1, static_cast<char>(optopt))});
    // A long option that is unknown, or the beginning of several.
    const std::string name = typed.substr(0, typed.find('='));
    std::string candidates;
    for (const CliOption& k : kOptions) {
        if (k.appliesTo(program) && name.size() > 2 && k.name.starts_with(name.substr(2)))
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
    for (const CliOption& known : kOptions) {
        if (!known.appliesTo(program))
            continue;
        // The names are literals, each ending in a NUL.
        longs.push_back({known.name.data(), known.value.empty() ? no_argument : required_argument,
                         nullptr, codeOf(known)});
        if (known.letter != 0) {
            letters += known.letter;
            if (!known.value.empty())
                letters += ':';
        }
    }
    longs.push_back({});

    // getopt_long keeps its place between calls: 0 starts it afresh, and
    // its own messages stay unprinted, for ours are printed instead.
    opterr = 0;
    optind = 0;
    CliOptions options;
    // The default group stands only where no --group is given.
    options.groups.clear();
    for (;;) {
        const int got = getopt_long(argc, argv.data(), letters.c_str(), longs.data(), nullptr);
        if (got == -1)
            break;
        if (got == '?' || got == ':') {
            const std::string typed = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            return {std::nullopt, refusal(program, got, typed.starts_with("--") ? typed : ""),
                    options.json, true};
        }
        const CliOption* known = optionOf(program, got);
        if (known == nullptr)
            return {std::nullopt, "unknown option", options.json, true};
        if (std::string error = known->set(options, known->value.empty() ? "" : optarg);
            !error.empty())
            return {std::nullopt, std::move(error), options.json, false};
    }
    if (options.groups.empty())
        options.groups.emplace_back(RunDefaults::kGroup);
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
    parsed.error = printableText(parsed.error);
    return parsed;
}

bool CliOption::appliesTo(CliOptions::Program program) const
{
    return applies == Both || (applies == SenderOnly) == (program == CliOptions::Sender);
}

std::string CliOption::synopsis() const
{
    std::string text = letter != 0 ? std::string{'-', letter, ',', ' '} : std::string();
    text += "--";
    text += name;
    if (!value.empty()) {
        text += ' ';
        text += value;
    }
    return text;
}

std::span<const CliOption> cliOptionList()
{
    return kOptions;
}

// The help's head and tail around the options.
constexpr std::string_view kSenderHead = R"(Usage: dovrin-cli [OPTION]...
Streams numbered test datagrams to an IP multicast group at a paced speed.

)";
constexpr std::string_view kSenderTail =
    R"(Runs until --count or --duration is reached, or until SIGINT, SIGTERM or
SIGHUP, riding out failed sends; says on standard error when sending failed
and when it resumed.
Exit status: 0 after a run, 1 when the run could not start or standard
output was closed, 2 for bad usage or a refused setting.
)";
constexpr std::string_view kReceiverHead = R"(Usage: kestil-cli [OPTION]...
Joins an IP multicast group and counts datagrams, bytes, speed and losses.

)";
constexpr std::string_view kReceiverTail =
    R"(Runs until --count or --duration is reached, or until SIGINT, SIGTERM or
SIGHUP, then closes the capture and prints the final summary.
Exit status: 0 after a run, 1 when the run could not start or standard
output was closed, 2 for bad usage or a refused setting, 3 when no
datagram arrived, 4 when the loss was above --max-loss, 5 when the capture
failed (a write failed, or the file was deleted or replaced).
)";

std::string_view cliHelpText(CliOptions::Program program)
{
    static const std::string sender = helpText(CliOptions::Sender, kSenderHead, kSenderTail);
    static const std::string receiver =
        helpText(CliOptions::Receiver, kReceiverHead, kReceiverTail);
    return program == CliOptions::Sender ? sender : receiver;
}

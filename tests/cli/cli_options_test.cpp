#include "cli/cli_options.h"
#include "cli/cli_start.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What a command line came to: the options that matter here as one text,
// or the refusal.
std::string outcome(CliOptions::Program program, const std::vector<std::string_view>& args)
{
    const CliParse parsed = parseCliOptions(program, args);
    if (!parsed.options)
        return "refused: " + parsed.error;
    const CliOptions& o = *parsed.options;
    std::string text;
    for (const std::string& group : o.groups)
        text += "group=" + group + " ";
    text += "port=" + std::to_string(o.port) + " speed=" + std::to_string(o.speedKbps) +
            " size=" + std::to_string(o.packetSize) + " count=" + std::to_string(o.count) +
            " ttl=" + std::to_string(o.ttl);
    if (!o.source.empty())
        text += " source=" + o.source;
    if (!o.save.empty())
        text += " save=" + o.save;
    if (!o.ssmSource.empty())
        text += " ssm=" + o.ssmSource;
    if (o.durationSeconds != 0)
        text += " duration=" + std::to_string(o.durationSeconds);
    if (o.intervalSeconds != 1.0)
        text += " interval=" + std::to_string(o.intervalSeconds);
    if (o.maxLossPercent)
        text += " max-loss=" + std::to_string(*o.maxLossPercent);
    if (o.metricsPort != 0)
        text += " listen=[" + o.metricsAddress + "]:" + std::to_string(o.metricsPort);
    text += std::string(o.json ? " json" : "") + (o.quiet ? " quiet" : "") +
            (o.help ? " help" : "") + (o.version ? " version" : "");
    return text;
}

TEST(CliOptions, ShortLongAndAbbreviatedFormsAndRefusalsThatEchoTheValue)
{
    constexpr auto S = CliOptions::Sender;
    constexpr auto R = CliOptions::Receiver;
    const std::string defaults = " speed=512 size=1024 count=0 ttl=20";
    const std::string base = "group=224.1.1.1 port=9000" + defaults;
    const std::string listenRefused = "refused: metrics-listen \"";
    const std::string listenForms = " is not ADDRESS, [ADDRESS]:PORT or :PORT";
    const struct {
        CliOptions::Program program;
        std::vector<std::string_view> args;
        std::string expected;
    } cases[] = {
        {S, {}, "group=224.1.1.1 port=9000" + defaults},
        // Each value in every form: short apart and joined, long apart, with
        // '=', and any unambiguous beginning of the long name.
        {S, {"-p", "9001"}, "group=224.1.1.1 port=9001" + defaults},
        {S, {"-p9001"}, "group=224.1.1.1 port=9001" + defaults},
        {S, {"--port", "9001"}, "group=224.1.1.1 port=9001" + defaults},
        {S, {"--port=9001"}, "group=224.1.1.1 port=9001" + defaults},
        {S, {"--po=9001"}, "group=224.1.1.1 port=9001" + defaults},
        {S,
         {"-g", "239.1.1.1", "-b", "2000", "-l", "100", "-c", "5", "-T", "3", "-f", "a.bin"},
         "group=239.1.1.1 port=9000 speed=2000 size=100 count=5 ttl=3 source=a.bin"},
        {S,
         {"--sp", "2000", "--si=100", "--so", "a.bin", "--tt", "0"},
         "group=224.1.1.1 port=9000 speed=2000 size=100 count=0 ttl=0 source=a.bin"},
        {R,
         {"-w", "cap.bin", "-S", "10.0.0.1", "-t", "2.5", "-r", "0.5", "--max=5"},
         "group=224.1.1.1 port=9000" + defaults +
             " save=cap.bin ssm=10.0.0.1 duration=2.500000 interval=0.500000 max-loss=5.000000"},
        // --group repeats, the first replacing the default.
        {R,
         {"-g", "239.1.1.1", "--group=239.2.1.1+3", "--gr", "239.3.1.1"},
         "group=239.1.1.1 group=239.2.1.1+3 group=239.3.1.1 port=9000" + defaults},
        // Flags alone, together, and an option's value after them.
        {R, {"-jq"}, "group=224.1.1.1 port=9000" + defaults + " json quiet"},
        {R, {"-qjc7"}, "group=224.1.1.1 port=9000 speed=512 size=1024 count=7 ttl=20 json quiet"},
        {R,
         {"--js", "--qu", "--he", "--vers"},
         "group=224.1.1.1 port=9000" + defaults + " json quiet help version"},
        {S, {"-h"}, "group=224.1.1.1 port=9000" + defaults + " help"},
        {S, {"-V"}, "group=224.1.1.1 port=9000" + defaults + " version"},
        // A value that looks like an option is still the value.
        {S, {"--source", "-q"}, "group=224.1.1.1 port=9000" + defaults + " source=-q"},
        // "--" ends the options; what follows is an argument, never an option.
        {S, {"-q", "--"}, "group=224.1.1.1 port=9000" + defaults + " quiet"},
        {S, {"--", "-q"}, "refused: unexpected argument \"-q\""},
        {R, {"-j", "stray", "-q"}, "refused: unexpected argument \"stray\""},
        {R, {"-"}, "refused: unexpected argument \"-\""},

        // Refusals name the option or echo the value as typed.
        {S, {"--bogus=1"}, "refused: unknown option \"--bogus\""},
        {S, {"-z"}, "refused: unknown option \"-z\""},
        {S, {"-jz"}, "refused: unknown option \"-z\""},
        {S, {"--s", "1"}, "refused: option \"--s\" is ambiguous: --speed, --size, --source"},
        {R, {"--s", "1"}, "refused: option \"--s\" is ambiguous: --ssm-source, --save"},
        {R, {"--in=1"}, "refused: option \"--in\" is ambiguous: --interface, --interval"},
        {S, {"-p"}, "refused: --port needs a value"},
        {S, {"--port"}, "refused: --port needs a value"},
        {R, {"--json=yes"}, "refused: --json takes no value"},
        {R, {"--qu=1"}, "refused: --quiet takes no value"},
        {R, {"--ttl", "3"}, "refused: unknown option \"--ttl\""},
        {R, {"-T", "3"}, "refused: unknown option \"-T\""},
        {S, {"--save", "x"}, "refused: unknown option \"--save\""},
        {S, {"-w", "x"}, "refused: unknown option \"-w\""},
        {S, {"--max-loss", "5"}, "refused: unknown option \"--max-loss\""},
        {R, {"-p", "70000"}, "refused: port \"70000\" is not between 1 and 65535"},
        {R, {"--port=0"}, "refused: port \"0\" is not between 1 and 65535"},
        {R, {"--port=x9"}, "refused: port \"x9\" is not between 1 and 65535"},
        {S, {"-b", "7"}, "refused: speed \"7\" is not a whole number of kbit/s, at least 8"},
        {S,
         {"-l", "65500"},
         "refused: size \"65500\" is not a whole number of bytes from 0 to 65499"},
        {S, {"-c", "0"}, "refused: count \"0\" is not a whole number above 0"},
        {S, {"--count=12x"}, "refused: count \"12x\" is not a whole number above 0"},
        {S, {"-T", "256"}, "refused: ttl \"256\" is not a whole number from 0 to 255"},
        {S, {"-t", "-1"}, "refused: duration \"-1\" is not a number of seconds above 0"},
        {R, {"-t", "1e10"}, "refused: duration \"1e10\" is longer than 4611686018 seconds"},
        {S, {"-r", "nan"}, "refused: interval \"nan\" is not a number of seconds from 0.1 to 3600"},
        {R,
         {"--max-loss=100.01"},
         "refused: max-loss \"100.01\" is not a percentage from 0 to 100"},
        {R, {"--plot="}, "refused: --plot needs a file name"},
        // The metrics' address alone takes the default port; IPv6 with a port in brackets.
        {R, {"--metrics-listen", "10.0.0.1"}, base + " listen=[10.0.0.1]:19100"},
        {R, {"--metrics-listen=::1"}, base + " listen=[::1]:19100"},
        {R, {"--metrics-listen=[::1]"}, base + " listen=[::1]:19100"},
        {R, {"--metrics-listen=[::1]:9464"}, base + " listen=[::1]:9464"},
        {R, {"--metrics-listen=:9464"}, base + " listen=[]:9464"},
        {R, {"--metrics-listen=10.0.0.1:9464"}, base + " listen=[10.0.0.1]:9464"},
        // Without brackets, all of it is an IPv6 address.
        {R, {"--metrics-listen=::1:9464"}, base + " listen=[::1:9464]:19100"},
        {R, {"--metrics-listen=:"}, listenRefused + ":\"" + listenForms},
        {R, {"--metrics-listen=[]"}, listenRefused + "[]\"" + listenForms},
        {R, {"--metrics-listen=host:80"}, listenRefused + "host:80\"" + listenForms},
        {R, {"--metrics-listen=10.0.0.1:0"}, listenRefused + "10.0.0.1:0\"" + listenForms},
        {R,
         {"-i", "no-such-if9"},
         "refused: interface \"no-such-if9\" is neither the name nor an address of an interface "
         "of this host"},
        // A control character typed cannot break the line or reach the terminal.
        {R,
         {"--interface", "if\n\x1b[2J"},
         "refused: interface \"if\\x0a\\x1b[2J\" is neither the name nor an address of an "
         "interface of this host"},
        {R, {"--bo\x07gus"}, "refused: unknown option \"--bo\\x07gus\""},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const std::string_view arg : c.args)
            line += std::string(arg) + " ";
        SCOPED_TRACE(line);
        EXPECT_EQ(outcome(c.program, c.args), c.expected);
        // Parsing again gives the same: nothing is left over from before.
        EXPECT_EQ(outcome(c.program, c.args), c.expected);
    }
}

TEST(CliOptions, ARefusalSaysWhetherToAnswerInJsonAndWhetherTheFormWasWrong)
{
    const struct {
        std::vector<std::string_view> args;
        bool json;
        bool syntax;
    } cases[] = {
        {{"-j", "--port=0"}, true, false},    {{"--json", "--bogus"}, true, true},
        {{"--bogus", "--json"}, false, true}, {{"-p", "0", "-j"}, false, false},
        {{"-j", "stray"}, true, true},        {{"--port"}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args.front()) + " " + std::string(c.args.back()));
        const CliParse parsed = parseCliOptions(CliOptions::Receiver, c.args);
        EXPECT_FALSE(parsed.options.has_value());
        EXPECT_EQ(parsed.json, c.json);
        EXPECT_EQ(parsed.syntax, c.syntax);
    }
}

// The options a manual page lists under OPTIONS as the help names them: the
// ".B" or ".BI" line after each ".TP", its arguments joined as roff joins
// them, without quotes and escapes.
std::set<std::string> manualOptions(const char* page)
{
    std::ifstream in(std::string(MCT_CLI_SOURCE_DIR "/") + page);
    std::set<std::string> found;
    bool inOptions = false;
    std::string previous;
    for (std::string line; std::getline(in, line); previous = line) {
        if (line.starts_with(".SH")) {
            inOptions = line == ".SH OPTIONS";
            continue;
        }
        if (!inOptions || previous != ".TP" ||
            !(line.starts_with(".B ") || line.starts_with(".BI ")))
            continue;
        std::string plain;
        bool quoted = false;
        for (std::size_t i = line.find(' ') + 1; i < line.size(); ++i) {
            if (line[i] == '"' || (line[i] == ' ' && !quoted)) {
                quoted = quoted != (line[i] == '"');
                continue;
            }
            if (line.compare(i, 2, "\\-") == 0) {
                plain += '-';
                ++i;
            } else if (line.compare(i, 2, "\\f") == 0) {
                i += 2;
            } else {
                plain += line[i];
            }
        }
        found.insert(plain);
    }
    return found;
}

TEST(CliOptions, EachProgramsManualPageListsExactlyItsOptions)
{
    for (const auto& [program, page] : {std::pair{CliOptions::Sender, "dovrin-cli.1"},
                                        std::pair{CliOptions::Receiver, "kestil-cli.1"}}) {
        SCOPED_TRACE(page);
        std::set<std::string> rows;
        for (const CliOption& option : cliOptionList()) {
            if (option.appliesTo(program))
                rows.insert(option.synopsis());
        }
        EXPECT_EQ(manualOptions(page), rows);
    }
}

TEST(CliStart, BothProgramsReadTheGroupsSourceAndInterfaceOrEndAtOnce)
{
    constexpr auto S = CliOptions::Sender;
    constexpr auto R = CliOptions::Receiver;
    const struct {
        CliOptions::Program program;
        std::vector<std::string> args;
        int exitCode;   // -1: the run starts
        std::string started;
    } cases[] = {
        {S, {}, -1, "224.1.1.1 ttl 20"},
        {R,
         {"-g", "239.1.1.1+2", "-S", "10.0.0.1"},
         -1,
         "239.1.1.1 239.1.1.2 239.1.1.3 from 10.0.0.1 ttl 20"},
        {S, {"-g", "ff02::1:5", "-i", "lo", "-T", "3"}, -1, "ff02::1:5 on lo ttl 3"},
        // A group of link-local scope needs its interface named, in both.
        {S, {"-g", "ff02::1:5"}, 2, ""},
        {R, {"-g", "ff3e::1", "--group=ff02::1:5"}, 2, ""},
        {R, {"-g", "ff3e::1", "-S", "10.0.0.1"}, 2, ""},
        {S, {"-g", "239.1.1.1", "-g", "239.1.1.1"}, 2, ""},
        {R, {"--bogus"}, 2, ""},
        {S, {"--version", "--port=0"}, 2, ""},
        {R, {"--version"}, 0, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{"cli"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        SCOPED_TRACE(words.back());
        const CliStart start =
            startCli(c.program, "cli", static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(start.options.has_value(), c.exitCode < 0);
        if (!start.options) {
            EXPECT_EQ(start.exitCode, c.exitCode);
            continue;
        }
        std::string started;
        for (const IpAddress& group : start.groups)
            started += group.text() + " ";
        if (start.ssmSource.family != IpAddress::Family::None)
            started += "from " + start.ssmSource.text() + " ";
        if (start.multicast.interface[0] != '\0')
            started += "on " + std::string(start.multicast.interface) + " ";
        EXPECT_EQ(started + "ttl " + std::to_string(start.multicast.ttl), c.started);
    }
}

}   // namespace

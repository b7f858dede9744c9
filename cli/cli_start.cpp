#include "cli/cli_start.h"

#include "cli/cli_output.h"
#include "core/group_list.h"
#include "platform/version.h"
#include "report/messages.h"

#include <cstdio>
#include <string>
#include <utility>

namespace {

// One line on stderr, a JSON object under --json; exit code 2.
CliStart refuse(const char* name, bool json, const std::string& refusal)
{
    std::fputs(errorLine(name, json, printableText(refusal)).c_str(), stderr);
    CliStart refused;
    refused.exitCode = 2;
    return refused;
}

}   // namespace

CliStart startCli(CliOptions::Program program, const char* name, int argc, char* argv[])
{
    setUpMessages();
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    CliParse parsed = parseCliOptions(program, args);
    if (!parsed.options) {
        // A command line of the wrong form points to the help.
        return refuse(name, parsed.json,
                      parsed.json || !parsed.syntax
                          ? parsed.error
                          : say("{1} (see {2} --help)", {parsed.error, name}));
    }
    if (parsed.options->help) {
        std::fputs(cliHelpText(program).data(), stdout);
        return {};
    }
    if (parsed.options->version) {
        std::printf("%s %s\n", name, MCT_VERSION_TEXT);
        return {};
    }

    const CliOptions& options = *parsed.options;
    GroupList list = parseGroupList(options.groups, kMaxGroups);
    if (list.groups.empty())
        return refuse(name, options.json, list.error);
    CliStart start;
    if (!options.ssmSource.empty()) {
        const SourceAddress source =
            parseSourceAddress(options.ssmSource, list.groups.front().family);
        if (!source.source)
            return refuse(name, options.json, "--ssm-source: " + source.error);
        start.ssmSource = *source.source;
    }
    if (options.interface.empty()) {
        for (const IpAddress& group : list.groups) {
            if (needsInterface(group))
                return refuse(name, options.json,
                              say("group {1} is of link-local scope: name its interface with "
                                  "--interface",
                                  {group.text()}));
        }
    }
    std::snprintf(start.multicast.interface, sizeof start.multicast.interface, "%s",
                  options.interface.c_str());
    start.multicast.ttl = options.ttl;
    start.groups = std::move(list.groups);
    start.options = std::move(parsed.options);
    return start;
}

#include "core/datagram.h"
#include "platform/version.h"
#include "tests/cli/programs.h"
#include "tests/support/cli_process.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/netns_lab.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace {

TEST(CliLab, FailuresPrintOneLineThatNamesWhatFailedAndWhyAndExitNonZero)
{
    TempDir dir;
    const std::string empty = dir.put("empty.txt", "");
    const std::string link = dir.file("link.bin");
    ASSERT_EQ(::symlink(empty.c_str(), link.c_str()), 0);
    const std::string missing = dir.file("x/y.bin");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    struct Case {
        const char* program;
        std::vector<std::string> args;
        int exit;
        std::string message;   // the whole line
        const char* locale = "C";
    };
    const Case cases[] = {
        {kDovrin, {"--bogus"}, 2, "dovrin-cli: unknown option \"--bogus\" (see dovrin-cli --help)"},
        {kKestil, {"-p", "70000"}, 2, "kestil-cli: port \"70000\" is not between 1 and 65535"},
        {kKestil,
         {"-j", "stray"},
         2,
         "{\"type\":\"event\",\"event\":\"error\",\"message\":\"unexpected argument "
         "\\\"stray\\\"\"}"},
        {kDovrin,
         {"--group", "224.100.100.100.1000"},
         2,
         "dovrin-cli: group \"224.100.100.100.1000\" is not a multicast address"},
        {kKestil,
         {"--group", "239.1.1.1", "--group=ff3e::1"},
         2,
         "kestil-cli: groups \"239.1.1.1\" and \"ff3e::1\" are not of one family"},
        {kKestil,
         {"--group", "ff02::1:5"},
         2,
         "kestil-cli: group ff02::1:5 is of link-local scope: name its interface with "
         "--interface"},
        {kKestil,
         {"--ssm-source", "239.1.1.9"},
         2,
         "kestil-cli: --ssm-source: source 239.1.1.9 is not a unicast address"},
        {kKestil,
         {"--interface", "no-such-if9"},
         2,
         "kestil-cli: interface \"no-such-if9\" is neither the name nor an address of an "
         "interface of this host"},
        {kDovrin,
         {"--source", missing},
         1,
         "dovrin-cli: cannot open \"" + missing + "\": No such file or directory"},
        {kDovrin,
         {"-f", dir.file("")},
         1,
         "dovrin-cli: cannot open \"" + dir.file("") + "\": Is a directory"},
        {kDovrin,
         {"-f", link},
         1,
         "dovrin-cli: cannot open \"" + link + "\": it is a symbolic link"},
        {kDovrin, {"--source", empty}, 1, "dovrin-cli: source \"" + empty + "\" is empty"},
        {kKestil,
         {"--save", missing},
         1,
         "kestil-cli: cannot open \"" + missing + "\": No such file or directory"},
        {kKestil,
         {"-w", link},
         1,
         "kestil-cli: cannot open \"" + link + "\": it is a symbolic link"},
        {kKestil,
         {"-j", "-w", missing},
         1,
         "{\"type\":\"event\",\"event\":\"error\",\"message\":\"cannot open \\\"" + missing +
             "\\\": No such file or directory\"}"},
        // The picture and the metrics file replace only a regular file, in
        // a folder that is there.
        {kKestil,
         {"--plot", link},
         1,
         "kestil-cli: cannot write to \"" + link + "\": it is a symbolic link"},
        {kKestil,
         {"--metrics", fifo},
         1,
         "kestil-cli: cannot write to \"" + fifo + "\": it is not a regular file"},
        {kKestil,
         {"-j", "--plot", dir.file("run.svg"), "--metrics", missing},
         1,
         "{\"type\":\"event\",\"event\":\"error\",\"message\":\"cannot write to \\\"" + missing +
             "\\\": No such file or directory\"}"},
        {kKestil,
         {"--json", "--port=0"},
         2,
         "{\"type\":\"event\",\"event\":\"error\",\"message\":\"port \\\"0\\\" is not between 1 "
         "and 65535\"}"},
        // Where the locale is Chinese, in the dialogs' words, refusals of
        // what was typed too, with the value as typed.
        // The live view needs a terminal, and stdout here is a file.
        {kKestil,
         {"-L"},
         2,
         "kestil-cli: --live draws on a terminal, and standard output is not one"},
        {kKestil,
         {"--live"},
         2,
         "kestil-cli: --live 在终端上显示, 而标准输出不是终端",
         "zh_CN.UTF-8"},
        {kDovrin, {"--source", empty}, 1, "dovrin-cli: \"" + empty + "\" 为空.", "zh_CN.UTF-8"},
        {kKestil,
         {"-w", link},
         1,
         "kestil-cli: 无法打开文件 \"" + link + "\": 是符号链接",
         "zh_CN.UTF-8"},
        {kKestil,
         {"-p", "70000"},
         2,
         "kestil-cli: 端口 \"70000\" 不在 1 到 65535 之间",
         "zh_CN.UTF-8"},
        {kKestil,
         {"--bogus"},
         2,
         "kestil-cli: 未知选项 \"--bogus\" (见 kestil-cli --help)",
         "zh_CN.UTF-8"},
    };
    // In a lab host, so that a refusal that went missing sends nothing here.
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    const ScopedEnv restore("LC_ALL");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        if (std::setlocale(LC_MESSAGES, c.locale) == nullptr) {
            std::printf("skipped: the %s locale is missing (scripts/setup makes it)\n", c.locale);
            continue;
        }
        std::setlocale(LC_MESSAGES, "C");
        ::setenv("LC_ALL", c.locale, 1);
        const Started started = spawnIn(lab, 0, dir, "usage", c.program, c.args);
        EXPECT_EQ(exitCode(started), c.exit);
        const std::vector<std::string> err = lines(TempDir::contents(started.err));
        ASSERT_EQ(err.size(), 1u);
        // A JSON object's time stamp is left out of the comparison.
        EXPECT_EQ(std::regex_replace(err.front(), std::regex(R"("ts":"[^"]*",)"), ""), c.message);
        EXPECT_EQ(TempDir::contents(started.out), "");
    }
    EXPECT_EQ(TempDir::contents(empty), "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("run.svg")));
    EXPECT_EQ(std::filesystem::symlink_status(fifo).type(), std::filesystem::file_type::fifo);
}

TEST(CliLab, ASecondReceiverOnTheSamePortSaysTheAddressIsInUse)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const Started first = spawnIn(lab, 0, dir, "rx1", kKestil, {});
    awaitJoined(first);
    const Started second = spawnIn(lab, 0, dir, "rx2", kKestil, {"--port", "9000"});
    EXPECT_EQ(exitCode(second), 1);
    EXPECT_EQ(TempDir::contents(second.err),
              "kestil-cli: cannot receive on port 9000: Address already in use\n");
    const Started json = spawnIn(lab, 0, dir, "rx3", kKestil, {"--json"});
    EXPECT_EQ(exitCode(json), 1);
    const std::vector<std::string> err = lines(TempDir::contents(json.err));
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(field(err.front(), "event"), "\"error\"");
    EXPECT_NE(err.front().find("Address already in use"), std::string::npos) << err.front();
    kill(first.pid, SIGTERM);
    EXPECT_EQ(exitCode(first), 3);
}

TEST(CliUsage, HelpNamesTheOptionsOfTheManualPageAndVersionIsTheProjects)
{
    // Long options, and short ones as both list them: "-p, --port".
    const std::regex option("--[a-z][a-z-]*|-[a-zA-Z],");
    auto options = [&](const std::string& text) {
        std::set<std::string> found;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
             it != std::sregex_iterator(); ++it)
            found.insert(it->str());
        return found;
    };
    TempDir dir;
    for (const auto& [program, page] :
         {std::pair{kDovrin, "dovrin-cli.1"}, std::pair{kKestil, "kestil-cli.1"}}) {
        SCOPED_TRACE(page);
        const Started help = spawn(dir, "help", program, {"--help"});
        ASSERT_EQ(exitCode(help), 0);
        const std::string manual =
            std::regex_replace(TempDir::contents(std::string(MCT_CLI_SOURCE_DIR "/") + page),
                               std::regex(R"(\\-)"), "-");
        EXPECT_EQ(options(TempDir::contents(help.out)), options(manual));
        for (const char* shown : {"(default 224.1.1.1)", "(default 9000)"})
            EXPECT_NE(TempDir::contents(help.out).find(shown), std::string::npos) << shown;

        const Started version = spawn(dir, "version", program, {"--version"});
        ASSERT_EQ(exitCode(version), 0);
        EXPECT_NE(TempDir::contents(version.out).find(MCT_VERSION_TEXT), std::string::npos);
    }
}

TEST(CliLab, TwoReceiversCaptureEveryDatagramOfACountedRun)
{
    NetnsLab lab(3);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string source = dir.put("source.bin", randomBytes(std::size_t{1000} * 1024, 7));

    std::vector<Started> receivers;
    for (int host : {1, 2}) {
        const std::string name = "rx" + std::to_string(host);
        receivers.push_back(spawnIn(lab, host, dir, name, kKestil,
                                    {"--json", "--save", dir.file((name + ".bin").c_str()),
                                     "--count", "1000", "--duration", "60"}));
    }
    for (const Started& receiver : receivers)
        awaitJoined(receiver);
    const Started sender =
        spawnIn(lab, 0, dir, "tx", kDovrin,
                {"--count", "1000", "--speed", "8000", "--source", source, "--json", "--quiet"});

    EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);
    EXPECT_EQ(field(finalObject(sender), "datagrams"), "1000");
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(exitCode(receivers[i]), 0) << TempDir::contents(receivers[i].err);
        const std::string final = finalObject(receivers[i]);
        EXPECT_EQ(field(final, "final"), "true") << final;
        EXPECT_EQ(field(final, "datagrams"), "1000");
        EXPECT_EQ(field(final, "lost"), "0");
        EXPECT_EQ(field(final, "from"), "\"" + lab.hostAddress(0) + "\"");
        // On the same link: no router crossed, the sender's TTL as it sent it.
        const auto finalJson = nlohmann::json::parse(final, nullptr, false);
        EXPECT_EQ(finalJson["senders"][0].value("ttl", 0), 20) << final;
        EXPECT_EQ(finalJson["senders"][0].value("route_changes", 1), 0) << final;
        // Every line is an object of a type, so a script can parse each one,
        // and says what the receiver's own socket dropped and what reached
        // the port without being sent to the group.
        for (const std::string& line : lines(TempDir::contents(receivers[i].out))) {
            if (field(line, "type") != "\"start\"") {
                EXPECT_EQ(field(line, "overflowed"), "0") << line;
            }
            if (field(line, "final") == "true") {
                EXPECT_EQ(field(line, "stray"), "0") << line;
                EXPECT_EQ(field(line, "evicted"), "0") << line;
            }
        }
        EXPECT_TRUE(TempDir::contents(dir.file(("rx" + std::to_string(i + 1) + ".bin").c_str())) ==
                    TempDir::contents(source));
    }
    // Each program's output is JSON Lines of typed objects, the first saying
    // the format's version and the run's settings, the last the final one.
    for (const Started* run : std::vector<const Started*>{&sender, &receivers[0], &receivers[1]}) {
        const std::vector<std::string> all = lines(TempDir::contents(run->out));
        ASSERT_GE(all.size(), 2u);
        for (std::size_t n = 0; n < all.size(); ++n) {
            const auto object = nlohmann::json::parse(all[n], nullptr, false);
            ASSERT_TRUE(object.is_object()) << all[n];
            EXPECT_EQ(object.value("type", ""), n == 0                ? "start"
                                                : n + 1 == all.size() ? "final"
                                                                      : "interval")
                << all[n];
            EXPECT_TRUE(object.contains("ts") && object["ts"].is_string()) << all[n];
            if (n == 0) {
                EXPECT_TRUE(all[n].starts_with(R"({"type":"start","version":1,)")) << all[n];
                EXPECT_EQ(object.value("port", 0), 9000);
                EXPECT_EQ(object.value("count", 0), 1000);
            }
            // The speed has one form everywhere.
            EXPECT_TRUE(std::regex_match(field(all[n], "kbps"), std::regex(R"(|[0-9]+\.[0-9]{3})")))
                << all[n];
        }
    }
}

TEST(CliLab, DatagramsLeaveAndTheJoinIsMadeOnTheNamedInterface)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    // A second cable between the two hosts, beside the lab's own; the route
    // for the groups stays on the lab's.
    ASSERT_EQ(lab.exec(0, "ip link add mctx0 type veth peer name mctx1 netns " + lab.hostName(1) +
                              " && ip addr add 10.98.7.1/24 dev mctx0 && ip link set mctx0 up"),
              0);
    ASSERT_EQ(lab.exec(1, "ip addr add 10.98.7.2/24 dev mctx1 && ip link set mctx1 up"), 0);

    TempDir dir;
    const Started receiver =
        spawnIn(lab, 1, dir, "rx", kKestil,
                {"--json", "--interface", "10.98.7.2", "--count", "100", "--duration", "30"});
    awaitJoined(receiver);
    // Sends until the receiver has its datagrams: the new cable may drop the first ones.
    const Started sender =
        spawnIn(lab, 0, dir, "tx", kDovrin, {"--interface", "mctx0", "--speed", "8000", "--quiet"});
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);
    kill(sender.pid, SIGTERM);
    EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);
    const std::string final = finalObject(receiver);
    EXPECT_EQ(field(final, "datagrams"), "100") << final;
    // Sent from the second cable's address, so they left on it.
    EXPECT_EQ(field(final, "from"), "\"10.98.7.1\"");
}

TEST(CliLab, SignalsEndBothRunsWithASummaryAndTheCaptureHoldsWhatItCounts)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    // The receiver's two signals in a row are an impatient Ctrl-C, or a
    // terminal closed under a shell that passes its own hang-up on.
    struct Case {
        int toSender;
        int toReceiver;
    };
    for (const Case c : {Case{SIGTERM, SIGINT}, Case{SIGHUP, SIGHUP}}) {
        SCOPED_TRACE(strsignal(c.toSender));
        TempDir dir;
        const std::string capture = dir.file("cap.bin");
        const Started receiver = spawnIn(lab, 1, dir, "rx", kKestil, {"--json", "--save", capture});
        awaitJoined(receiver);
        const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin,
                                       {"--speed", "20000", "--json", "--interval", "0.25"});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));

        kill(sender.pid, c.toSender);
        EXPECT_EQ(exitCode(sender), 0);
        // The receiver meanwhile waits in vain for a while.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(receiver.pid, c.toReceiver);
        kill(receiver.pid, c.toReceiver);
        EXPECT_EQ(exitCode(receiver), 0);

        const std::string final = finalObject(receiver);
        EXPECT_EQ(field(final, "final"), "true") << final;
        const std::uint64_t datagrams = std::stoull("0" + field(final, "datagrams"));
        EXPECT_GT(datagrams, 100u);
        EXPECT_EQ(TempDir::contents(capture).size(), datagrams * 1024);
        EXPECT_EQ(field(final, "from"), "\"" + lab.hostAddress(0) + "\"");

        // The sender printed an object each quarter second, stamped with the
        // wall-clock time, each interval closing past its point on the grid
        // from the start; their datagrams add up to the run's.
        std::vector<std::string> sent = lines(TempDir::contents(sender.out));
        ASSERT_GE(sent.size(), 6u);
        EXPECT_EQ(field(sent.front(), "type"), "\"start\"");
        EXPECT_EQ(field(sent.front(), "interval"), "0.250");
        sent.erase(sent.begin());
        const std::string& summary = sent.back();
        EXPECT_EQ(field(summary, "final"), "true");
        const std::regex stamp(
            R"("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}")");
        std::uint64_t sum = 0;
        double elapsed = 0;
        for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
            const std::string& line = sent[i];
            EXPECT_TRUE(std::regex_match(field(line, "ts"), stamp)) << line;
            elapsed += std::stod("0" + field(line, "interval"));
            const double grid = 0.25 * static_cast<double>(i + 1);
            EXPECT_LT(elapsed, grid + 0.25) << line;
            if (i + 2 < sent.size()) {
                EXPECT_GE(elapsed, grid - 0.005) << line;   // each rounded to the ms
            }
            sum += std::stoull("0" + field(line, "datagrams"));
            EXPECT_EQ(field(line, "total_datagrams"), std::to_string(sum)) << line;
        }
        EXPECT_EQ(field(summary, "datagrams"), std::to_string(sum));
    }
}

TEST(CliLab, ASignalIgnoredAtTheStartStaysIgnoredAsUnderNohup)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &before);
    const Started receiver = spawnIn(lab, 0, dir, "rx", kKestil, {"--json"}, -1, true);
    sigaction(SIGHUP, &before, nullptr);
    awaitJoined(receiver);

    kill(receiver.pid, SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitpid(receiver.pid, nullptr, WNOHANG), 0) << "ended by an ignored SIGHUP";
    kill(receiver.pid, SIGTERM);
    EXPECT_EQ(exitCode(receiver), 3);   // ended, with no datagram received
}

TEST(CliLab, AReaderThatStopsReadingCostsReportsButNoDatagrams)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string capture = dir.file("cap.bin");
    constexpr std::uint64_t kCount = 20000;
    // A pipe of one page that nobody reads until the run is done, and a
    // report every 0.1 s.
    OutputPipe out;
    ::fcntl(out.write, F_SETPIPE_SZ, 4096);
    const Started receiver = spawnIn(
        lab, 1, dir, "rx", kKestil,
        {"--json", "--interval", "0.1", "--save", capture, "--count", std::to_string(kCount)},
        out.write);
    OutputPipe::close(out.write);
    awaitJoined(receiver);
    const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin, {"--speed", "50000", "--quiet"});

    // Every datagram is taken and saved while the output stands still.
    EXPECT_TRUE(waitFor([&] { return TempDir::contents(capture).size() == kCount * 1024; }))
        << TempDir::contents(capture).size() / 1024 << " datagrams saved";
    kill(sender.pid, SIGTERM);
    EXPECT_EQ(exitCode(sender), 0);

    std::string printed;
    char chunk[4096];
    for (ssize_t n; (n = ::read(out.read, chunk, sizeof chunk)) > 0;)
        printed.append(chunk, static_cast<std::size_t>(n));
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);
    const std::vector<std::string> all = lines(printed);
    ASSERT_FALSE(all.empty());
    const std::string& final = all.back();
    EXPECT_EQ(field(final, "final"), "true") << final;
    EXPECT_EQ(field(final, "datagrams"), std::to_string(kCount));
    EXPECT_EQ(field(final, "saved"), std::to_string(kCount));
    EXPECT_EQ(field(final, "overflowed"), "0");
}

TEST(CliLab, AClosedOutputEndsTheRunWithStatusOneAndTheCaptureWhole)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string capture = dir.file("cap.bin");
    OutputPipe rxOut;
    OutputPipe::close(rxOut.read);
    const Started receiver = spawnIn(lab, 1, dir, "rx", kKestil, {"--save", capture}, rxOut.write);
    OutputPipe::close(rxOut.write);
    awaitJoined(receiver);
    // The sender's own first report meets a closed output too.
    OutputPipe txOut;
    OutputPipe::close(txOut.read);
    const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin, {"--speed", "8000"}, txOut.write);
    OutputPipe::close(txOut.write);

    for (const auto& [started, name] :
         {std::pair{&receiver, "kestil-cli"}, std::pair{&sender, "dovrin-cli"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(exitCode(*started), 1);
        const std::string closed = std::string(name) + ": standard output was closed\n";
        EXPECT_NE(TempDir::contents(started->err).find(closed), std::string::npos)
            << TempDir::contents(started->err);
    }
    // The run stopped at its first report: 50 datagrams, or a few more.
    const std::size_t saved = TempDir::contents(capture).size();
    EXPECT_GE(saved, 50u * 1024);
    EXPECT_EQ(saved % 1024, 0u);
}

TEST(CliLab, ACaptureThatFailedEndsWithStatusFiveAndSaysWhatIsInTheFile)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string capture = dir.file("cap.bin");
    Started receiver;
    {
        // The receiver keeps the limit: its files stop at 100 records.
        // Quiet: failures are said all the same.
        FileSizeLimit limit(rlim_t{100} * 1024);
        receiver = spawnIn(lab, 1, dir, "rx", kKestil,
                           {"--json", "--quiet", "--save", capture, "--count", "300"});
    }
    awaitJoined(receiver);
    const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin, {"--speed", "8000", "--quiet"});
    EXPECT_EQ(exitCode(receiver), 5);
    kill(sender.pid, SIGTERM);
    EXPECT_EQ(exitCode(sender), 0);

    const std::string final = finalObject(receiver);
    EXPECT_EQ(field(final, "datagrams"), "300") << final;
    EXPECT_EQ(field(final, "saved"), "100");
    EXPECT_EQ(TempDir::contents(capture).size(), 100u * 1024);
    // Each failure an object of its own, with the file and the reason.
    const std::vector<std::string> err = lines(TempDir::contents(receiver.err));
    std::vector<std::string> failures;
    for (const std::string& line : err) {
        if (field(line, "event") != "\"no-data\"")
            failures.push_back(
                std::regex_replace(line, std::regex(R"("ts":"[^"]*","t":[0-9.]+,)"), ""));
    }
    EXPECT_EQ(failures, (std::vector<std::string>{
                            "{\"type\":\"event\",\"event\":\"save-failed\",\"message\":"
                            "\"cannot write to \\\"" +
                                capture + "\\\": File too large\",\"file\":\"" + capture + "\"}",
                            "{\"type\":\"event\",\"event\":\"error\",\"message\":\"capture "
                            "failed: 100 of 300 "
                            "datagrams saved in \\\"" +
                                capture + "\\\"\"}"}));
}

TEST(CliLab, AMetricsFileThatCannotBeWrittenIsSaidAtOnceAndWhenItIsAgainEvenWhenQuiet)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::filesystem::path folder = dir.file("metrics");
    std::filesystem::create_directory(folder);
    const std::string metrics = (folder / "run.prom").string();
    const Started receiver =
        spawnIn(lab, 0, dir, "rx", kKestil,
                {"--quiet", "--json", "--interval", "0.2", "--metrics", metrics});
    const auto told = [&](const char* event) {
        return TempDir::contents(receiver.err).find(event) != std::string::npos;
    };
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(metrics); }));
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(waitFor([&] { return told("write-failed"); }));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(waitFor([&] { return told("write-resumed"); }));
    kill(receiver.pid, SIGTERM);
    EXPECT_EQ(exitCode(receiver), 6);

    std::vector<std::string> said;
    for (const std::string& line : lines(TempDir::contents(receiver.err)))
        said.push_back(std::regex_replace(line, std::regex(R"("ts":"[^"]*",("t":[0-9.]+,)?)"), ""));
    EXPECT_EQ(
        said,
        (std::vector<std::string>{
            "{\"type\":\"event\",\"event\":\"write-failed\",\"message\":\"cannot write to \\\"" +
                metrics + "\\\": No such file or directory\",\"file\":\"" + metrics +
                "\",\"error\":\"No such file or directory\"}",
            "{\"type\":\"event\",\"event\":\"write-resumed\",\"message\":\"\\\"" + metrics +
                "\\\" written again\",\"file\":\"" + metrics + "\"}",
            "{\"type\":\"event\",\"event\":\"error\",\"message\":\"\\\"" + metrics +
                "\\\" could not be written: No such file or directory\"}"}));
    EXPECT_NE(TempDir::contents(metrics).find("kestil_own_drops_total"), std::string::npos);
}

TEST(CliLab, TheSenderRidesOutAnOutageAndSaysWhenItBeganAndEnded)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin, {});
    auto said = [&](const std::string& text) {
        return TempDir::contents(sender.err).find(text) != std::string::npos;
    };
    // Without its route the group cannot be reached, for longer than the
    // dialog's hundred attempts 10 ms apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(lab.exec(0, "ip route del 224.0.0.0/4"), 0);
    EXPECT_TRUE(waitFor([&] { return said("sending failed: Network is unreachable\n"); }))
        << TempDir::contents(sender.err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(waitpid(sender.pid, nullptr, WNOHANG), 0) << "the sender gave up";
    ASSERT_EQ(lab.exec(0, "ip route add 224.0.0.0/4 dev eth0"), 0);
    EXPECT_TRUE(waitFor([&] { return said("sending resumed after "); }))
        << TempDir::contents(sender.err);
    kill(sender.pid, SIGTERM);
    EXPECT_EQ(exitCode(sender), 0);
    std::smatch down;
    const std::string err = TempDir::contents(sender.err);
    ASSERT_TRUE(std::regex_search(err, down, std::regex(R"(sending resumed after ([0-9.]+) s)")));
    EXPECT_GE(std::stod(down[1].str()), 1.5);
    EXPECT_EQ(lines(err).size(), 2u) << err;
}

// Sends numbered datagrams first ... last from lab host 0 to the default
// group and port, 10 ms apart.
void sendNumbered(const NetnsLab& lab, std::uint32_t first, std::uint32_t last)
{
    lab.start(0,
              [&] {
                  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
                  // From one port every time: one sender, one sequence.
                  sockaddr_in from{};
                  from.sin_family = AF_INET;
                  from.sin_port = htons(9001);
                  EXPECT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
                  sockaddr_in group{};
                  group.sin_family = AF_INET;
                  group.sin_port = htons(9000);
                  group.sin_addr.s_addr = ::inet_addr("224.1.1.1");
                  unsigned char datagram[TestDatagram::kHeaderSize + 100] = {};
                  for (std::uint32_t seq = first; seq <= last; ++seq) {
                      TestDatagram::encodeHeader(datagram, seq);
                      EXPECT_EQ(::sendto(s, datagram, sizeof datagram, 0,
                                         reinterpret_cast<const sockaddr*>(&group), sizeof group),
                                static_cast<ssize_t>(sizeof datagram));
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  }
                  ::close(s);
              })
        .join();
}

// The metrics are served over HTTP where told (an address alone: on the
// default port) and nowhere else, at /metrics only, with the figures of the
// latest interval; a port already taken ends a second run before it starts.
TEST(CliLab, TheMetricsAreServedWhereToldAtTheirPathOnly)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string at = lab.hostAddress(1) + ":19100";
    const Started receiver = spawnIn(lab, 1, dir, "rx", kKestil,
                                     {"--interval", "0.2", "--metrics-listen", lab.hostAddress(1),
                                      "--count", "100", "--duration", "30"});
    awaitJoined(receiver);
    sendNumbered(lab, 0, 49);

    // GETs a URL from a lab host: the body, or "status N" for an HTTP error,
    // or "unreachable".
    const std::string script = dir.file("get.py");
    std::ofstream(script) << "import sys, urllib.request, urllib.error\n"
                             "try:\n"
                             "    print(urllib.request.urlopen(sys.argv[1], timeout=2)"
                             ".read().decode(), end='')\n"
                             "except urllib.error.HTTPError as e:\n"
                             "    print('status', e.code)\n"
                             "except OSError:\n"
                             "    print('unreachable')\n";
    const auto get = [&](int host, const std::string& url) {
        const std::string out = dir.file("got");
        lab.exec(host, "python3 " + script + " " + url + " > " + out + " 2>&1");
        return TempDir::contents(out);
    };
    const std::string sample =
        "kestil_datagrams_total{group=\"224.1.1.1\",port=\"9000\",sender=\"" + lab.hostAddress(0) +
        "\"} 50\n";
    std::string metrics;
    for (int i = 0; i < 50 && metrics.find(sample) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        metrics = get(0, "http://" + at + "/metrics");
    }
    EXPECT_NE(metrics.find(sample), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("# TYPE kestil_missing_total counter"), std::string::npos) << metrics;
    EXPECT_EQ(get(0, "http://" + at + "/"), "status 404\n");
    EXPECT_EQ(get(0, "http://" + at + "/metrics/../etc/passwd"), "status 404\n");
    // Bound to the address it was told, not the receiving host's loopback.
    EXPECT_EQ(get(1, "http://127.0.0.1:19100/metrics"), "unreachable\n");

    const Started second =
        spawnIn(lab, 1, dir, "second", kKestil, {"--port", "9100", "--metrics-listen", at});
    EXPECT_EQ(exitCode(second), 1);
    EXPECT_NE(TempDir::contents(second.err).find("cannot serve the metrics on port 19100"),
              std::string::npos)
        << TempDir::contents(second.err);

    sendNumbered(lab, 50, 99);
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);
}

TEST(CliLab, AnOutageShowsWithItsLengthAndLossAndTheExitStatusJudgesTheRun)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string plot = dir.file("run.svg");
    const std::string metrics = dir.file("run.prom");
    // 100 datagrams, 3 s of silence, then 100 more after a gap of 100
    // numbers: a third of the run lost, above a limit of 10 %.
    const Started receiver =
        spawnIn(lab, 1, dir, "rx", kKestil,
                {"--json", "--interval", "0.5", "--max-loss", "10", "--plot", plot, "--metrics",
                 metrics, "--count", "200", "--duration", "30"});
    awaitJoined(receiver);
    sendNumbered(lab, 0, 99);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    sendNumbered(lab, 200, 299);
    EXPECT_EQ(exitCode(receiver), 4) << TempDir::contents(receiver.err);

    std::uint64_t datagrams = 0;
    int outages = 0;
    for (const std::string& line : lines(TempDir::contents(receiver.out))) {
        if (field(line, "event") == "\"outage\"") {
            ++outages;
            EXPECT_EQ(field(line, "type"), "\"outage\"") << line;
            EXPECT_EQ(field(line, "lost"), "100") << line;
            EXPECT_NEAR(std::stod(field(line, "seconds")), 3.0, 0.5) << line;
            EXPECT_TRUE(std::regex_match(
                field(line, "began"),
                std::regex(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")")))
                << line;
        } else if (field(line, "type") == "\"interval\"") {
            EXPECT_FALSE(field(line, "ts").empty()) << line;
            datagrams += std::stoull(field(line, "datagrams"));
        }
    }
    EXPECT_EQ(outages, 1);
    // The 3 s of silence, six intervals, say no-data once (and the wait
    // for the first datagram may have said it too).
    const std::vector<std::string> events = lines(TempDir::contents(receiver.err));
    const auto noData = std::count_if(events.begin(), events.end(), [](const std::string& line) {
        return field(line, "event") == "\"no-data\"";
    });
    EXPECT_GE(noData, 1);
    EXPECT_LE(noData, 2) << TempDir::contents(receiver.err);
    const std::string final = finalObject(receiver);
    EXPECT_EQ(field(final, "datagrams"), "200") << final;
    EXPECT_EQ(datagrams, 200u) << "the intervals add up to the total";
    EXPECT_EQ(field(final, "lost"), "100");
    EXPECT_EQ(field(final, "outages"), "1");
    EXPECT_EQ(std::system(("xmllint --noout " + plot).c_str()), 0);
    EXPECT_NE(TempDir::contents(metrics).find("kestil_datagrams_total{group=\"224.1.1.1\",port="
                                              "\"9000\",sender=\"" +
                                              lab.hostAddress(0) + "\"} 200\n"),
              std::string::npos)
        << TempDir::contents(metrics);

    // Nothing at all: status 3.
    const Started silent = spawnIn(lab, 1, dir, "silent", kKestil, {"--duration", "0.5"});
    EXPECT_EQ(exitCode(silent), 3) << TempDir::contents(silent.err);
}

}   // namespace

// One sender of many groups, IPv4 or IPv6 (also of the longest textual form),
// and one receiver of them all: each group's stream arrives whole, numbered
// from 0 as a run of its own.
TEST(CliLab, OneSenderOfManyGroupsReachesEveryGroupInFull)
{
    struct Case {
        const char* groups;
        std::size_t count;
        const char* perGroup;
    };
    const Case cases[] = {{"239.1.1.1+299", 300, "20"},
                          {"ff3e::8000:1+2", 3, "300"},
                          {"ff3e:1234:5678:9abc:def0:1234:5678:9abc+1", 2, "300"}};
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.groups);
        TempDir dir;
        const std::string total = std::to_string(c.count * std::stoul(c.perGroup));
        const Started receiver =
            spawnIn(lab, 1, dir, "rx", kKestil,
                    {"--group", c.groups, "--json", "--count", total, "--duration", "60"});
        awaitJoined(receiver);
        const Started sender = spawnIn(
            lab, 0, dir, "tx", kDovrin,
            {"--group", c.groups, "--count", c.perGroup, "--speed", "2000", "--json", "--quiet"});
        EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);
        EXPECT_EQ(field(finalObject(sender), "datagrams"), total);
        EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);

        std::size_t groups = 0;
        for (const std::string& line : lines(TempDir::contents(receiver.out))) {
            if (field(line, "final") != "true")
                continue;
            const bool ofGroup = field(line, "group") != "\"all\"";
            groups += ofGroup ? 1 : 0;
            EXPECT_EQ(field(line, "datagrams"), ofGroup ? c.perGroup : total) << line;
            EXPECT_EQ(field(line, "lost"), "0") << line;
        }
        EXPECT_EQ(groups, c.count);
    }
}

namespace {

// A real monitoring server scrapes a receiver of three groups, one of which
// loses every tenth datagram to a firewall rule on the receiving host: what
// the server keeps is exactly what the rule dropped, for that group only.
TEST(CliLab, PrometheusSeesExactlyTheDatagramsAFirewallDropped)
{
    if (std::system("command -v prometheus >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "prometheus is not installed (scripts/setup installs it)";
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string& host = lab.hostAddress(1);
    // Every tenth datagram of the second group, never its last (the 300th),
    // so that each drop shows as a gap.
    ASSERT_EQ(lab.exec(1, "nft add table ip lab && nft add chain ip lab input '{ type filter "
                          "hook input priority 0; }' && nft add rule ip lab input ip daddr "
                          "239.9.0.2 udp dport 9000 numgen inc mod 10 == 5 counter drop"),
              0);
    const Started receiver = spawnIn(lab, 1, dir, "rx", kKestil,
                                     {"--group", "239.9.0.1+2", "--interval", "0.5",
                                      "--metrics-listen", host + ":9464", "--duration", "60"});
    awaitJoined(receiver);
    const std::string config = dir.file("prometheus.yml");
    std::ofstream(config) << "global:\n  scrape_interval: 1s\n"
                             "scrape_configs:\n  - job_name: kestil\n    static_configs:\n"
                             "      - targets: ['" +
                                 host + ":9464']\n";
    const Started server =
        spawnIn(lab, 1, dir, "prometheus", "/usr/bin/prometheus",
                {"--config.file=" + config, "--storage.tsdb.path=" + dir.file("data"),
                 "--web.listen-address=" + host + ":9090", "--log.level=warn"});
    const Started sender =
        spawnIn(lab, 0, dir, "tx", kDovrin,
                {"--group", "239.9.0.1+2", "--count", "300", "--speed", "800", "--quiet"});
    EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);

    const std::string counted = dir.file("counter");
    lab.exec(1, "nft list ruleset | grep -o 'packets [0-9]*' > " + counted);
    const std::string dropped = TempDir::contents(counted).substr(8);
    ASSERT_EQ(std::stoul(dropped), 30u) << dropped;

    // The server's latest sample of each group, once it has scraped the
    // receiver's last interval.
    const std::string script = dir.file("query.py");
    std::ofstream(script) << "import sys, urllib.request, urllib.parse\n"
                             "q = urllib.parse.quote(sys.argv[2])\n"
                             "print(urllib.request.urlopen(sys.argv[1] + '/api/v1/query?query=' + "
                             "q, timeout=5).read().decode())\n";
    std::map<std::string, std::string> missing;
    std::string last;   // the latest answer
    for (int i = 0; i < 100 && missing["239.9.0.2"] != "30"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::string out = dir.file("answer");
        lab.exec(1, "python3 " + script + " http://" + host +
                        ":9090 kestil_group_missing_total > " + out + " 2>&1");
        last = TempDir::contents(out);
        const nlohmann::json answer = nlohmann::json::parse(last, nullptr, false);
        if (answer.is_discarded() || !answer.contains("data"))
            continue;
        for (const auto& series : answer["data"]["result"])
            missing[series["metric"]["group"].get<std::string>()] =
                series["value"][1].get<std::string>();
    }
    // The receiver runs on until the server has seen its last figures.
    kill(receiver.pid, SIGTERM);
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);
    kill(server.pid, SIGTERM);
    exitCode(server);
    EXPECT_EQ(missing, (std::map<std::string, std::string>{
                           {"239.9.0.1", "0"}, {"239.9.0.2", "30"}, {"239.9.0.3", "0"}}))
        << last << TempDir::contents(server.err);
}

}   // namespace

namespace {

// The metrics file as the node exporter's text file collector reads it: every
// family taken, none refused.
TEST(CliLab, TheNodeExportersTextCollectorReadsTheMetricsFile)
{
    if (std::system("command -v prometheus-node-exporter >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "prometheus-node-exporter is not installed (scripts/setup installs it)";
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string folder = dir.file("collected");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string& host = lab.hostAddress(1);
    const Started exporter = spawnIn(lab, 1, dir, "exporter", "/usr/bin/prometheus-node-exporter",
                                     {"--collector.disable-defaults", "--collector.textfile",
                                      "--collector.textfile.directory=" + folder,
                                      "--web.listen-address=" + host + ":9100"});
    const Started receiver =
        spawnIn(lab, 1, dir, "rx", kKestil,
                {"--interval", "0.2", "--metrics", folder + "/kestil.prom", "--count", "50"});
    awaitJoined(receiver);
    sendNumbered(lab, 0, 49);
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);

    const std::string out = dir.file("scraped");
    lab.exec(1, "python3 -c \"import urllib.request as u; print(u.urlopen('http://" + host +
                    ":9100/metrics', timeout=5).read().decode())\" > " + out + " 2>&1");
    const std::string scraped = TempDir::contents(out);
    kill(exporter.pid, SIGTERM);
    exitCode(exporter);
    EXPECT_NE(scraped.find("kestil_datagrams_total{group=\"224.1.1.1\",port=\"9000\",sender=\"" +
                           lab.hostAddress(0) + "\"} 50"),
              std::string::npos)
        << scraped;
    EXPECT_NE(scraped.find("node_textfile_scrape_error 0"), std::string::npos) << scraped;
}

}   // namespace

#include "cli/cli_output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A pipe whose ends close with it.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        read = ends[0];
        write = ends[1];
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead()
    {
        if (read >= 0)
            ::close(read);
        read = -1;
    }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    // Everything until the write end is closed.
    std::string drain() const
    {
        std::string all;
        char chunk[4096];
        for (ssize_t n; (n = ::read(read, chunk, sizeof chunk)) > 0;)
            all.append(chunk, static_cast<std::size_t>(n));
        return all;
    }
};

TEST(CliOutput, AReaderThatFallsBehindCostsReportsButNeverTheCallersTime)
{
    Pipe out;
    Pipe err;
    // One page: the pipe is full after a few dozen lines.
    ::fcntl(out.write, F_SETPIPE_SZ, 4096);
    constexpr std::uint64_t kReports = 5000;
    std::string printed;
    std::uint64_t dropped = 0;
    {
        CliOutput output("prog", true, false, out.write, err.write);
        // Nobody reads meanwhile: were a report to wait for the reader, this
        // would never end.
        for (std::uint64_t n = 0; n < kReports; ++n)
            output.report("", {jsonNumber("n", n)});
        dropped = output.dropped();
        EXPECT_GE(dropped, kReports - CliOutput::kQueuedLines - 4096 / 16 - 1);
        std::thread reader([&] { printed = out.drain(); });
        output.summary("", {jsonNumber("n", kReports)});
        EXPECT_EQ(output.dropped(), dropped);
        EXPECT_FALSE(output.closed());
        out.closeWrite();   // the reader sees its end once the summary is in
        reader.join();
    }
    err.closeWrite();

    // What was queued came out whole and in order, the summary last.
    const std::regex line(
        R"(\{"type":("interval"|"final","final":true),"ts":"[^"]+","t":[0-9.]+,"n":([0-9]+)\}\n)");
    std::uint64_t lines = 0;
    std::int64_t previous = -1;
    for (auto it = std::sregex_iterator(printed.begin(), printed.end(), line);
         it != std::sregex_iterator(); ++it, ++lines) {
        const std::int64_t n = std::stoll((*it)[2].str());
        EXPECT_GT(n, previous);
        previous = n;
        EXPECT_EQ((*it)[1].str() != "\"interval\"", n == static_cast<std::int64_t>(kReports));
    }
    EXPECT_EQ(lines, kReports - dropped + 1);
    EXPECT_EQ(previous, static_cast<std::int64_t>(kReports));
    // Said once the queue was empty again, in one line or (had the writer
    // caught up meanwhile) several.
    const std::string said = err.drain();
    const std::regex missed(
        R"re(\{"type":"event","ts":"[^"]+","t":[0-9.]+,"event":"lines-dropped","message":"[0-9]+ )re"
        R"re(lines not )re"
        R"re(printed: the output was not read in time","lines":([0-9]+)\}\n)re");
    std::uint64_t missedSum = 0;
    for (auto it = std::sregex_iterator(said.begin(), said.end(), missed);
         it != std::sregex_iterator(); ++it)
        missedSum += std::stoull((*it)[1].str());
    EXPECT_EQ(missedSum, dropped) << said;
}

TEST(CliOutput, AClosedOutputIsNoticedAndTheFailureStillReachesStderr)
{
    Pipe out;
    Pipe err;
    out.closeRead();   // SIGPIPE would end the test program here
    {
        CliOutput output("prog", false, false, out.write, err.write);
        output.report("one", {});
        output.summary("total", {});
        EXPECT_TRUE(output.closed());
        output.report("after", {});   // neither blocks nor fails
        output.fail("standard output was closed");
    }
    err.closeWrite();
    EXPECT_EQ(err.drain(), "prog: standard output was closed\n");
}

// While a full-screen view is on the terminal the reports stay off it and
// the lines for stderr wait for its end, then come in their order.
TEST(CliOutput, UnderAScreenReportsAreLeftOutAndEventsWaitForItsEnd)
{
    Pipe out;
    Pipe err;
    ASSERT_EQ(::fcntl(err.read, F_SETFL, O_NONBLOCK), 0);
    {
        CliOutput output("prog", false, false, out.write, err.write);
        output.showScreen(true, true);
        output.report("interval", {});
        output.event("joined", "joined 239.1.1.1");
        output.alert("write-failed", "cannot write");
        EXPECT_TRUE(
            std::regex_match(output.latestEvent(), std::regex(R"(\d\d:\d\d:\d\d  cannot write)")))
            << output.latestEvent();
        // Written once everything queued before it is: the events too.
        output.summary("first", {});
        char byte = 0;
        EXPECT_EQ(::read(err.read, &byte, 1), -1);
        output.showScreen(false, false);
        output.summary("total", {});
    }
    out.closeWrite();
    err.closeWrite();
    ASSERT_EQ(::fcntl(err.read, F_SETFL, 0), 0);
    const std::string stamp = R"(\d\d:\d\d:\d\d\.\d{3}  )";
    const std::string said = out.drain();
    EXPECT_TRUE(std::regex_match(said, std::regex(stamp + "first\n" + stamp + "total\n"))) << said;
    const std::string events = err.drain();
    EXPECT_TRUE(std::regex_match(
        events, std::regex(stamp + "joined 239.1.1.1\n" + stamp + "cannot write\n")))
        << events;
}

TEST(CliOutput, EventsAndErrorsAreLinesOrJsonObjectsNamingTheEvent)
{
    const struct {
        bool json;
        const char* expected;   // a pattern of the whole of stderr
    } forms[] = {
        {false, R"([0-9:.]{12}  no datagrams received\n)"
                R"([0-9:.]{12}  source "a.txt" is empty\n)"
                R"(prog: cannot open "x/y.bin": No such file or directory\n)"},
        {true, R"re(\{"type":"event","ts":"[^"]+","t":[0-9.]+,"event":"no-data","message":)re"
               R"re("no datagrams received"\}\n)re"
               R"re(\{"type":"event","ts":"[^"]+","t":[0-9.]+,"event":"source-empty",)re"
               R"re("message":"source \\"a.txt\\" is empty","file":"a.txt"\}\n)re"
               R"re(\{"type":"event","ts":"[^"]+","t":[0-9.]+,"event":"error","message":)re"
               R"re("cannot open \\"x/y.bin\\": No such file or directory"\}\n)re"},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(form.json);
        Pipe out;
        Pipe err;
        {
            CliOutput output("prog", form.json, false, out.write, err.write);
            output.event("no-data", "no datagrams received");
            // A repeat with no report between them is said once.
            output.event("no-data", "no datagrams received");
            output.event("source-empty", "source \"a.txt\" is empty", {jsonText("file", "a.txt")});
            output.fail("cannot open \"x/y.bin\": No such file or directory");
        }
        err.closeWrite();
        const std::string said = err.drain();
        EXPECT_TRUE(std::regex_match(said, std::regex(form.expected))) << said;
    }
    // Before a run's output exists, as when the options are refused.
    EXPECT_EQ(errorLine("prog", false, "port \"0\" is not between 1 and 65535"),
              "prog: port \"0\" is not between 1 and 65535\n");
    const std::string json = errorLine("prog", true, "port \"0\" is not between 1 and 65535");
    EXPECT_TRUE(std::regex_match(
        json, std::regex(R"re(\{"type":"event","ts":"[^"]+","event":"error","message":"port )re"
                         R"re(\\"0\\" is not between 1 and 65535"\}\n)re")))
        << json;
}

TEST(CliOutput, ReportsMadeLaterComeOutWholeWithTheirTimeAndInBothForms)
{
    // More objects than the queue holds lines: they are queued as one.
    constexpr std::uint64_t kObjects = CliOutput::kQueuedLines * 4;
    std::vector<std::vector<JsonField>> objects;
    for (std::uint64_t n = 0; n < kObjects; ++n)
        objects.push_back({jsonNumber("n", n)});
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json);
        Pipe out;
        Pipe err;
        std::string printed;
        std::thread reader([&] { printed = out.drain(); });
        {
            CliOutput output("prog", json, false, out.write, err.write);
            output.reportsLater([&objects](std::vector<std::string>& texts,
                                           std::vector<std::vector<JsonField>>& made) {
                texts = {"first", "second"};
                made = objects;
            });
            output.summaries({"total"}, {{jsonNumber("n", kObjects)}});
            EXPECT_EQ(output.dropped(), 0u);
        }
        out.closeWrite();
        reader.join();
        if (!json) {
            const std::regex human(R"([0-9:.]+  first\n[0-9:.]+  second\n[0-9:.]+  total\n)");
            EXPECT_TRUE(std::regex_match(printed, human)) << printed;
            continue;
        }
        const std::regex line(
            R"re(\{"type":("interval"|"final","final":true),"ts":"([^"]+)","t":[0-9.]+,"n":([0-9]+)\}\n)re");
        std::uint64_t n = 0;
        std::string ts;
        for (auto it = std::sregex_iterator(printed.begin(), printed.end(), line);
             it != std::sregex_iterator(); ++it, ++n) {
            EXPECT_EQ(std::stoull((*it)[3].str()), n);
            EXPECT_EQ((*it)[1].str() != "\"interval\"", n == kObjects);
            // The objects of one report share their time.
            if (n == 0) {
                ts = (*it)[2].str();
            } else if (n < kObjects) {
                EXPECT_EQ((*it)[2].str(), ts);
            }
        }
        EXPECT_EQ(n, kObjects + 1);
    }
}

}   // namespace

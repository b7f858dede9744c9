#pragma once

#include "tests/support/netns_lab.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// The command-line programs run as a user runs them: started, waited for,
// their output read back from files.

// One started program, its output going into two files.
struct Started {
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// Starts program with args in the calling thread's network namespace; its
// stdout goes to out when given (the program then has it as its only copy
// of that descriptor). It starts with SIGINT, SIGTERM and SIGHUP at their
// defaults, as from an interactive shell, whatever the tests were started
// with; hangUpIgnored leaves SIGHUP ignored, as nohup does.
Started spawn(const TempDir& dir, const std::string& name, const char* program,
              const std::vector<std::string>& args, int out = -1, bool hangUpIgnored = false);

// Starts the program inside a lab host.
Started spawnIn(const NetnsLab& lab, int host, const TempDir& dir, const std::string& name,
                const char* program, const std::vector<std::string>& args, int out = -1,
                bool hangUpIgnored = false);

// A pipe for a program's stdout; neither end leaks into the programs started.
struct OutputPipe {
    int read = -1;
    int write = -1;
    OutputPipe()
    {
        int ends[2];
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read = ends[0];
        write = ends[1];
    }
    ~OutputPipe()
    {
        for (const int end : {read, write})
            if (end >= 0)
                ::close(end);
    }
    OutputPipe(const OutputPipe&) = delete;
    OutputPipe& operator=(const OutputPipe&) = delete;
    static void close(int& end)
    {
        ::close(end);
        end = -1;
    }
};

// Waits up to a minute for done; its last answer.
template <class Done>
bool waitFor(Done done)
{
    for (int wait = 0; wait < 3000; ++wait) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The exit status, or -1 when the program did not end in time (it is then killed).
int exitCode(const Started& started, int seconds = 60);

// The text's lines, each without its newline; an unfinished last line is left out.
std::vector<std::string> lines(const std::string& text);

// A number or string field of a JSON Lines object as text.
std::string field(const std::string& line, const std::string& key);

// The last line of a run's stdout, which must be its final JSON object.
std::string finalObject(const Started& started);

// A receiver says it has no data yet only once it has joined: then it is
// ready for a sender.
void awaitJoined(const Started& receiver);

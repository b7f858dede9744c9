#include "tests/support/cli_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

extern char** environ;

// Starts program with args in the calling thread's network namespace; its
// stdout goes to out when given (the program then has it as its only copy
// of that descriptor). It starts with SIGINT, SIGTERM and SIGHUP at their
// defaults, as from an interactive shell, whatever the tests were started
// with; hangUpIgnored leaves SIGHUP ignored, as nohup does.
Started spawn(const TempDir& dir, const std::string& name, const char* program,
              const std::vector<std::string>& args, int out, bool hangUpIgnored)
{
    Started started{-1, dir.file((name + ".out").c_str()), dir.file((name + ".err").c_str())};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, started.out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, started.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    if (!hangUpIgnored)
        sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&started.pid, program, &actions, &attributes, argv.data(), environ) != 0)
        started.pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

// Starts the program inside a lab host.
Started spawnIn(const NetnsLab& lab, int host, const TempDir& dir, const std::string& name,
                const char* program, const std::vector<std::string>& args, int out,
                bool hangUpIgnored)
{
    Started started;
    lab.start(host, [&] { started = spawn(dir, name, program, args, out, hangUpIgnored); }).join();
    return started;
}

// The exit status, or -1 when the program did not end in time (it is then killed).
int exitCode(const Started& started, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(started.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(started.pid, SIGKILL);
            waitpid(started.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    return result;
}

// A number or string field of a JSON Lines object as text.
std::string field(const std::string& line, const std::string& key)
{
    std::smatch match;
    const std::regex pattern("\"" + key + "\":(\"[^\"]*\"|[-0-9.]+|true)");
    return std::regex_search(line, match, pattern) ? match[1].str() : std::string();
}

// The last line of a run's stdout, which must be its final JSON object.
std::string finalObject(const Started& started)
{
    const std::vector<std::string> all = lines(TempDir::contents(started.out));
    return all.empty() ? std::string() : all.back();
}

// A receiver says it has no data yet only once it has joined: then it is
// ready for a sender.
void awaitJoined(const Started& receiver)
{
    for (int wait = 0; wait < 500 && TempDir::contents(receiver.err).empty(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

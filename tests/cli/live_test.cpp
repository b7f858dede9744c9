// kestil-cli --live on a real terminal: tmux runs it inside a lab host, and
// its screen is read back as text.

#include "tests/cli/programs.h"
#include "tests/support/cli_process.h"
#include "tests/support/netns_lab.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A tmux server of its own, on a socket in dir, removed with it.
class Tmux {
public:
    explicit Tmux(const TempDir& dir) : dir_(dir), socket_(dir.file("tmux.socket")) {}
    ~Tmux() { run("kill-server"); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // What the tmux command printed.
    std::string run(const std::string& args) const
    {
        const std::string out = dir_.file("tmux.out");
        std::system(("tmux -S " + socket_ + " " + args + " >" + out + " 2>&1").c_str());
        return TempDir::contents(out);
    }
    // The screen's lines as they stand.
    std::vector<std::string> screen() const
    {
        std::vector<std::string> rows;
        std::istringstream text(run("capture-pane -p -t live"));
        for (std::string line; std::getline(text, line);)
            rows.push_back(line);
        return rows;
    }

private:
    const TempDir& dir_;
    std::string socket_;
};

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> all;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        all.push_back(w);
    return all;
}

// The rows below the column heads, each as its words.
std::vector<std::vector<std::string>> tableRows(const std::vector<std::string>& screen)
{
    std::vector<std::vector<std::string>> rows;
    bool below = false;
    for (const std::string& line : screen) {
        if (below && line.starts_with("239."))
            rows.push_back(words(line));
        below = below || line.starts_with("GROUP ");
    }
    return rows;
}

bool has(const std::vector<std::string>& screen, const std::string& text)
{
    for (const std::string& line : screen)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

// 300 groups, one losing half its datagrams to a firewall rule and one never
// sent: the losing one comes first with its loss, the silent one next, every
// other flows; a smaller terminal gets the view drawn again at its size; q
// ends the run with its summary on the terminal given back.
TEST(LiveLab, ShowsTheLosingAndSilentGroupsFirstFollowsResizesAndQuitsWithTheSummary)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    ASSERT_EQ(lab.exec(1, "nft add table ip live && nft add chain ip live input '{ type filter "
                          "hook input priority 0; }' && nft add rule ip live input ip daddr "
                          "239.8.0.77 udp dport 9000 numgen inc mod 2 == 0 drop"),
              0);
    Tmux tmux(dir);
    tmux.run("-f /dev/null new-session -d -s live -x 200 -y 60 'ip netns exec " + lab.hostName(1) +
             " " + kKestil +
             " --live --group 239.8.0.1+299 --interval 0.5 --duration 120; echo exit $?; "
             "sleep 600'");
    // Every group but 239.8.0.151, at about 9 datagrams a second each.
    const Started sender =
        spawnIn(lab, 0, dir, "tx", kDovrin,
                {"--group", "239.8.0.1+149", "--group", "239.8.0.152+148", "--speed", "8", "--size",
                 "100", "--duration", "60", "--quiet"});

    std::vector<std::string> screen;
    ASSERT_TRUE(waitFor([&] {
        screen = tmux.screen();
        // Two seconds in, the loss has settled near half.
        return has(screen, "up 0:00:02  groups 300: 299 flowing, 1 losing, 1 silent");
    })) << tmux.run("capture-pane -p -t live");
    std::vector<std::vector<std::string>> rows = tableRows(screen);
    ASSERT_GT(rows.size(), 50u);
    // GROUP SENDER STATE RATE DGRAMS LOST LOSS% TOTAL T.LOST T.LOSS% ...
    EXPECT_EQ(rows[0][0], "239.8.0.77");
    EXPECT_EQ(rows[0][1], lab.hostAddress(0));
    EXPECT_EQ(rows[0][2], "losing");
    EXPECT_NEAR(std::stod(rows[0][9]), 50.0, 10.0) << screen[7];
    EXPECT_EQ(rows[1][0], "239.8.0.151");
    EXPECT_EQ(rows[1][2], "silent");
    for (std::size_t k = 2; k < rows.size(); ++k)
        EXPECT_EQ(rows[k][2], "flowing") << rows[k][0];

    // Drawn again at the new size: the footer counts the rows that fit.
    tmux.run("resize-window -t live -x 80 -y 24");
    ASSERT_TRUE(waitFor([&] {
        screen = tmux.screen();
        rows = tableRows(screen);
        return screen.size() == 24 && !rows.empty() &&
               screen.back().starts_with("1-" + std::to_string(rows.size()) + "/300 ");
    })) << tmux.run("capture-pane -p -t live");
    EXPECT_EQ(rows[0][0], "239.8.0.77");
    for (const std::string& line : screen)
        EXPECT_LE(line.size(), 80u) << line;

    tmux.run("send-keys -t live q");
    ASSERT_TRUE(waitFor([&] {
        screen = tmux.screen();
        return has(screen, "exit ");
    }));
    EXPECT_TRUE(has(screen, "exit 0")) << tmux.run("capture-pane -p -t live");
    EXPECT_TRUE(has(screen, "total  datagrams"));
    EXPECT_FALSE(has(screen, "q quit"));
    // Out of the alternate screen, the cursor shown, the keypad as it was.
    EXPECT_EQ(tmux.run("display -p -t live '#{alternate_on} #{cursor_flag} #{keypad_flag}'"),
              "0 1 0\n");
    kill(sender.pid, SIGTERM);
    EXPECT_EQ(exitCode(sender), 0);
}

// A crash while the view is up still gives the terminal back: the screen it
// replaced, the cursor, the keypad and the line discipline (echo and lines).
TEST(LiveLab, ACrashGivesTheTerminalBack)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    Tmux tmux(dir);
    tmux.run("-f /dev/null new-session -d -s live -x 100 -y 30 'ip netns exec " + lab.hostName(1) +
             " " + kKestil + " --live --duration 120; echo exit $?; stty -a; sleep 600'");
    ASSERT_TRUE(waitFor([&] { return has(tmux.screen(), "q quit"); }))
        << tmux.run("capture-pane -p -t live");
    const std::string pane = tmux.run("display -p -t live '#{pane_pid}'");
    ASSERT_EQ(std::system(("pkill -SEGV -P " + pane).c_str()), 0);
    std::vector<std::string> screen;
    ASSERT_TRUE(waitFor([&] {
        screen = tmux.screen();
        return has(screen, "exit ") && has(screen, " echo ");
    })) << tmux.run("capture-pane -p -t live");
    EXPECT_TRUE(has(screen, "exit 139"));
    EXPECT_TRUE(has(screen, " icanon ") && has(screen, " echo ") && has(screen, " icrnl "));
    EXPECT_EQ(tmux.run("display -p -t live '#{alternate_on} #{cursor_flag} #{keypad_flag}'"),
              "0 1 0\n");
}

}   // namespace

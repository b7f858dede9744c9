#include "cli/live_view.h"

#include "report/messages.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

// Functions only: ncurses' macros (move, erase, clear, ...) would take the
// standard library's names.
#define NCURSES_NOMACROS
#include <curses.h>

namespace {

// The colour pairs of the rows' states.
enum Pair : short { kLosing = 1, kSilent = 2, kFlowing = 3 };

SCREEN* screenOf(void* screen)
{
    return static_cast<SCREEN*>(screen);
}

// Whether the user asked for no colour (https://no-color.org): NO_COLOR set
// and not empty.
bool noColour()
{
    const char* value = std::getenv("NO_COLOR");
    return value != nullptr && *value != '\0';
}

// What gives the terminal back when the process crashes while the view is
// up: the terminal's sequences that leave the view's screen and show the
// cursor, and its line discipline from before. A crash handler may reach
// nothing but such plain memory, written before it is installed.
struct CrashRestore {
    std::array<char, 256> text{};
    std::size_t length = 0;
    termios modes{};
    bool saved = false;
    std::array<struct sigaction, 5> previous{};
};
CrashRestore crash;
constexpr std::array<int, 5> kCrashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void restoreAndDie(int signal)
{
    if (crash.length != 0 && ::write(STDOUT_FILENO, crash.text.data(), crash.length) < 0) {
        // Nothing more can be done for the terminal.
    }
    if (crash.saved)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &crash.modes);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Keeps the terminal's sequences for a crash and catches the signals of one.
void armCrashRestore()
{
    crash.length = 0;
    // String capabilities all: an absent one reads as null.
    for (const char* name : {"rmcup", "rmkx", "cnorm", "sgr0"}) {
        const char* sequence = tigetstr(name);
        if (sequence == nullptr)
            continue;
        const std::size_t n = std::strlen(sequence);
        if (crash.length + n > crash.text.size())
            break;
        std::memcpy(crash.text.data() + crash.length, sequence, n);
        crash.length += n;
    }
    struct sigaction action {};
    action.sa_handler = restoreAndDie;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kCrashSignals.size(); ++i)
        sigaction(kCrashSignals[i], &action, &crash.previous[i]);
}

void disarmCrashRestore()
{
    for (std::size_t i = 0; i < kCrashSignals.size(); ++i)
        sigaction(kCrashSignals[i], &crash.previous[i], nullptr);
    crash.length = 0;
    crash.saved = false;
}

sigset_t resizeSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGWINCH);
    return set;
}

void put(int y, const std::string& text, attr_t attributes = A_NORMAL, short pair = 0)
{
    attr_set(attributes, pair, nullptr);
    mvaddstr(y, 0, text.c_str());
    attr_set(A_NORMAL, 0, nullptr);
}

}   // namespace

LiveView::LiveView(std::function<std::vector<std::string>()> notes) : notes_(std::move(notes))
{
}

LiveView::~LiveView()
{
    close();
}

void LiveView::blockResizes()
{
    const sigset_t set = resizeSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string LiveView::open()
{
    // The characters of the user's language (the Chinese words); the
    // numbers keep the C locale's point.
    std::setlocale(LC_CTYPE, "");
    const char* term = std::getenv("TERM");
    crash.saved = ::tcgetattr(STDIN_FILENO, &crash.modes) == 0;
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr)
        return say("--live: the terminal \"{1}\" is not known",
                   {printableText(term != nullptr ? term : "")});
    set_term(screen);
    // A terminal that cannot move its cursor cannot show a table in place.
    // (cup is a string capability: absent reads as null, never as -1.)
    if (tigetstr("cup") == nullptr) {
        endwin();
        delscreen(screen);
        return say("--live: the terminal \"{1}\" cannot move its cursor",
                   {printableText(term != nullptr ? term : "")});
    }
    screen_ = screen;
    armCrashRestore();
    cbreak();   // Ctrl-C stays a signal, which ends the run
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    if (has_colors() && !noColour()) {
        colours_ = true;
        start_color();
        use_default_colors();
        init_pair(kLosing, COLOR_RED, -1);
        init_pair(kSilent, COLOR_YELLOW, -1);
        init_pair(kFlowing, COLOR_GREEN, -1);
    }
    draw();
    return {};
}

void LiveView::close()
{
    if (screen_ == nullptr)
        return;
    disarmCrashRestore();
    curs_set(1);
    endwin();
    delscreen(screenOf(screen_));
    screen_ = nullptr;
    std::fflush(stdout);
}

void LiveView::offer(const ReceiveInterval& interval)
{
    std::lock_guard guard(lock_);
    offered_ = interval;   // into the capacity of the one before
    fresh_ = true;
}

bool LiveView::poll()
{
    if (screen_ == nullptr)
        return quit_;
    bool changed = false;
    {
        std::lock_guard guard(lock_);
        if (fresh_) {
            std::swap(offered_, taken_);
            fresh_ = false;
            changed = true;
        }
    }
    if (changed)
        table_.update(taken_);
    // A resize: the terminal's new size, read here, not in a handler.
    const sigset_t set = resizeSet();
    const timespec none{0, 0};
    if (sigtimedwait(&set, nullptr, &none) == SIGWINCH) {
        winsize size{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
            resizeterm(size.ws_row, size.ws_col);
        changed = true;
    }
    for (int code = getch(); code != ERR; code = getch())
        changed = key(code) || changed;
    if (changed && !quit_)
        draw();
    return quit_;
}

bool LiveView::key(int code)
{
    const std::size_t shown = table_.shown().size();
    const std::size_t last = shown > page_ ? shown - page_ : 0;
    switch (code) {
    case 'q':
    case 'Q': quit_ = true; return false;
    case 'w': table_.sortBy(LiveSort::Worst); break;
    case 'g': table_.sortBy(LiveSort::Group); break;
    case 's': table_.sortBy(LiveSort::Sender); break;
    case 'r': table_.sortBy(LiveSort::Rate); break;
    case 'l': table_.sortBy(LiveSort::Loss); break;
    case 't': table_.sortBy(LiveSort::TotalLoss); break;
    case 'h': table_.sortBy(LiveSort::Heard); break;
    case 'o': table_.sortBy(LiveSort::Outages); break;
    case 'p':
        table_.toggleProblems();
        first_ = 0;
        break;
    case KEY_UP:
    case 'k': first_ = first_ > 0 ? first_ - 1 : 0; break;
    case KEY_DOWN:
    case 'j': first_ = std::min(first_ + 1, last); break;
    case KEY_PPAGE:
    case 'b': first_ = first_ > page_ ? first_ - page_ : 0; break;
    case KEY_NPAGE:
    case ' ': first_ = std::min(first_ + page_, last); break;
    case KEY_HOME: first_ = 0; break;
    case KEY_END: first_ = last; break;
    case 12:   // Ctrl-L: the whole screen again
        clearok(curscr, TRUE);
        break;
    case KEY_RESIZE: break;
    default: return false;
    }
    return true;
}

void LiveView::draw()
{
    const int height = getmaxy(stdscr);
    const int width = getmaxx(stdscr);
    const auto columns = static_cast<std::size_t>(std::max(width, 1));
    werase(stdscr);
    int y = 0;
    const std::vector<std::string> header = table_.headerLines(columns, notes_());
    for (const std::string& line : header) {
        if (y >= height - 1)
            break;
        put(y, line, y == 0 ? A_BOLD : A_NORMAL);
        ++y;
    }
    const LiveLayout layout = table_.layout(columns);
    if (y < height - 1) {
        put(y, fitText(table_.headText(layout), columns, true), A_REVERSE);
        ++y;
    }
    // The rows between the heads and the line of keys.
    const std::vector<const LiveRow*>& rows = table_.shown();
    page_ = static_cast<std::size_t>(std::max(height - 1 - y, 1));
    first_ = std::min(first_, rows.size() > page_ ? rows.size() - page_ : 0);
    const std::size_t end = std::min(rows.size(), first_ + page_);
    for (std::size_t k = first_; k < end && y < height - 1; ++k, ++y) {
        const LiveRow& row = *rows[k];
        short pair = 0;
        if (colours_)
            pair = row.state == LiveState::Losing
                       ? kLosing
                       : (row.state == LiveState::Silent ? kSilent : kFlowing);
        put(y, table_.rowText(row, layout), row.state == LiveState::Flowing ? A_NORMAL : A_BOLD,
            pair);
    }
    if (table_.empty() && y < height - 1)
        put(y, fitText(tr("waiting for the first interval"), columns, true));
    // The keys, and where the rows shown stand among all.
    const std::string where = rows.empty()
                                  ? std::string()
                                  : std::to_string(first_ + 1) + "-" + std::to_string(end) + "/" +
                                        std::to_string(rows.size()) + "  ";
    put(height - 1,
        fitText(where + tr("q quit  w g s r l t h o sort  p problems  arrows, PgUp, PgDn scroll"),
                columns - 1, true),
        A_REVERSE);
    wnoutrefresh(stdscr);
    doupdate();
}

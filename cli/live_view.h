#pragma once

#include "core/interval_figures.h"
#include "report/live_table.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// kestil-cli's live view: the table of report/live_table.h drawn full-screen
// on the terminal with ncurses, updated in place each interval, and its keys.
// The receiving thread only hands over each interval's figures (offer());
// everything else, drawing and keys included, runs on the thread that waits
// for the run's end, which calls poll() often.
class LiveView {
public:
    // notes gives the lines the header adds (the querier, the latest event);
    // asked on each drawing.
    explicit LiveView(std::function<std::vector<std::string>()> notes);
    // Gives the terminal back.
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Blocks SIGWINCH in the calling thread, and so in every thread started
    // later: poll() takes it, so that no thread is interrupted by a resize.
    // Called before any thread starts.
    static void blockResizes();

    // Takes the terminal on standard output (the keys from standard input)
    // and draws the view: empty, or why the terminal cannot be drawn on.
    std::string open();
    // Gives the terminal back as it was before open(): the screen the view
    // replaced, the cursor, the line discipline. Again, or before open(),
    // it does nothing.
    void close();

    // From the receiving thread: the figures of the interval just closed.
    // Only copies them.
    void offer(const ReceiveInterval& interval);

    // Takes what came since the last call (figures, keys, a resize) and
    // draws again where anything did. True once quitting was asked for.
    bool poll();
    bool quitAsked() const { return quit_; }

private:
    bool key(int code);
    void draw();

    std::function<std::vector<std::string>()> notes_;
    void* screen_ = nullptr;   // the ncurses SCREEN
    bool colours_ = false;
    bool quit_ = false;
    LiveTable table_;
    std::size_t first_ = 0;   // the first row shown
    std::size_t page_ = 1;    // rows that fit below the header

    std::mutex lock_;   // what follows
    ReceiveInterval offered_;
    bool fresh_ = false;
    ReceiveInterval taken_;   // front end only
};

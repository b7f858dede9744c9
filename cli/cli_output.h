#pragma once

#include "report/figure_text.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A line saying why a program stops: "program: message", or in JSON
// {"type":"event","ts":...,"event":"error","message":...}; with its newline.
std::string errorLine(std::string_view program, bool json, std::string_view message);

// Where a command-line run prints: reports on stdout, one line each, human
// (a time stamp and words; a text of several lines has the stamp on each)
// or JSON Lines, each object beginning with "type", then "ts" (the
// wall-clock time, RFC 3339) and "t"; events and errors on stderr, so that
// stdout stays machine-readable, under JSON each an object of the type
// "event" that names its "event" and has its "message". A report's type is
// its fields' "type", else "interval"; a summary's is "final". Lines are written on a thread of
// their own, each at once, for the scripts that read them as they come; the callers only queue
// them. A reader that falls behind costs reports and events, never the caller's time: while
// kQueuedLines wait, further ones are left out, and how many is said on stderr once the queue is
// empty again. The summary and failure lines are never left out: their callers wait until they are
// written. Safe to call from the worker thread.
class CliOutput {
public:
    static constexpr std::size_t kQueuedLines = 256;
    // The version of the JSON objects' keys and meanings, said by the first
    // object of every run; it grows when a key changes its meaning or goes.
    static constexpr int kJsonVersion = 1;

    // Writes to the two descriptors, which it does not close. SIGPIPE is
    // ignored from here on: a reader gone shows as a failed write.
    CliOutput(std::string program, bool json, bool quiet, int out = 1, int err = 2);
    // Writes what is still queued.
    ~CliOutput();
    CliOutput(const CliOutput&) = delete;
    CliOutput& operator=(const CliOutput&) = delete;

    // Seconds since the output was made, for "t".
    double elapsedSeconds() const;
    std::uint64_t elapsedMs() const;

    // Under JSON, the run's first object: {"type":"start","version":...,
    // then "ts", "t" and fields (the run's settings); printed also under
    // --quiet. Nothing in the human form.
    void start(const std::vector<JsonField>& fields);
    // A report: text for the human form, fields (after "t") for JSON.
    void report(const std::string& text, const std::vector<JsonField>& fields);
    // Reports that belong together, kept or left out as one, and made on
    // the writer thread, for figures that take long to format: make fills
    // texts (each a line of the human form) and objects (each an object of
    // JSON, after "t"). Their time is that of this call.
    using ReportMaker = std::function<void(std::vector<std::string>& texts,
                                           std::vector<std::vector<JsonField>>& objects)>;
    void reportsLater(ReportMaker make);
    // The final summary; printed also under --quiet.
    void summary(const std::string& text, const std::vector<JsonField>& fields);
    // A summary of several lines or objects, each marked final in JSON.
    void summaries(const std::vector<std::string>& texts,
                   const std::vector<std::vector<JsonField>>& objects);
    // An event in the status line: text for the human form; in JSON an
    // object of the event's name, text as its "message", then fields. A
    // repeat of the previous event with no report between them is not
    // printed again.
    void event(std::string_view name, const std::string& text,
               const std::vector<JsonField>& fields = {});
    // An event that tells of a failure: shown as event shows one, and also
    // under --quiet.
    void alert(std::string_view name, const std::string& text,
               const std::vector<JsonField>& fields = {});
    // A line on stderr saying why the program stops: "program: text", or
    // an "error" event.
    void fail(const std::string& text);

    const std::string& lastEvent() const { return lastEvent_; }
    // The event shown last after the time of day it came ("17:25:54  ..."),
    // safe to ask from any thread; empty before any.
    std::string latestEvent() const;

    // While a full-screen view is drawn on the terminal: the reports are not
    // printed, the view showing their figures, and with errToo the lines for
    // stderr (that terminal too) wait until showScreen(false, ...), at most
    // kQueuedLines of them, the rest counted as left out. The summary and
    // failures belong after the view: they are printed as ever.
    void showScreen(bool shown, bool errToo);

    // True once a write to stdout failed (its reader closed it, say): the
    // run is to end, and nothing more goes there.
    bool closed() const { return closed_.load(std::memory_order_acquire); }
    // The reports and events left out so far for a reader falling behind.
    std::uint64_t dropped() const;

private:
    struct Line {
        std::string text;   // with its newline; with make, the head of each
        bool toErr = false;
        std::uint64_t number = 0;
        ReportMaker make;
    };

    // What a line's kind is in JSON: its "type" and whether it is final.
    struct Kind {
        std::string_view type;
        bool final;
    };
    static constexpr Kind kReport{"interval", false};
    static constexpr Kind kFinal{"final", true};

    std::string formatLine(const std::string& text, const std::vector<JsonField>& fields,
                           Kind kind) const;
    // An event's line on stderr.
    std::string eventLine(std::string_view name, const std::string& text,
                          const std::vector<JsonField>& fields) const;
    // What begins each line: the time of day, or the JSON object's "ts"
    // and "t".
    std::string head() const;
    // Each text a line after head, or each object one, of the kind given
    // unless its fields name their "type".
    std::string formatLines(const std::vector<std::string>& texts,
                            const std::vector<std::vector<JsonField>>& objects,
                            const std::string& head, Kind kind) const;
    // False when text is the event shown last, which is not shown again;
    // else notes it as the last.
    bool notRepeated(const std::string& text);
    // Queues a line, or leaves it out when the queue is full.
    void offer(std::string text, bool toErr, ReportMaker make = {});
    // Queues a line past the bound and waits until it is written.
    void put(std::string text, bool toErr);
    void writeLines();
    bool writeAll(int fd, const std::string& text);

    std::string program_;
    bool json_;
    bool quiet_;
    int out_;
    int err_;
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex eventLock_;   // the event shown last
    std::string lastEvent_;
    std::string lastEventAt_;   // "17:25:54"
    bool eventShown_ = false;

    mutable std::mutex lock_;   // the queue and its counts
    std::condition_variable queued_;
    std::condition_variable written_;
    std::deque<Line> queue_;
    std::uint64_t numbered_ = 0;      // lines queued so far
    std::uint64_t writtenUpTo_ = 0;   // lines taken off the queue and written (or not) so far
    std::uint64_t dropped_ = 0;
    std::uint64_t droppedSaid_ = 0;
    bool stopping_ = false;
    bool holdErr_ = false;
    std::vector<std::string> held_;   // the lines for stderr held back
    std::atomic<bool> screen_{false};
    std::atomic<bool> closed_{false};
    std::thread writer_;
};

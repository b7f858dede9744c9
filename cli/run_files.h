#pragma once

#include "report/metrics_text.h"
#include "report/run_plot.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Keeps a receiver's run picture and metrics file up to date on a thread of
// its own, so that the receiving never waits for a disk: the worker hands
// over figures, and the thread rewrites each file whole when asked, the
// newest figures winning. Either file may be left out (an empty name).
class RunFiles {
public:
    // Told on the writing thread (and in finish()) when a file could not be
    // written, with the errno, after it had been written or at its first
    // write; and with error 0 when it is written again after that. A file
    // that keeps failing is told of once.
    using Trouble = std::function<void(const std::string& name, int error)>;

    RunFiles(std::string plotName, std::string metricsName, Trouble trouble = {});
    ~RunFiles();
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    bool plotting() const { return !plotName_.empty(); }
    bool metering() const { return !metricsName_.empty(); }

    // Worker thread: figures for the picture, and a rewrite of it.
    void addInterval(const PlotInterval& interval);
    void addOutage(const PlotOutage& outage);
    void setTitle(PlotTitle title);
    // Every group of a run of several, worst first.
    void setGroups(std::vector<PlotGroup> groups);
    void rewritePlot();
    // Worker thread: the newest totals, written at once.
    void setMetrics(MetricsTotals totals);

    // Writes both files a last time and ends the thread. The errno of the
    // first write that failed in the whole run, or 0.
    int finish();
    // The file whose write failed first; read after finish().
    const std::string& failedName() const { return failedName_; }

private:
    void writeLoop();
    int writeDue(std::unique_lock<std::mutex>& lock);
    // Keeps the outcome of a write of name, failing being that file's state.
    void noteWrite(const std::string& name, int error, bool& failing);

    std::string plotName_;
    std::string metricsName_;
    std::mutex mutex_;
    std::condition_variable wake_;
    RunPlot plot_;
    MetricsTotals metrics_;
    bool plotDue_ = false;
    bool metricsDue_ = false;
    bool stopping_ = false;
    int error_ = 0;
    std::string failedName_;
    Trouble trouble_;
    // Whether the last write of each failed; the writing thread's.
    bool plotFailing_ = false;
    bool metricsFailing_ = false;
    std::thread thread_;
};

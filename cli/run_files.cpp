#include "cli/run_files.h"

#include "file/whole_file.h"

#include <utility>

RunFiles::RunFiles(std::string plotName, std::string metricsName, Trouble trouble)
    : plotName_(std::move(plotName)), metricsName_(std::move(metricsName)),
      trouble_(std::move(trouble))
{
    if (plotting() || metering())
        thread_ = std::thread([this] { writeLoop(); });
}

RunFiles::~RunFiles()
{
    finish();
}

void RunFiles::addInterval(const PlotInterval& interval)
{
    if (!plotting())
        return;
    std::lock_guard lock(mutex_);
    plot_.intervals.add(interval);
}

void RunFiles::addOutage(const PlotOutage& outage)
{
    if (!plotting())
        return;
    std::lock_guard lock(mutex_);
    plot_.outages.add(outage);
}

void RunFiles::setTitle(PlotTitle title)
{
    std::lock_guard lock(mutex_);
    plot_.title = std::move(title);
}

void RunFiles::setGroups(std::vector<PlotGroup> groups)
{
    if (!plotting())
        return;
    std::lock_guard lock(mutex_);
    plot_.groups = std::move(groups);
}

void RunFiles::rewritePlot()
{
    if (!plotting())
        return;
    {
        std::lock_guard lock(mutex_);
        plotDue_ = true;
    }
    wake_.notify_one();
}

void RunFiles::setMetrics(MetricsTotals totals)
{
    if (!metering())
        return;
    {
        std::lock_guard lock(mutex_);
        metrics_ = std::move(totals);
        metricsDue_ = true;
    }
    wake_.notify_one();
}

int RunFiles::writeDue(std::unique_lock<std::mutex>& lock)
{
    // The figures are copied under the lock and written without it, so the
    // worker hands over the next ones meanwhile.
    int error = 0;
    if (metricsDue_) {
        metricsDue_ = false;
        const MetricsTotals totals = metrics_;
        lock.unlock();
        error = replaceWholeFile(metricsName_.c_str(), metricsText(totals));
        noteWrite(metricsName_, error, metricsFailing_);
        lock.lock();
        if (error != 0 && error_ == 0)
            failedName_ = metricsName_;
    }
    if (plotDue_) {
        plotDue_ = false;
        const RunPlot plot = plot_;
        lock.unlock();
        const int failed = replaceWholeFile(plotName_.c_str(), runPlotSvg(plot));
        noteWrite(plotName_, failed, plotFailing_);
        lock.lock();
        if (error == 0 && failed != 0) {
            error = failed;
            if (error_ == 0)
                failedName_ = plotName_;
        }
    }
    if (error_ == 0)
        error_ = error;
    return error;
}

void RunFiles::noteWrite(const std::string& name, int error, bool& failing)
{
    if ((error != 0) == failing)
        return;
    failing = error != 0;
    if (trouble_)
        trouble_(name, error);
}

void RunFiles::writeLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return plotDue_ || metricsDue_ || stopping_; });
        if (stopping_)
            return;
        writeDue(lock);
    }
}

int RunFiles::finish()
{
    if (!thread_.joinable())
        return error_;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    std::unique_lock lock(mutex_);
    plotDue_ = plotting();
    metricsDue_ = metering();
    writeDue(lock);
    return error_;
}

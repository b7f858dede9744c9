#include "bench_view.h"

#include <cstdlib>
#include <cstring>

bool BenchView::isRunning() const
{
    ++passes_;
    return running_.load(std::memory_order_relaxed);
}

std::string BenchView::settingText(int controlId) const
{
    const auto it = settings_.find(controlId);
    return it == settings_.end() ? std::string() : it->second;
}

void BenchView::showStatus(std::string_view text)
{
    ++statusCount_;
    lastStatus_.assign(text);
}

void BenchView::flashLamp(int)
{
    ++flashCount_;
}

void BenchView::setDefaultLamp(int lampId)
{
    defaultLamp_ = lampId;
}

void BenchView::showStatistics(std::string_view from, std::string_view, std::string_view,
                               std::string_view packets)
{
    ++statisticsCount_;
    lastFrom_.assign(from);
    lastPackets_.assign(packets);
}

std::int64_t BenchView::reportedCount() const
{
    return std::strtoll(lastPackets_.c_str(), nullptr, 10);
}

std::int64_t BenchView::reportedLost() const
{
    static const char kMark[] = "(丢包";
    const std::size_t at = lastPackets_.find(kMark);
    if (at == std::string::npos)
        return 0;
    return std::strtoll(lastPackets_.c_str() + at + std::strlen(kMark), nullptr, 10);
}

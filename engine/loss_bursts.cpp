#include "engine/loss_bursts.h"

#include <algorithm>

void LossBursts::close(LossPattern& figures) const
{
    if (openLost_ >= 2) {
        ++figures.bursts;
        figures.burstLost += openLost_;
        figures.burstDatagrams += openLength_;
    } else {
        figures.gapLost += openLost_;
    }
}

void LossBursts::take(std::uint64_t lost, LossPattern& interval, LossPattern& total)
{
    if (lost != 0) {
        interval.longestRun = std::max(interval.longestRun, lost);
        total.longestRun = std::max(total.longestRun, lost);
        interval.datagrams += lost;
        total.datagrams += lost;
        if (openLost_ != 0) {
            // Fewer than Gmin received since the latest loss: the stretch goes on.
            openLost_ += lost;
            openLength_ += received_ + lost;
        } else {
            openLost_ = lost;
            openLength_ = lost;
        }
        received_ = 0;
    }
    ++interval.datagrams;
    ++total.datagrams;
    if (openLost_ != 0 && ++received_ == kGmin) {
        close(interval);
        close(total);
        openLost_ = 0;
        openLength_ = 0;
    }
}

LossPattern LossBursts::withOpen(const LossPattern& total) const
{
    LossPattern figures = total;
    if (openLost_ != 0)
        close(figures);
    return figures;
}

#include "bench/latency_probe.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type kProbeType = static_cast<QEvent::Type>(QEvent::registerEventType());

class ProbeEvent : public QEvent {
public:
    explicit ProbeEvent(LatencyProbe::Clock::time_point at) : QEvent(kProbeType), posted(at) {}
    LatencyProbe::Clock::time_point posted;
};

}   // namespace

void LatencyProbe::start()
{
    samples_.reserve(1 << 16);
    posting_.store(true);
    poster_ = std::thread([this] {
        auto next = Clock::now();
        while (posting_.load()) {
            QCoreApplication::postEvent(this, new ProbeEvent(Clock::now()));
            next += period_;
            std::this_thread::sleep_until(next);
        }
    });
}

void LatencyProbe::stop()
{
    posting_.store(false);
    if (poster_.joinable())
        poster_.join();
}

bool LatencyProbe::event(QEvent* event)
{
    if (event->type() != kProbeType)
        return QObject::event(event);
    samples_.push_back({static_cast<ProbeEvent*>(event)->posted, Clock::now()});
    return true;
}

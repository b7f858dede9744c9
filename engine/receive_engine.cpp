#include "engine/receive_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/receive_events.h"
#include "engine/sequence_tracker.h"
#include "file/capture_file.h"
#include "platform/clock.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Holds any UDP datagram, the largest being 65507 bytes.
constexpr int kBufferSize = 65536;
constexpr int kBuildAttempts = 100;
constexpr int kMissesPerReport = 10;
constexpr std::uint64_t kStatisticsEvery = 50;
constexpr int kFromSize = 20;

}   // namespace

ReceiveEngine::ReceiveEngine(ReceiveSink& sink, CaptureFile& capture, Clock& clock, DcPool& pool,
                             ReceiveSettings settings)
    : sink_(sink), capture_(capture), clock_(clock), pool_(pool), settings_(std::move(settings))
{
}

void ReceiveEngine::run()
{
    totals_ = {};
    const int slot = pool_.acquire(MulticastReceive, settings_.group.c_str(), settings_.port);
    slot_.store(slot, std::memory_order_relaxed);
    if (slot < 0) {
        sink_.showStatus({ReceiveStatus::NoSlot});
        sink_.flashLamp(Lamp::Error);
        sink_.restoreButtons();
        return;
    }

    pool_.setMulticastOptions(slot, multicast_);
    const Build build = buildChannel(slot);
    if (build == Build::Failed) {
        // The last failure stays in the status line.
        slot_.store(pool_.release(slot), std::memory_order_relaxed);
        sink_.restoreButtons();
        return;
    }
    const bool channelWorks = build == Build::Works;

    auto buffer = std::make_unique<unsigned char[]>(kBufferSize);
    auto tracker = std::make_unique<SequenceTracker>();
    char fromText[kFromSize] = {};   // the latest sender's
    // Every receive writes a sender, a failed one 0.0.0.0.
    char receivedFrom[kFromSize] = {};
    std::uint64_t sender = 0;
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    std::uint64_t reported = 0;   // count at the latest statistics
    bool saveFailing = false;
    const std::uint64_t t0 = clock_.tickCount();
    // Bytes of the buffer a receive may have written since it was last
    // cleared. Each pass starts from a zeroed buffer; clearing only these
    // spares a 64 KiB fill per datagram.
    int dirty = kBufferSize;

    while (sink_.isRunning() && (limit_ == 0 || count < limit_)) {
        std::memset(buffer.get(), 0, static_cast<std::size_t>(dirty));
        dirty = 0;
        int n = 0;
        for (int misses = 0;;) {
            const std::uint64_t before = channelWorks ? 0 : clock_.tickCount();
            n = pool_.receive(slot, buffer.get(), kBufferSize, receivedFrom, &sender);
            if (n >= 0) {
                std::memcpy(fromText, receivedFrom, sizeof fromText);
                dirty = std::max(dirty, n);
                break;
            }
            // The flow paused: what arrived since the latest figures shows now.
            if (count != reported) {
                report(fromText, count, sum, t0, tracker->lost());
                reported = count;
            }
            if (!channelWorks)
                waitOutTimeout(before);
            if (++misses == kMissesPerReport) {
                sink_.showStatus({ReceiveStatus::NoData});
                sink_.flashLamp(Lamp::Error);
                break;
            }
        }
        if (n < 0)
            continue;

        const TestDatagram datagram = TestDatagram::parse(buffer.get(), n);
        if (datagram.tagged)
            tracker->observe(sender, static_cast<std::uint32_t>(datagram.seq));

        const int payload = n - datagram.headerLength;
        if (payload > 0 && capture_.isOpen()) {
            // One report per series of failed writes; the payloads are still counted.
            if (capture_.write(buffer.get() + datagram.headerLength, payload) < 0) {
                if (!saveFailing) {
                    sink_.showStatus({ReceiveStatus::SaveFailed});
                    sink_.flashLamp(Lamp::Error);
                }
                saveFailing = true;
            } else {
                saveFailing = false;
            }
        }

        ++count;
        sum += static_cast<std::uint64_t>(n);
        if (count % kStatisticsEvery == 0) {
            report(fromText, count, sum, t0, tracker->lost());
            reported = count;
            sink_.setDefaultLamp(Lamp::Active);
        }
    }
    if (count != reported)
        report(fromText, count, sum, t0, tracker->lost());

    const std::uint64_t elapsed = clock_.tickCount() - t0;
    totals_ = {fromText, count, sum, elapsed != 0 ? (sum / elapsed) * 8 : 0, tracker->lost()};
    slot_.store(pool_.release(slot), std::memory_order_relaxed);
}

void ReceiveEngine::report(const char* from, std::uint64_t count, std::uint64_t sum,
                           std::uint64_t t0, std::int64_t lost)
{
    const std::uint64_t elapsed = clock_.tickCount() - t0;
    if (elapsed != 0)
        sink_.showStatistics({from, count, sum, (sum / elapsed) * 8, lost});
    // Noticed here, at the latest: a capture file deleted or replaced while
    // saving would otherwise swallow everything after it unseen.
    if (capture_.closeIfGone()) {
        sink_.showStatus({ReceiveStatus::CaptureGone});
        sink_.flashLamp(Lamp::Error);
    }
}

ReceiveEngine::Build ReceiveEngine::buildChannel(int slot)
{
    for (int attempt = 1; attempt <= kBuildAttempts; ++attempt) {
        pool_.build(slot);
        const bool hasSocket = pool_.setReceiveTimeout(slot, kReceiveTimeoutMs) >= 0;
        if (pool_.state(slot) == 1)
            return hasSocket ? Build::Works : Build::NoSocket;

        sink_.showStatus({ReceiveStatus::BuildFailed, attempt});
        sink_.flashLamp(Lamp::Error);
    }
    return Build::Failed;
}

void ReceiveEngine::waitOutTimeout(std::uint64_t before)
{
    // A channel that could not be built often fails its receive at once; the
    // loop would then spin. Each miss is made to cost the time-out it stands for.
    const std::uint64_t spent = clock_.tickCount() - before;
    if (spent < static_cast<std::uint64_t>(kReceiveTimeoutMs))
        clock_.sleepMs(kReceiveTimeoutMs - static_cast<int>(spent));
}

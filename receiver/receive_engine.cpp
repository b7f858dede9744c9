#include "receive_engine.h"

#include "capture_file.h"
#include "clock.h"
#include "csock.h"
#include "dc_pool.h"
#include "engine_view.h"
#include "receiver_ids.h"
#include "sequence_tracker.h"
#include "setting_text.h"
#include "test_datagram.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kBufferSize = 10240;
constexpr int kBuildAttempts = 100;
constexpr int kReceiveTimeoutMs = 10;
constexpr int kMissesPerReport = 10;
constexpr std::uint64_t kStatisticsEvery = 50;
constexpr int kFromSize = 20;

constexpr const char* kNoSlotText = "建立组播接收器失败: 没有空闲的通道.";
constexpr const char* kNoDataText = "未接收到数据包..";
constexpr const char* kSaveErrorText = "保存文件出现错误.";

}  // namespace

ReceiveEngine::ReceiveEngine(EngineView& view, CaptureFile& capture, Clock& clock, DcPool& pool)
    : view_(view), capture_(capture), clock_(clock), pool_(pool)
{
}

void ReceiveEngine::run()
{
    using namespace ReceiverIds;

    const std::string group = view_.settingText(IDC_GROUP_ADDR);
    const int port = settingNumber(view_.settingText(IDC_PORT));

    const int slot = pool_.acquire(MulticastReceive, group.c_str(), port);
    slot_.store(slot, std::memory_order_relaxed);
    if (slot < 0) {
        view_.showStatus(kNoSlotText);
        view_.flashLamp(IDC_LAMP_ERROR);
        return;
    }

    const bool channelWorks = buildChannel(slot);

    auto buffer = std::make_unique<unsigned char[]>(kBufferSize);
    char fromText[kFromSize] = {};
    SequenceTracker tracker;
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    bool saveFailing = false;
    const std::uint64_t t0 = clock_.tickCount();
    // Bytes of the buffer a receive may have written since it was last
    // cleared. Each pass starts from a zeroed buffer; clearing only these
    // spares a 10 KB fill per datagram.
    int dirty = kBufferSize;

    while (view_.isRunning()) {
        std::memset(buffer.get(), 0, static_cast<std::size_t>(dirty));
        dirty = 0;
        int n = 0;
        for (int misses = 0;;) {
            const std::uint64_t before = channelWorks ? 0 : clock_.tickCount();
            n = pool_.receive(slot, buffer.get(), kBufferSize, fromText);
            // A failed receive may have filled the buffer with a datagram too long for it.
            dirty = n > 0 ? std::max(dirty, n) : kBufferSize;
            if (n > 0)
                break;
            if (!channelWorks)
                waitOutTimeout(before);
            if (++misses == kMissesPerReport) {
                view_.showStatus(kNoDataText);
                view_.flashLamp(IDC_LAMP_ERROR);
                break;
            }
        }
        if (n <= 0)
            continue;

        const TestDatagram datagram = TestDatagram::parse(buffer.get(), n);
        if (datagram.tagged)
            tracker.observe(datagram.seq);

        const int payload = n - datagram.headerLength;
        if (payload > 0 && capture_.isOpen()) {
            // One report per series of failed writes; the payloads are still counted.
            if (capture_.write(buffer.get() + datagram.headerLength, payload) < 0) {
                if (!saveFailing) {
                    view_.showStatus(kSaveErrorText);
                    view_.flashLamp(IDC_LAMP_ERROR);
                }
                saveFailing = true;
            } else {
                saveFailing = false;
            }
        }

        ++count;
        sum += static_cast<std::uint64_t>(n);
        if (count % kStatisticsEvery == 0) {
            const std::uint64_t elapsed = clock_.tickCount() - t0;
            if (elapsed != 0)
                showStatistics(fromText, count, sum, tracker.lost(), (sum / elapsed) * 8);
            view_.setDefaultLamp(IDC_LAMP_ACTIVE);
        }
    }

    slot_.store(pool_.release(slot), std::memory_order_relaxed);
}

bool ReceiveEngine::buildChannel(int slot)
{
    for (int attempt = 1; attempt <= kBuildAttempts; ++attempt) {
        pool_.build(slot);
        const SocketHandle socket = pool_.socketOf(slot);
        if (socket != kInvalidSocket) {
            Csock option;
            option.attach(socket).setReceiveTimeout(kReceiveTimeoutMs);
        }
        if (pool_.state(slot) == 1)
            return socket != kInvalidSocket;

        char text[64];
        std::snprintf(text, sizeof text, "建立组播接收器失败(%d).", attempt);
        view_.showStatus(text);
        view_.flashLamp(ReceiverIds::IDC_LAMP_ERROR);
    }
    return false;
}

void ReceiveEngine::waitOutTimeout(std::uint64_t before)
{
    // A channel that could not be built often fails its receive at once; the
    // loop would then spin. Each miss is made to cost the time-out it stands for.
    const std::uint64_t spent = clock_.tickCount() - before;
    if (spent < static_cast<std::uint64_t>(kReceiveTimeoutMs))
        clock_.sleepMs(kReceiveTimeoutMs - static_cast<int>(spent));
}

void ReceiveEngine::showStatistics(const char* from, std::uint64_t count, std::uint64_t bytes,
                                   std::int64_t lost, std::uint64_t rate)
{
    char bytesText[24];
    char rateText[24];
    char packetsText[64];
    const int bytesLength = std::snprintf(bytesText, sizeof bytesText, "%" PRIu64, bytes);
    const int rateLength = std::snprintf(rateText, sizeof rateText, "%" PRIu64, rate);
    const int packetsLength = std::snprintf(packetsText, sizeof packetsText,
                                            "%" PRIu64 " (丢包%" PRId64 ")", count, lost);
    view_.showStatistics(from,
                         std::string_view(bytesText, static_cast<std::size_t>(bytesLength)),
                         std::string_view(rateText, static_cast<std::size_t>(rateLength)),
                         std::string_view(packetsText, static_cast<std::size_t>(packetsLength)));
}

#include "engine/send_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/send_events.h"
#include "engine/pacing_rule.h"
#include "file/data_file.h"
#include "platform/clock.h"
#include "platform/executable_path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace {

constexpr const char* kSourceName = "send.txt";

// The most datagrams that go out between two checks of the pacing rule.
constexpr int kBatch = PacingRule::kEvaluateEvery;

// Fills the payloads of count datagrams lying length bytes apart from batch
// as count reads of one payload each would: a short chunk keeps the tail of
// the payload before it (that of the datagram at previous for the first),
// and at the end of the file the payload starts again from its beginning.
// The payloads filled; fewer than count when the source turned out empty or
// unreadable, which fault then says.
int readPayloads(DataFile& source, unsigned char* batch, int length, int payloadSize, int count,
                 int previous, SendStatus::Kind& fault)
{
    unsigned char* const payloads = batch + TestDatagram::kHeaderSize;
    const auto stride = static_cast<std::size_t>(length);
    auto payload = [&](int i) { return payloads + stride * static_cast<std::size_t>(i); };
    int filled = 0;
    bool rewound = false;
    while (filled < count) {
        const int got = source.readChunks(payload(filled), stride, payloadSize, count - filled);
        if (got == 0 && !rewound) {
            if (source.seek(0) < 0) {
                fault = SendStatus::UnreadableSource;
                return filled;
            }
            rewound = true;
            continue;
        }
        if (got <= 0) {
            fault = got == 0 ? SendStatus::EmptySource : SendStatus::UnreadableSource;
            return filled;
        }
        rewound = false;
        filled += got / payloadSize;
        if (const int rest = got % payloadSize; rest > 0) {
            const int before = filled > 0 ? filled - 1 : previous;
            if (before != filled)
                std::memcpy(payload(filled) + rest, payload(before) + rest,
                            static_cast<std::size_t>(payloadSize - rest));
            ++filled;
        }
    }
    return filled;
}

}   // namespace

static_assert(SendSettings::kMaxGroupLength < DcChannel::kAddressSize);

SendEngine::SendEngine(SendSink& sink, Clock& clock, DcPool& pool, SendSettings settings)
    : sink_(sink), clock_(clock), pool_(pool), settings_(std::move(settings))
{
}

void SendEngine::run()
{
    const int packetSize = settings_.packetSize;

    datagramsSent_ = 0;
    bytesSent_ = 0;
    DataFile source;
    std::string sourcePath = sourcePath_;
    if (sourcePath.empty()) {
        const std::string directory = executableDirectory();
        if (!directory.empty())
            sourcePath = directory + kSourceName;
    }
    // Without a source file the payload stays all zero bytes.
    if (!sourcePath.empty() && source.openRead(sourcePath.c_str()) < 0) {
        end({SendStatus::UnreadableSource});
        return;
    }

    const int slot = pool_.acquire(MulticastSend, settings_.group.c_str(), settings_.port);
    if (slot >= 0) {
        pool_.setMulticastOptions(slot, multicast_);
        pool_.build(slot);
    }
    if (slot < 0 || pool_.state(slot) != 1) {
        pool_.release(slot);
        end({SendStatus::BuildFailed});
        return;
    }

    const int length = TestDatagram::kHeaderSize + packetSize;
    const std::uint64_t startMs = clock_.tickCount();
    PacingRule pacing(settings_.speedKbps / 8, startMs, length);
    startIntervals(startMs);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length) * kBatch, 0);
    batch_ = std::make_unique<BatchSender>(pool_.socketOf(slot), settings_.group.c_str(),
                                           settings_.port, fastest_);
    bool batched = false;
    std::optional<SendStatus::Kind> sourceFault;
    int previous = 0;   // where the datagram sent last lies in the buffer

    while (sink_.isRunning() && (limit_ == 0 || pacing.seq() < limit_)) {
        sink_.setDefaultLamp(Lamp::Idle);
        // Without a pause between datagrams, those up to the rule's next
        // check go together; it sees the same datagrams either way.
        int count = 1;
        if (pacing.sleepMs() == 0) {
            count = kBatch - static_cast<int>(pacing.seq() % kBatch);
            if (limit_ != 0)
                count = static_cast<int>(std::min<std::uint64_t>(count, limit_ - pacing.seq()));
        }
        for (int i = 0; i < count; ++i) {
            // The sequence goes on the wire as the low 32 bits of the count.
            TestDatagram::encodeHeader(buffer.data() + static_cast<std::size_t>(i) * length,
                                       static_cast<std::uint32_t>(pacing.seq() + i));
        }
        int ready = count;
        SendStatus::Kind fault = SendStatus::EmptySource;
        if (source.isOpen() && packetSize > 0)
            ready = readPayloads(source, buffer.data(), length, packetSize, count, previous, fault);

        const int sent = sendRetrying(slot, buffer.data(), length, ready);
        batched = batched || count > 1;
        bool evaluationDue = false;
        for (int i = 0; i < sent; ++i)
            evaluationDue = pacing.recordSend(length);
        if (sent < ready)
            break;
        if (ready < count) {
            sourceFault = fault;
            break;
        }
        previous = count - 1;

        if (pacing.sleepMs() > 0) {
            clock_.sleepMs(pacing.sleepMs());
            expectedMs_ += static_cast<std::uint64_t>(pacing.sleepMs());
        }
        if (evaluationDue) {
            const std::uint64_t now = clock_.tickCount();
            if (pacing.evaluate(now)) {
                sink_.showReport({pacing.total(), pacing.rateKbps(), pacing.seq()});
                sink_.flashLamp(Lamp::Active);
            }
            reached(now);
        } else if (intervalMayBeOver()) {
            reached(clock_.tickCount());
        }
    }
    finishIntervals();

    datagramsSent_ = pacing.seq();
    bytesSent_ = pacing.total();
    pathTaken_ = batched ? batch_->path() : BatchSender::Path::Single;
    batch_.reset();
    pool_.release(slot);
    if (sourceFault)
        end({*sourceFault});
    else
        sink_.restoreButtons();
}

int SendEngine::sendRetrying(int slot, const unsigned char* first, int length, int count)
{
    // A failed attempt sends the same datagrams again, so a retry skips no
    // data; the attempts are counted per datagram.
    int sent = 0;
    int attempt = 0;
    std::uint64_t downSince = 0;
    while (sent < count) {
        const int result = sendDatagrams(slot, first + static_cast<std::ptrdiff_t>(sent) * length,
                                         length, count - sent);
        if (result > 0) {
            interval_.datagrams += static_cast<std::uint64_t>(result);
            interval_.bytes +=
                static_cast<std::uint64_t>(result) * static_cast<std::uint64_t>(length);
            if (attempt > 0) {
                const std::uint64_t now = clock_.tickCount();
                sink_.showOutage({SendOutage::Resumed, 0, now - downSince});
                reached(now);
            }
            sent += result;
            attempt = 0;
            continue;
        }
        if (attempt == 0) {
            const int error = errno;
            downSince = clock_.tickCount();
            sink_.showOutage({SendOutage::Down, error});
            reached(downSince);
        }
        // Without a limit an outage may outlast any count.
        if (attempt < std::numeric_limits<int>::max())
            ++attempt;
        sink_.showStatus({SendStatus::SendFailed, attempt});
        sink_.flashLamp(Lamp::Error);
        if (attempt == attemptLimit_ || !sink_.isRunning())
            break;
        clock_.sleepMs(kRetrySpacingMs);
    }
    return sent;
}

void SendEngine::startIntervals(std::uint64_t nowMs)
{
    runStartMs_ = nowMs;
    closeAtMs_ = nowMs + intervalMs_;
    expectedMs_ = nowMs;
    interval_ = {nowMs, nowMs};
}

void SendEngine::reached(std::uint64_t nowMs)
{
    expectedMs_ = nowMs;
    if (nowMs < closeAtMs_)
        return;
    closeInterval(nowMs);
    closeAtMs_ = runStartMs_ + ((nowMs - runStartMs_) / intervalMs_ + 1) * intervalMs_;
}

void SendEngine::finishIntervals()
{
    const std::uint64_t now = clock_.tickCount();
    if (now > interval_.startMs || interval_.datagrams > 0)
        closeInterval(now);
}

void SendEngine::closeInterval(std::uint64_t nowMs)
{
    interval_.endMs = nowMs;
    interval_.totalDatagrams += interval_.datagrams;
    interval_.totalBytes += interval_.bytes;
    sink_.showSendInterval(interval_);
    interval_ = {nowMs, nowMs, 0, 0, interval_.totalDatagrams, interval_.totalBytes};
}

int SendEngine::sendDatagrams(int slot, const unsigned char* first, int length, int count)
{
    if (count == 1)
        return pool_.send(slot, first, length, pool_.channel(slot)->endpoint()) > 0 ? 1 : 0;
    return batch_->send(first, length, count);
}
void SendEngine::end(const SendStatus& status)
{
    sink_.showStatus(status);
    sink_.flashLamp(Lamp::Error);
    sink_.restoreButtons();
}

#include "engine/send_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/send_events.h"
#include "engine/pacing_rule.h"
#include "engine/payload_reader.h"
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

// The most datagrams that go out between two checks of the pacing rule.
constexpr int kBatch = PacingRule::kEvaluateEvery;

}   // namespace

SendEngine::SendEngine(SendSink& sink, Clock& clock, DcPool& pool, SendSettings settings)
    : sink_(sink), clock_(clock), pool_(pool), settings_(settings)
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
            sourcePath = directory + std::string(RunDefaults::kSourceFile);
    }
    // Without a source file the payload stays all zero bytes.
    if (!sourcePath.empty() && source.openRead(sourcePath.c_str()) < 0) {
        end({SendStatus::UnreadableSource, 0, errno});
        return;
    }

    const auto port = static_cast<std::uint16_t>(settings_.port);
    const IpAddress first = groups_.empty() ? settings_.group : groups_.front();
    const int slot = pool_.acquire(MulticastSend, SocketAddress{first, port});
    if (slot >= 0) {
        MulticastOptions options = multicast_;
        // Joining hundreds of groups would only meet the membership limit.
        options.senderJoins = options.senderJoins && groups_.size() <= 1;
        pool_.setMulticastOptions(slot, options);
        pool_.build(slot);
    }
    if (slot < 0 || pool_.state(slot) != 1) {
        const int error = slot >= 0 ? pool_.channel(slot)->lastError() : 0;
        pool_.release(slot);
        end({SendStatus::BuildFailed, 0, error});
        return;
    }

    const int length = TestDatagram::kHeaderSize + packetSize;
    const std::uint64_t startMs = clock_.tickCount();
    const std::uint64_t groups = groupCount();
    const std::int64_t target = settings_.speedKbps / 8 * static_cast<std::int64_t>(groups);
    PacingRule pacing(target, startMs, length);
    // A check of the pacing comes every kBatch datagrams: at the target, every
    // kBatch * length / target ms.
    const std::uint64_t pauseMs =
        std::max(kMinPauseMs, kPausePeriods * static_cast<std::uint64_t>(kBatch * length) /
                                  static_cast<std::uint64_t>(std::max<std::int64_t>(target, 1)));
    startIntervals(startMs);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length) * kBatch, 0);
    std::vector<SocketAddress> destinations;
    if (groups_.empty())
        destinations.push_back(pool_.channel(slot)->endpoint());
    for (const IpAddress& group : groups_)
        destinations.push_back({group, port});
    batch_ = std::make_unique<BatchSender>(pool_.socketOf(slot), destinations, fastest_);
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
            // The sequence goes on the wire as the low 32 bits of the
            // group's count.
            TestDatagram::encodeHeader(buffer.data() + static_cast<std::size_t>(i) * length,
                                       static_cast<std::uint32_t>((pacing.seq() + i) / groups));
        }
        // The stamp, when asked for, shifts the source's bytes behind it.
        const int stamp = timestamps_ && packetSize >= SendStamp::kSize ? SendStamp::kSize : 0;
        int ready = count;
        SendStatus::Kind fault = SendStatus::EmptySource;
        if (source.isOpen() && packetSize > stamp)
            ready = readPayloads(source, buffer.data() + stamp, length, packetSize - stamp, count,
                                 previous, fault);
        if (stamp != 0) {
            // Read once for the datagrams that go out together, within
            // microseconds of each other.
            const std::int64_t now = clock_.wallNs();
            for (int i = 0; i < ready; ++i)
                SendStamp::encode(buffer.data() + static_cast<std::size_t>(i) * length +
                                      TestDatagram::kHeaderSize,
                                  now);
        }

        const int sent = sendRetrying(slot, buffer.data(), length, ready,
                                      static_cast<std::size_t>(pacing.seq() % groups));
        if (paceRestarts_ && resumedAtMs_)
            pacing.restart(*resumedAtMs_);
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
        if (evaluationDue || intervalMayBeOver()) {
            const std::uint64_t now = clock_.tickCount();
            if (paceRestarts_ && now > expectedMs_ + pauseMs) {
                pacing.restart(now);
            } else if (evaluationDue && pacing.evaluate(now)) {
                sink_.showReport({pacing.total(), pacing.rateKbps(), pacing.seq()});
                sink_.flashLamp(Lamp::Active);
            }
            reached(now);
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

int SendEngine::sendRetrying(int slot, const unsigned char* first, int length, int count,
                             std::size_t group)
{
    // A failed attempt sends the same datagrams again, so a retry skips no
    // data; the attempts are counted per datagram.
    int sent = 0;
    int attempt = 0;
    std::uint64_t downSince = 0;
    resumedAtMs_.reset();
    while (sent < count) {
        const int result =
            sendDatagrams(slot, first + static_cast<std::ptrdiff_t>(sent) * length, length,
                          count - sent, (group + static_cast<std::size_t>(sent)) % groupCount());
        if (result > 0) {
            interval_.datagrams += static_cast<std::uint64_t>(result);
            interval_.bytes +=
                static_cast<std::uint64_t>(result) * static_cast<std::uint64_t>(length);
            if (attempt > 0) {
                const std::uint64_t now = clock_.tickCount();
                sink_.showOutage({SendOutage::Resumed, 0, now - downSince});
                reached(now);
                resumedAtMs_ = now;
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
    interval_ = {nowMs, nowMs, 0, 0, 0, 0, {}};
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
    if (groups_.size() > 1) {
        // The groups take the datagrams in turn from the first: of n in all,
        // group g was sent n / groups, and one more when g < n mod groups.
        const std::uint64_t groups = groups_.size();
        const std::uint64_t before = interval_.totalDatagrams - interval_.datagrams;
        const std::uint64_t length =
            interval_.datagrams == 0 ? 0 : interval_.bytes / interval_.datagrams;
        auto sentTo = [groups](std::uint64_t n, std::uint64_t g) {
            return n / groups + (g < n % groups ? 1 : 0);
        };
        interval_.groups.resize(groups_.size());
        for (std::uint64_t g = 0; g < groups; ++g) {
            SendGroupFigures& figures = interval_.groups[g];
            figures.totalDatagrams = sentTo(interval_.totalDatagrams, g);
            figures.datagrams = figures.totalDatagrams - sentTo(before, g);
            figures.bytes = figures.datagrams * length;
        }
    }
    sink_.showSendInterval(interval_);
    interval_ = {nowMs, nowMs, 0, 0, interval_.totalDatagrams, interval_.totalBytes, {}};
}

int SendEngine::sendDatagrams(int slot, const unsigned char* first, int length, int count,
                              std::size_t group)
{
    if (count == 1 && groups_.size() <= 1)
        return pool_.send(slot, first, length, pool_.channel(slot)->endpoint()) > 0 ? 1 : 0;
    return batch_->send(first, length, count, group);
}

void SendEngine::end(const SendStatus& status)
{
    sink_.showStatus(status);
    sink_.flashLamp(Lamp::Error);
    sink_.restoreButtons();
}

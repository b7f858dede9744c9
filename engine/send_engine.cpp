#include "engine/send_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/send_events.h"
#include "engine/pacing_rule.h"
#include "file/data_file.h"
#include "platform/clock.h"
#include "platform/executable_path.h"

#include <vector>

namespace {
constexpr const char* kSourceName = "send.txt";
}   // namespace

static_assert(SendSettings::kMaxGroupLength < DcChannel::kAddressSize);

SendEngine::SendEngine(SendSink& sink, Clock& clock, DcPool& pool, SendSettings settings)
    : sink_(sink), clock_(clock), pool_(pool), settings_(std::move(settings))
{
}

void SendEngine::run()
{
    const char* const group = settings_.group.c_str();
    const int port = settings_.port;
    const int packetSize = settings_.packetSize;

    datagramsSent_ = 0;
    bytesSent_ = 0;
    const int slot = pool_.acquire(MulticastSend, group, port);
    if (slot >= 0) {
        pool_.setMulticastOptions(slot, multicast_);
        pool_.build(slot);
    }
    if (slot < 0 || pool_.state(slot) != 1) {
        pool_.release(slot);
        sink_.showStatus({SendStatus::BuildFailed});
        sink_.flashLamp(Lamp::Error);
        sink_.restoreButtons();
        return;
    }

    PacingRule pacing(settings_.speedKbps / 8, clock_.tickCount());
    const int length = TestDatagram::kHeaderSize + packetSize;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length), 0);
    unsigned char* const payload = buffer.data() + TestDatagram::kHeaderSize;

    DataFile source;
    std::string sourcePath = sourcePath_;
    if (sourcePath.empty()) {
        const std::string directory = executableDirectory();
        if (!directory.empty())
            sourcePath = directory + kSourceName;
    }
    // Without a readable source the payload stays all zero bytes.
    if (!sourcePath.empty())
        source.openRead(sourcePath.c_str());

    while (sink_.isRunning() && (limit_ == 0 || pacing.seq() < limit_)) {
        sink_.setDefaultLamp(Lamp::Idle);
        // The sequence goes on the wire as the low 32 bits of the count.
        TestDatagram::encodeHeader(buffer.data(), static_cast<std::uint32_t>(pacing.seq()));

        int sent = 0;
        for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
            // At the end of the file the attempt goes on the rewind.
            if (source.isOpen() && source.read(payload, packetSize) <= 0) {
                source.seek(0);
                continue;
            }
            sent = pool_.send(slot, buffer.data(), length, group, port);
            if (sent > 0)
                break;
            sink_.showStatus({SendStatus::SendFailed, attempt});
            sink_.flashLamp(Lamp::Error);
        }
        if (sent <= 0)
            break;

        const bool evaluationDue = pacing.recordSend(sent);
        if (pacing.sleepMs() > 0)
            clock_.sleepMs(pacing.sleepMs());
        if (evaluationDue && pacing.evaluate(clock_.tickCount())) {
            sink_.showReport({pacing.total(), pacing.rateKbps()});
            sink_.flashLamp(Lamp::Active);
        }
    }

    datagramsSent_ = pacing.seq();
    bytesSent_ = pacing.total();
    pool_.release(slot);
    source.close();
    sink_.restoreButtons();
}

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
    PacingRule pacing(settings_.speedKbps / 8, clock_.tickCount(), length);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(length), 0);
    unsigned char* const payload = buffer.data() + TestDatagram::kHeaderSize;

    while (sink_.isRunning() && (limit_ == 0 || pacing.seq() < limit_)) {
        sink_.setDefaultLamp(Lamp::Idle);
        // The sequence goes on the wire as the low 32 bits of the count.
        TestDatagram::encodeHeader(buffer.data(), static_cast<std::uint32_t>(pacing.seq()));

        // A short chunk keeps the tail of the one before it; at the end of
        // the file the payload starts again from its beginning.
        if (source.isOpen() && packetSize > 0) {
            int got = source.read(payload, packetSize);
            if (got == 0)
                got = source.seek(0) > 0 ? source.read(payload, packetSize) : -1;
            if (got <= 0) {
                datagramsSent_ = pacing.seq();
                bytesSent_ = pacing.total();
                pool_.release(slot);
                end({got == 0 ? SendStatus::EmptySource : SendStatus::UnreadableSource});
                return;
            }
        }

        // Every attempt sends the same datagram, so a retry skips no data.
        int sent = 0;
        for (int attempt = 1;; ++attempt) {
            sent = sendDatagram(slot, buffer.data(), length);
            if (sent > 0)
                break;
            sink_.showStatus({SendStatus::SendFailed, attempt});
            sink_.flashLamp(Lamp::Error);
            if (attempt == kSendAttempts || !sink_.isRunning())
                break;
            clock_.sleepMs(kRetrySpacingMs);
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
    sink_.restoreButtons();
}

int SendEngine::sendDatagram(int slot, const unsigned char* datagram, int length)
{
    return pool_.send(slot, datagram, length, settings_.group.c_str(), settings_.port);
}

void SendEngine::end(const SendStatus& status)
{
    sink_.showStatus(status);
    sink_.flashLamp(Lamp::Error);
    sink_.restoreButtons();
}

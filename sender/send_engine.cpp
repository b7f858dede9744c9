#include "send_engine.h"

#include "clock.h"
#include "data_file.h"
#include "dc_pool.h"
#include "engine_view.h"
#include "executable_path.h"
#include "pacing_rule.h"
#include "sender_ids.h"
#include "setting_text.h"
#include "test_datagram.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kBuildFailed = "建立组播推送器失败.";
constexpr std::string_view kBadGroup = "组播地址无效.";
constexpr std::string_view kBadPacketSize = "包尺寸无效.";
constexpr const char* kSourceName = "send.txt";

}  // namespace

SendEngine::SendEngine(EngineView& view, Clock& clock, DcPool& pool)
    : view_(view), clock_(clock), pool_(pool)
{
}

void SendEngine::run()
{
    using namespace SenderIds;

    const std::string groupText = view_.settingText(IDC_GROUP_ADDR);
    const int port = settingNumber(view_.settingText(IDC_PORT));
    const int speed = settingNumber(view_.settingText(IDC_SPEED));
    const int packetSize = settingNumber(view_.settingText(IDC_PACKET_SIZE));

    auto refuse = [this](std::string_view text) {
        view_.showStatus(text);
        view_.flashLamp(IDC_LAMP_ERROR);
        view_.restoreButtons();
    };

    if (std::strlen(groupText.c_str()) >= DcChannel::kAddressSize) {
        refuse(kBadGroup);
        return;
    }
    if (packetSize < 0 || packetSize > kMaxPacketSize) {
        refuse(kBadPacketSize);
        return;
    }
    char group[DcChannel::kAddressSize] = {};
    std::strcpy(group, groupText.c_str());

    const int slot = pool_.acquire(MulticastSend, group, port);
    if (slot < 0) {
        refuse(kBuildFailed);
        return;
    }
    pool_.build(slot);
    if (pool_.state(slot) != 1) {
        pool_.release(slot);
        refuse(kBuildFailed);
        return;
    }

    PacingRule pacing(speed / 8, clock_.tickCount());
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

    while (view_.isRunning()) {
        view_.setDefaultLamp(IDC_LAMP_IDLE);
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
            char text[64];
            std::snprintf(text, sizeof text, "推送数据出现错误: %d.", attempt);
            view_.showStatus(text);
            view_.flashLamp(IDC_LAMP_ERROR);
        }
        if (sent <= 0)
            break;

        const bool evaluationDue = pacing.recordSend(sent);
        if (pacing.sleepMs() > 0)
            clock_.sleepMs(pacing.sleepMs());
        if (evaluationDue && pacing.evaluate(clock_.tickCount())) {
            char text[96];
            std::snprintf(text, sizeof text, "推送尺寸: %lld, 速度: %lld",
                          static_cast<long long>(pacing.total()),
                          static_cast<long long>(pacing.rateKbps()));
            view_.showStatus(text);
            view_.flashLamp(IDC_LAMP_ACTIVE);
        }
    }

    pool_.release(slot);
    source.close();
    view_.restoreButtons();
}

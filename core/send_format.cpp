#include "core/send_format.h"

#include <cstdio>
#include <system_error>

std::string sendStatusText(const SendStatus& status)
{
    switch (status.kind) {
    case SendStatus::BuildFailed: return "建立组播推送器失败.";
    case SendStatus::SendFailed: {
        char text[64];
        std::snprintf(text, sizeof text, "推送数据出现错误: %d.", status.attempt);
        return text;
    }
    case SendStatus::EmptySource: return "send.txt 为空.";
    case SendStatus::UnreadableSource: return "无法读取 send.txt.";
    }
    return {};
}

std::string sendReportText(const SendReport& report)
{
    char text[96];
    std::snprintf(text, sizeof text, "推送尺寸: %lld, 速度: %lld",
                  static_cast<long long>(report.bytesSent), static_cast<long long>(report.kbps));
    return text;
}

std::string sendOutageText(const SendOutage& outage)
{
    if (outage.kind == SendOutage::Down)
        return "sending failed: " + std::generic_category().message(outage.error);
    char text[64];
    std::snprintf(text, sizeof text, "sending resumed after %llu.%02llu s",
                  static_cast<unsigned long long>(outage.downMs / 1000),
                  static_cast<unsigned long long>(outage.downMs % 1000 / 10));
    return text;
}

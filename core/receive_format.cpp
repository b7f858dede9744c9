#include "core/receive_format.h"

#include <cinttypes>
#include <cstdio>

std::string receiveStatusText(const ReceiveStatus& status)
{
    switch (status.kind) {
    case ReceiveStatus::NoSlot: return "建立组播接收器失败: 没有空闲的通道.";
    case ReceiveStatus::BuildFailed: {
        char text[64];
        std::snprintf(text, sizeof text, "建立组播接收器失败(%d).", status.attempt);
        return text;
    }
    case ReceiveStatus::NoData: return "未接收到数据包..";
    case ReceiveStatus::SaveFailed: return "保存文件出现错误.";
    case ReceiveStatus::CaptureGone: return "保存文件已被删除或替换.";
    // The dialog has no words of its own for it: the silence it follows
    // already shows.
    case ReceiveStatus::JoinFailed: return {};
    case ReceiveStatus::Overflow: {
        char text[96];
        std::snprintf(text, sizeof text, "本机接收缓冲区溢出, 丢弃 %" PRIu64 " 个数据包.",
                      status.overflowed);
        return text;
    }
    }
    return {};
}

std::string senderText(const SocketAddress& sender)
{
    return sender.address.text();
}

ReceiveTexts receiveReportTexts(const ReceiveReport& report)
{
    char packets[64];
    std::snprintf(packets, sizeof packets, "%" PRIu64 " (丢包%" PRId64 ")", report.datagrams,
                  report.lost);
    // No sender shows before the first datagram.
    return {report.datagrams != 0 ? senderText(report.sender) : std::string(),
            std::to_string(report.bytes), std::to_string(report.kbps), packets};
}

#include "core/receive_format.h"
#include "core/send_format.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

namespace {

TEST(SendFormat, StatusLineTexts)
{
    EXPECT_EQ(sendStatusText({SendStatus::BuildFailed}), "建立组播推送器失败.");
    EXPECT_EQ(sendStatusText({SendStatus::SendFailed, 7}), "推送数据出现错误: 7.");
    EXPECT_EQ(sendStatusText({SendStatus::EmptySource}), "send.txt 为空.");
    EXPECT_EQ(sendStatusText({SendStatus::UnreadableSource}), "无法读取 send.txt.");
    EXPECT_EQ(sendReportText({61920, 4952}), "推送尺寸: 61920, 速度: 4952");
    EXPECT_EQ(sendReportText({INT64_MAX, 0}), "推送尺寸: 9223372036854775807, 速度: 0");
}

TEST(SendFormat, OutageTextsOfTheCommandLine)
{
    EXPECT_EQ(sendOutageText({SendOutage::Down, ENETUNREACH}),
              "sending failed: Network is unreachable");
    EXPECT_EQ(sendOutageText({SendOutage::Resumed, 0, 2319}), "sending resumed after 2.31 s");
    EXPECT_EQ(sendOutageText({SendOutage::Resumed, 0, 5}), "sending resumed after 0.00 s");
    EXPECT_EQ(sendOutageText({SendOutage::Resumed, 0, 3'600'000}),
              "sending resumed after 3600.00 s");
}

TEST(ReceiveFormat, StatusLineAndStatisticsTexts)
{
    EXPECT_EQ(receiveStatusText({ReceiveStatus::NoSlot}), "建立组播接收器失败: 没有空闲的通道.");
    EXPECT_EQ(receiveStatusText({ReceiveStatus::BuildFailed, 100}), "建立组播接收器失败(100).");
    EXPECT_EQ(receiveStatusText({ReceiveStatus::NoData}), "未接收到数据包..");
    EXPECT_EQ(receiveStatusText({ReceiveStatus::SaveFailed}), "保存文件出现错误.");
    EXPECT_EQ(receiveStatusText({ReceiveStatus::CaptureGone}), "保存文件已被删除或替换.");
    EXPECT_EQ(receiveStatusText({ReceiveStatus::Overflow, 0, 4294967296}),
              "本机接收缓冲区溢出, 丢弃 4294967296 个数据包.");

    const SocketAddress sender{IpAddress::v4(0x0a4d00fe), 9000};
    const ReceiveTexts texts =
        receiveReportTexts({sender, UINT64_MAX, 18446744073709551615u, 512, 4294967294});
    EXPECT_EQ(texts.from, "10.77.0.254");
    EXPECT_EQ(receiveReportTexts({sender}).from, "") << "no sender before a datagram";
    EXPECT_EQ(texts.bytes, "18446744073709551615");
    EXPECT_EQ(texts.rate, "512");
    EXPECT_EQ(texts.packets, "18446744073709551615 (丢包4294967294)");
}

}   // namespace

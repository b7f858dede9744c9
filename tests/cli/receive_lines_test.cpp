#include "cli/receive_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ReceiveLines, AnIntervalOfTwoSendersInBothForms)
{
    ReceiveInterval interval;
    interval.startMs = 1000;
    interval.endMs = 2000;
    interval.interval = {64, 8000, 2, 1, 1, 62, 1000, 125, 1990};
    interval.total = {128, 16000, 4, 1, 1, 124, 10, 125, 1990};
    interval.overflowedTotal = 3;
    interval.senders = {{{IpAddress::v4(0x0a000001), 9000}, interval.interval, interval.total},
                        {{IpAddress::v4(0x0a000002), 9000}, {}, {}}};
    EXPECT_EQ(intervalLine(interval),
              "senders 2  接收速度 64.000  数据包 64 (丢包2, 3.12%)  总计 接收尺寸 16000  "
              "数据包 128 (丢包4, 3.12%)  本机溢出 3");
    std::string json;
    for (const JsonField& f : intervalFields(interval))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_NE(json.find("interval=1.000;kbps=64.000;datagrams=64;bytes=8000;lost=2;loss_pct=3.125;"
                        "late=1;repeated=1;overflowed=0;total_kbps=64.141;total_datagrams=128;"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("senders=[{\"from\":\"10.0.0.1\",\"kbps\":64.000,\"datagrams\":64,"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"from\":\"10.0.0.2\",\"kbps\":0.000,\"datagrams\":0,"),
              std::string::npos)
        << json;
}

}   // namespace

#include "cli/receive_lines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// The time zone for one test, without the system's zone files.
class ZoneFor {
public:
    explicit ZoneFor(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneFor()
    {
        if (old_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", old_.c_str(), 1);
        ::tzset();
    }
    ZoneFor(const ZoneFor&) = delete;
    ZoneFor& operator=(const ZoneFor&) = delete;

private:
    std::string old_;
};

TEST(ReceiveLines, WallClockTimesCarryMillisecondsAndTheLocalOffset)
{
    // 2026-12-07 17:25:53.047 UTC.
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796664353047));
    const struct {
        const char* zone;   // POSIX: the offset west of UTC
        const char* text;
    } cases[] = {
        {"UTC0", "2026-12-07T17:25:53.047+00:00"},
        {"IST-5:30", "2026-12-07T22:55:53.047+05:30"},
        {"NST3:30", "2026-12-07T13:55:53.047-03:30"},
        {"LINT-14", "2026-12-08T07:25:53.047+14:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        const ZoneFor zone(c.zone);
        EXPECT_EQ(rfc3339(at), c.text);
    }
}

TEST(ReceiveLines, AnIntervalOfTwoSendersInBothForms)
{
    ReceiveInterval interval;
    interval.startMs = 1000;
    interval.endMs = 2000;
    interval.interval = {64, 8000, 2, 1, 1, 62, 1000, 125, 1990};
    interval.total = {128, 16000, 4, 1, 1, 124, 10, 125, 1990};
    interval.overflowedTotal = 3;
    interval.senders = {{0x0a000001'2328, interval.interval, interval.total},
                        {0x0a000002'2328, {}, {}}};
    EXPECT_EQ(intervalLine(interval),
              "senders 2  接收速度 64.000  数据包 64 (丢包2, 3.12%)  总计 接收尺寸 16000  "
              "数据包 128 (丢包4, 3.12%)  本机溢出 3");
    std::string json;
    for (const JsonField& f : intervalFields(interval, std::chrono::system_clock::now()))
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

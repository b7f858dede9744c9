#include "report/figure_text.h"
#include "report/messages.h"
#include "tests/support/scoped_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <limits>
#include <string>

TEST(FigureText, WallClockTimesCarryTheZonesOffsetAndDecimalsAreFixed)
{
    // 2026-12-07 23:59:59.123 UTC, in zones east and west of it; the zones
    // are POSIX rules, so that no zone database is needed.
    const std::chrono::system_clock::time_point at{std::chrono::milliseconds(1796687999123)};
    const struct {
        const char* zone;
        const char* expected;
    } zones[] = {
        {"UTC0", "2026-12-07T23:59:59.123+00:00"},
        {"CET-1", "2026-12-08T00:59:59.123+01:00"},
        {"NST3:30", "2026-12-07T20:29:59.123-03:30"},
    };
    {
        const ScopedEnv restore("TZ");
        for (const auto& z : zones) {
            ::setenv("TZ", z.zone, 1);
            ::tzset();
            EXPECT_EQ(rfc3339(at), z.expected) << z.zone;
        }
    }
    ::tzset();

    const struct {
        double value;
        int decimals;
        const char* expected;
    } numbers[] = {
        {511.872, 3, "511.872"},     {8, 3, "8.000"},       {1.0 / 3, 3, "0.333"},
        {512.26, 1, "512.3"},        {-0.0004, 3, "0.000"}, {-2.5, 1, "-2.5"},
        {12345678.9, 0, "12345679"},
    };
    for (const auto& n : numbers) {
        EXPECT_EQ(jsonDecimal("k", n.value, n.decimals).value, n.expected) << n.value;
        EXPECT_EQ(fixedText(n.value, n.decimals), n.expected) << n.value;
    }
    EXPECT_EQ(jsonDecimal("k", std::numeric_limits<double>::infinity()).value, "null");
    EXPECT_EQ(fixedText(std::numeric_limits<double>::quiet_NaN(), 1), "0.0");
}

TEST(Messages, ValuesGoWhereTheirNumbersStand)
{
    // No catalogue is set up here: the English pattern is filled.
    const struct {
        const char* pattern;
        std::initializer_list<std::string> values;
        const char* expected;
    } rows[] = {
        {"from {1}  speed {2}", {"10.0.0.1", "512.0"}, "from 10.0.0.1  speed 512.0"},
        {"{2} before {1}", {"a", "b"}, "b before a"},
        {"{1}{1}", {"x"}, "xx"},
        // A number without its value, and what only looks like one, stay.
        {"{1} and {3}", {"a", "b"}, "a and {3}"},
        {"{0} {x} {12} {", {"a"}, "{0} {x} {12} {"},
        {"100%", {}, "100%"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(say(r.pattern, r.values), r.expected) << r.pattern;
}

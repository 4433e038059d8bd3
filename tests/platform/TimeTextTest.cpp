#include "TimeText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace std::chrono;

namespace {
system_clock::time_point UtcMoment(int year, int month, int day, int hour, int minute, int second,
                                   int millis) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return system_clock::from_time_t(timegm(&parts)) + milliseconds(millis);
}
} // namespace

TEST(TimeText, FormatsWithLeadingZerosAndMilliseconds) {
    const auto moment = UtcMoment(2011, 3, 5, 9, 7, 3, 4);
    EXPECT_EQ(tsc::FormatTimeText(moment, true, true, true), "05-03-2011 09:07:03.004");
    EXPECT_EQ(tsc::DateTimeText(moment, true), "05-03-2011 09:07:03");
    EXPECT_EQ(tsc::FormatTimeText(moment, true, false, true), "05032011090703004");
}

TEST(TimeText, NowHasTheFixedWidths) {
    EXPECT_EQ(tsc::TimeStampText().size(), 23u);
    EXPECT_EQ(tsc::FileTimeStampText().size(), 17u);
}

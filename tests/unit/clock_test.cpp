#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "clock.h"

namespace {

bool same(const struct tm &a, const struct tm &b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec && a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday &&
           a.tm_isdst == b.tm_isdst && a.tm_gmtoff == b.tm_gmtoff;
}

}  // namespace

// The remembered conversion must never hand out a neighbour's second: asked
// in turn, repeated and going back, every answer equals localtime_r's.
TEST(Clock, LocaltimeMatchesTheLibraryForEverySecondAsked) {
    // A zone with summer time, and the seconds around its change.
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const time_t moments[] = {0,          1,          1,          0,          1700000000, 1700000001,
                              1700000000, 1700000000, 2000000000, 1711846799, 1711846800, 1711846799};
    for (time_t when : moments) {
        struct tm expected, got;
        ASSERT_NE(nullptr, localtime_r(&when, &expected));
        memset(&got, 0x5a, sizeof got);
        ASSERT_TRUE(clock_localtime(when, &got));
        EXPECT_TRUE(same(expected, got)) << "at " << (long long)when;
    }
}

TEST(Clock, SetAndReleased) {
    clock_set(1234567890, 250000);
    struct timeval now;
    clock_now(&now);
    EXPECT_EQ(1234567890, now.tv_sec);
    EXPECT_EQ(250000, now.tv_usec);
    EXPECT_EQ(1234567890, clock_now());
    clock_release();
    EXPECT_GT(clock_now(), 1234567890);
}

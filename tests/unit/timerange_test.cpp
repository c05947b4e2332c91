#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "timerange.h"

namespace {

// Fields: year (since 1900), month, day, weekday, hour, minute; -1 = not given.
tm_partial partial(int year, int month, int day, int weekday, int hour, int minute) {
    tm_partial p;
    int values[6] = {year, month, day, weekday, hour, minute};
    tm_component *fields[6] = {&p.year, &p.month, &p.day, &p.weekday, &p.hour, &p.minute};
    for (int i = 0; i < 6; i++) {
        fields[i]->set = values[i] >= 0;
        fields[i]->value = values[i] >= 0 ? values[i] : 12345;  // ignored unless set
    }
    return p;
}

struct tm moment(int year, int month, int day, int weekday, int hour, int minute) {
    struct tm t = {};
    t.tm_year = year;
    t.tm_mon = month;
    t.tm_mday = day;
    t.tm_wday = weekday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

const int N = -1;

struct RangeCase {
    const char *name;
    tm_partial from, to;
    struct tm now;
    int absolute, all;
};

}  // namespace

TEST(TimeRange, BothTests) {
    RangeCase cases[] = {
        {"nothing given", partial(N, N, N, N, N, N), partial(N, N, N, N, N, N), moment(109, 5, 5, 3, 3, 3), 1, 1},
        // taken one by one, minutes 30 to 0 admit no minute at all
        {"09:30 inside", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 12, 45), 1, 0},
        {"09:30 lower end", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 9, 30), 1, 0},
        {"09:29 before", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 9, 29), 0, 0},
        {"17:00 upper end", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 17, 0), 1, 0},
        {"17:01 after", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 17, 1), 0, 0},
        // only the ordered test accepts 10:15 (minute 15 < 30 on its own)
        {"10:15 ordered vs each", partial(N, N, N, N, 9, 30), partial(N, N, N, N, 17, 0), moment(109, 5, 5, 3, 10, 15),
         1, 0},
        {"22 to 6 at 23", partial(N, N, N, N, 22, N), partial(N, N, N, N, 6, N), moment(109, 5, 5, 3, 23, 0), 0, 0},
        {"22 to 6 at 3", partial(N, N, N, N, 22, N), partial(N, N, N, N, 6, N), moment(109, 5, 5, 3, 3, 0), 0, 0},
        {"dates across a year, inside", partial(109, 11, 24, N, N, N), partial(110, 0, 2, N, N, N),
         moment(109, 11, 31, 4, 23, 59), 1, 0},
        {"dates across a year, new year", partial(109, 11, 24, N, N, N), partial(110, 0, 2, N, N, N),
         moment(110, 0, 1, 5, 0, 0), 1, 0},
        {"dates across a year, last day", partial(109, 11, 24, N, N, N), partial(110, 0, 2, N, N, N),
         moment(110, 0, 2, 6, 23, 59), 1, 0},
        {"dates across a year, after", partial(109, 11, 24, N, N, N), partial(110, 0, 2, N, N, N),
         moment(110, 0, 3, 0, 0, 0), 0, 0},
        {"dates across a year, before", partial(109, 11, 24, N, N, N), partial(110, 0, 2, N, N, N),
         moment(109, 11, 23, 3, 12, 0), 0, 0},
        {"weekdays and hours, Monday 08:00", partial(N, N, N, 1, 8, N), partial(N, N, N, 5, 17, N),
         moment(109, 5, 1, 1, 8, 0), 1, 1},
        {"weekdays and hours, Friday 17:59", partial(N, N, N, 1, 8, N), partial(N, N, N, 5, 17, N),
         moment(109, 5, 5, 5, 17, 59), 1, 1},
        {"weekdays and hours, Friday 18:00", partial(N, N, N, 1, 8, N), partial(N, N, N, 5, 17, N),
         moment(109, 5, 5, 5, 18, 0), 0, 0},
        {"weekdays and hours, Wednesday 07:00", partial(N, N, N, 1, 8, N), partial(N, N, N, 5, 17, N),
         moment(109, 5, 3, 3, 7, 0), 1, 0},
        {"weekdays and hours, Sunday noon", partial(N, N, N, 1, 8, N), partial(N, N, N, 5, 17, N),
         moment(109, 5, 7, 0, 12, 0), 0, 0},
        {"minute range in every hour, 14:20", partial(N, N, N, N, 8, 15), partial(N, N, N, N, 17, 45),
         moment(109, 5, 7, 0, 14, 20), 1, 1},
        {"minute range in every hour, 14:50", partial(N, N, N, N, 8, 15), partial(N, N, N, N, 17, 45),
         moment(109, 5, 7, 0, 14, 50), 1, 0},
        {"only a lower bound", partial(N, 3, N, N, N, N), partial(N, N, N, N, N, N), moment(109, 2, 7, 0, 14, 50), 0,
         0},
        {"only an upper bound", partial(N, N, N, N, N, N), partial(N, 3, N, N, N, N), moment(109, 2, 7, 0, 14, 50), 1,
         1},
    };
    for (const RangeCase &c : cases) {
        EXPECT_EQ(c.absolute, in_absolutetimerange(&c.now, &c.from, &c.to)) << c.name;
        EXPECT_EQ(c.all, in_alltimerange(&c.now, &c.from, &c.to)) << c.name;
    }
}

TEST(TimeRange, Names) {
    struct Case {
        int n;
        const char *month, *weekday;
    } cases[] = {
        {0, "Invalid", "Invalid"},   {1, "January", "Sunday"},   {7, "July", "Saturday"},    {8, "August", "Invalid"},
        {12, "December", "Invalid"}, {13, "Invalid", "Invalid"}, {-1, "Invalid", "Invalid"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(c.month, month_name(c.n)) << c.n;
        EXPECT_STREQ(c.weekday, weekday_name(c.n)) << c.n;
    }
}

TEST(TimeRange, TimevalDiffAndCompare) {
    struct Case {
        struct timeval a, b;
        long long ms;
        int order;  // sign of timeval_cmp(a, b)
    } cases[] = {
        {{10, 999999}, {11, 500}, 0, -1},
        {{10, 500000}, {12, 250000}, 1750, -1},
        {{12, 250000}, {10, 500000}, -1750, 1},
        {{10, 0}, {10, 999}, 0, -1},
        {{10, 1000}, {10, 0}, -1, 1},
        {{5, 5}, {5, 5}, 0, 0},
        // past 2,147 seconds a 32-bit millisecond count would wrap
        {{0, 0}, {3000, 0}, 3000000LL, -1},
        {{0, 0}, {10LL * 365 * 24 * 3600, 1000}, 10LL * 365 * 24 * 3600 * 1000 + 1, -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.ms, timeval_diff_ms(&c.a, &c.b)) << c.a.tv_sec << " " << c.b.tv_sec;
        int order = timeval_cmp(&c.a, &c.b);
        EXPECT_EQ(c.order, (order > 0) - (order < 0)) << c.a.tv_sec << " " << c.b.tv_sec;
    }
}

TEST(TimeRange, TimevalToString) {
    struct Case {
        struct timeval value;
        const char *text;
    } cases[] = {
        {{90061, 500000}, "25:01:01.50"},
        {{0, 0}, "00:00:00.00"},
        {{59, 999999}, "00:00:59.99"},
        {{3600, 10000}, "01:00:00.01"},
        {{360000, 0}, "100:00:00.00"},
        // never more than 15 characters
        {{3600LL * 100000000, 0}, "100000000:00:00"},
    };
    for (const Case &c : cases) {
        char *text = timeval_to_string(&c.value);
        EXPECT_STREQ(c.text, text) << c.value.tv_sec;
        free(text);
    }
}

TEST(TimeRange, ClockAndLocalConversionShareTheBase) {
    EXPECT_EQ(0, gmtoffset_compute());
    time_t stored = 0;
    time_t now = utc_time(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_LE(llabs((long long)(now - time(nullptr))), 2);
    EXPECT_NE((time_t)0, utc_time(nullptr));

    // A local broken-down time converts back to the same moment on the base.
    const char *zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"};
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    for (const char *zone : zones) {
        setenv("TZ", zone, 1);
        tzset();
        time_t base = utc_time(nullptr);
        struct tm local;
        localtime_r(&base, &local);
        EXPECT_EQ(base, local_mktime(&local)) << zone;
    }
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

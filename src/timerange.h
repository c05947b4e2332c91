// Partial times and the two ways of testing a moment against a pair of them,
// plus the small time routines used across the program.
//
// Time base: `utc_time` is the plain UTC clock (seconds since the epoch) and
// `gmtoffset` is 0. A zone offset added to the clock would have to be
// subtracted again when a local broken-down time is converted back, and it
// changes with daylight saving, so stored times (file times of the cache)
// would move by an hour across a restart. With 0, local_mktime(localtime(t))
// is t, file times are real times, and a date given in UTC converts onto the
// base with timegm().
#ifndef KORVANTEL_TIMERANGE_H
#define KORVANTEL_TIMERANGE_H

#include <sys/time.h>
#include <time.h>

// One optional component: `set` non-zero when given.
struct tm_component {
    int set;
    int value;
};

// Compared with the fields of a broken-down time: year since 1900, month
// 0-11, day of month 1-31, weekday 0 (Sunday)-6, hour 0-23, minute 0-59.
struct tm_partial {
    tm_component year;
    tm_component month;
    tm_component day;
    tm_component weekday;
    tm_component hour;
    tm_component minute;
};

// Offset of the time base in seconds, set once at start-up from
// gmtoffset_compute(); added by utc_time, subtracted by local_mktime.
extern int gmtoffset;
// The value start-up stores in gmtoffset (see the time base above).
int gmtoffset_compute();

// 1 when now lies between from and to, compared as one value ordered by
// year, month, day, weekday, hour, minute (components not given skipped);
// both ends inclusive.
int in_absolutetimerange(const struct tm *now, const tm_partial *from, const tm_partial *to);
// 1 when each component from gives is at most now's and each component to
// gives is at least now's, every component on its own.
int in_alltimerange(const struct tm *now, const tm_partial *from, const tm_partial *to);

// "January".."December" for 1-12, "Sunday".."Saturday" for 1-7; "Invalid" otherwise.
const char *month_name(int n);
const char *weekday_name(int n);

// (b - a) in milliseconds, truncated toward zero; 64-bit so long spans fit.
long long timeval_diff_ms(const struct timeval *a, const struct timeval *b);
// Negative, 0 or positive as a is before, equal to or after b.
int timeval_cmp(const struct timeval *a, const struct timeval *b);
// New text "HH:MM:SS.hh" (hours not wrapped at 24), at most 15 characters.
char *timeval_to_string(const struct timeval *value);

// The clock on the time base; also stored through out when given.
time_t utc_time(time_t *out);
// A local broken-down time on the time base (mktime minus gmtoffset).
time_t local_mktime(struct tm *value);

#endif

#include "timerange.h"

#include <stdio.h>

#include "mem.h"

int gmtoffset = 0;

int gmtoffset_compute() { return 0; }

static const int TM_FIELDS = 6;

static void partial_fields(const tm_partial *partial, const tm_component *out[TM_FIELDS]) {
    out[0] = &partial->year;
    out[1] = &partial->month;
    out[2] = &partial->day;
    out[3] = &partial->weekday;
    out[4] = &partial->hour;
    out[5] = &partial->minute;
}

static void moment_fields(const struct tm *now, int out[TM_FIELDS]) {
    out[0] = now->tm_year;
    out[1] = now->tm_mon;
    out[2] = now->tm_mday;
    out[3] = now->tm_wday;
    out[4] = now->tm_hour;
    out[5] = now->tm_min;
}

int in_absolutetimerange(const struct tm *now, const tm_partial *from, const tm_partial *to) {
    int moment[TM_FIELDS];
    const tm_component *bound[TM_FIELDS];
    moment_fields(now, moment);

    partial_fields(from, bound);
    for (int i = 0; i < TM_FIELDS; i++) {
        if (!bound[i]->set) continue;
        if (moment[i] < bound[i]->value) return 0;
        if (moment[i] > bound[i]->value) break;
    }

    partial_fields(to, bound);
    for (int i = 0; i < TM_FIELDS; i++) {
        if (!bound[i]->set) continue;
        if (moment[i] > bound[i]->value) return 0;
        if (moment[i] < bound[i]->value) return 1;
    }
    return 1;
}

int in_alltimerange(const struct tm *now, const tm_partial *from, const tm_partial *to) {
    int moment[TM_FIELDS];
    const tm_component *lower[TM_FIELDS];
    const tm_component *upper[TM_FIELDS];
    moment_fields(now, moment);
    partial_fields(from, lower);
    partial_fields(to, upper);

    for (int i = 0; i < TM_FIELDS; i++) {
        if (lower[i]->set && moment[i] < lower[i]->value) return 0;
        if (upper[i]->set && moment[i] > upper[i]->value) return 0;
    }
    return 1;
}

const char *month_name(int n) {
    static const char *const names[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
    if (n < 1 || n > 12) return "Invalid";
    return names[n - 1];
}

const char *weekday_name(int n) {
    static const char *const names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    if (n < 1 || n > 7) return "Invalid";
    return names[n - 1];
}

long long timeval_diff_ms(const struct timeval *a, const struct timeval *b) {
    // 128-bit so that no pair of time values can overflow the product.
    __int128 micro = ((__int128)b->tv_sec - a->tv_sec) * 1000000 + ((__int128)b->tv_usec - a->tv_usec);
    __int128 milli = micro / 1000;
    if (milli > (__int128)__LONG_LONG_MAX__) return __LONG_LONG_MAX__;
    if (milli < -(__int128)__LONG_LONG_MAX__ - 1) return -__LONG_LONG_MAX__ - 1;
    return (long long)milli;
}

int timeval_cmp(const struct timeval *a, const struct timeval *b) {
    if (a->tv_sec != b->tv_sec) return a->tv_sec < b->tv_sec ? -1 : 1;
    if (a->tv_usec != b->tv_usec) return a->tv_usec < b->tv_usec ? -1 : 1;
    return 0;
}

char *timeval_to_string(const struct timeval *value) {
    char text[64];
    long long seconds = (long long)value->tv_sec;
    snprintf(text, sizeof(text), "%.2lld:%.2lld:%.2lld.%.2lld", seconds / 3600, seconds / 60 % 60, seconds % 60,
             (long long)value->tv_usec / 10000);
    text[15] = '\0';
    char *copy = xstrdup(text);
    if (copy == nullptr) fatal_alloc("src/timerange", __LINE__, "timeval_to_string", 16);
    return copy;
}

time_t utc_time(time_t *out) {
    time_t now = time(nullptr) + gmtoffset;
    if (out) *out = now;
    return now;
}

time_t local_mktime(struct tm *value) { return mktime(value) - gmtoffset; }

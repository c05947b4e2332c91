#include "clock.h"

#include <string.h>

#include <atomic>

// Microseconds since the epoch of the moment a test stopped the clock at;
// -1 while the clock runs.
static std::atomic<long long> fixed_usec{-1};

static bool fixed(struct timeval *now) {
    long long usec = fixed_usec.load(std::memory_order_relaxed);
    if (usec < 0) return false;
    now->tv_sec = (time_t)(usec / 1000000);
    now->tv_usec = (suseconds_t)(usec % 1000000);
    return true;
}

time_t clock_now() {
    struct timeval now;
    if (fixed(&now)) return now.tv_sec;
    return time(nullptr);
}

void clock_now(struct timeval *now) {
    if (fixed(now)) return;
    gettimeofday(now, nullptr);
}

void clock_monotonic(struct timeval *now) {
    if (fixed(now)) return;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->tv_sec = ts.tv_sec;
    now->tv_usec = ts.tv_nsec / 1000;
}

long long clock_elapsed_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void clock_set(time_t seconds, long microseconds) {
    fixed_usec.store((long long)seconds * 1000000 + microseconds, std::memory_order_relaxed);
}

void clock_release() { fixed_usec.store(-1, std::memory_order_relaxed); }

bool clock_localtime(time_t when, struct tm *out) {
    static thread_local time_t last = (time_t)-1;
    static thread_local struct tm converted;
    if (when != last || when == (time_t)-1) {
        if (!localtime_r(&when, &converted)) {
            last = (time_t)-1;
            memset(out, 0, sizeof *out);
            return false;
        }
        last = when;
    }
    *out = converted;
    return true;
}

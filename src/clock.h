// The program's clock. Everything that keeps time asks it, so that a test
// can stop it at a chosen moment (clock_set) and move it by hand.
#ifndef KORVANTEL_CLOCK_H
#define KORVANTEL_CLOCK_H

#include <sys/time.h>
#include <time.h>

// Seconds since the epoch, as time() gives them.
time_t clock_now();
// The same with microseconds, as gettimeofday() gives them.
void clock_now(struct timeval *now);
// A clock that never steps back, for measuring intervals.
void clock_monotonic(struct timeval *now);
// Its seconds: idle times of pooled connections, which a step of the time
// of day must neither stretch nor shrink.
inline time_t clock_monotonic_s() {
    struct timeval now;
    clock_monotonic(&now);
    return now.tv_sec;
}
// The real monotonic clock in milliseconds and in seconds, for time-outs and
// deadlines: clock_set() leaves it running, or a stopped clock would make
// every wait endless.
long long clock_elapsed_ms();
inline long long clock_elapsed_s() { return clock_elapsed_ms() / 1000; }

// localtime_r() of a moment, remembered per thread for the last second
// asked: the conversion takes a process-wide lock, and busy threads ask for
// the same second many times. False (and *out zeroed) when it fails.
bool clock_localtime(time_t when, struct tm *out);

// Tests: from now on every reading of both clocks is this moment, until
// clock_release() gives back the real clocks.
void clock_set(time_t seconds, long microseconds = 0);
void clock_release();

#endif

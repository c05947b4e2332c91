// Timers: the periodic maintenance jobs, run one after the other on one
// service thread with a resolution of one second.
#ifndef KORVANTEL_TIMERS_H
#define KORVANTEL_TIMERS_H

#include <pthread.h>
#include <time.h>

typedef void (*TIMER_CALLBACK)(void *data);

struct TIMERS_LIST {
    TIMERS_LIST *prev;
    TIMERS_LIST *next;
    int id;
    int interval;  // seconds
    time_t due;    // seconds since the epoch
    int repeat;    // bit 0: run again every interval
    TIMER_CALLBACK callback;
    void *data;
};

// Sorted by due time; equal due times keep the order of (re)insertion.
struct TIMERS {
    pthread_mutex_t lock;
    int next_id;
    TIMERS_LIST *head;
};

TIMERS *timers_init();
// Adds a timer due interval seconds from now; returns its id.
int timers_add(TIMERS *timers, int interval, int repeat, TIMER_CALLBACK callback, void *data);
// Runs every due timer once, with the lock held. Repeating ones come back at
// due + interval, or at now + 1 when that is not later than now.
void timers_check(TIMERS *timers);
// The timer with that id, or null. The lock is not kept: the timer stays
// valid only until someone removes it.
TIMERS_LIST *timers_find(TIMERS *timers, int id);
// Removes and frees the timer with that id: 1, or 0 when there is none.
int timers_remove(TIMERS *timers, int id);
// Service thread body (argument: the TIMERS): for ever, sleep one second,
// then timers_check.
void *timer_thread(void *timers);

// Callbacks run with the lock held: they must not call timers_add,
// timers_find or timers_remove on the same list.

#endif

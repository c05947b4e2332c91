#include "timers.h"

#include <stdlib.h>
#include <unistd.h>

#include "clock.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"

TIMERS *timers_init() {
    TIMERS *timers = (TIMERS *)xmalloc(sizeof(TIMERS));
    if (!timers) fatal_alloc("src/timers", 18, __func__, sizeof(TIMERS));
    pthread_mutex_init(&timers->lock, nullptr);
    timers->next_id = 0;
    timers->head = nullptr;
    return timers;
}

// After the last timer due at or before this one, so equal times keep the
// order in which they came. Caller holds the lock.
static void timer_insert(TIMERS *timers, TIMERS_LIST *timer) {
    TIMERS_LIST *head = timers->head;
    if (!head || timer->due < head->due) {
        timer->prev = nullptr;
        timer->next = head;
        if (head) head->prev = timer;
        timers->head = timer;
        return;
    }
    TIMERS_LIST *after = head;
    while (after->next && after->next->due <= timer->due) after = after->next;
    timer->prev = after;
    timer->next = after->next;
    if (after->next) after->next->prev = timer;
    after->next = timer;
}

static void timer_unlink(TIMERS *timers, TIMERS_LIST *timer) {
    if (timer->prev) timer->prev->next = timer->next;
    else timers->head = timer->next;
    if (timer->next) timer->next->prev = timer->prev;
    timer->prev = timer->next = nullptr;
}

int timers_add(TIMERS *timers, int interval, int repeat, TIMER_CALLBACK callback, void *data) {
    TIMERS_LIST *timer = (TIMERS_LIST *)xmalloc(sizeof(TIMERS_LIST));
    if (!timer) fatal_alloc("src/timers", 34, __func__, sizeof(TIMERS_LIST));
    timer->interval = interval;
    timer->repeat = repeat;
    timer->callback = callback;
    timer->data = data;

    int id;
    {
        MutexLock held(&timers->lock);
        id = timer->id = timers->next_id++;
        timer->due = clock_now() + interval;
        timer_insert(timers, timer);
    }

    putlog(LOG_DEBUG, "added timer %d", id);
    return id;
}

void timers_check(TIMERS *timers) {
    time_t now = clock_now();
    MutexLock held(&timers->lock);
    // A re-inserted timer is due after now, so it lands behind every timer
    // still due and the loop ends.
    while (timers->head && timers->head->due <= now) {
        TIMERS_LIST *timer = timers->head;
        timer->callback(timer->data);
        timer_unlink(timers, timer);
        if (timer->repeat & 1) {
            time_t next = timer->due + timer->interval;
            timer->due = next > now ? next : now + 1;
            timer_insert(timers, timer);
        } else {
            free(timer);
        }
    }
}

TIMERS_LIST *timers_find(TIMERS *timers, int id) {
    MutexLock held(&timers->lock);
    TIMERS_LIST *timer = timers->head;
    while (timer && timer->id != id) timer = timer->next;
    return timer;
}

int timers_remove(TIMERS *timers, int id) {
    TIMERS_LIST *timer;
    {
        MutexLock held(&timers->lock);
        timer = timers->head;
        while (timer && timer->id != id) timer = timer->next;
        if (!timer) return 0;
        timer_unlink(timers, timer);
    }
    free(timer);
    return 1;
}

void *timer_thread(void *timers) {
    for (;;) {
        sleep(1);
        timers_check((TIMERS *)timers);
    }
    return nullptr;
}

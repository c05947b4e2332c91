#include "threads.h"

#include <atomic>

#include <errno.h>
#include <string.h>

#include <sys/resource.h>
#include <sys/time.h>

#include "global.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"

THREAD_T threads[MAX_THREAD_SLOTS];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;
static bool threads_ready = false;

// A thread holds one slot for its whole life, so it looks it up once (per
// table: threads_init starts a new one) rather than for every log line.
static std::atomic<unsigned> table_generation{0};
static thread_local int own_slot_index = -1;
static thread_local unsigned own_slot_generation = 0;

void threads_init() {
    int n = MAXTHREADS < MAX_THREAD_SLOTS ? MAXTHREADS : MAX_THREAD_SLOTS;
    MutexLock held(&threadlistlock);
    for (int i = 0; i < n; i++) {
        threads[i].thread = 0;
        threads[i].state = 0;
        pthread_cond_init(&threads[i].cond, nullptr);
        threads[i].connection = nullptr;
    }
    if (n > 0) {
        threads[0].thread = pthread_self();
        threads[0].state = 3;
        threads[0].client_id = 0;
    }
    threads_ready = true;
    table_generation.fetch_add(1, std::memory_order_release);
}

static int slot_of_caller() {
    pthread_t self = pthread_self();
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++)
        if (threads[i].state != 0 && pthread_equal(threads[i].thread, self)) return i;
    return -1;
}

static int slot_of_caller_locked() {
    MutexLock held(&threadlistlock);
    return slot_of_caller();
}

static int own_slot() {
    unsigned generation = table_generation.load(std::memory_order_acquire);
    if (own_slot_index >= 0 && own_slot_generation == generation) return own_slot_index;
    int i = slot_of_caller_locked();
    if (i >= 0) {
        own_slot_index = i;
        own_slot_generation = generation;
    }
    return i;
}

int thread_find() {
    int i = slot_of_caller_locked();
    if (i < 0) fatal_assert("src/main", 2703, "thread_find");
    return i;
}

// The logger asks for the id of every line; before the table exists (unit
// tests, early start-up) every thread counts as client 0. A thread without a
// slot is a broken invariant, but the fatal report logs, and that must not
// ask again.
static thread_local bool in_clientid_fatal = false;

unsigned int thread_get_clientid() {
    if (!threads_ready || in_clientid_fatal) return 0;
    int i = own_slot();
    // Only the slot's own thread writes its client id.
    unsigned int id = i >= 0 ? threads[i].client_id.load() : 0u;
    if (i < 0) {
        in_clientid_fatal = true;
        fatal_assert("src/main", 2685, "thread_get_clientid");
    }
    return id;
}

void thread_set_clientid(unsigned int id) {
    int i = own_slot();
    if (i >= 0) threads[i].client_id = id;
    if (i < 0) fatal_assert("src/main", 2667, "thread_set_clientid");
}

void thread_report_counts(int counts[5]) {
    for (int k = 0; k < 5; k++) counts[k] = 0;
    MutexLock held(&threadlistlock);
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++)
        if (threads[i].state >= 0 && threads[i].state <= 4) counts[threads[i].state]++;
}

static int free_slot() {
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++)
        if (threads[i].state == 0) return i;
    return -1;
}

static void slot_fill(int i, CONNECTION_T *connection) {
    threads[i].state = 3;
    threads[i].connection = connection;
    threads[i].ip = threads[i].url = threads[i].method = nullptr;
    threads[i].requests = 0;
    threads[i].client_id = 0;
}

int thread_create(void *(*start)(void *), CONNECTION_T *connection) {
    enum { STARTED, ATTR_INIT, STACK_SIZE, DETACH, CREATE } failed = STARTED;
    int i, e = 0;
    {
        // Nothing logs under the table lock: the logger asks the table for
        // the caller's client id.
        MutexLock held(&threadlistlock);
        i = free_slot();
        if (i < 0) return -1;
        pthread_attr_t attr;
        e = pthread_attr_init(&attr);
        if (e) {
            failed = ATTR_INIT;
        } else {
            pthread_t tid;
            if ((e = pthread_attr_setstacksize(&attr, (size_t)max_opt_stack))) failed = STACK_SIZE;
            else if ((e = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED))) failed = DETACH;
            else if ((e = pthread_create(&tid, &attr, start, connection))) failed = CREATE;
            pthread_attr_destroy(&attr);
            if (failed == STARTED) {
                threads[i].thread = tid;
                slot_fill(i, connection);
            }
        }
    }
    switch (failed) {
        case STARTED: return i;
        case ATTR_INIT:
            putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to initialize thread", e,
                   strerror(e), "thread_create");
            break;
        case STACK_SIZE:
            putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %d",
                   e, strerror(e), "thread_create", max_opt_stack);
            break;
        case DETACH:
            putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread", e,
                   strerror(e), "thread_create");
            break;
        case CREATE:
            putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", e, strerror(e),
                   "thread_create");
            break;
    }
    return -1;
}

int thread_create_internal(void *(*start)(void *), void *argument) {
    int i, e = 0;
    {
        MutexLock held(&threadlistlock);
        i = MAXTHREADS < 1 ? -1 : free_slot();
        if (i >= 0) {
            slot_fill(i, (CONNECTION_T *)argument);
            pthread_attr_t attr;
            e = pthread_attr_init(&attr);
            if (!e) e = pthread_attr_setstacksize(&attr, 10485760);
            if (!e) e = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            pthread_t tid;
            if (!e) e = pthread_create(&tid, &attr, start, argument);
            pthread_attr_destroy(&attr);
            if (e) {
                // The slot is given back: a thread that never started holds nothing.
                threads[i].state = 0;
                threads[i].connection = nullptr;
            } else {
                threads[i].thread = tid;
            }
        }
    }
    if (i < 0) {
        putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        return -1;
    }
    if (e) {
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", e, strerror(e),
               "thread_create_internal");
        return -1;
    }
    return i;
}

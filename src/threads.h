// The thread table: one slot per thread of the program, under threadlistlock.
// The slot carries the client id the logger prints, the state the interface
// counts and the connection handed to an idle request worker.
#ifndef KORVANTEL_THREADS_H
#define KORVANTEL_THREADS_H

#include <pthread.h>

#include <atomic>

#include "settings.h"

struct CONNECTION_T;

struct THREAD_T {
    pthread_t thread;
    pthread_cond_t cond;
    CONNECTION_T *connection;
    // Written only by the slot's own thread (and its creator before it
    // runs); atomic, so that the logger reads it without the table lock.
    std::atomic<unsigned int> client_id;
    int state;  // 0 free, 1 busy, 2 idle, 3 starting/service, 4 prefetching
    int requests;
    char *ip;
    char *url;
    char *method;
};

struct statm_t;

extern THREAD_T threads[MAX_THREAD_SLOTS];
extern pthread_mutex_t threadlistlock;

void threads_init();
int thread_find();
unsigned int thread_get_clientid();
void thread_set_clientid(unsigned int id);
// Counts of slots in states 0..4 into counts[0..4].
void thread_report_counts(int counts[5]);
int thread_create(void *(*start)(void *), CONNECTION_T *connection);
int thread_create_internal(void *(*start)(void *), void *argument);

#endif

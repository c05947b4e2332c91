// The program-wide record behind `global`, created once by the start-up
// sequence and never freed.
#ifndef KORVANTEL_GLOBAL_H
#define KORVANTEL_GLOBAL_H

#include <pthread.h>
#include <sys/time.h>

#include "log.h"

struct HASH_TABLE;
struct PASSWORD_CACHE_TABLE;
struct DN_CACHE_TABLE;
struct TIMERS;
class ClientPool;
class ServerPool;
class Stats;

struct GLOBAL_T {
    LOGBUFFER *logbuffer;
    HASH_TABLE *dnscache;
    ServerPool *serverpool;
    ClientPool *clientpool;
    TIMERS *timers;
    Stats *stats;
    pthread_mutex_t dnscache_lock;
    PASSWORD_CACHE_TABLE *password_cache;
    pthread_rwlock_t password_cache_lock;
    DN_CACHE_TABLE *dn_cache;
    pthread_rwlock_t dn_cache_lock;
};

extern GLOBAL_T *global;
// Next client id handed out by the accept loop; wraps to 1, never 0.
extern unsigned int clientid;

#endif

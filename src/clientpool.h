// The client pool: connections without a request in progress wait here. One
// service thread polls them with a wake-up pipe, hands a readable one to a
// worker and closes broken or idle ones.
#ifndef KORVANTEL_CLIENTPOOL_H
#define KORVANTEL_CLIENTPOOL_H

#include <pthread.h>
#include <time.h>

#include <list>

struct CONNECTION_T;
class Filebuf;

struct clientpool_t {
    CONNECTION_T *connection;
    time_t added;
    int polled = -1;  // its place in the pool thread's current poll set; -1 none
};

class ClientPool {
  public:
    ClientPool();
    ~ClientPool();
    int Add(CONNECTION_T *connection);
    int Wakeup();
    void Clean();
    void load_shedding();
    void show_connections(Filebuf *filebuf);
    // One cycle of the pool thread; Poll() loops over it for ever.
    void PollOnce();
    [[noreturn]] void Poll();
    int size();

  private:
    int pipe_fds[2];
    pthread_mutex_t lock;
    pthread_cond_t arrived;  // ends the empty pool's sleep when a connection comes
    std::list<clientpool_t *> entries;
};

extern int wakepipe_calls;

// Idle limits of a pooled connection (seconds): before its first request and
// after one. The general settings supply them once they exist.
extern int (*clientpool_timeout_get)(CONNECTION_T *connection);
extern int (*clientpool_keeptimeout_get)(CONNECTION_T *connection);
// Performance-log counters; null counts nothing.
extern void (*clientpool_size_report)(int clients);
extern void (*clientpool_failure_report)(int failures);

void *clientpool_thread(void *argument);
// Empties global->clientpool; nothing before it exists.
void clientpool_flush();

#endif

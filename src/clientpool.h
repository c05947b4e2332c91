// The client pool: connections without a request in progress wait here. One
// service thread waits on them (an epoll set, with a wake-up pipe), hands a
// readable one to a worker and closes broken or idle ones.
#ifndef KORVANTEL_CLIENTPOOL_H
#define KORVANTEL_CLIENTPOOL_H

#include <pthread.h>
#include <time.h>

#include <stdint.h>

#include <atomic>
#include <list>
#include <unordered_map>
#include <utility>
#include <vector>

struct CONNECTION_T;
class Filebuf;

// How far an entry's Add and its leaving have got (see ClientPool::Add).
enum ClientPoolEntryState {
    CLIENTPOOL_ARMING,   // listed; its Add has yet to arm the descriptor
    CLIENTPOOL_LISTED,   // Add has finished with it
    CLIENTPOOL_CLOSE,    // taken off the list to be closed while Add armed it
    CLIENTPOOL_HANDED,   // handed to a worker while Add armed it
};

struct clientpool_t {
    CONNECTION_T *connection;
    time_t added;      // when pooled (clock_monotonic_s): idle time ignores steps of the time of day
    uint64_t tag = 0;  // names it in the epoll set; an event for a tag no longer listed is stale
    std::atomic<int> state{CLIENTPOOL_LISTED};
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
    using Entries = std::list<clientpool_t *>;
    // Unlinks an entry; pool lock held.
    void forget(Entries::iterator it);
    void close_idle(time_t now, std::vector<std::pair<clientpool_t *, int>> *leaving);
    int pipe_fds[2];
    int epoll_fd = -1;
    pthread_mutex_t lock;
    Entries entries;
    std::unordered_map<uint64_t, Entries::iterator> by_tag;
    uint64_t next_tag = 0;
    time_t swept = 0;  // second of the last idle sweep
};

extern int wakepipe_calls;

// Seconds a pooled connection may stay idle: the general rule's time-out
// before its first request, its keep-alive time-out after one (60 and 15
// while the general section does not exist).
int clientpool_idle_limit(CONNECTION_T *connection);

void *clientpool_thread(void *argument);
// Empties global->clientpool; nothing before it exists.
void clientpool_flush();

#endif

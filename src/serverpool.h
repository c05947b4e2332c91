// The server pool: idle upstream connections (keep-alive connections to
// origin servers and parent proxies, the ICAP client's and the NTLM daemon
// client's connections) kept between requests, so that a request needing the
// same upstream with the same credentials takes one out instead of
// connecting again. Bounded in size and age; a service thread cleans it
// every 10 seconds. The program's one pool is global->serverpool.
//
// The key of an entry is {protocol, host, port, user, password} as the
// callers fix it, plus how the connection reaches its peer: the forwarding
// type and the parent proxy's user the connection was authenticated as, so
// that a connection opened for one parent's credentials (or through SOCKS)
// is never handed to a request with other credentials or another route.
#ifndef KORVANTEL_SERVERPOOL_H
#define KORVANTEL_SERVERPOOL_H

#include <pthread.h>
#include <time.h>

#include <list>
#include <string>
#include <vector>

#include "connection.h"  // FORWARD_*

class Socket;

struct serverpool_t {
    Socket *socket;  // the idle connection; owned
    time_t added;    // when pooled (clock_monotonic_s)
    char *protocol;  // scheme key: the request's scheme, "icap", "httpauth"
    char *host;
    char *user;      // or null
    char *password;  // or null
    int port;
    int forward_type;    // FORWARD_*: how the connection reaches its peer
    char *forward_user;  // parent's user the connection authenticated as, or null
};

class ServerPool {
public:
    ServerPool();
    // Clean(1), then the mutex goes.
    ~ServerPool();
    ServerPool(const ServerPool &) = delete;
    ServerPool &operator=(const ServerPool &) = delete;

    // Pools an idle connection; the pool owns the socket from now on. When
    // the pool already holds its size, the oldest entry is closed first.
    void Add(Socket *socket, const char *protocol, const char *host, int port, const char *user, const char *password,
             int forward_type = FORWARD_DIRECT, const char *forward_user = nullptr);
    // Takes the oldest matching connection out of the pool (the caller owns
    // it), or null. protocol, host and port compare ignoring case; a given
    // user must equal the entry's exactly, no user matches only an entry
    // without one; passwords must both be present and equal exactly, unless
    // neither side has a user. forward_type must be equal and
    // forward_user equal exactly (both null counts as equal).
    Socket *Find(const char *protocol, const char *host, int port, const char *user, const char *password,
                 int forward_type = FORWARD_DIRECT, const char *forward_user = nullptr);
    // Drops entries pooled for at least the pool time-out, those past the
    // pool size, or all with force. Returns the number removed. Clean takes
    // the mutex; CleanUnlocked expects it held.
    int CleanUnlocked(int force);
    int Clean(int force);
    // Entries now pooled.
    int Count();
    // Copies of the idle connections' keys, oldest first, with the seconds
    // since each was pooled (for the interface's pool page).
    struct Shown {
        std::string protocol, host, user;
        int port;
        unsigned age;
    };
    std::vector<Shown> Show();

private:
    pthread_mutex_t mutex_;
    std::list<serverpool_t> entries_;  // oldest first
};

// The pool size for which the size warning of Add was last logged; 0 after
// every clean.
extern int warn_level;

// Service-thread body: Clean(0) on global->serverpool, then sleep 10
// seconds, for ever.
void *serverpool_clean(void *argument);

// Empties global->serverpool; nothing before it exists.
void serverpool_flush();

// Whether an idle connection is still in step with its server: nothing
// unread in its buffer or on its socket, the server's close included. A
// connection kept outside the pool is checked the same way before reuse.
bool serverpool_quiet(Socket *socket);

#endif

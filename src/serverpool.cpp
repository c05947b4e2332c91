#include "serverpool.h"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include "clock.h"
#include "general.h"
#include "global.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "perflog.h"
#include "socket.h"
#include "stats.h"

int warn_level = 0;

// Size and time-out in seconds: the general section's options, 64 and 300
// while it does not exist.
static int pool_size() { return general_section ? general_section->poolsize_get() : 64; }
static int pool_timeout() { return general_section ? general_section->pooltimeout_get() : 300; }

static char *copy_or_die(const char *text, const char *function) {
    if (!text) return nullptr;
    char *copy = xstrdup(text);
    if (!copy) fatal_alloc("src/serverpool", __LINE__, function, strlen(text) + 1);
    return copy;
}

static void entry_free(serverpool_t &entry) {
    delete entry.socket;
    free(entry.protocol);
    free(entry.host);
    free(entry.user);
    free(entry.password);
    free(entry.forward_user);
    entry.socket = nullptr;
    entry.protocol = entry.host = entry.user = entry.password = entry.forward_user = nullptr;
}

static const char *text(const char *value) { return value ? value : ""; }

// An idle connection is in step with its server only when nothing of it is
// left unread: bytes in the buffer or on the socket (a second answer nobody
// asked for, or the server's close) would be taken for the next answer.
// Add looks only at what is held (asking the kernel there too would cost
// every request a system call); Find asks the kernel as well, since that is
// where a close while idle shows.
static bool quiet(Socket *socket, bool ask_kernel) {
    if (!socket || socket->fd < 0 || socket->in_length > 0) return false;
    if (socket->ssl && socket->ssl_session && SSL_pending(socket->ssl_session) > 0) return false;
    if (!ask_kernel) return true;
    struct pollfd ready = {socket->fd, POLLIN | POLLPRI, 0};
    return poll(&ready, 1, 0) == 0;
}

static void count_event(const char *counter) {
    if (global && global->stats) global->stats->Increment("connection pool", counter);
}

ServerPool::ServerPool() { pthread_mutex_init(&mutex_, nullptr); }

ServerPool::~ServerPool() {
    Clean(1);
    pthread_mutex_destroy(&mutex_);
}

void ServerPool::Add(Socket *socket, const char *protocol, const char *host, int port, const char *user,
                     const char *password, int forward_type, const char *forward_user) {
    if (!socket) return;
    if (!protocol || !host) fatal_assert("src/serverpool", __LINE__, "Add");
    if (!quiet(socket, false)) {
        putlog(LOG_DEBUG, "Connection Pool: not pooled, unread input: %s://%s:%d ", protocol, host, port);
        delete socket;
        return;
    }
    int size = pool_size();
    bool warn = false;

    // The entry is built, and an evicted one closed, outside the mutex: the
    // lock covers only moving list nodes.
    std::list<serverpool_t> added(1), evicted;
    serverpool_t &entry = added.front();
    entry.socket = socket;
    entry.added = clock_monotonic_s();
    entry.protocol = copy_or_die(protocol, "Add");
    entry.host = copy_or_die(host, "Add");
    entry.user = copy_or_die(user, "Add");
    entry.password = copy_or_die(password, "Add");
    entry.port = port;
    entry.forward_type = forward_type;
    entry.forward_user = forward_type == FORWARD_DIRECT ? nullptr : copy_or_die(forward_user, "Add");
    int n;
    {
        MutexLock held(&mutex_);
        n = (int)entries_.size();
        if (n >= size && n > 0) {
            evicted.splice(evicted.end(), entries_, entries_.begin());
            if (n != warn_level) {
                warn_level = n;
                warn = true;
            }
        }
        entries_.splice(entries_.end(), added);
    }
    for (serverpool_t &old : evicted) entry_free(old);

    if (warn)
        putlog(LOG_ADVICE,
               "Connection Pool: size:%d is inadequate, consider increasing this, else reduce Connection "
               "Pool Timeout",
               n);
    putlog(LOG_DEBUG, "Connection Pool: added: %s://%s:*@%s:%d ", protocol, text(user), host, port);
}

// Whether the entry's credentials may serve a request with these. User
// names and passwords compare exactly: a session logged in as one account
// must never serve a guess that differs only in letter case.
static bool credentials_match(const serverpool_t &entry, const char *user, const char *password) {
    if (user) {
        if (!entry.user || strcmp(entry.user, user) != 0) return false;
    } else if (entry.user) {
        return false;
    }
    if (password && entry.password) return strcmp(entry.password, password) == 0;
    // Only a connection without any user is taken without both passwords.
    return !user && !entry.user;
}

static bool route_match(const serverpool_t &entry, int forward_type, const char *forward_user) {
    if (entry.forward_type != forward_type) return false;
    if (forward_type == FORWARD_DIRECT) return true;
    if (!entry.forward_user || !forward_user) return !entry.forward_user && !forward_user;
    return strcmp(entry.forward_user, forward_user) == 0;
}

Socket *ServerPool::Find(const char *protocol, const char *host, int port, const char *user, const char *password,
                         int forward_type, const char *forward_user) {
    if (!protocol || !host) return nullptr;
    Socket *found = nullptr;
    // The oldest matching entry is taken out under the mutex; whether its
    // connection is still quiet is asked (a poll) without it. One that spoke
    // or closed while idle is out of step, never handed out: it is closed
    // and the next one taken.
    for (;;) {
        std::list<serverpool_t> taken;
        {
            MutexLock held(&mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                const serverpool_t &entry = *it;
                if (!entry.protocol || !entry.host) fatal_assert("src/serverpool", __LINE__, "Find");
                if (strcasecmp(entry.protocol, protocol) == 0 && strcasecmp(entry.host, host) == 0 &&
                    entry.port == port && credentials_match(entry, user, password) &&
                    route_match(entry, forward_type, forward_user)) {
                    taken.splice(taken.end(), entries_, it);
                    break;
                }
            }
        }
        if (taken.empty()) break;
        serverpool_t &entry = taken.front();
        if (quiet(entry.socket, true)) {
            found = entry.socket;
            entry.socket = nullptr;
        }
        entry_free(entry);
        if (found) break;
    }

    if (found) {
        performance_log->set_connection_pool_hit(1);
        count_event("hit");
        putlog(LOG_DEBUG, "Connection Pool: hit: %s://%s:*@%s:%d ", protocol, text(user), host, port);
    } else {
        count_event("miss");
        putlog(LOG_DEBUG, "Connection Pool: miss: %s://%s:*@%s:%d ", protocol, text(user), host, port);
    }
    return found;
}

int ServerPool::CleanUnlocked(int force) {
    int size = pool_size();
    int timeout = pool_timeout();
    time_t now = clock_monotonic_s();
    int total = (int)entries_.size();
    performance_log->set_connection_pool_size(total > 0 ? (uint64_t)total : 0);

    int visited = 0, removed = 0;
    for (auto it = entries_.begin(); it != entries_.end(); visited++) {
        serverpool_t &entry = *it;
        if (!entry.protocol || !entry.host) fatal_assert("src/serverpool", __LINE__, "CleanUnlocked");
        if (force || now >= entry.added + timeout || visited > size) {
            entry_free(entry);
            it = entries_.erase(it);
            removed++;
        } else {
            ++it;
        }
    }
    if (total > 0) putlog(LOG_DEBUG, "connection pool: deleted: %d of %d connections", removed, visited);
    warn_level = 0;
    return removed;
}

int ServerPool::Clean(int force) {
    MutexLock held(&mutex_);
    return CleanUnlocked(force);
}

int ServerPool::Count() {
    MutexLock held(&mutex_);
    return (int)entries_.size();
}

void serverpool_flush() {
    if (global && global->serverpool) global->serverpool->Clean(1);
}

void *serverpool_clean(void *argument) {
    ServerPool *pool = argument ? (ServerPool *)argument : global->serverpool;
    for (;;) {
        pool->Clean(0);
        sleep(10);
    }
    return nullptr;
}

std::vector<ServerPool::Shown> ServerPool::Show() {
    std::vector<Shown> shown;
    time_t now = clock_monotonic_s();
    MutexLock held(&mutex_);
    for (const serverpool_t &e : entries_)
        shown.push_back({e.protocol ? e.protocol : "", e.host ? e.host : "", e.user ? e.user : "", e.port,
                         (unsigned)(now - e.added)});
    return shown;
}

bool serverpool_quiet(Socket *socket) { return quiet(socket, true); }

#include "clientpool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/time.h>
#include <unistd.h>

#include <iterator>
#include <vector>

#include "clock.h"
#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "global.h"
#include "lockguard.h"
#include "log.h"
#include "perflog.h"
#include "settings.h"
#include "socket.h"
#include "threads.h"
#include "worker.h"

int wakepipe_calls = 0;

int clientpool_idle_limit(CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    if (connection->requests == 0) return section ? section->timeout_get(connection) : 60;
    return section ? section->keeptimeout_get(connection) : 15;
}

ClientPool::ClientPool() {
    pthread_mutex_init(&lock, nullptr);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0)
        putlog(LOG_ERROR, "[system: epoll_create1:%d:%s], in %s, failed to create the poll set", errno, strerror(errno),
               "ClientPool");
    if (pipe(pipe_fds) != 0) {
        putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, failed to create wakepipe", errno, strerror(errno),
               "ClientPool");
        pipe_fds[0] = pipe_fds[1] = -1;
        return;
    }
    fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    // Tag 0 is the pipe; it stays level-triggered.
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLPRI;
    event.data.u64 = 0;
    if (epoll_fd >= 0) epoll_ctl(epoll_fd, EPOLL_CTL_ADD, pipe_fds[0], &event);
}

ClientPool::~ClientPool() {
    for (clientpool_t *e : entries) delete e;
    entries.clear();
    by_tag.clear();
    if (pipe_fds[0] != -1) close(pipe_fds[0]);
    if (pipe_fds[1] != -1) close(pipe_fds[1]);
    if (epoll_fd != -1) close(epoll_fd);
    pthread_mutex_destroy(&lock);
}

// Settles an entry just taken off the list. True: the caller goes on with it
// (closes or hands over the connection, then deletes the entry). False: its
// Add is still arming it and finishes it instead (deletes the entry and, for
// a close, closes the connection); a hand-over still goes ahead.
static bool entry_leaves(clientpool_t *e, bool close) {
    int arming = CLIENTPOOL_ARMING;
    return !e->state.compare_exchange_strong(arming, close ? CLIENTPOOL_CLOSE : CLIENTPOOL_HANDED);
}

static void close_pooled(CONNECTION_T *connection) {
    thread_set_clientid((unsigned)connection->id);
    net_close(connection);
    thread_set_clientid(0);
}

// The connection joins the epoll set as it enters the list, so the pool
// thread need not wake to learn of it: only its next request wakes it, once
// (one-shot, re-armed by the next Add).
//
// epoll_ctl runs after the pool lock is released, so the pool thread and
// other Adds do not queue behind it. The entry is listed before it is armed,
// so an event for its tag always finds it. Until epoll_ctl has returned,
// though, the pool may already let the entry go: the pool thread hands it
// to a worker on an event, or closes it on an error, an idle sweep, Clean or
// load shedding. A hand-over is safe (the event means arming is done), but
// a close is not: the descriptor number could be reused by another
// connection before this epoll_ctl, which would then arm that one with a
// stale tag. So a connection let go while still arming is closed by its Add,
// after epoll_ctl, and the entry is freed by whichever side comes last.
int ClientPool::Add(CONNECTION_T *connection) {
    clientpool_t *e = new clientpool_t{connection, clock_monotonic_s(), 0};
    int fd = connection->client ? connection->client->fd : -1;
    bool arm = fd >= 0 && epoll_fd >= 0;
    if (arm) e->state.store(CLIENTPOOL_ARMING);
    uint64_t tag;
    {
        MutexLock held(&lock);
        tag = e->tag = ++next_tag;
        entries.push_back(e);
        by_tag[e->tag] = std::prev(entries.end());
        wakepipe_calls++;
    }
    if (!arm) return Wakeup();
    struct epoll_event event = {};
    event.events = EPOLLIN | EPOLLPRI | EPOLLONESHOT;
    event.data.u64 = tag;
    // A descriptor served before is still in the set, disarmed.
    bool armed = epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0 ||
                 (errno == ENOENT && epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0);
    int left = e->state.exchange(CLIENTPOOL_LISTED);
    if (left == CLIENTPOOL_CLOSE) close_pooled(connection);
    if (left != CLIENTPOOL_ARMING) {
        delete e;
        return 1;
    }
    // One that cannot wait in the set is looked at by the pool thread now.
    if (!armed) return Wakeup();
    return 1;
}

int ClientPool::Wakeup() {
    char zero = 0;
    return (int)write(pipe_fds[1], &zero, 1);
}

void ClientPool::forget(Entries::iterator it) {
    by_tag.erase((*it)->tag);
    entries.erase(it);
}

int ClientPool::size() {
    MutexLock held(&lock);
    return (int)entries.size();
}

void ClientPool::Clean() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::list<clientpool_t *> gone;
    {
        MutexLock held(&lock);
        gone.swap(entries);
        by_tag.clear();
    }
    // Closing logs, and nothing may log while holding a pool lock that the
    // logger's ENFILE path could want; the entries are already ours.
    for (clientpool_t *e : gone) {
        if (!entry_leaves(e, true)) continue;
        close_pooled(e->connection);
        delete e;
    }
    Wakeup();
}

void ClientPool::load_shedding() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::list<clientpool_t *> gone;
    {
        MutexLock held(&lock);
        int n = (int)entries.size();
        while (n > 0 && MAXTHREADS / (n + 1) <= overload_factor) {
            gone.push_back(entries.front());
            forget(entries.begin());
            n--;
        }
    }
    for (clientpool_t *e : gone) {
        if (!entry_leaves(e, true)) continue;
        close_pooled(e->connection);
        delete e;
    }
}

void ClientPool::show_connections(Filebuf *filebuf) {
    time_t now = clock_monotonic_s();
    MutexLock held(&lock);
    filebuf->Addf("<table class=\"list\">\n");
    filebuf->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    filebuf->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    int row = 0;
    for (clientpool_t *e : entries) {
        filebuf->Addf("<tr class=\"%s\"><td>%d</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                      row++ % 2 ? "listodd" : "listeven", e->connection->id, e->connection->ip ? e->connection->ip : "",
                      e->connection->requests, (int)(now - e->added));
    }
    filebuf->Addf("</table>\n");
}

// Idle limits, checked once a second (idle times are whole seconds); with
// the pool lock held.
void ClientPool::close_idle(time_t now, std::vector<std::pair<clientpool_t *, int>> *leaving) {
    if (now == swept) return;
    swept = now;
    for (auto it = entries.begin(); it != entries.end();) {
        clientpool_t *e = *it;
        int idle = (int)(now - e->added);
        int limit = clientpool_idle_limit(e->connection);
        auto next = std::next(it);
        if (idle >= limit) {
            leaving->push_back({e, 0});
            forget(it);
        }
        it = next;
    }
}

void ClientPool::PollOnce() {
    int n, calls;
    {
        MutexLock held(&lock);
        n = (int)entries.size();
        performance_log->set_clients_in_pool(n > 0 ? (uint64_t)n : 0);
        calls = wakepipe_calls;
        wakepipe_calls = 0;
    }

    const int MAX_EVENTS = 256;
    struct epoll_event events[MAX_EVENTS];
    int timeout = calls > 0 ? CLIENT_POOL_TIMEOUT * 1000 : 1000;
    // An empty pool wakes as soon as a connection that arrives has input.
    int r = epoll_wait(epoll_fd, events, MAX_EVENTS, timeout);
    time_t now = clock_monotonic_s();
    if (r < 0) {
        if (errno != EINTR) {
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable", errno,
                   strerror(errno), "Poll");
            fd_failure();
            return;
        }
        r = 0;
    }

    // Decide under the lock which entries leave; act on them after it, since
    // handing over and closing both log.
    std::vector<std::pair<clientpool_t *, int>> leaving;  // 1 hand over, 0 close
    bool woken = false;
    {
        MutexLock held(&lock);
        for (int i = 0; i < r; i++) {
            if (events[i].data.u64 == 0) {
                woken = true;
                continue;
            }
            auto found = by_tag.find(events[i].data.u64);
            if (found == by_tag.end()) continue;  // closed meanwhile
            uint32_t ev = events[i].events;
            int action = (ev & (EPOLLIN | EPOLLPRI)) ? 1 : 0;
            leaving.push_back({*found->second, action});
            forget(found->second);
        }
        // Connections that could not join the set have no events: a closed
        // socket or none at all is seen here.
        for (auto it = entries.begin(); woken && it != entries.end();) {
            auto next = std::next(it);
            CONNECTION_T *c = (*it)->connection;
            if (!c->client || c->client->fd < 0) {
                leaving.push_back({*it, 0});
                forget(it);
            }
            it = next;
        }
        close_idle(now, &leaving);
    }

    if (woken) {
        char buf[256];
        ssize_t got = read(pipe_fds[0], buf, sizeof buf);
        if (got < 0) {
            if (errno != EAGAIN) {
                putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe", errno,
                       strerror(errno), "Poll");
                putlog(LOG_ADVICE, "system unstable, please restart the service");
            }
        } else {
            putlog(LOG_DEBUG, "client pool: size:%d poll received wakeup %d signals", n, (int)got);
        }
    }

    int failures = 0;
    bool error_closed = false;
    for (auto &[e, action] : leaving) {
        CONNECTION_T *c = e->connection;
        bool ours = entry_leaves(e, action != 1);
        if (ours) delete e;
        else if (action != 1) continue;  // its Add closes it
        thread_set_clientid((unsigned)c->id);
        if (action == 1) {
            if (process_new(c) < 0) {
                net_close(c);
                failures++;
                error_closed = true;
            }
        } else {
            net_close(c);
            error_closed = true;
        }
        thread_set_clientid(0);
    }
    if (error_closed && failures > 0) performance_log->set_threading_error((uint64_t)failures);
}

void ClientPool::Poll() {
    for (;;) PollOnce();
}

void *clientpool_thread(void *argument) {
    ClientPool *pool = argument ? (ClientPool *)argument : global->clientpool;
    pool->Poll();
}

void clientpool_flush() {
    if (global && global->clientpool) global->clientpool->Clean();
}

#include "clientpool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "log.h"
#include "settings.h"
#include "socket.h"
#include "threads.h"
#include "worker.h"

int wakepipe_calls = 0;

static int default_timeout(CONNECTION_T *) { return 60; }
static int default_keeptimeout(CONNECTION_T *) { return 15; }
int (*clientpool_timeout_get)(CONNECTION_T *) = default_timeout;
int (*clientpool_keeptimeout_get)(CONNECTION_T *) = default_keeptimeout;
void (*clientpool_size_report)(int) = nullptr;
void (*clientpool_failure_report)(int) = nullptr;

ClientPool::ClientPool() {
    pthread_mutex_init(&lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&arrived, &attributes);
    pthread_condattr_destroy(&attributes);
    if (pipe(pipe_fds) != 0) {
        putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, failed to create wakepipe", errno, strerror(errno),
               "ClientPool");
        pipe_fds[0] = pipe_fds[1] = -1;
        return;
    }
    fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
}

ClientPool::~ClientPool() {
    for (clientpool_t *e : entries) delete e;
    entries.clear();
    if (pipe_fds[0] != -1) close(pipe_fds[0]);
    if (pipe_fds[1] != -1) close(pipe_fds[1]);
    pthread_cond_destroy(&arrived);
    pthread_mutex_destroy(&lock);
}

int ClientPool::Add(CONNECTION_T *connection) {
    clientpool_t *e = new clientpool_t{connection, time(nullptr), -1};
    pthread_mutex_lock(&lock);
    entries.push_back(e);
    wakepipe_calls++;
    pthread_cond_signal(&arrived);
    pthread_mutex_unlock(&lock);
    return Wakeup();
}

int ClientPool::Wakeup() {
    char zero = 0;
    return (int)write(pipe_fds[1], &zero, 1);
}

int ClientPool::size() {
    pthread_mutex_lock(&lock);
    int n = (int)entries.size();
    pthread_mutex_unlock(&lock);
    return n;
}

static void close_pooled(CONNECTION_T *connection) {
    thread_set_clientid((unsigned)connection->id);
    net_close(connection);
    thread_set_clientid(0);
}

void ClientPool::Clean() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    pthread_mutex_lock(&lock);
    std::list<clientpool_t *> gone;
    gone.swap(entries);
    pthread_mutex_unlock(&lock);
    // Closing logs, and nothing may log while holding a pool lock that the
    // logger's ENFILE path could want; the entries are already ours.
    for (clientpool_t *e : gone) {
        close_pooled(e->connection);
        delete e;
    }
    Wakeup();
}

void ClientPool::load_shedding() {
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::list<clientpool_t *> gone;
    pthread_mutex_lock(&lock);
    int n = (int)entries.size();
    while (n > 0 && MAXTHREADS / (n + 1) <= overload_factor) {
        gone.push_back(entries.front());
        entries.pop_front();
        n--;
    }
    pthread_mutex_unlock(&lock);
    for (clientpool_t *e : gone) {
        close_pooled(e->connection);
        delete e;
    }
}

void ClientPool::show_connections(Filebuf *filebuf) {
    time_t now = time(nullptr);
    pthread_mutex_lock(&lock);
    filebuf->Addf("<table class=\"list\">\n");
    filebuf->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    filebuf->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    int row = 0;
    for (clientpool_t *e : entries) {
        filebuf->Addf("<tr class=\"%s\"><td>%d</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                      row++ % 2 ? "listodd" : "listeven", e->connection->id,
                      e->connection->ip ? e->connection->ip : "", e->connection->requests, (int)(now - e->added));
    }
    filebuf->Addf("</table>\n");
    pthread_mutex_unlock(&lock);
}

void ClientPool::PollOnce() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t now = tv.tv_sec;

    pthread_mutex_lock(&lock);
    int n = (int)entries.size();
    if (clientpool_size_report) clientpool_size_report(n);
    if (n == 0) {
        // The empty pool sleeps CLIENT_POOL_TIMEOUT milliseconds, but a
        // connection that arrives meanwhile need not wait for the rest.
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        long long ns = (long long)until.tv_nsec + (long long)CLIENT_POOL_TIMEOUT * 1000000LL;
        until.tv_sec += (time_t)(ns / 1000000000LL);
        until.tv_nsec = (long)(ns % 1000000000LL);
        int e = 0;
        while (entries.empty() && e != ETIMEDOUT && e != EINVAL) e = pthread_cond_timedwait(&arrived, &lock, &until);
        pthread_mutex_unlock(&lock);
        return;
    }
    int calls = wakepipe_calls;
    wakepipe_calls = 0;
    std::vector<struct pollfd> set;
    set.reserve(n + 1);
    set.push_back({pipe_fds[0], POLLIN | POLLPRI, 0});
    for (clientpool_t *e : entries) {
        int fd = e->connection->client ? e->connection->client->fd : -1;
        e->polled = (int)set.size();
        set.push_back({fd, POLLIN | POLLPRI | POLLERR | POLLHUP | POLLNVAL, 0});
    }
    pthread_mutex_unlock(&lock);

    int timeout = calls > 0 ? CLIENT_POOL_TIMEOUT * 1000 : 1000;
    int r = p_poll(set.data(), set.size(), timeout);
    if (r < 0) {
        if (errno == EINTR) return;
        putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable", errno,
               strerror(errno), "Poll");
        fd_failure();
        return;
    }
    if (set[0].revents & (POLLIN | POLLPRI)) {
        char buf[256];
        ssize_t got = read(pipe_fds[0], buf, 1);
        if (got < 0) {
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe", errno,
                   strerror(errno), "Poll");
            putlog(LOG_ADVICE, "system unstable, please restart the service");
        } else {
            putlog(LOG_DEBUG, "client pool: size:%d poll received wakeup %d signals", n, (int)got);
        }
    }

    // Decide under the lock which entries leave; act on them after it, since
    // handing over and closing both log.
    std::vector<std::pair<clientpool_t *, int>> leaving;  // 1 hand over, 0 close
    pthread_mutex_lock(&lock);
    for (auto it = entries.begin(); it != entries.end();) {
        clientpool_t *e = *it;
        if (e->polled < 0) {  // arrived after the poll set was built
            ++it;
            continue;
        }
        short ev = set[(size_t)e->polled].revents;
        int action = -1;
        if (ev & (POLLIN | POLLPRI)) action = 1;
        else if (ev & (POLLERR | POLLHUP | POLLNVAL)) action = 0;
        else {
            int idle = (int)(now - e->added);
            int limit = e->connection->requests == 0 ? clientpool_timeout_get(e->connection)
                                                     : clientpool_keeptimeout_get(e->connection);
            if (idle >= limit) action = 0;
        }
        if (action < 0) {
            ++it;
            continue;
        }
        leaving.push_back({e, action});
        it = entries.erase(it);
    }
    pthread_mutex_unlock(&lock);

    int failures = 0;
    bool error_closed = false;
    for (auto &[e, action] : leaving) {
        CONNECTION_T *c = e->connection;
        delete e;
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
    if (error_closed && clientpool_failure_report) clientpool_failure_report(failures);
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

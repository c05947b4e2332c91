#include "threads.h"


#include <errno.h>
#include <string.h>

#include <sys/resource.h>
#include <sys/time.h>

#include "cache.h"
#include "limit.h"
#include "clientpool.h"
#include "connection.h"
#include "global.h"
#include "log.h"
#include "mem.h"
#include "perflog.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "main.h"
#include "protocol.h"
#include "urlcommand.h"
#include "socket.h"

THREAD_T threads[MAX_THREAD_SLOTS];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;
static bool threads_ready = false;

void threads_init() {
    int n = MAXTHREADS < MAX_THREAD_SLOTS ? MAXTHREADS : MAX_THREAD_SLOTS;
    pthread_mutex_lock(&threadlistlock);
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
    pthread_mutex_unlock(&threadlistlock);
}

static int slot_of_caller() {
    pthread_t self = pthread_self();
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++)
        if (threads[i].state != 0 && pthread_equal(threads[i].thread, self)) return i;
    return -1;
}

int thread_find() {
    pthread_mutex_lock(&threadlistlock);
    int i = slot_of_caller();
    pthread_mutex_unlock(&threadlistlock);
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
    pthread_mutex_lock(&threadlistlock);
    int i = slot_of_caller();
    unsigned int id = i >= 0 ? threads[i].client_id : 0;
    pthread_mutex_unlock(&threadlistlock);
    if (i < 0) {
        in_clientid_fatal = true;
        fatal_assert("src/main", 2685, "thread_get_clientid");
    }
    return id;
}

void thread_set_clientid(unsigned int id) {
    pthread_mutex_lock(&threadlistlock);
    int i = slot_of_caller();
    if (i >= 0) threads[i].client_id = id;
    pthread_mutex_unlock(&threadlistlock);
    if (i < 0) fatal_assert("src/main", 2667, "thread_set_clientid");
}

void thread_report_counts(int counts[5]) {
    for (int k = 0; k < 5; k++) counts[k] = 0;
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++)
        if (threads[i].state >= 0 && threads[i].state <= 4) counts[threads[i].state]++;
    pthread_mutex_unlock(&threadlistlock);
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
    pthread_mutex_lock(&threadlistlock);
    int i = free_slot();
    if (i < 0) {
        pthread_mutex_unlock(&threadlistlock);
        return -1;
    }
    pthread_attr_t attr;
    int e = pthread_attr_init(&attr);
    if (e) {
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to initialize thread", e,
               strerror(e), "thread_create");
        return -1;
    }
    e = pthread_attr_setstacksize(&attr, (size_t)max_opt_stack);
    if (e) {
        pthread_mutex_unlock(&threadlistlock);
        pthread_attr_destroy(&attr);
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %d", e,
               strerror(e), "thread_create", max_opt_stack);
        return -1;
    }
    e = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (e) {
        pthread_mutex_unlock(&threadlistlock);
        pthread_attr_destroy(&attr);
        putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread", e,
               strerror(e), "thread_create");
        return -1;
    }
    pthread_t tid;
    e = pthread_create(&tid, &attr, start, connection);
    pthread_attr_destroy(&attr);
    if (e) {
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", e, strerror(e),
               "thread_create");
        return -1;
    }
    threads[i].thread = tid;
    slot_fill(i, connection);
    pthread_mutex_unlock(&threadlistlock);
    return i;
}

int thread_create_internal(void *(*start)(void *), void *argument) {
    pthread_mutex_lock(&threadlistlock);
    int i = MAXTHREADS < 1 ? -1 : free_slot();
    if (i < 0) {
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        return -1;
    }
    slot_fill(i, (CONNECTION_T *)argument);
    pthread_attr_t attr;
    int e = pthread_attr_init(&attr);
    if (!e) e = pthread_attr_setstacksize(&attr, 10485760);
    if (!e) e = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    if (!e) e = pthread_create(&tid, &attr, start, argument);
    pthread_attr_destroy(&attr);
    if (e) {
        // The slot is given back: a thread that never started holds nothing.
        threads[i].state = 0;
        threads[i].connection = nullptr;
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread", e, strerror(e),
               "thread_create_internal");
        return -1;
    }
    threads[i].thread = tid;
    pthread_mutex_unlock(&threadlistlock);
    return i;
}

int process_new(CONNECTION_T *connection) {
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++) {
        if (threads[i].state == 2) {
            connection->thread_slot = i;
            threads[i].connection = connection;
            threads[i].state = 3;
            pthread_cond_signal(&threads[i].cond);
            pthread_mutex_unlock(&threadlistlock);
            return i;
        }
    }
    pthread_mutex_unlock(&threadlistlock);
    return thread_create(process_entry, connection);
}

int keepalive_wait(int slot) {
    long long f = overload_factor < 1 ? 1 : overload_factor;
    long long w = (long long)(MAXTHREADS - slot) * CLIENT_POOL_TIMEOUT / (MAXTHREADS + f * slot);
    return w < 0 ? 0 : (int)w;
}

static void slot_clear_texts(THREAD_T *t) {
    free(t->method);
    free(t->url);
    free(t->ip);
    t->method = t->url = t->ip = nullptr;
}

// Releases the per-request state after every request.
static void request_cleanup(CONNECTION_T *connection) {
    if (connection->transferred > 0 && connection->transfer_limit == 0)
        putlog(LOG_LIMITS, "process: transfer prematurely terminated due to transfer limit restrictions");
    if (limit_section) limit_section->update(connection);
    // Charged once: the next request starts from zero.
    connection->transferred = 0;
    connection->upload_size = 0;
    if (connection->flags & CONN_FAILED) {
        putlog(LOG_WARNING, "process: transfer failed");
        connection->keepalive_client = 0;
        connection->keepalive_server = 0;
    }
    // The request's cache object: a failed transfer never leaves its object
    // behind as complete; a reader only lets go of the object it read.
    if (connection->cache && cache_section) {
        bool writer = (connection->flags & CONN_CACHE_WRITE) != 0;
        if ((connection->flags & CONN_FAILED) && writer) {
            cache_section->invalidate(connection->cache);
        } else {
            if (writer) cache_section->flag_unset(connection->cache, CACHE_BUFFERWAIT);
            cache_section->cache_close(connection->cache, writer);
        }
        connection->cache = nullptr;
    }
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
    delete connection->htmlstream;
    connection->htmlstream = nullptr;
    delete connection->request_body;
    connection->request_body = nullptr;
    // Pooled when it may be reused, keyed by the request's route; else closed.
    server_connection_release(connection);
    free(connection->forward_host);
    connection->forward_host = nullptr;
    connection->variables.clear();
    connection->response = nullptr;
    connection->profiles.clear();
    connection->groups.clear();
    connection->permissions = 0;
    http_header_free(connection->request);
    connection->request = nullptr;
}

// Serves requests on one connection until it is closed or handed back to the
// client pool.
static void serve(CONNECTION_T *connection) {
    for (;;) {
        thread_set_clientid((unsigned)connection->id);
        handle_request(connection);
        request_cleanup(connection);
        performance_log->set_requests_completed(1);
        putlog(LOG_DEBUG, "process: keepalive_client = %d", connection->keepalive_client);
        if (connection->flags & CONN_CLIENT_DROPPED) {
            net_close(connection);
            return;
        }
        connection->requests++;
        connection->flags = 0;
        if (connection->client) connection->client->Flush();
        if (!connection->keepalive_client || !connection->client) {
            net_close(connection);
            return;
        }
        connection->keepalive_client = 0;
        int w = keepalive_wait(connection->thread_slot);
        if (connection->client->in_length > 0 || connection->client->Read(nullptr, -1, w) > 0) continue;
        putlog(LOG_DEBUG, "process: adding connection to pool");
        global->clientpool->Add(connection);
        return;
    }
}

void *process_entry(void *argument) {
    CONNECTION_T *connection = (CONNECTION_T *)argument;
    int slot = thread_find();
    THREAD_T *t = &threads[slot];
    pthread_mutex_lock(&threadlistlock);
    // The creator may hand over a connection only through the slot.
    if (!connection) connection = t->connection;
    t->connection = nullptr;
    t->state = 1;
    pthread_mutex_unlock(&threadlistlock);
    for (;;) {
        if (connection) {
            connection->thread_slot = slot;
            serve(connection);
            connection = nullptr;
        }
        pthread_mutex_lock(&threadlistlock);
        slot_clear_texts(t);
        t->state = 2;
        t->requests = 0;
        t->client_id = 0;
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += THREAD_TIMEOUT;
        int e = 0;
        // A hand-over that lands just as the wait times out, or after a
        // spurious wake-up, is still served: the slot is checked, not the
        // wait's result.
        while (!t->connection && e != ETIMEDOUT) e = pthread_cond_timedwait(&t->cond, &threadlistlock, &until);
        if (t->connection) {
            connection = t->connection;
            t->connection = nullptr;
            t->state = 1;
            pthread_mutex_unlock(&threadlistlock);
            continue;
        }
        t->state = 0;
        pthread_mutex_unlock(&threadlistlock);
        return nullptr;
    }
}

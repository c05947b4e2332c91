// The request worker: serves the requests of one connection while it stays
// alive, releases the per-request state after each, returns the connection
// to the client pool, and waits idle in its thread slot for another until
// THREAD_TIMEOUT ends the thread.
#include "worker.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include "cache.h"
#include "clientpool.h"
#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "header.h"
#include "hstream.h"
#include "limit.h"
#include "lockguard.h"
#include "log.h"
#include "perflog.h"
#include "protocol.h"
#include "request.h"
#include "settings.h"
#include "socket.h"
#include "threads.h"
#include "urlcommand.h"

// The idle slots (state 2) as bits, changed with the states under
// threadlistlock: a hand-off finds the first idle slot from a few words
// instead of reading the state of every slot before it, which the other
// workers keep changing (a cache miss each, with the table lock held).
static uint64_t idle_slots[(MAX_THREAD_SLOTS + 63) / 64];

static void idle_mark(int slot, bool idle) {
    uint64_t bit = (uint64_t)1 << (slot % 64);
    if (idle) idle_slots[slot / 64] |= bit;
    else idle_slots[slot / 64] &= ~bit;
}

// The first idle slot among the first MAXTHREADS, or -1; threadlistlock held.
static int idle_first() {
    int limit = MAXTHREADS < MAX_THREAD_SLOTS ? MAXTHREADS : MAX_THREAD_SLOTS;
    for (int word = 0; word * 64 < limit; word++) {
        if (!idle_slots[word]) continue;
        int slot = word * 64 + __builtin_ctzll(idle_slots[word]);
        return slot < limit ? slot : -1;
    }
    return -1;
}

int process_new(CONNECTION_T *connection) {
    int slot = -1;
    {
        MutexLock held(&threadlistlock);
        int i = idle_first();
        if (i >= 0) {
            connection->thread_slot = i;
            threads[i].connection = connection;
            threads[i].state = 3;
            idle_mark(i, false);
            slot = i;
        }
    }
    if (slot < 0) return thread_create(process_entry, connection);
    // Woken after the lock is let go, so the worker does not wake only to
    // wait for it; it finds its connection in the slot either way.
    pthread_cond_signal(&threads[slot].cond);
    return slot;
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

// Ends a request: charges the limits, closes or pools what it opened, and
// clears every per-request field of the connection, so the next request
// starts from nothing. Returns what becomes of the client connection.
enum class After { dropped, close, next };

static After request_cleanup(CONNECTION_T *connection) {
    if (connection->transferred > 0 && connection->transfer_limit == 0)
        putlog(LOG_LIMITS, "process: transfer prematurely terminated due to transfer limit restrictions");
    if (limit_section) limit_section->update(connection);
    // Charged once: the next request starts from zero.
    connection->transferred = 0;
    connection->upload_size = 0;
    if (connection->flags & CONN_FAILED) {
        putlog(LOG_WARNING, "process: transfer failed");
        keepalive_end(connection);
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
    // Normally freed where its exchange ended; a path that left it here must
    // not leak it.
    http_header_free(connection->response);
    connection->response = nullptr;
    connection->profiles.clear();
    connection->groups.clear();
    connection->permissions = 0;
    http_header_free(connection->request);
    connection->request = nullptr;
    connection->body_unread = false;

    putlog(LOG_DEBUG, "process: keepalive_client = %d", connection->keepalive_client);
    After after = After::next;
    if (connection->flags & CONN_CLIENT_DROPPED) after = After::dropped;
    else if (!connection->keepalive_client || !connection->client) after = After::close;
    connection->flags = 0;
    keepalive_client_end(connection);
    return after;
}

// Serves requests on one connection until it is closed or handed back to the
// client pool.
static void serve(CONNECTION_T *connection) {
    for (;;) {
        thread_set_clientid((unsigned)connection->id);
        handle_request(connection);
        After after = request_cleanup(connection);
        performance_log->set_requests_completed(1);
        if (after == After::dropped) {
            net_close(connection);
            return;
        }
        connection->requests++;
        if (connection->client) connection->client->Flush();
        if (after == After::close) {
            net_close(connection);
            return;
        }
        int w = keepalive_wait(connection->thread_slot);
        int next = connection->client->in_length > 0 ? 1 : connection->client->Read(nullptr, -1, w);
        if (next > 0) continue;
        if (next == 0) {
            // The client has closed: nothing to wait for in the pool.
            net_close(connection);
            return;
        }
        putlog(LOG_DEBUG, "process: adding connection to pool");
        global->clientpool->Add(connection);
        return;
    }
}

// Waits idle in the slot for a connection handed over, up to
// THREAD_TIMEOUT; null when none came and the slot is given up.
static CONNECTION_T *slot_wait(THREAD_T *t) {
    MutexLock held(&threadlistlock);
    slot_clear_texts(t);
    t->state = 2;
    idle_mark((int)(t - threads), true);
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
    CONNECTION_T *connection = t->connection;
    if (connection) {
        // process_new took the slot off the idle bits.
        t->connection = nullptr;
        t->state = 1;
    } else {
        idle_mark((int)(t - threads), false);
        t->state = 0;
    }
    return connection;
}

void *process_entry(void *argument) {
    CONNECTION_T *connection = (CONNECTION_T *)argument;
    int slot = thread_find();
    THREAD_T *t = &threads[slot];
    {
        MutexLock held(&threadlistlock);
        // The creator may hand over a connection only through the slot.
        if (!connection) connection = t->connection;
        t->connection = nullptr;
        t->state = 1;
    }
    for (;;) {
        if (connection) {
            connection->thread_slot = slot;
            serve(connection);
        }
        connection = slot_wait(t);
        if (!connection) return nullptr;
    }
}

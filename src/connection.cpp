#include "connection.h"

#include <stdlib.h>

#include <new>

#include "atom.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "perflog.h"
#include "socket.h"
#include "stats.h"

CONNECTION_T *connection_new() {
    CONNECTION_T *connection = new (std::nothrow) CONNECTION_T();
    if (!connection) fatal_alloc("src/connection", __LINE__, "connection_new", sizeof(CONNECTION_T));
    return connection;
}

static void free_text(char *&text) {
    free(text);
    text = nullptr;
}

void connection_free(CONNECTION_T *connection) {
    if (!connection) return;
    connection->profiles.clear();
    connection->groups.clear();
    free_text(connection->ip);
    free_text(connection->interface_ip);
    free_text(connection->user_name);
    free_text(connection->ntlm_user);
    free_text(connection->ntlm_challenge);
    free_text(connection->ntlm_message1);
    free_text(connection->ntlm_message3);
    free_text(connection->ntlm_first);
    free_text(connection->forward_host);
    free_text(connection->forward_user);
    free_text(connection->forward_password);
    free_text(connection->forward_domain);
    free_text(connection->proxy_authorization);
    // Authenticated for this client alone: it ends with the client.
    delete connection->pinned_server;
    connection->pinned_server = nullptr;

    if (connection->userstats) {
        {
            MutexLock held(&atomlock);
            stats_release(connection->userstats);
        }
        connection->userstats = nullptr;
    }
    // The log record, the variables and the two strings go with the record.
    delete connection;
}

void net_close(CONNECTION_T *connection) {
    performance_log->set_connections_closed(1);
    if (!connection) return;
    putlog(LOG_NETWORK, "%s disconnected after making %d requests", connection->ip ? connection->ip : "-",
           connection->requests);
    delete connection->client;
    connection->client = nullptr;
    connection_free(connection);
}

#include "connect.h"

#include <stdlib.h>
#include <string.h>

#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "protocol.h"
#include "request.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"

// A template name that exists nowhere still answers the client.
static void page_send(const char *name, CONNECTION_T *connection, int status) {
    request_page(connection, name, status);
}

// Reads and parses the parent's next answer; null when none came or it does
// not parse.
static HEADER *answer_read(CONNECTION_T *connection) {
    char *text = header_get(connection, 1, general_timeout(connection));
    if (!text) return nullptr;
    HEADER *answer = http_header_parse_response(text);
    free(text);
    return answer;
}

static void response_drop(CONNECTION_T *connection) {
    http_header_free(connection->response);
    connection->response = nullptr;
}

int protocol_connect(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    const char *host = request && request->host ? request->host : "";
    int port = request ? request->port : 0;
    putlog(LOG_REQUEST, "CONNECT %s:%d", host, port);
    statincr_connectrequests(connection);

    bool open = true;
    if (connection->forward_type == FORWARD_HTTP) {
        open = false;
        header_send(request, connection, 1, HEADER_KIND_PARENT);
        // At most two answers: one 407 is answered, anything after it decides.
        for (int round = 0; round < 2; round++) {
            HEADER *answer = answer_read(connection);
            response_drop(connection);
            if (!answer) {
                putlog(LOG_REQUEST, "error: failed CONNECT to %s:%d", host, port);
                page_send("noconnect", connection, 503);
                break;
            }
            connection->response = answer;
            if (answer->code == 200) {
                open = true;
                break;
            }
            if (answer->code == 407 && !(connection->flags & CONN_PROXY_AUTH) && proxy_authenticate(connection)) {
                response_drop(connection);
                putlog(LOG_DEBUG, "request: authentication required by server for CONNECT to %s:%d", host, port);
                connection->flags |= CONN_PROXY_AUTH;
                continue;
            }
            // Refused, a second 407, or a 407 this proxy cannot answer.
            page_send("noconnect", connection, 503);
            putlog(LOG_ERROR, "request: failed CONNECT to %s:%d", host, port);
            break;
        }
    }

    if (open && connection->client && connection->server) {
        connection->client->PutSock("HTTP/1.1 200 Connection Established\r\n\r\n");
        connection->client->Flush();
        putlog(LOG_DEBUG, "request: established CONNECT to %s:%d", host, port);
        connection->log.status = 200;
        connection->log.size = net_proxy(connection, -1);
    }

    response_drop(connection);
    keepalive_server_end(connection);
    request_log(connection);
    return 0;
}

int proxy_connect(CONNECTION_T *connection) {
    HEADER *saved = connection->request;
    if (!saved || !saved->host) return -1;
    HEADER *head = header_new();
    head->type = HEADER_CONNECT;
    head->version = 2;
    head->method = xstrdup("CONNECT");
    head->protocol = xstrdup("connect");
    head->host = xstrdup(saved->host);
    head->file = xstrdup("/");
    head->port = saved->port;
    if (!head->method || !head->protocol || !head->host || !head->file)
        fatal_alloc("src/connect", __LINE__, "proxy_connect", strlen(saved->host) + 1);
    header_complete(head);
    HEADER *saved_response = connection->response;
    connection->response = nullptr;
    connection->request = head;
    header_send(head, connection, 1, HEADER_KIND_PARENT);

    int result = -1;
    for (int round = 0; round < 2; round++) {
        HEADER *answer = answer_read(connection);
        if (!answer) break;
        connection->response = answer;
        if (answer->code == 407 && !(connection->flags & CONN_PROXY_AUTH) && proxy_authenticate(connection)) {
            response_drop(connection);
            putlog(LOG_DEBUG, "request: authentication required by proxy server for CONNECT to %s:%d", head->host,
                   head->port);
            connection->flags |= CONN_PROXY_AUTH;
            continue;
        }
        // Only a success opens the tunnel; a refusal must not be taken for
        // the origin's answer.
        result = answer->code >= 200 && answer->code < 300 ? 1 : -1;
        break;
    }
    response_drop(connection);
    connection->response = saved_response;
    connection->request = saved;
    http_header_free(head);
    return result;
}

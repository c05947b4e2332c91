#include "fetch.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "log.h"
#include "mem.h"
#include "proto_http.h"
#include "protocol.h"
#include "serverpool.h"
#include "socket.h"

#define FETCH_USER_AGENT "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"
#define FETCH_TIMEOUT 60

static char *dup_or_die(const char *text) {
    if (!text) return nullptr;
    char *copy = xstrdup(text);
    if (!copy) fatal_alloc("src/fetch", __LINE__, "http_fetch", strlen(text) + 1);
    return copy;
}

// The GET that stands for the program itself.
static HEADER *fetch_request(URL *url, const std::vector<HTTP_HEADER> *headers) {
    HEADER *request = header_new();
    request->type = HEADER_ABSOLUTE;
    request->version = 2;
    request->method = dup_or_die("GET");
    request->protocol = dup_or_die(url->protocol && *url->protocol ? url->protocol : "http");
    string_tolower(request->protocol);
    request->host = dup_or_die(url->host);
    string_tolower(request->host);
    request->file = dup_or_die(url->file && *url->file ? url->file : "/");
    request->port = url->port > 0 ? url->port : protocol_port(request->protocol);
    request->user = dup_or_die(url->user);
    request->password = dup_or_die(url->password);
    header_complete(request);

    // The lines go through the parser so that known headers land in their
    // fields and are written once.
    std::string text = "GET / HTTP/1.1\r\n";
    if (headers) {
        for (const HTTP_HEADER &line : *headers) text += line.name + ": " + line.value + "\r\n";
    } else {
        text += "User-Agent: " FETCH_USER_AGENT "\r\n";
    }
    text += "\r\n";
    http_header_list_parse(request, text.c_str());
    return request;
}

HTTPRESPONSE *http_fetch(URL *url, const std::vector<HTTP_HEADER> *headers, long long limit) {
    if (!url || !url->host || !*url->host) return nullptr;
    CONNECTION_T *connection = connection_new();
    connection->flags = CONN_INTERNAL | CONN_CLIENT_DROPPED;
    connection->ip = dup_or_die("127.0.0.1");
    connection->interface_ip = dup_or_die("127.0.0.1");
    connection->forward_type = FORWARD_DIRECT;
    connection->request = fetch_request(url, headers);
    HEADER *request = connection->request;
    // An https URL is fetched over TLS, never in clear text to port 443.
    if (strcmp(request->protocol, "https") == 0) connection->flags |= CONN_HTTPS | CONN_TLS_ACTIVE;

    HTTPRESPONSE *result = nullptr;
    Filebuf *body = nullptr;
    int complete = HTTP_BODY_SHORT;
    char *text = nullptr;

    if (protocol_start(connection) < 0) goto done;
    if (request->user || request->password) authenicate_basic_response(connection);
    else header_send(request, connection, 1, HEADER_KIND_SERVER);

    text = header_get_reconnect(connection, FETCH_TIMEOUT);
    if (!text) goto done;
    connection->response = http_header_parse_response(text);
    free(text);
    if (!connection->response) goto done;

    body = http_transfer_filebuf(connection, HTTP_SIDE_SERVER, limit, &complete);
    // A cut or oversized body is never handed on as if it were whole.
    if (!body || complete != HTTP_BODY_COMPLETE) goto done;
    keepalive_check_server(connection);
    if (complete == HTTP_BODY_COMPLETE && !(connection->flags & CONN_FAILED) && connection->keepalive_server == 1 &&
        !loading && global && global->serverpool && connection->server) {
        global->serverpool->Add(connection->server, request->protocol, request->host, request->port, nullptr, nullptr,
                                FORWARD_DIRECT, nullptr);
        connection->server = nullptr;
    }
    result = (HTTPRESPONSE *)xmalloc(sizeof(HTTPRESPONSE));
    if (!result) fatal_alloc("src/fetch", __LINE__, "http_fetch", sizeof(HTTPRESPONSE));
    result->header = connection->response;
    result->body = body;
    connection->response = nullptr;
    body = nullptr;

done:
    delete body;
    delete connection->server;
    connection->server = nullptr;
    http_header_free(connection->response);
    connection->response = nullptr;
    http_header_free(connection->request);
    connection->request = nullptr;
    connection_free(connection);
    return result;
}

void httpresponse_free(HTTPRESPONSE *response) {
    if (!response) return;
    http_header_free(response->header);
    delete response->body;
    free(response);
}

int config_fetch(URL *url, std::string *body) {
    HTTPRESPONSE *response = http_fetch(url, nullptr);
    if (!response) return 0;
    int status = response->header ? response->header->code : 0;
    if (body) {
        body->clear();
        if (response->body && response->body->size > 0)
            body->assign(response->body->data, (size_t)response->body->size);
    }
    httpresponse_free(response);
    return status;
}

// The request driver: one request of a client connection, from reading its
// head to the hand-over to the dispatch, which ends it.
#include "request.h"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>

#include <string>

#include "clock.h"
#include "connection.h"
#include "dispatch.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "headerfilter.h"
#include "hstream.h"
#include "interface.h"
#include "limit.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "processors.h"
#include "profiles.h"
#include "proto_http.h"
#include "protocol.h"
#include "redirect.h"
#include "settings.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "threads.h"
#include "urlcommand.h"
#include "urlnorm.h"

namespace {

// How long the input of a connection being closed is drained.
const long long LINGER_MS = 2000;

void profiles_update(CONNECTION_T *connection) {
    if (profile_section) profile_section->profiles_update(connection);
}

void set_variable(CONNECTION_T *connection, const char *name, const std::string &value) {
    connection->variables[name] = value;
}

// The slot's copies of the texts shown on the connections page: the
// address, and with texts_too the URL and method; a state of 0 or more sets
// the slot's state and request count as well. The copies are made and the
// old ones freed outside threadlistlock, which every request and hand-off
// takes: under it only pointers change.
void slot_texts(CONNECTION_T *connection, const char *ip, const char *url, const char *method, bool texts_too,
                int state) {
    char *fresh[3] = {ip ? xstrdup(ip) : nullptr, url ? xstrdup(url) : nullptr, method ? xstrdup(method) : nullptr};
    char *old[3] = {nullptr, nullptr, nullptr};
    {
        MutexLock held(&threadlistlock);
        THREAD_T *slot = &threads[connection->thread_slot];
        if (state >= 0) {
            slot->state = state;
            slot->requests = connection->requests;
        }
        char **fields[3] = {&slot->ip, &slot->url, &slot->method};
        for (int i = 0; i < 3; i++) {
            if (i > 0 && !texts_too) break;
            old[i] = *fields[i];
            *fields[i] = fresh[i];
            fresh[i] = nullptr;
        }
    }
    for (int i = 0; i < 3; i++) {
        free(old[i]);
        free(fresh[i]);
    }
}

void request_variables(CONNECTION_T *connection, bool with_url) {
    HEADER *request = connection->request;
    if (request->host && *request->host) set_variable(connection, "HTTP_HOST", request->host);
    if (request->file) set_variable(connection, "HTTP_FILE", request->file);
    if (request->method) set_variable(connection, "HTTP_METHOD", request->method);
    if (request->protocol) set_variable(connection, "HTTP_PROTO", request->protocol);
    set_variable(connection, "HTTP_PORT", std::to_string(request->port));
    if (with_url && request->url) set_variable(connection, "URL", request->url);
}

// Whether the request announces a body that is still on the client socket.
bool body_announced(const HEADER *request) {
    return request && (((request->flags & HEADER_LENGTH) && request->content_length > 0) || request->chunked);
}

// Ends a request refused for its form: the page, and no further request on
// a connection whose framing can no longer be trusted.
void refuse_malformed(CONNECTION_T *connection, int status) {
    keepalive_client_end(connection);
    request_page(connection, "badrequest", status);
    // No request record survives a refused head, so the record is written
    // here.
    connection->log.method = "";
    request_log(connection);
}

// The head as the client sent it, parsed; null after refusing it. The log
// line names the read before (0) or after (1) the head processors.
HEADER *request_parse(CONNECTION_T *connection, const char *text, int pass) {
    int error = HEADER_ERROR_NONE;
    HEADER *request = http_header_parse_request(text, &error);
    if (!request) {
        if (connection->requests == 0)
            putlog(LOG_WARNING,
                   pass == 0 ? "request: invalid header recieved from %s" : "request: invalid header received from %s",
                   connection->ip);
        refuse_malformed(connection, error == HEADER_ERROR_URI_TOO_LONG ? 414 : 400);
        return nullptr;
    }
    if (request->flags & HEADER_INVALID) {
        // Conflicting or malformed framing: whatever this proxy forwarded,
        // the server might read the body differently.
        putlog(LOG_SECURITY, "request: refused ambiguous message from %s", connection->ip);
        http_header_free(request);
        refuse_malformed(connection, 400);
        return nullptr;
    }
    return request;
}

void log_forwarded_for(CONNECTION_T *connection) {
    if (connection->request->x_forwarded_for && *connection->request->x_forwarded_for)
        connection->log.client = connection->request->x_forwarded_for;
}

// A body that is read whole, or failed; false ends the request.
bool body_buffer(CONNECTION_T *connection, long long limit, int *result) {
    connection->request_body = http_transfer_filebuf(connection, HTTP_SIDE_CLIENT, limit, result);
    if (*result == HTTP_BODY_MALFORMED) {
        putlog(LOG_WARNING, "request: malformed chunked body from %s", connection->ip);
        refuse_malformed(connection, 400);
        return false;
    }
    if (*result == HTTP_BODY_SHORT) {
        putlog(LOG_WARNING, "request: incomplete request body from %s", connection->ip);
        keepalive_client_end(connection);
        return false;
    }
    return true;
}

void upload_exceeded(CONNECTION_T *connection) {
    keepalive_client_end(connection);
    refusal_page(connection, "uploadlimit");
}

// Reads the request body within the upload allowance and the buffer limit,
// or leaves it to be relayed while the request is sent. False ends the
// request.
bool request_body_read(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    unsigned int limit = connection->upload_limit;
    unsigned long long maximum = general_section ? general_section->maxubuffer_get(connection) : 0;
    int result = HTTP_BODY_COMPLETE;

    if (request->flags & HEADER_LENGTH) {
        unsigned long long length = request->content_length;
        if (limit != CONNECTION_NO_LIMIT && length > limit) {
            upload_exceeded(connection);
            return false;
        }
        connection->upload_size = length > UINT_MAX ? UINT_MAX : (unsigned int)length;
        if (length <= maximum) return body_buffer(connection, (long long)length, &result);
        if (connection->forward_user && length <= REQUEST_FORCED_BUFFER_MAX) {
            putlog(LOG_REQUEST, "forced buffering of POST request for proxy that requries authentication");
            return body_buffer(connection, (long long)length, &result);
        }
        connection->request_body = new Filebuf();
        connection->flags |= CONN_STREAM_BODY;
        connection->body_unread = true;
        putlog(LOG_DEBUG, "request: content (%lld) exceeds maximum upload buffer size (%llu)", (long long)length,
               maximum);
        return true;
    }

    if (request->chunked) {
        // The length is known only once the last chunk is in: read up to the
        // buffer limit, and relay the rest when the body is longer.
        long long cap = (long long)maximum;
        if (connection->forward_user && cap < (long long)REQUEST_FORCED_BUFFER_MAX)
            cap = (long long)REQUEST_FORCED_BUFFER_MAX;
        bool by_allowance = false;
        if (limit != CONNECTION_NO_LIMIT && (long long)limit < cap) {
            cap = limit;
            by_allowance = true;
        }
        if (!body_buffer(connection, cap, &result)) return false;
        Filebuf *body = connection->request_body;
        if (result == HTTP_BODY_OVERFLOW) {
            if (by_allowance) {
                upload_exceeded(connection);
                return false;
            }
            // Put what was read back in front of the client's input as one
            // chunk, so the relay sends the body from its start.
            if (body->size > 0) {
                char line[32];
                int n = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)body->size);
                Filebuf chunk;
                chunk.Add(line, n);
                chunk.Add(body->data, body->size);
                chunk.Add("\r\n", 2);
                connection->client->PushFront(chunk.data, (unsigned)chunk.size);
                body->Resize(0);
            }
            connection->flags |= CONN_STREAM_BODY;
            connection->body_unread = true;
            putlog(LOG_DEBUG, "request: chunked content exceeds maximum upload buffer size (%llu)", maximum);
            return true;
        }
        // Whole: it goes on with a length.
        request->chunked = 0;
        request->content_length = (uint64_t)body->size;
        request->flags |= HEADER_LENGTH;
        connection->upload_size = (unsigned int)body->size;
        return true;
    }

    connection->request_body = new Filebuf();
    return true;
}

// A transparent request's target from its Host header: host up to the
// first ':', and the decimal port after it. False when the value cannot name
// a host.
bool transparent_target(HEADER *request) {
    std::string value = request->host_header;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    size_t start = value.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    value.erase(0, start);
    std::string host = value, port_text;
    size_t colon = value.find(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        port_text = value.substr(colon + 1);
    }
    if (host.empty() || host.size() > 255) return false;
    for (unsigned char c : host)
        if (c <= 0x20 || c >= 0x7f || strchr("/\\?#@%:[]", c)) return false;
    int port = 80;
    if (colon != std::string::npos) {
        if (port_text.empty() || port_text.size() > 5) return false;
        port = 0;
        for (unsigned char c : port_text) {
            if (c < '0' || c > '9') return false;
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) return false;
    }
    free(request->host);
    request->host = xstrdup(host.c_str());
    request->port = port;
    if (colon == std::string::npos) request->flags |= HEADER_DEFAULT_PORT;
    else request->flags &= ~HEADER_DEFAULT_PORT;
    return true;
}

void noaccess(CONNECTION_T *connection) {
    keepalive_client_end(connection);
    refusal_page(connection, "noaccess", 404);
}

void nofile(CONNECTION_T *connection) {
    keepalive_client_end(connection);
    refusal_page(connection, "nofile", 404);
}

// Closing a socket that still holds unread input makes the kernel answer
// with a reset, which can destroy the answer just sent before the client
// has read it. So the sending side is shut first and what the client still
// sends is read and dropped for a little while.
void lingering_close_prepare(CONNECTION_T *connection, bool body_unread) {
    Socket *client = connection->client;
    if (!client || client->fd < 0 || (connection->flags & CONN_CLIENT_DROPPED)) return;
    struct pollfd ready = {client->fd, POLLIN, 0};
    if (!body_unread && client->in_length == 0 && poll(&ready, 1, 0) <= 0) return;
    client->Flush();
    shutdown(client->fd, SHUT_WR);
    client->Clear(0);
    long long start = clock_elapsed_ms();
    for (;;) {
        long long spent = clock_elapsed_ms() - start;
        if (spent >= LINGER_MS) break;
        ready.revents = 0;
        if (poll(&ready, 1, (int)(LINGER_MS - spent)) <= 0) break;
        if (client->Read(nullptr, -1, 0) <= 0) break;
        client->Clear(0);
    }
}

// The thread slot shows the connection, and the variables and the record
// get what is known of the client.
void request_start(CONNECTION_T *connection) {
    char number[32];

    // What the limits charge belongs to this request alone.
    connection->transferred = 0;
    connection->upload_size = 0;

    slot_texts(connection, connection->ip, nullptr, nullptr, false, 1);

    if (connection->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               connection->client ? connection->client->fd : -1, connection->ip ? connection->ip : "-",
               connection->port);

    const char *ip = connection->ip ? connection->ip : "";
    const char *interface_ip = connection->interface_ip ? connection->interface_ip : "";
    set_variable(connection, "IP", ip);
    set_variable(connection, "PORT", std::to_string(connection->port));
    snprintf(number, sizeof number, "%lu", (unsigned long)time(nullptr));
    set_variable(connection, "TIME", number);
    set_variable(connection, "INTERFACE", interface_ip);
    set_variable(connection, "VERSION", VERSION);
    snprintf(number, sizeof number, "%u", (unsigned)connection->id);
    set_variable(connection, "CLIENTID", number);
    connection->log.interface_ip = interface_ip;
    connection->log.interface_port = std::to_string(connection->port);
    connection->log.client_id = (unsigned)connection->id;
    connection->log.client = ip;
}

// The head as it came; false when none came whole (refused, or the client
// went quiet).
bool head_read(CONNECTION_T *connection, std::string *head) {
    const char *ip = connection->ip ? connection->ip : "";
    int timeout = 60;
    if (general_section)
        timeout = connection->requests ? general_section->keeptimeout_get(connection)
                                       : general_section->timeout_get(connection);
    int status = HEADER_GET_NONE;
    char *text = header_get(connection, 0, timeout, &status);
    connection->log.Reset();
    // Cleared so that request_log can tell whether the record was written
    // (writing stamps it).
    connection->log.end_time.tv_sec = 0;
    connection->log.end_time.tv_usec = 0;
    if (!text) {
        keepalive_client_end(connection);
        if (status == HEADER_GET_NONE) {
            if (connection->requests == 0) putlog(LOG_WARNING, "request: timeout waiting for header from %s", ip);
            return false;
        }
        if (connection->requests == 0) putlog(LOG_WARNING, "request: invalid header recieved from %s", ip);
        refuse_malformed(connection, status == HEADER_GET_LINE_TOO_LONG ? 414 : 400);
        return false;
    }
    if (status != HEADER_GET_OK) {
        // Half a head: the lines that did not come may have framed a body.
        free(text);
        if (connection->requests == 0) putlog(LOG_WARNING, "request: invalid header recieved from %s", ip);
        refuse_malformed(connection, 400);
        return false;
    }
    head->assign(text);
    free(text);
    return true;
}

// Parses the head, takes the URL commands out of it and applies them; pass
// 0 before the head processors, 1 after.
bool head_parse(CONNECTION_T *connection, const std::string &head, int pass) {
    connection->request = request_parse(connection, head.c_str(), pass);
    if (!connection->request) return false;
    log_forwarded_for(connection);
    if (pass == 0) keepalive_check_client(connection);
    if (!url_command_extract(connection)) {
        if (body_announced(connection->request)) keepalive_client_end(connection);
        return false;
    }
    // From here on every check sees the target as it will be sent.
    url_request_normalise(connection->request);
    return true;
}

// The head, parsed, with its URL commands and profiles; the head processors
// work on the raw text in between.
bool head_phase(CONNECTION_T *connection) {
    std::string head;
    if (!head_read(connection, &head)) return false;
    if (!head_parse(connection, head, 0)) return false;
    profiles_update(connection);

    // The processors see the raw text only; a head they left as it was is
    // not parsed a second time.
    HEADER *parsed = connection->request;
    connection->request = nullptr;
    Filebuf raw;
    raw.Add(head.c_str(), (long long)head.size() + 1);
    processors.Execute(PROCESSOR_REQHEADER, connection, &raw);
    std::string edited(raw.data ? raw.data : "", raw.data ? strnlen(raw.data, (size_t)raw.size) : 0);
    if (edited == head) {
        connection->request = parsed;
    } else {
        http_header_free(parsed);
        if (!head_parse(connection, edited, 1)) return false;
    }
    url_command_log(connection->url_commands);
    header_variables(connection, "CLIENT", connection->request->headers);

    HEADER *request = connection->request;
    if (request->method && strcasecmp(request->method, "HEAD") == 0) connection->flags |= CONN_HEAD;
    return true;
}

// The body, read or left to be streamed; then the authentication and
// request stages and the limits.
bool body_and_access_phase(CONNECTION_T *connection) {
    if (!request_body_read(connection)) return false;
    request_variables(connection, false);

    if (!process_request(connection, connection->request_body)) return false;
    HEADER *request = connection->request;
    if (connection->flags & CONN_STREAM_BODY) {
        // The stage takes a buffered body's length; a streamed one keeps the
        // framing it came with.
        if (!(request->flags & HEADER_LENGTH)) request->chunked = 1;
    }

    profiles_update(connection);
    if (limit_section && limit_section->check_and_block(connection)) return false;
    return true;
}

// The URL commands that change where and how the request goes, the request
// redirects, and the request header filter.
bool request_checks_phase(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    bypass_check(connection);
    url_command_permit(connection);

    url_command_t **commands = connection->url_commands;
    if (url_command_find(commands, "limits")) {
        limits_show(connection);
        return false;
    }
    if (redirect_section && redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1) return false;
    // A rewritten target is judged and sent in the same form as any other.
    url_request_normalise(connection->request);

    if (url_command_find(commands, "https")) {
        if (request->flags & HEADER_DEFAULT_PORT) {
            request->port = 443;
            if (request->host && *request->host) header_complete(request);
        }
        connection->flags |= CONN_HTTPS | CONN_TLS_ACTIVE;
    }

    slot_texts(connection, connection->ip, request->url ? request->url : request->file, request->method, true, -1);

    if (header_section) header_section->filter(connection, 1);
    return true;
}

// The web interface, and what the client may ask of this proxy: proxy or
// origin requests, CONNECT and its ports.
bool permission_phase(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    const char *ip = connection->ip ? connection->ip : "";
    if (request->type != HEADER_CONNECT) {
        if (interface_request(connection)) {
            interface_request_settle(connection);
            putlog(LOG_REQUEST, "request for web interface from %s", ip);
            interface_handle_request(connection);
            return false;
        }
        unsigned need = request->type == HEADER_ORIGIN ? PERMISSION_ORIGIN : PERMISSION_PROXY;
        if (!(connection->permissions & need)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            noaccess(connection);
            return false;
        }
        return true;
    }
    if (!(connection->permissions & PERMISSION_CONNECT)) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request", ip);
        noaccess(connection);
        return false;
    }
    if (general_section && !general_section->cportrange_check(connection, request->port)) {
        putlog(LOG_SECURITY, "denied CONNECT request from %s to port %d", ip, request->port);
        noaccess(connection);
        return false;
    }
    return true;
}

// An origin request without a host is a transparent one: its target comes
// from the Host header, and it goes on as a proxy request.
bool transparent_phase(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    const char *ip = connection->ip ? connection->ip : "";
    if (request->type != HEADER_ORIGIN || (request->host && *request->host)) return true;
    if (!(connection->permissions & PERMISSION_TRANSPARENT) || !request->host_header || !transparent_target(request)) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a malformatted request", ip);
        nofile(connection);
        return false;
    }
    url_request_normalise(request);
    profiles_update(connection);
    if (redirect_section && redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1) return false;
    url_request_normalise(request);
    if (request->port == connection->port) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a request to website on %d", ip, request->port);
        nofile(connection);
        return false;
    }
    header_complete(request);
    request->type = HEADER_ABSOLUTE;
    return true;
}

// The request's variables and record, once its URL is final.
void request_record(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    request_variables(connection, true);
    LogEntry &log = connection->log;
    log.method = request->method ? request->method : "";
    log.url = request->url ? request->url : "-";
    // Never the previous request's values on a kept-alive connection.
    log.useragent = request->user_agent ? request->user_agent : "-";
    log.http_referer = request->referer ? request->referer : "-";
    statincr_hosts(connection);
}

// Steps of one request up to the dispatch; returns when the request ended.
void request_drive(CONNECTION_T *connection) {
    request_start(connection);
    if (!head_phase(connection)) return;
    if (!body_and_access_phase(connection)) return;
    if (!request_checks_phase(connection)) return;
    if (!permission_phase(connection)) return;
    if (!transparent_phase(connection)) return;
    request_record(connection);
    request_dispatch(connection);
}

}  // namespace

void handle_request(CONNECTION_T *connection) {
    request_drive(connection);

    // A body still on the socket would be read as the next request.
    bool unread = connection->body_unread;
    keepalive_client_unread_check(connection);
    if (!connection->keepalive_client) lingering_close_prepare(connection, unread);

    // Every request that was read leaves its record, also those answered
    // before the protocol handlers (which write their own).
    HEADER *request = connection->request;
    LogEntry &log = connection->log;
    if (request && log.end_time.tv_sec == 0) {
        if (log.url == "-") {
            log.method = request->method ? request->method : "";
            if (request->url) log.url = request->url;
            else if (request->file) log.url = request->file;
        }
        request_log(connection);
    }
}

void request_log(CONNECTION_T *connection) {
    LogEntry &log = connection->log;
    if (log.end_time.tv_sec != 0) return;
    // Passwords an interface form sent in its URL never reach these logs.
    if (interface_request(connection)) interface_log_mask(connection);
    log.Write();
    log.apache_Write();
}

#include "dispatch.h"

#include <string.h>
#include <strings.h>

#include "cache.h"
#include "connect.h"
#include "connection.h"
#include "filebuf.h"
#include "forward.h"
#include "general.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "prefetch.h"
#include "processors.h"
#include "proto_ftp.h"
#include "proto_http.h"
#include "protocol.h"
#include "request.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"
#include "urlfilter.h"
#include "urlpages.h"

namespace {

url_command_t *command(CONNECTION_T *connection, const char *name) {
    return url_command_find(connection->url_commands, name);
}

// Name of the template a "template" command asks for.
const char *template_name(url_command_t *found) {
    return found && found->options && *found->options ? found->options : "unknown";
}

// Opens the cached copy of the request when the cache may answer it. False
// when the request ended.
bool cache_consult(CONNECTION_T *connection, bool offline) {
    HEADER *request = connection->request;
    LogEntry &log = connection->log;
    if (!cache_available() || command(connection, "fresh") || !cacheable(request)) {
        log.set_cachecode(CACHECODE_TCP_MISS);
        return true;
    }
    connection->cache = cache_object_open(connection, request->url, nullptr, offline ? CACHE_OFFLINE : 0);
    if (connection->cache) {
        // A copy made for a request with other values of the fields its
        // response varies on is that request's answer, not this one's.
        int match = cache_object_match(connection->cache, request);
        if (match < 0) cache_object_invalidate(connection->cache);
        else if (match == 0) cache_object_release(connection->cache);
        if (match <= 0) connection->cache = nullptr;
    }
    if (!connection->cache) {
        log.set_cachecode(CACHECODE_TCP_MISS);
        statincr_cachemiss(connection);
        return true;
    }
    unsigned flags = cache_object_flags(connection->cache);
    if (flags & CACHE_INVALID) {
        putlog(LOG_ADVICE, "Please re-check rules in the Caching Section");
        // No built-in page has this name: request_page answers all the same.
        request_page(connection, "error", 404);
        return false;
    }
    if (flags & CACHE_BUFFERWAIT) {
        cache_send_status(connection);
        return false;
    }
    putlog(LOG_CACHE, "hit: %s", request->url);
    if (!offline) {
        cache_request_check(connection, request);
        if (cache_object_flags(connection->cache) & CACHE_VALIDATE) {
            connection->flags |= CONN_REVALIDATE;
            conditional_header(request, connection->cache);
        }
    }
    log.set_cachecode(CACHECODE_TCP_HIT);
    statincr_cachehit(connection);
    return true;
}

// How the server is asked for content coding.
void coding_request(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int compressin = general_section ? general_section->compressin_get(connection) : 0;
    if (!compressin) {
        free(request->accept_encoding);
        request->accept_encoding = nullptr;
        return;
    }
    if (!accepts_encoded_content(connection)) {
        connection->flags |= CONN_ENCODED;
        free(request->accept_encoding);
        request->accept_encoding = xstrdup("gzip, deflate");
        putlog(LOG_DEBUG, "request: asking server for encoded content");
    }
}

// Whether this proxy can speak the request's scheme to the server itself.
bool scheme_handled(const HEADER *request) {
    const char *scheme = request->protocol;
    if (!scheme) return false;
    return strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "ftp") == 0 || protocols.Has(scheme);
}

// A request that would come back into this proxy is refused before any
// connection: it would arrive from the proxy's own address and be given that
// address's rights (the web interface among them).
bool loop_refused(CONNECTION_T *connection) {
    const char *why = forward_loop(connection);
    if (!why) return false;
    HEADER *request = connection->request;
    putlog(LOG_SECURITY, "Blocked Security Breach: request loop: %s asked for %s:%d, refused since %s",
           connection->ip ? connection->ip : "", request->host ? request->host : "", request->port, why);
    keepalive_client_end(connection);
    refusal_page(connection, "noaccess", 403);
    return true;
}

// Connects upstream unless the cached copy is served as it is. False when
// the request ended.
bool upstream_connect(CONNECTION_T *connection) {
    while (!connection->server && (!connection->cache || (connection->flags & CONN_REVALIDATE))) {
        connection->flags &= ~CONN_POOLED_SERVER;
        upstream_set(connection, FORWARD_DIRECT, nullptr, 0, nullptr, nullptr, nullptr);
        if (forward_section) forward_section->forward_do(connection);
        if (connection->request->type != HEADER_CONNECT && connection->forward_type != FORWARD_HTTP &&
            connection->request->port != 0 && !scheme_handled(connection->request)) {
            // Only a parent proxy could fetch it: no server is contacted
            // for a request that could never be answered. A scheme without
            // a known port has no server to name and gets the error page.
            keepalive_client_end(connection);
            request_page(connection, "badprotocol", 501);
            return false;
        }
        if (loop_refused(connection)) return false;
        int result = protocol_start(connection);
        if (result >= 0) break;
        if (!connection->cache) {
            // The server (or parent) that could not be reached, and why.
            bool parent = connection->forward_type != FORWARD_DIRECT && connection->forward_host;
            putlog(LOG_NETWORK, "error: cannot connect to %s:%d (%s)",
                   parent ? connection->forward_host : connection->request->host,
                   parent ? connection->forward_port : connection->request->port, error_to_template(result));
            request_page(connection, error_to_template(result), 503);
            return false;
        }
        connection->flags &= ~CONN_REVALIDATE;
        putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
        break;
    }
    return true;
}

}  // namespace

void request_dispatch(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    LogEntry &log = connection->log;

    url_command_t *prefetch = command(connection, "prefetch");
    url_command_t *template_command = command(connection, "template");
    if (prefetch) {
        URL *url = url_parse(request->url);
        if (!url) {
            // Nothing to queue, but the client still gets an answer.
            keepalive_client_end(connection);
            request_page(connection, "badrequest", 400);
            return;
        }
        prefetch_queue_add(connection, url);
        url_free(url);
        if (template_command) request_page(connection, template_name(template_command), 200);
        else request_page(connection, "unknown", 404);
        return;
    }
    if (template_command) {
        request_page(connection, template_name(template_command), 200);
        return;
    }
    if (command(connection, "profiles")) {
        show_profiles(connection);
        return;
    }
    bool offline = command(connection, "offline") != nullptr;
    if (offline) connection->flags |= CONN_OFFLINE;
    if (command(connection, "cache")) {
        cache_show(connection);
        return;
    }
    if (command(connection, "filter") && filter_section) {
        filter_section->check_show(connection);
        return;
    }

    if (processors.Execute(PROCESSOR_REQCHECK, connection, nullptr) == 1) {
        log.set_cachecode(CACHECODE_TCP_DENIED);
        request_log(connection);
        return;
    }

    if (!cache_consult(connection, offline)) return;
    if (offline && !connection->cache) {
        request_page(connection, "nocache", 404);
        return;
    }

    coding_request(connection);
    if (!upstream_connect(connection)) return;

    if (request->type == HEADER_CONNECT) {
        protocol_connect(connection);
        return;
    }
    if (command(connection, "proxytest")) {
        show_proxytest(connection);
        return;
    }

    connection->flags |= CONN_PROCESSING;

    if (connection->forward_type != FORWARD_HTTP && (!connection->cache || (connection->flags & CONN_REVALIDATE))) {
        if (protocols.Execute(request->protocol, connection) != -1) return;
        if (request->protocol && strcasecmp(request->protocol, "http") == 0) {
            protocol_http(connection);
            return;
        }
        if (request->protocol && strcasecmp(request->protocol, "ftp") == 0) {
            protocol_ftp(connection);
            return;
        }
        keepalive_client_end(connection);
        request_page(connection, "badprotocol", 501);
        return;
    }
    protocol_http(connection);
}

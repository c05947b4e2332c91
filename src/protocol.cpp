#include "protocol.h"

#include <arpa/inet.h>
#include <ntlm.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "base64.h"
#include "cache.h"
#include "compat.h"
#include "connect.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "global.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "processors.h"
#include "proto_ftp.h"
#include "proto_http.h"
#include "scanner.h"
#include "serverpool.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

std::atomic<int> loading{0};
Protocols protocols;

// Attempts of header_get_reconnect through further dead pooled connections.
#define RECONNECT_ATTEMPTS 100

static char *dup_or_die(const char *text, const char *function) {
    if (!text) return nullptr;
    char *copy = xstrdup(text);
    if (!copy) fatal_alloc("src/protocol", __LINE__, function, strlen(text) + 1);
    return copy;
}

static void replace_text(char **field, const char *value, const char *function) {
    free(*field);
    *field = dup_or_die(value, function);
}

// ---- processing stages ------------------------------------------------------

bool process_request(CONNECTION_T *connection, Filebuf *body) {
    processors.Execute(PROCESSOR_AUTH, connection, body);

    if (connection->user_name && *connection->user_name) {
        if (global && global->stats) stats_count_name(global->stats, "users", connection->user_name);
        connection->log.username = connection->user_name;
        connection->variables["USERNAME"] = connection->user_name;
    }

    if (!connection->response) {
        processors.Execute(PROCESSOR_REQMOD, connection, body);
        if (!connection->response) {
            HEADER *request = connection->request;
            if (request) {
                request->chunked = 0;
                if (body && body->size > 0) {
                    request->content_length = (uint64_t)body->size;
                    request->flags |= HEADER_LENGTH;
                }
            }
            return true;
        }
    }

    // A processor answered: its head is on the connection, its page in body.
    HEADER *response = connection->response;
    response->content_length = body && body->size > 0 ? (uint64_t)body->size : 0;
    response->flags |= HEADER_LENGTH;
    response->chunked = 0;
    // A streamed body still waits unread on the client socket; it must not
    // be taken for the next request.
    keepalive_client_unread_check(connection);
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    if (body) http_send_body(connection, body);
    http_header_free(response);
    connection->response = nullptr;
    return false;
}

int process_response(CONNECTION_T *connection, Filebuf *body) {
    if (processors.Execute(PROCESSOR_RESPCHECK, connection, body) == 1) {
        connection->log.set_cachecode(CACHECODE_TCP_DENIED);
        return 0;
    }
    processors.Execute(PROCESSOR_RESPMOD, connection, body);
    if (connection->cache && !(connection->flags & CONN_UNSCANNED))
        cache_object_flag_set(connection->cache, CACHE_CLEAN);
    return 1;
}

// ---- keep-alive, buffering, coding, allowance ---------------------------------

void keepalive_check_client(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int keep;
    if (!request || request->type == HEADER_CONNECT) keep = 0;
    else if (request->flags & HEADER_AMBIGUOUS) keep = 0;  // what follows its body may have been meant as part of it
    else if (request->connection_keepalive == 0 || request->proxy_keepalive == 0) keep = 0;
    else if (request->connection_keepalive == 1 || request->proxy_keepalive == 1) keep = 1;
    else keep = request->version == 2 ? 1 : 0;
    connection->keepalive_client = keep;
}

void keepalive_client_end(CONNECTION_T *connection) { connection->keepalive_client = 0; }

void keepalive_client_keep(CONNECTION_T *connection) { connection->keepalive_client = 1; }

void keepalive_client_unread_check(CONNECTION_T *connection) {
    if (connection->body_unread) keepalive_client_end(connection);
}

void keepalive_server_end(CONNECTION_T *connection) { connection->keepalive_server = 0; }

void keepalive_server_keep(CONNECTION_T *connection) { connection->keepalive_server = 1; }

void keepalive_end(CONNECTION_T *connection) {
    keepalive_client_end(connection);
    keepalive_server_end(connection);
}

// Whether the server may keep the connection after this response; -1 when
// the response's end is the server closing.
static int response_keepalive(const HEADER *response) {
    if (!response) return -1;
    if (response->flags & HEADER_INVALID) return -1;
    if (!(response->flags & HEADER_LENGTH) && !response->chunked) return -1;
    if (response->connection_keepalive == 1 || response->proxy_keepalive == 1) return 1;
    if (response->version == 2 && response->connection_keepalive != 0 && response->proxy_keepalive != 0) return 1;
    return 0;
}

// Whether a value of Authorization, or a challenge of WWW-Authenticate (which
// may list several schemes separated by commas), names NTLM or Negotiate:
// those authenticate the connection, not the request.
static bool connection_auth_scheme(const std::string &value) {
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == ',')) i++;
        size_t start = i;
        while (i < value.size() && value[i] != ' ' && value[i] != '\t' && value[i] != ',') i++;
        std::string scheme = value.substr(start, i - start);
        if (strcasecmp(scheme.c_str(), "NTLM") == 0 || strcasecmp(scheme.c_str(), "Negotiate") == 0) return true;
        while (i < value.size() && value[i] != ',') i++;
    }
    return false;
}

static bool connection_auth_named(const HEADER *head, const char *name) {
    if (!head) return false;
    for (const HTTP_HEADER &line : head->headers)
        if (strcasecmp(line.name.c_str(), name) == 0 && connection_auth_scheme(line.value)) return true;
    return false;
}

// A request that authenticates its server connection, or a response that
// challenges it to, makes the connection the client's own.
static void server_pin_check(CONNECTION_T *connection) {
    if (connection_auth_named(connection->request, "Authorization") ||
        connection_auth_named(connection->response, "WWW-Authenticate"))
        connection->flags |= CONN_SERVER_PINNED;
}

void keepalive_check_server(CONNECTION_T *connection) {
    server_pin_check(connection);
    int keep = response_keepalive(connection->response);
    if (keep < 0) {
        keepalive_end(connection);
    } else {
        connection->keepalive_server = keep;
    }
    // Either message read one way of several: the server may have meant
    // the other, and its connection is no longer trusted to be in step.
    if ((connection->response && (connection->response->flags & HEADER_AMBIGUOUS)) ||
        (connection->request && (connection->request->flags & HEADER_AMBIGUOUS)))
        keepalive_server_end(connection);
    putlog(LOG_DEBUG, "protocol: keepalive_server = %d", connection->keepalive_server);
}

int accepts_encoded_content(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    const char *accept = request ? request->accept_encoding : nullptr;
    if ((connection->flags & CONN_ENCODED) || !accept ||
        (!s_strcasestr(accept, "gzip") && !s_strcasestr(accept, "deflate"))) {
        putlog(LOG_DEBUG, "request: client doesn't support encoded content");
        return 0;
    }
    return 1;
}

int buffer_check(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    HEADER *response = connection->response;
    if (!request || !response) return 0;
    bool encoded = response->content_encoding != nullptr;

    unsigned int maxdbuffer = general_section ? general_section->maxdbuffer_get(connection) : 0;
    if ((response->flags & HEADER_LENGTH) && response->content_length > maxdbuffer &&
        !url_command_find(connection->url_commands, "process")) {
        putlog(LOG_DEBUG, "request: warn: response exceeds maximum download buffer size");
        scanners_unbuffered(connection, "larger than the download buffer");
        // Too large to hold: it goes out as it comes, and the log says that
        // a check wanting to read it never did.
        if ((connection->flags & CONN_PROCESSING) && processors.Execute(PROCESSOR_BUFFCHECK, connection, nullptr) != 0)
            putlog(LOG_WARNING, "request: response of %s exceeds maximum download buffer size: passed unfiltered",
                   request->url ? request->url : "-");
        return 0;
    }
    if (connection->flags & CONN_PREFETCH) return connection->htmlstream && encoded ? 1 : 0;
    if (encoded && !accepts_encoded_content(connection)) return 1;
    if (response->chunked && request->version != 2) return 1;
    if (processors.Execute(PROCESSOR_BUFFCHECK, connection, nullptr) != 0) return 1;

    connection->flags &= ~CONN_PROCESSING;

    if (url_command_find(connection->url_commands, "raw") || url_command_find(connection->url_commands, "htmltree"))
        return 1;
    if (encoded && connection->htmlstream) return 1;

    if (!general_section || !general_section->compressout_get(connection)) return 0;
    if (!request->accept_encoding || !response->content_type || encoded) return 0;
    if (!accepts_encoded_content(connection)) return 0;
    return general_section->encodemime_check(connection, response->content_type) ? 1 : 0;
}

int transfer_limit_check(CONNECTION_T *connection) {
    HEADER *response = connection->response;
    if (!response || !(response->flags & HEADER_LENGTH)) return 1;
    // A stored copy costs nothing unless a limit rule says otherwise.
    if (connection->cache && !(connection->flags & (CONN_TRANSFER_LIMIT | CONN_CACHE_WRITE))) return 1;
    if (connection->transfer_limit == CONNECTION_NO_LIMIT) return 1;
    if (response->content_length <= (uint64_t)connection->transfer_limit) return 1;
    putlog(LOG_WARNING, "limits: transfer would exceed transfer limit");
    refusal_page(connection, "downloadlimit");
    return 0;
}

int transfer_limit_charge(CONNECTION_T *connection, unsigned int length) {
    if (connection->transfer_limit == CONNECTION_NO_LIMIT) return 0;
    if (length > connection->transfer_limit) {
        connection->transfer_limit = 0;
        connection->flags |= CONN_FAILED;
        return -1;
    }
    connection->transfer_limit -= length;
    return 0;
}

void buffertimeout_set(CONNECTION_T *connection) {
    int wait = general_section ? general_section->bufferwait_get(connection) : 0;
    putlog(LOG_DEBUG, "request: buffer timeout: %d", wait);
    connection->buffer_timeout = wait != 0 ? (int)time(nullptr) + wait : 0;
}

void buffertimeout_check(CONNECTION_T *connection) {
    if (!connection->client || (connection->flags & CONN_CLIENT_DROPPED)) return;
    if (!(connection->flags & CONN_BUFFERING) || !(connection->flags & CONN_CACHE_WRITE)) return;
    if (connection->buffer_timeout == 0 || time(nullptr) < (time_t)connection->buffer_timeout) return;
    if (connection->cache) cache_object_flag_set(connection->cache, CACHE_BUFFERWAIT | CACHE_PREFETCHED);
    cache_send_status(connection);
    keepalive_client_end(connection);
    delete connection->client;
    connection->client = nullptr;
    connection->flags |= CONN_CLIENT_DROPPED;
}

// ---- upstream connection ------------------------------------------------------

void upstream_set(CONNECTION_T *connection, int type, const char *host, int port, const char *user,
                  const char *password, const char *domain) {
    connection->forward_type = type;
    connection->forward_port = port;
    replace_text(&connection->forward_host, host, "upstream_set");
    replace_text(&connection->forward_user, user, "upstream_set");
    replace_text(&connection->forward_password, password, "upstream_set");
    replace_text(&connection->forward_domain, domain, "upstream_set");
}

int upstream_key(CONNECTION_T *connection, UPSTREAM_KEY *key) {
    HEADER *request = connection->request;
    if (!request || !request->protocol || !request->host) return 0;
    // A TLS connection serves only requests that want TLS.
    key->protocol = (connection->flags & CONN_TLS_ACTIVE) ? "https" : request->protocol;
    if (connection->forward_type == FORWARD_HTTP) {
        key->host = connection->forward_host ? connection->forward_host : request->host;
        key->port = connection->forward_port;
    } else {
        key->host = request->host;
        key->port = request->port;
    }
    key->user = request->user;
    key->password = request->password;
    if (strcasecmp(request->protocol, "ftp") == 0 && connection->forward_type != FORWARD_HTTP) {
        // A control connection stays logged in: its key names that login,
        // the default one included, so no other user is handed it.
        ftp_login(request, &key->login_user, &key->login_password);
        key->user = key->login_user.c_str();
        key->password = key->login_password.c_str();
    }
    key->forward_type = connection->forward_type;
    key->forward_user = connection->forward_type == FORWARD_DIRECT ? nullptr : connection->forward_user;
    return 1;
}

// The upstream key as one text, its parts separated by a byte none of them
// holds; a missing text differs from an empty one.
static std::string pin_key(const UPSTREAM_KEY &key) {
    std::string out;
    auto part = [&out](const char *text) {
        out += text ? std::string("+") + text : std::string("-");
        out += '\0';
    };
    part(key.protocol);
    part(key.host);
    part(std::to_string(key.port).c_str());
    part(key.user);
    part(key.password);
    part(std::to_string(key.forward_type).c_str());
    part(key.forward_user);
    return out;
}

void server_connection_release(CONNECTION_T *connection) {
    if (!connection->server) return;
    UPSTREAM_KEY key;
    bool reusable = connection->keepalive_server == 1 && upstream_key(connection, &key);
    if (reusable) server_pin_check(connection);
    if (reusable && (connection->flags & CONN_SERVER_PINNED)) {
        // Authenticated for this client: it waits for the client's next
        // request and no other client's request ever gets it.
        delete connection->pinned_server;
        connection->pinned_server = connection->server;
        connection->pinned_key = pin_key(key);
    } else if (reusable && global && global->serverpool) {
        global->serverpool->Add(connection->server, key.protocol, key.host, key.port, key.user, key.password,
                                key.forward_type, key.forward_user);
    } else {
        delete connection->server;
    }
    connection->server = nullptr;
}

// The client's own authenticated server connection, when the request goes
// where it leads and it is still in step with its server.
static bool pinned_take(CONNECTION_T *connection) {
    if (!connection->pinned_server || connection->request->type == HEADER_CONNECT) return false;
    UPSTREAM_KEY key;
    if (!upstream_key(connection, &key) || pin_key(key) != connection->pinned_key) return false;
    Socket *pinned = connection->pinned_server;
    connection->pinned_server = nullptr;
    if (!serverpool_quiet(pinned)) {
        // Closed, or spoke while idle.
        delete pinned;
        return false;
    }
    connection->server = pinned;
    connection->flags |= CONN_POOLED_SERVER | CONN_SERVER_PINNED;
    keepalive_server_keep(connection);
    return true;
}

static in_addr_t local_address(CONNECTION_T *connection) {
    if (loading || !network_section) return 0;
    return network_section->interface_select(connection);
}

// TCP connection to the peer of the current route: the parent for parents
// and SOCKS, else the request's host. Returns net_connect's result.
static int peer_connect(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int timeout = general_ctimeout(connection);
    in_addr_t local = local_address(connection);
    if (connection->forward_type == FORWARD_DIRECT) return net_connect(request->host, request->port, local, timeout);
    return net_connect(connection->forward_host, connection->forward_port, local, timeout);
}

// TLS client start on the server socket. A peer that never answers the
// handshake must not hold the worker for ever: the handshake's reads and
// writes are bounded by the connect time-out.
static bool tls_start(CONNECTION_T *connection) {
    int fd = connection->server->fd;
    struct timeval limit = {general_ctimeout(connection), 0}, none = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    bool ok = connection->server->Encrypt(1, connection->request->host) == 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return ok;
}

int protocol_start(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    keepalive_server_end(connection);
    if (!request) return -1;
    int type = connection->forward_type;

    if (type == FORWARD_HTTP || type == FORWARD_SOCKS4 || type == FORWARD_CONNECT) {
        connection->log.peer = connection->forward_host ? connection->forward_host : "-";
    } else {
        connection->log.set_peercode(PEERCODE_DIRECT);
        connection->log.peer = request->host ? request->host : "-";
    }

    // Before the shared pool, and also for a request with a body: what the
    // client authenticated is sent over the connection it authenticated.
    if (pinned_take(connection)) return connection->server->fd;

    UPSTREAM_KEY key;
    if (request->type != HEADER_CONNECT && !(request->flags & HEADER_LENGTH) && global && global->serverpool &&
        upstream_key(connection, &key)) {
        Socket *pooled = global->serverpool->Find(key.protocol, key.host, key.port, key.user, key.password,
                                                  key.forward_type, key.forward_user);
        if (pooled) {
            connection->flags |= CONN_POOLED_SERVER;
            keepalive_server_keep(connection);
            connection->server = pooled;
            return pooled->fd;
        }
    }

    int fd = peer_connect(connection);
    if (fd < 0) {
        if (type == FORWARD_HTTP) putlog(LOG_ERROR, "network: connection to proxy server failed");
        return fd;
    }
    connection->server = new Socket(fd);

    const char *failure = nullptr;
    if (type == FORWARD_SOCKS4 && proxy_socks4(connection) != 1)
        failure = "network: connection to socks4 server failed";
    else if (type == FORWARD_SOCKS5 && proxy_socks5(connection) != 1)
        failure = "network: connection to socks5 server failed";
    else if (type == FORWARD_CONNECT && proxy_connect(connection) != 1) failure = "network: connection to proxy failed";
    if (failure) {
        putlog(LOG_ERROR, "%s", failure);
        delete connection->server;
        connection->server = nullptr;
        return -1;
    }

    if ((connection->flags & CONN_TLS_ACTIVE) && !tls_start(connection)) {
        delete connection->server;
        connection->server = nullptr;
        return -1;
    }
    return connection->server->fd;
}

int protocol_reconnect(CONNECTION_T *connection) {
    delete connection->server;
    connection->server = nullptr;
    if (connection->client) connection->client->Flush();
    return protocol_start(connection);
}

static void request_resend(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int kind = connection->forward_type == FORWARD_HTTP ? HEADER_KIND_PARENT : HEADER_KIND_SERVER;
    header_send(request, connection, 1, kind);
    if ((request->flags & HEADER_LENGTH) && connection->request_body)
        net_filebuf_send(connection->request_body, connection, 1);
}

char *header_get_reconnect(CONNECTION_T *connection, int timeout) {
    char *text = header_get(connection, 1, timeout);
    if (text) return text;

    const char *page = "noconnect";
    if (connection->request && (connection->keepalive_server || (connection->flags & CONN_PROXY_AUTH))) {
        if (connection->flags & CONN_STREAM_BODY) {
            putlog(LOG_WARNING, "request: server dropped connection during direct POST");
            keepalive_client_end(connection);
            return nullptr;
        }
        int result = -1;
        for (int attempt = 0; attempt < RECONNECT_ATTEMPTS; attempt++) {
            result = protocol_reconnect(connection);
            if (result < 0) break;
            request_resend(connection);
            text = header_get(connection, 1, timeout);
            if (text) return text;
            if (!connection->keepalive_server) break;
        }
        if (result < 0) page = error_to_template(result);
    }
    // A template name that exists nowhere still answers the client.
    request_page(connection, page, 503);
    return nullptr;
}

// ---- parent-proxy authentication ------------------------------------------------

// Before credentials are sent again: a 407 after which the parent closes
// leaves no connection to answer on, so a fresh one to the same parent is
// opened (no handshake: the request sent next is the parent's business).
static bool answer_connection(CONNECTION_T *connection, const HEADER *challenge) {
    if (connection->server && response_keepalive(challenge) == 1) return true;
    delete connection->server;
    connection->server = nullptr;
    int fd = peer_connect(connection);
    if (fd < 0) return false;
    connection->server = new Socket(fd);
    if (connection->forward_type == FORWARD_HTTP && (connection->flags & CONN_TLS_ACTIVE) && !tls_start(connection)) {
        delete connection->server;
        connection->server = nullptr;
        return false;
    }
    return true;
}

static char *base64_of(const void *bytes, size_t n) {
    size_t size = 4 * ((n + 2) / 3) + 1;
    char *out = (char *)xmalloc(size);
    if (!out) fatal_alloc("src/protocol", __LINE__, "base64_of", size);
    to64frombits((unsigned char *)out, (const unsigned char *)bytes, n);
    return out;
}

static void authorization_set(CONNECTION_T *connection, const char *scheme, const char *credentials) {
    free(connection->proxy_authorization);
    size_t size = strlen(scheme) + strlen(credentials) + 2;
    connection->proxy_authorization = (char *)xmalloc(size);
    if (!connection->proxy_authorization) fatal_alloc("src/protocol", __LINE__, "authorization_set", size);
    snprintf(connection->proxy_authorization, size, "%s %s", scheme, credentials);
}

static void authorization_clear(CONNECTION_T *connection) {
    free(connection->proxy_authorization);
    connection->proxy_authorization = nullptr;
}

static char *basic_credentials(const char *user, const char *password) {
    std::string pair = std::string(user ? user : "") + ":" + (password ? password : "");
    return base64_of(pair.data(), pair.size());
}

bool proxy_authenticate(CONNECTION_T *connection) {
    HEADER *response = connection->response;
    if (!response || !response->proxy_authenticate_header || !connection->request) return false;
    const char *scheme = response->proxy_authenticate_header;
    while (*scheme == ' ' || *scheme == '\t') scheme++;
    if (strcasecmp(scheme, "NTLM") == 0) return send_ntlm_response(connection) == 1;
    if (strncasecmp(scheme, "Basic", 5) == 0) return send_basic_response(connection) == 1;
    return false;
}

int send_basic_response(CONNECTION_T *connection) {
    http_transfer_discard(connection, 1);
    if (!answer_connection(connection, connection->response)) return 0;
    char *credentials = basic_credentials(connection->forward_user, connection->forward_password);
    authorization_set(connection, "Basic", credentials);
    free(credentials);
    header_send(connection->request, connection, 1, HEADER_KIND_PARENT);
    authorization_clear(connection);
    return 1;
}

static pthread_mutex_t ntlm_lock = PTHREAD_MUTEX_INITIALIZER;

char *ntlm_negotiate_message(const char *user, const char *domain) {
    tSmbNtlmAuthRequest request;
    memset(&request, 0, sizeof request);
    {
        MutexLock held(&ntlm_lock);
        buildSmbNtlmAuthRequest(&request, user ? user : "", domain ? domain : "");
    }
    return base64_of(&request, SmbLength(&request));
}

static uint32_t le32(const unsigned char *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t le16(const unsigned char *p) { return (uint16_t)(p[0] | p[1] << 8); }

char *ntlm_authenticate_message(const char *challenge, const char *user, const char *password) {
    if (!challenge) return nullptr;
    tSmbNtlmAuthChallenge decoded;
    memset(&decoded, 0, sizeof decoded);
    const size_t fixed = offsetof(tSmbNtlmAuthChallenge, buffer);
    const size_t capacity = offsetof(tSmbNtlmAuthChallenge, bufIndex);
    int n = from64tobits((char *)&decoded, challenge, capacity);
    if (n < 0 || (size_t)n < fixed) return nullptr;
    const unsigned char *raw = (const unsigned char *)&decoded;
    if (memcmp(raw, "NTLMSSP", 8) != 0 || le32(raw + 8) != 2) return nullptr;
    // The message builder reads the domain string where the challenge says;
    // one that does not lie inside what came is taken as no domain.
    unsigned char *domain = (unsigned char *)&decoded + offsetof(tSmbNtlmAuthChallenge, uDomain);
    size_t length = le16(domain), offset = le32(domain + 4);
    if (offset > (size_t)n || length > (size_t)n - offset) memset(domain, 0, sizeof decoded.uDomain);

    tSmbNtlmAuthResponse response;
    memset(&response, 0, sizeof response);
    {
        MutexLock held(&ntlm_lock);
        buildSmbNtlmAuthResponse(&decoded, &response, user ? user : "", password ? password : "");
    }
    size_t size = SmbLength(&response);
    if (size > sizeof response) return nullptr;
    return base64_of(&response, size);
}

int send_ntlm_response(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int saved_keepalive = connection->keepalive_server;
    char *saved_method = request->method;
    unsigned int saved_flags = request->flags;
    uint64_t saved_length = request->content_length;
    int result = 0;
    char *message = nullptr;
    char *text = nullptr;
    HEADER *reply = nullptr;
    const char *value = nullptr;

    http_transfer_discard(connection, 1);
    if (!answer_connection(connection, connection->response)) goto restore;
    keepalive_server_keep(connection);
    request->method = dup_or_die("GET", "send_ntlm_response");
    request->flags &= ~HEADER_LENGTH;

    message = ntlm_negotiate_message(connection->forward_user, connection->forward_domain);
    authorization_set(connection, "NTLM", message);
    free(message);
    header_send(request, connection, 1, HEADER_KIND_PARENT);

    text = header_get_reconnect(connection, 1);
    if (!text) goto restore;
    reply = http_header_parse_response(text);
    free(text);
    if (!reply) goto restore;
    http_header_free(connection->response);
    connection->response = reply;
    value = reply->proxy_authenticate_header;
    if (!value || strncasecmp(value, "NTLM ", 5) != 0) goto restore;
    http_transfer_discard(connection, 1);
    message = ntlm_authenticate_message(value + 5, connection->forward_user, connection->forward_password);
    if (!message) goto restore;
    authorization_set(connection, "NTLM", message);
    free(message);
    result = 1;

restore:
    connection->keepalive_server = saved_keepalive;
    if (request->method != saved_method) {
        free(request->method);
        request->method = saved_method;
    }
    request->flags = saved_flags;
    request->content_length = saved_length;
    if (result == 1 && connection->server) header_send(request, connection, 1, HEADER_KIND_PARENT);
    authorization_clear(connection);
    return result;
}

int authenicate_basic_response(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    char *credentials = basic_credentials(request->user, request->password);
    std::string value = std::string("Basic ") + credentials;
    free(credentials);
    char *saved = request->authorization;
    request->authorization = dup_or_die(value.c_str(), "authenicate_basic_response");
    header_send(request, connection, 1, HEADER_KIND_SERVER);
    free(request->authorization);
    request->authorization = saved;
    return 1;
}

void proxy_test(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (!request || !connection->server || connection->server->fd < 0) return;
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    if (getsockname(connection->server->fd, (struct sockaddr *)&address, &length) != 0 || address.sin_family != AF_INET)
        return;
    int listener = s_socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return;
    address.sin_port = 0;
    length = sizeof address;
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        close(listener);
        return;
    }
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
    replace_text(&request->host, ip, "proxy_test");
    replace_text(&request->file, "/", "proxy_test");
    request->port = ntohs(address.sin_port);
    header_complete(request);
    header_send(request, connection, 1, HEADER_KIND_PARENT);

    int timeout = general_timeout(connection);
    struct pollfd fds = {listener, POLLIN, 0};
    int ready = poll(&fds, 1, timeout < 0 ? 0 : timeout * 1000);
    if (ready <= 0 || !(fds.revents & POLLIN)) {
        close(listener);
        return;
    }
    int fd = s_accept(listener, nullptr, nullptr);
    close(listener);
    if (fd < 0) return;
    Socket *upstream = connection->server;
    Socket *accepted = new Socket(fd);
    connection->server = accepted;
    char *text = header_get(connection, 1, timeout);
    connection->server = upstream;
    delete accepted;
    if (text) {
        HEADER *head = http_header_parse_request(text);
        free(text);
        if (head) {
            http_header_free(connection->response);
            connection->response = head;
        }
    }
    keepalive_server_end(connection);
}

// ---- protocol handlers --------------------------------------------------------------

int Protocols::Add(PROTOCOL_HANDLER handler, const char *name) {
    if (!handler || !name) return 0;
    for (const Protocol &entry : list_)
        if (entry.handler == handler) return 0;
    list_.push_back(Protocol{name, handler});
    return 1;
}

int Protocols::Remove(PROTOCOL_HANDLER handler) {
    for (auto it = list_.begin(); it != list_.end(); ++it) {
        if (it->handler == handler) {
            list_.erase(it);
            return 1;
        }
    }
    return 0;
}

bool Protocols::Has(const char *name) const {
    if (!name) return false;
    for (const Protocol &entry : list_)
        if (entry.name == name) return true;
    return false;
}

int Protocols::Execute(const char *name, CONNECTION_T *connection) {
    if (!name) return -1;
    for (const Protocol &entry : list_)
        if (entry.name == name) return entry.handler(connection);
    return -1;
}

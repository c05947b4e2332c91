#include "proto_http.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <memory>
#include <string>

#include "cache.h"
#include "clock.h"
#include "connection.h"
#include "cookies.h"
#include "dispatch.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "headerfilter.h"
#include "hooks.h"
#include "hstream.h"
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "mimefilter.h"
#include "network.h"
#include "prefetch.h"
#include "processors.h"
#include "profiles.h"
#include "protocol.h"
#include "redirect.h"
#include "request.h"
#include "scanner.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "timerange.h"
#include "urlcommand.h"
#include "urlpages.h"

namespace {

Socket *source_of(CONNECTION_T *connection, int side) {
    return side == HTTP_SIDE_CLIENT ? connection->client : connection->server;
}

// Where a relayed body goes; null when nobody is there to write to.
Socket *destination_of(CONNECTION_T *connection, int side) {
    if (side == HTTP_SIDE_CLIENT) return connection->server;
    if (connection->flags & CONN_CLIENT_DROPPED) return nullptr;
    return connection->client;
}

// One line of at most max bytes, read within timeout seconds in all (a peer
// trickling bytes cannot hold the thread longer). The line end is removed.
// False on time-out, end of stream or an over-long line. With crlf set, a
// line must end in CR LF: chunk framing read leniently lets a sender put
// bytes where another reader sees the next message.
bool line_read(Socket *sock, std::string *line, int timeout, size_t max, bool crlf = false, bool *malformed = nullptr) {
    if (!sock) return false;
    long long deadline = clock_elapsed_s() + timeout;
    for (;;) {
        const char *lf = sock->in_length ? (const char *)memchr(sock->in, '\n', sock->in_length) : nullptr;
        if (lf) {
            size_t length = (size_t)(lf - sock->in) + 1;
            if (length > max) {
                if (malformed) *malformed = true;
                return false;
            }
            line->assign(sock->in, length);
            sock->GetLine(nullptr, -1, 0);
            if (crlf) {
                bool bad = length < 2 || (*line)[length - 2] != '\r';
                if (!bad) {
                    line->resize(length - 2);
                    bad = line->find('\r') != std::string::npos;
                }
                if (bad && malformed) *malformed = true;
                return !bad;
            }
            while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
            return true;
        }
        if (sock->in_length >= max) {
            if (malformed) *malformed = true;
            return false;
        }
        long long left = deadline - clock_elapsed_s();
        if (left <= 0) return false;
        if (sock->Read(nullptr, -1, (int)left) <= 0) return false;
    }
}

// Hexadecimal chunk size, optionally followed by blanks and extensions.
// Leading zeros are allowed; a size of more than 15 significant digits is
// refused (2^60 keeps the sum of sizes from wrapping, and a chunk that large
// never arrives anyway).
bool chunk_size_parse(const std::string &line, unsigned long long *size) {
    size_t i = 0;
    int significant = 0;
    unsigned long long value = 0;
    while (i < line.size() && isxdigit((unsigned char)line[i])) {
        int c = tolower((unsigned char)line[i]);
        if (value != 0 || c != '0') significant++;
        if (significant > 15) return false;
        value = value * 16 + (unsigned long long)(c <= '9' ? c - '0' : c - 'a' + 10);
        i++;
    }
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    if (i < line.size() && line[i] != ';') return false;
    *size = value;
    return true;
}

enum { MOVE_BUFFER, MOVE_RELAY, MOVE_DISCARD };

int body_failed(CONNECTION_T *connection) {
    connection->flags |= CONN_FAILED;
    return HTTP_BODY_SHORT;
}

int body_malformed(CONNECTION_T *connection) {
    connection->flags |= CONN_FAILED;
    return HTTP_BODY_MALFORMED;
}

// One framing line of a chunked body: a line that arrived but is not
// framing as it must be is malformed, a missing one makes the body short.
int chunk_line(Socket *source, std::string *line, int timeout) {
    bool malformed = false;
    if (line_read(source, line, timeout, HTTP_CHUNK_LINE_MAX, true, &malformed)) return HTTP_BODY_COMPLETE;
    return malformed ? HTTP_BODY_MALFORMED : HTTP_BODY_SHORT;
}

// Moves count bytes of one side: into the buffer, to the other side, or
// nowhere. False when fewer came.
bool bytes_move(CONNECTION_T *connection, int side, int mode, Filebuf *into, long long count) {
    if (count <= 0) return true;
    if (mode == MOVE_RELAY) return net_transfer(connection, side, count) == count;
    return net_filebuf_read(mode == MOVE_BUFFER ? into : nullptr, connection, side, count) == 1;
}

// A chunked body. Relaying re-chunks it when rechunk is set, else writes the
// bare data. Buffering stops before a chunk that would pass limit bytes and
// puts its size line back.
int chunked_move(CONNECTION_T *connection, int side, int mode, Filebuf *into, long long limit, bool rechunk) {
    Socket *source = source_of(connection, side);
    int timeout = general_wait_timeout(connection);
    long long total = 0;
    for (;;) {
        std::string line;
        unsigned long long size = 0;
        int got = chunk_line(source, &line, timeout);
        if (got == HTTP_BODY_SHORT) return body_failed(connection);
        if (got != HTTP_BODY_COMPLETE || !chunk_size_parse(line, &size)) return body_malformed(connection);
        if (size == 0) {
            // Trailer lines, up to the empty line that ends the body.
            for (int n = 0;; n++) {
                if (n > HTTP_TRAILER_LINES_MAX) return body_malformed(connection);
                got = chunk_line(source, &line, timeout);
                if (got == HTTP_BODY_SHORT) return body_failed(connection);
                if (got != HTTP_BODY_COMPLETE) return body_malformed(connection);
                if (line.empty()) break;
            }
            if (mode == MOVE_RELAY && rechunk) {
                Socket *destination = destination_of(connection, side);
                if (destination) {
                    destination->Write("0\r\n\r\n", 5);
                    destination->Flush();
                }
            }
            return HTTP_BODY_COMPLETE;
        }
        if (mode == MOVE_BUFFER && (long long)size > limit - into->size) {
            line += "\r\n";
            source->PushFront(line.data(), (unsigned)line.size());
            return HTTP_BODY_OVERFLOW;
        }
        if (side == HTTP_SIDE_CLIENT && mode == MOVE_RELAY && connection->upload_limit != CONNECTION_NO_LIMIT &&
            (unsigned long long)total + size > connection->upload_limit) {
            putlog(LOG_WARNING, "request: streamed body exceeds the upload limit of %s", connection->ip);
            return body_failed(connection);
        }
        if (mode == MOVE_RELAY && rechunk) {
            Socket *destination = destination_of(connection, side);
            if (destination) destination->PutSock("%llx\r\n", size);
        }
        if (!bytes_move(connection, side, mode, into, (long long)size)) return body_failed(connection);
        total += (long long)size;
        if (mode == MOVE_RELAY && rechunk) {
            Socket *destination = destination_of(connection, side);
            if (destination) destination->Write("\r\n", 2);
        }
        got = chunk_line(source, &line, timeout);
        if (got == HTTP_BODY_SHORT) return body_failed(connection);
        if (got != HTTP_BODY_COMPLETE || !line.empty()) return body_malformed(connection);
    }
}

// A response body that ends when the server closes: only a clean end of
// stream ends it. The buffer never grows past limit; what does not fit
// stays unread for the relay.
int close_delimited_buffer(CONNECTION_T *connection, Filebuf *into, long long limit) {
    Socket *source = connection->server;
    if (!source) return HTTP_BODY_COMPLETE;
    int timeout = general_wait_timeout(connection);
    char block[65536];
    for (;;) {
        long long room = limit - into->size;
        if (room <= 0) {
            // Full: reading ahead (no data callback yet) tells whether the
            // body ends here.
            int more = source->in_length > 0 ? 1 : source->Read(nullptr, -1, timeout);
            if (more == 0) return HTTP_BODY_COMPLETE;
            if (more < 0) return body_failed(connection);
            return HTTP_BODY_OVERFLOW;
        }
        int want = room < (long long)sizeof block ? (int)room : (int)sizeof block;
        // Bytes already held go alone: a reset met by the system read after
        // them would be lost behind them, and the next read see a clean end.
        if (source->in_length > 0 && source->in_length < (unsigned)want) want = (int)source->in_length;
        int got = source->Read(block, want, timeout);
        if (got == 0) return HTTP_BODY_COMPLETE;
        // Time-out, reset or a refusing callback: its end is not known.
        if (got < 0) return body_failed(connection);
        into->Add(block, got);
    }
}

// The framing a head gives its body.
struct FRAMING {
    bool counted;
    unsigned long long length;
    bool chunked;
};

FRAMING framing_of(const HEADER *head) {
    FRAMING framing = {false, 0, false};
    if (!head) return framing;
    if (head->chunked) framing.chunked = true;
    else if (head->flags & HEADER_LENGTH) {
        framing.counted = true;
        framing.length = head->content_length;
    }
    return framing;
}

// The data callback is on while a response body is read, unless this is an
// internal fetch.
int callback_attach(CONNECTION_T *connection, int side) {
    if (side != HTTP_SIDE_SERVER || !connection->server || (connection->flags & CONN_INTERNAL)) return -1;
    return connection->server->CallBackAdd(protocol_http_read_callback, connection, SOCKET_EVENT_READ);
}

void callback_detach(CONNECTION_T *connection, int id) {
    if (id >= 0 && connection->server) connection->server->CallBackRemove(id);
}

// Relays a body whose first `done` bytes (counted framing) were already
// passed on.
int relay_body(CONNECTION_T *connection, int side, FRAMING framing, bool rechunk, long long done) {
    int id = callback_attach(connection, side);
    int result;
    if (framing.chunked) {
        result = chunked_move(connection, side, MOVE_RELAY, nullptr, 0, rechunk);
    } else if (framing.counted) {
        long long rest = (long long)framing.length - done;
        result = bytes_move(connection, side, MOVE_RELAY, nullptr, rest) ? HTTP_BODY_COMPLETE : body_failed(connection);
    } else if (side == HTTP_SIDE_SERVER) {
        net_transfer(connection, side, -1);
        Socket *destination = destination_of(connection, side);
        if (destination) destination->Flush();
        result = (connection->flags & CONN_FAILED) ? HTTP_BODY_SHORT : HTTP_BODY_COMPLETE;
    } else {
        result = HTTP_BODY_COMPLETE;  // a request without framing has no body
    }
    callback_detach(connection, id);
    if (side == HTTP_SIDE_CLIENT) connection->body_unread = false;
    if (side == HTTP_SIDE_SERVER && connection->htmlstream) connection->htmlstream->Add(nullptr, 0);
    return result;
}

url_command_t *command(CONNECTION_T *connection, const char *name) {
    return url_command_find(connection->url_commands, name);
}

void profiles_update(CONNECTION_T *connection) {
    if (profile_section) profile_section->profiles_update(connection);
}

char *text_copy(const char *text) { return text ? xstrdup(text) : nullptr; }

void field_set(char **field, const char *value) {
    free(*field);
    *field = text_copy(value);
}

// Removes every line of that name from a head's list.
void lines_remove(HEADER *head, const char *name) {
    for (size_t i = 0; i < head->headers.size();) {
        if (strcasecmp(head->headers[i].name.c_str(), name) == 0) head->headers.erase(head->headers.begin() + (long)i);
        else i++;
    }
}

// The request body after its head: streamed from the client, or from the
// buffer. False when a streamed body ended early.
bool request_body_send(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (!connection->request_body) return true;
    if (connection->flags & CONN_STREAM_BODY) {
        if (!connection->body_unread) return true;  // already relayed once; it cannot be read again
        return http_transfer(connection, HTTP_SIDE_CLIENT) == HTTP_BODY_COMPLETE;
    }
    if ((request->flags & HEADER_LENGTH) && connection->request_body->size > 0)
        net_filebuf_send(connection->request_body, connection, 1);
    return true;
}

// Whether the server's first bytes are a status line: 1, or 0 for an answer
// that does not start like one (left unread). -1 when undecided (nothing
// came, or the connection ended).
int response_kind(CONNECTION_T *connection, int timeout) {
    static const char prefix[] = "HTTP/";
    Socket *server = connection->server;
    if (!server) return -1;
    long long deadline = clock_elapsed_s() + timeout;
    for (;;) {
        unsigned start = 0;
        while (start < server->in_length && (server->in[start] == '\r' || server->in[start] == '\n')) start++;
        unsigned have = server->in_length - start;
        unsigned compare = have < 5 ? have : 5;
        if (compare > 0 && strncasecmp(server->in + start, prefix, compare) != 0) return 0;
        if (compare == 5) return 1;
        long long left = deadline - clock_elapsed_s();
        if (left <= 0 || server->Read(nullptr, -1, (int)left) <= 0) return -1;
    }
}

// Whether the first line of a head is "HTTP/x.y NNN" and nothing else may
// start an answer: a server that speaks another protocol (a banner, an
// error text) gave no response at all.
bool status_line_valid(const char *text) {
    if (!text || strncasecmp(text, "HTTP/", 5) != 0) return false;
    const char *p = text + 5;
    if (!isdigit((unsigned char)p[0]) || p[1] != '.' || !isdigit((unsigned char)p[2])) return false;
    p += 3;
    if (*p != ' ' && *p != '\t') return false;
    while (*p == ' ' || *p == '\t') p++;
    for (int i = 0; i < 3; i++)
        if (!isdigit((unsigned char)p[i])) return false;
    p += 3;
    return *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\0';
}

// Seconds of an HTTP date, -1 when it does not read as one.
time_t http_date(const char *text) {
    if (!text) return -1;
    struct tm value;
    memset(&value, 0, sizeof value);
    const char *end = strptime(text, "%a, %d %b %Y %T GMT", &value);
    if (!end) return -1;
    return timegm(&value);
}

// Ends an exchange that sent no body of its own: a body this request was
// writing into the cache is dropped, the server connection (its body
// unread) is not reused.
int exchange_ending(CONNECTION_T *connection) {
    if (connection->cache && (connection->flags & CONN_CACHE_WRITE)) {
        cache_object_invalidate(connection->cache);
        connection->cache = nullptr;
        connection->flags &= ~CONN_CACHE_WRITE;
    }
    keepalive_server_end(connection);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

// Ends an exchange whose body was taken by a hook, a response processor or
// a page.
int exchange_finish(CONNECTION_T *connection) {
    keepalive_server_end(connection);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

void log_response(CONNECTION_T *connection, int status, long long size) {
    LogEntry &log = connection->log;
    log.status = status;
    log.size = size;
    HEADER *response = connection->response;
    if (response && response->mime_type && *response->mime_type) {
        log.mime = response->mime_type;
        statincr_mimes(connection);
    }
}

// Whether a response check or modification wants to read this body.
bool filters_want_body(CONNECTION_T *connection) {
    return (connection->flags & CONN_PROCESSING) && processors.Execute(PROCESSOR_BUFFCHECK, connection, nullptr) != 0;
}

// The largest response body held in memory for this request: the download
// buffer, whatever the framing (a body of unknown length is no exception:
// each client could otherwise make the daemon hold the ceiling).
long long response_buffer_limit(CONNECTION_T *connection) {
    if (command(connection, "process")) return HTTP_BODY_MAX;
    long long limit = general_section ? (long long)general_section->maxdbuffer_get(connection) : HTTP_BODY_MAX;
    return limit < HTTP_BODY_MAX ? limit : HTTP_BODY_MAX;
}

// A body the checks will not read (too large for the download buffer, or
// to decode into it) goes on as it came; the scanners and the log say so.
void unfiltered_pass(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    scanners_unbuffered(connection, "larger than the download buffer");
    if (filters_want_body(connection))
        putlog(LOG_WARNING, "request: response of %s exceeds maximum download buffer size: passed unfiltered",
               request->url ? request->url : "-");
}

// A body cut short that went to the client without a length or chunks
// could not be told from a whole one: it ends with a reset, never with the
// close that ends a whole one.
void unframed_cut_reset(CONNECTION_T *connection, int result) {
    HEADER *response = connection->response;
    if (result == HTTP_BODY_COMPLETE) return;
    if (response && (response->chunked || (response->flags & HEADER_LENGTH))) return;
    net_client_reset(connection);
}

// Sends one buffer to the client as a chunk.
void chunk_send(CONNECTION_T *connection, Filebuf *data) {
    Socket *client = destination_of(connection, HTTP_SIDE_SERVER);
    if (!client || data->size <= 0) return;
    client->PutSock("%llx\r\n", (unsigned long long)data->size);
    client->WriteFilebuf(data);
    client->Write("\r\n", 2);
}

// A buffered response that turned out larger than the buffer: the part read
// goes out first and the rest is relayed as it comes.
void relay_after_overflow(CONNECTION_T *connection, Filebuf *prefix) {
    HEADER *request = connection->request;
    HEADER *response = connection->response;
    connection->flags &= ~CONN_BUFFERING;
    if (response->content_encoding && !accepts_encoded_content(connection)) {
        // Too large to decode for a client that cannot take the coding.
        putlog(LOG_WARNING, "request: encoded response exceeds maximum download buffer size");
        request_page(connection, "badresponse", 400);
        keepalive_server_end(connection);
        connection->flags |= CONN_FAILED;
        return;
    }
    putlog(LOG_DEBUG, "request: warn: response exceeds maximum download buffer size");
    unfiltered_pass(connection);
    FRAMING framing = framing_of(response);
    bool rechunk = false;
    if (framing.chunked) {
        if (request->version == 2) {
            rechunk = true;
        } else {
            // An HTTP/1.0 client gets the data up to the close.
            response->chunked = 0;
            keepalive_client_end(connection);
        }
    }
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    if (rechunk) chunk_send(connection, prefix);
    else http_send_body(connection, prefix);
    unframed_cut_reset(connection, relay_body(connection, HTTP_SIDE_SERVER, framing, rechunk, prefix->size));
}

// A buffered body that did not arrive whole is never sent as if it had.
void buffered_incomplete(CONNECTION_T *connection) {
    keepalive_server_end(connection);
    connection->flags |= CONN_FAILED;
    if (connection->transfer_limit == 0) {
        refusal_page(connection, "downloadlimit");
        return;
    }
    // The server's fault, not the client's.
    putlog(LOG_WARNING, "request: incomplete response from %s",
           connection->request->host ? connection->request->host : "-");
    request_page(connection, "badresponse", 502);
}

}  // namespace

long long http_send_body(CONNECTION_T *connection, Filebuf *body) {
    if (!body || (connection->flags & CONN_HEAD)) return 0;
    return net_filebuf_send(body, connection, 0);
}

Filebuf *http_transfer_filebuf(CONNECTION_T *connection, int side, long long limit, int *result) {
    Filebuf *body = new Filebuf();
    HEADER *head = side == HTTP_SIDE_CLIENT ? connection->request : connection->response;
    FRAMING framing = framing_of(head);
    if (limit < 0) limit = 0;
    int id = callback_attach(connection, side);
    int outcome;
    if (framing.chunked) {
        outcome = chunked_move(connection, side, MOVE_BUFFER, body, limit, false);
    } else if (framing.counted) {
        if (framing.length > (unsigned long long)limit) outcome = HTTP_BODY_OVERFLOW;
        else if (bytes_move(connection, side, MOVE_BUFFER, body, (long long)framing.length))
            outcome = HTTP_BODY_COMPLETE;
        else outcome = body_failed(connection);
    } else if (side == HTTP_SIDE_SERVER) {
        outcome = close_delimited_buffer(connection, body, limit);
    } else {
        outcome = HTTP_BODY_COMPLETE;
    }
    callback_detach(connection, id);
    if (side == HTTP_SIDE_CLIENT && outcome == HTTP_BODY_COMPLETE) connection->body_unread = false;
    if (result) *result = outcome;
    else if (outcome == HTTP_BODY_OVERFLOW) connection->flags |= CONN_FAILED;
    return body;
}

int http_transfer(CONNECTION_T *connection, int side) {
    HEADER *head = side == HTTP_SIDE_CLIENT ? connection->request : connection->response;
    return relay_body(connection, side, framing_of(head), true, 0);
}

int http_transfer_discard(CONNECTION_T *connection, int side) {
    HEADER *head = side == HTTP_SIDE_CLIENT ? connection->request : connection->response;
    FRAMING framing = framing_of(head);
    int result;
    if (framing.chunked) {
        result = chunked_move(connection, side, MOVE_DISCARD, nullptr, 0, false);
    } else if (framing.counted) {
        result = bytes_move(connection, side, MOVE_DISCARD, nullptr, (long long)framing.length)
                     ? HTTP_BODY_COMPLETE
                     : body_failed(connection);
    } else if (side == HTTP_SIDE_SERVER) {
        net_filebuf_read(nullptr, connection, side, -1);
        result = HTTP_BODY_COMPLETE;
    } else {
        result = HTTP_BODY_COMPLETE;
    }
    if (side == HTTP_SIDE_CLIENT) connection->body_unread = false;
    return result;
}

unsigned long long next_chunksize(CONNECTION_T *connection, int side) {
    std::string line;
    unsigned long long size = 0;
    if (!line_read(source_of(connection, side), &line, general_wait_timeout(connection), 64)) return 0;
    if (!chunk_size_parse(line, &size)) return 0;
    return size;
}

int protocol_http_read_callback(void *data, int length, char *bytes) {
    CONNECTION_T *connection = (CONNECTION_T *)data;
    if (!connection || length <= 0) return 0;
    if (connection->htmlstream && !(connection->response && connection->response->content_encoding))
        connection->htmlstream->Add(bytes, length);
    if (connection->cache && (connection->flags & CONN_CACHE_WRITE)) {
        if (cache_object_add(connection->cache, bytes, length) == -1 && (connection->flags & CONN_PREFETCH)) return -1;
    }
    connection->transferred += (unsigned int)length;
    if (transfer_limit_charge(connection, (unsigned int)length) == -1) return -1;
    buffertimeout_check(connection);
    return 0;
}

namespace {

// One exchange on its way through the steps of protocol_http.
struct Exchange {
    CONNECTION_T *connection;
    HEADER *request;
    int timeout;
    bool from_cache;  // the answer comes from a cache object
    char *text;       // the next response head to parse
    int code;         // the status the record gets
    long long sent;   // body bytes that went to the client
    int result;       // what protocol_http returns once a step ended it

    explicit Exchange(CONNECTION_T *c)
        : connection(c),
          request(c->request),
          timeout(general_wait_timeout(c)),
          from_cache(c->cache && !(c->flags & CONN_REVALIDATE)),
          text(nullptr),
          code(0),
          sent(0),
          result(1) {}
    ~Exchange() { free(text); }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;
};

// What a step decided: go on with the next one, read a further response
// head, or end the exchange with x.result.
enum class Step { next, again, end };

Step end(Exchange &x, int result) {
    x.result = result;
    return Step::end;
}

// The server's answer is not HTTP: nothing of it reaches the client.
Step bad_response(Exchange &x) {
    putlog(LOG_ERROR, "Bad response from server");
    request_page(x.connection, "badresponse", 502);
    keepalive_server_end(x.connection);
    return end(x, -1);
}

// The request head and body go to the server, and the first bytes of the
// answer tell whether a head follows; from the cache, its stored head.
Step request_send(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    if (x.from_cache) {
        x.text = cache_object_head(connection->cache);
        return x.text ? Step::next : end(x, -1);
    }
    if (general_section && general_section->xforwardedfor_get(connection))
        field_set(&request->x_forwarded_for, connection->ip);
    if (general_section && general_section->via_get(connection)) via_header_update(connection);
    header_send(request, connection, 1,
                connection->forward_type == FORWARD_HTTP ? HEADER_KIND_PARENT : HEADER_KIND_SERVER);
    if (!request_body_send(connection)) {
        // The server holds part of a body: neither side can go on.
        putlog(LOG_WARNING, "request: client body ended early for %s", request->url ? request->url : "-");
        keepalive_end(connection);
        return end(x, -1);
    }
    if (response_kind(connection, x.timeout) == 0) return bad_response(x);
    x.text = header_get_reconnect(connection, x.timeout);
    return x.text ? Step::next : end(x, -1);
}

// Parses the next response head, shows the pages that need only the head,
// and skips interim answers.
Step response_head_read(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    char *text = x.text;
    if (strncasecmp(text, "HTTP/", 5) == 0) {
        Filebuf raw;
        raw.Add(text, (long long)strlen(text) + 1);
        processors.Execute(PROCESSOR_RESPHEADER, connection, &raw);
        free(text);
        text = raw.data ? xstrndup(raw.data, strnlen(raw.data, (size_t)raw.size)) : xstrdup("");
    }
    x.text = nullptr;
    HEADER *response = status_line_valid(text) ? http_header_parse_response(text) : nullptr;
    free(text);
    if (!response) return bad_response(x);
    http_header_free(connection->response);
    connection->response = response;
    field_set(&response->host, request->host);
    field_set(&response->file, request->file);
    header_variables(connection, "SERVER", response->headers);
    if (!(connection->flags & CONN_PREFETCH)) profiles_update(connection);

    if (command(connection, "cookies")) {
        interface_cookies_show(connection);
        return end(x, exchange_finish(connection));
    }
    if (command(connection, "mimeprofiles")) {
        show_profiles(connection);
        return end(x, exchange_finish(connection));
    }
    if (command(connection, "variables")) {
        show_variables(connection);
        return end(x, exchange_finish(connection));
    }

    if (!x.from_cache && response->code >= 100 && response->code < 200 && response->code != 101) {
        // Interim answers (100 Continue and the like) never reach the
        // client; the final one follows on the same connection. They
        // carry no body, so they say nothing about either connection's
        // keep-alive.
        x.text = header_get_reconnect(connection, x.timeout);
        if (!x.text) {
            exchange_finish(connection);
            return end(x, -1);
        }
        return Step::again;
    }

    keepalive_check_server(connection);
    return Step::next;
}

// A parent proxy's 407 is answered once with the parent's credentials.
Step parent_authentication(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    HEADER *response = connection->response;
    bool parent_credentials =
        request->proxy_authorization || (connection->forward_user && connection->forward_password);
    if (response->code == 407 && connection->forward_type == FORWARD_HTTP &&
        (parent_credentials || (connection->flags & CONN_PROXY_AUTH))) {
        // Answered once with credentials; a second 407 goes to the client,
        // but never with the parent's challenge, which would make the
        // client log in to the parent's realm through us.
        if (!(connection->flags & CONN_PROXY_AUTH) && !(connection->flags & CONN_STREAM_BODY) && parent_credentials &&
            proxy_authenticate(connection)) {
            connection->flags |= CONN_PROXY_AUTH;
            http_header_free(connection->response);
            connection->response = nullptr;
            request_body_send(connection);
            x.text = header_get_reconnect(connection, x.timeout);
            return x.text ? Step::again : end(x, -1);
        }
        HEADER *held = connection->response;
        if (held) {
            free(held->proxy_authenticate_header);
            held->proxy_authenticate_header = nullptr;
            lines_remove(held, "Proxy-Authenticate");
        }
    }
    return Step::next;
}

// A cached object being revalidated: still valid (304, or the same
// Last-Modified), the answer comes from the cache; else the object goes and
// the server's answer is taken.
Step cache_revalidation(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    HEADER *response = connection->response;
    if (!response) return end(x, -1);
    if (!connection->server && !connection->cache) return end(x, exchange_ending(connection));
    if (!connection->cache || !(connection->flags & CONN_REVALIDATE)) return Step::next;

    bool valid = response->code == 304;
    if (!valid && response->last_modified) {
        char *stored = cache_object_head(connection->cache);
        HEADER *old = stored ? http_header_parse_response(stored) : nullptr;
        free(stored);
        time_t now_lm = http_date(response->last_modified);
        if (old && now_lm != -1 && now_lm == http_date(old->last_modified)) {
            valid = true;
            // The new body is not needed.
            delete connection->server;
            connection->server = nullptr;
            keepalive_server_end(connection);
        }
        http_header_free(old);
    }
    if (valid) {
        connection->log.set_cachecode(CACHECODE_TCP_REFRESH_HIT);
        connection->flags &= ~CONN_REVALIDATE;
        connection->flags |= CONN_VALIDATED;
        cache_object_validated(connection->cache);
        putlog(LOG_CACHE, "validated: %s", request->url);
        statincr_cacherefreshhit(connection);
        http_header_free(connection->response);
        connection->response = nullptr;
        x.text = cache_object_head(connection->cache);
        if (!x.text) return end(x, -1);
        x.from_cache = true;
        return Step::again;
    }
    statdecr_cachehit(connection);
    statincr_cachemiss(connection);
    statincr_cacherefreshmiss(connection);
    connection->log.set_cachecode(CACHECODE_TCP_REFRESH_MISS);
    putlog(LOG_CACHE, "failed validation: %s", request->url);
    cache_object_invalidate(connection->cache);
    connection->cache = nullptr;
    connection->flags &= ~CONN_REVALIDATE;
    x.from_cache = false;
    return Step::next;
}

// The head a cache object of this answer is stored with (new text), or
// null when the answer may not be kept for other clients.
char *storable_head(HEADER *request, HEADER *response) {
    if (!cache_available() || !cacheable(request) || !cacheable(response)) return nullptr;
    return cache_store_head(request, response->raw);
}

// The answer from the cache gets its age and length; one from the server
// may start a cache object. A prefetch that stores nothing ends here.
Step cache_or_server(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    HEADER *response = connection->response;
    if (x.from_cache && connection->cache) {
        time_t stored = cache_object_stored(connection->cache);
        time_t now = utc_time(nullptr);
        char number[32];
        snprintf(number, sizeof number, "%lu", (unsigned long)(now > stored ? now - stored : 0));
        field_set(&response->age, number);
        unsigned flags = cache_object_flags(connection->cache);
        if (!(connection->flags & CONN_VALIDATED) && (flags & CACHE_EXPIRED))
            field_set(&response->warning, "110 stale cache");
        if (!transfer_limit_check(connection)) return end(x, exchange_finish(connection));
        // Still being written, or left by a writer that failed: no length
        // yet (the body is followed, and its end told as it comes).
        if (!(flags & (CACHE_WRITING | CACHE_INVALID))) {
            response->content_length = (uint64_t)cache_object_body_length(connection->cache);
            response->flags |= HEADER_LENGTH;
            response->chunked = 0;
        }
        xcache_header_update(connection, 0);
        return Step::next;
    }
    if (!transfer_limit_check(connection)) return end(x, exchange_ending(connection));
    bool created = false;
    if (char *head = storable_head(request, response)) {
        unsigned flags = CACHE_WRITING | ((connection->flags & CONN_PREFETCH) ? CACHE_PREFETCHED : 0);
        connection->cache = cache_object_open(connection, request->url, head, flags);
        free(head);
        if (connection->cache) {
            putlog(LOG_CACHE, "create: %s", request->url);
            connection->flags |= CONN_CACHE_WRITE;
            created = true;
        }
    }
    // A prefetch only fills the cache.
    if (!created && (connection->flags & CONN_PREFETCH)) return end(x, exchange_ending(connection));
    xcache_header_update(connection, 1);
    return Step::next;
}

// Status templates, Location redirects, the header filter, answers without
// a body, the head pages and the MIME filter.
Step response_checks(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *response = connection->response;
    LogEntry &log = connection->log;
    char name[16];
    snprintf(name, sizeof name, "%d", response->code);
    if (template_section && template_section->send(name, connection, response->code))
        return end(x, exchange_ending(connection));

    if ((response->code == 301 || response->code == 302) && response->location) {
        if (redirect_section) redirect_section->redirect_do(connection, REDIRECT_LOCATION);
        if (connection->url_commands && response->location) {
            char *location = url_command_add(connection, response->location);
            free(response->location);
            response->location = location;
        }
    }
    if (header_section) header_section->filter(connection, 2);

    int code = response->code;
    x.code = code;
    if ((connection->flags & CONN_HEAD) || (code >= 100 && code < 200) || code == 204 || code == 304) {
        header_send(response, connection, 0, HEADER_KIND_CLIENT);
        log_response(connection, code, 0);
        return end(x, exchange_ending(connection));
    }

    if (command(connection, "mime") && mime_section) {
        mime_section->check_show(connection);
        return end(x, exchange_ending(connection));
    }
    if (command(connection, "headers")) {
        show_headers(connection);
        return end(x, exchange_ending(connection));
    }

    if (mime_section && !mime_section->check_and_block(connection)) {
        log.set_cachecode(CACHECODE_TCP_DENIED);
        log_response(connection, log.status ? log.status : code, connection->transferred);
        request_log(connection);
        return end(x, exchange_ending(connection));
    }
    return Step::next;
}

// Whether the body is held whole before it is sent; a buffered body without
// a cache object of its own gets a discardable one.
bool buffering_decide(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    HEADER *response = connection->response;
    bool buffered = (connection->flags & (CONN_PROCESSING | CONN_PREFETCH)) && buffer_check(connection);
    if (buffered) {
        connection->flags |= CONN_BUFFERING;
        if (connection->cache) {
            cache_object_flag_set(connection->cache, CACHE_FORCE);
        } else if (char *head = storable_head(request, response)) {
            // Other requests may be answered from it for a while: only what
            // may be shared is kept; the rest is buffered without it.
            connection->cache =
                cache_object_open(connection, request->url, head, CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
            free(head);
            if (connection->cache) {
                putlog(LOG_CACHE, "create: %s", request->url);
                connection->flags |= CONN_CACHE_WRITE;
            }
        }
    }
    putlog(LOG_DEBUG, "buffering: %d processing: %d", buffered ? 1 : 0, (connection->flags & CONN_PROCESSING) ? 1 : 0);
    return buffered;
}

// The body passed on as it arrives, from the server or the cache.
void body_relay(Exchange &x, bool own_body) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    HEADER *response = connection->response;
    FRAMING framing = framing_of(response);
    bool rechunk = true;
    if (framing.chunked && request->version != 2) {
        // Only HTTP/1.1 clients read chunks: the others get the data up
        // to the close.
        response->chunked = 0;
        keepalive_client_end(connection);
        rechunk = false;
    }
    // When the first bytes of the body are at hand (already read from the
    // server, or a complete stored object) the head waits for them, so both
    // leave in one write.
    Socket *client = connection->client;
    bool at_hand = own_body ? connection->server && connection->server->in_length > 0
                            : !(cache_object_flags(connection->cache) & CACHE_WRITING);
    // An object still being written has no length yet: an HTTP/1.1 client
    // gets it in chunks, the last one only when the writer completes it.
    bool follow_chunked = !own_body && !(response->flags & HEADER_LENGTH) && request->version == 2;
    if (follow_chunked) response->chunked = 1;
    if (client && at_hand) client->Hold();
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    if (client) client->Release();
    if (own_body) {
        unframed_cut_reset(connection, relay_body(connection, HTTP_SIDE_SERVER, framing, rechunk, 0));
        x.sent = connection->transferred;
    } else {
        if (connection->htmlstream) {
            std::unique_ptr<Filebuf> stored(cache_object_body(connection->cache));
            if (stored) connection->htmlstream->Add(stored->data, stored->size);
            connection->htmlstream->Add(nullptr, 0);
        }
        x.sent = cache_object_send(connection, follow_chunked);
        unframed_cut_reset(connection, (connection->flags & CONN_FAILED) ? HTTP_BODY_SHORT : HTTP_BODY_COMPLETE);
    }
    if (connection->client) connection->client->Flush();
}

// The most a body may grow to when decoded for the checks: the download
// buffer, as for bodies that come unencoded. A small compressed body can
// otherwise swell a thousandfold in memory.
size_t decode_limit(CONNECTION_T *connection) {
    if (command(connection, "process")) return FILEBUF_UNCOMPRESS_LIMIT;
    unsigned int maxdbuffer = general_section ? general_section->maxdbuffer_get(connection) : 0;
    if (maxdbuffer == 0 || maxdbuffer > FILEBUF_UNCOMPRESS_LIMIT) return FILEBUF_UNCOMPRESS_LIMIT;
    return maxdbuffer;
}

// A whole body through decoding, the hooks, the response stages and the
// body pages, re-encoded. Step::end when one of them answered instead.
Step body_process(Exchange &x, Filebuf *body) {
    CONNECTION_T *connection = x.connection;
    HEADER *response = connection->response;
    LogEntry &log = connection->log;
    bool decoded = false;
    bool over_limit = false;
    if (response->content_encoding && body->Decode(connection, decode_limit(connection), &over_limit)) {
        decoded = true;
        free(response->content_encoding);
        response->content_encoding = nullptr;
        lines_remove(response, "Content-Encoding");
    } else if (over_limit) {
        // Its decoded form does not fit the download buffer.
        if (connection->htmlstream) connection->htmlstream->Add(nullptr, 0);
        unfiltered_pass(connection);
        return Step::next;
    }
    if (connection->htmlstream) {
        if (decoded) connection->htmlstream->Add(body->data, body->size);
        connection->htmlstream->Add(nullptr, 0);
    }
    if (hooks.Execute(HOOK_PRERESPMOD, connection, body) == 1) return end(x, exchange_finish(connection));
    if (!process_response(connection, body)) {
        log_response(connection, log.status ? log.status : x.code, connection->transferred);
        request_log(connection);
        return end(x, exchange_finish(connection));
    }
    // A response processor may have put a new head in place.
    response = connection->response;
    x.code = response->code;
    if (hooks.Execute(HOOK_POSTRESPMOD, connection, body) != 0) return end(x, exchange_finish(connection));
    if (command(connection, "raw")) {
        show_filebuf(connection, body);
        return end(x, exchange_finish(connection));
    }
    if (command(connection, "htmltree")) {
        if (!connection->htmlstream) {
            connection->htmlstream = new HTMLStream();
            connection->htmlstream->Add(body->data, body->size);
            connection->htmlstream->Add(nullptr, 0);
        }
        show_htmltree(connection);
        return end(x, exchange_finish(connection));
    }
    body->Encode(connection);
    return Step::next;
}

// The body read whole (from the server or the cache), processed, and sent
// with a length.
Step body_buffered(Exchange &x, bool own_body) {
    CONNECTION_T *connection = x.connection;
    buffertimeout_set(connection);
    std::unique_ptr<Filebuf> body;
    int result = HTTP_BODY_COMPLETE;
    if (own_body)
        body.reset(http_transfer_filebuf(connection, HTTP_SIDE_SERVER, response_buffer_limit(connection), &result));
    else body.reset(cache_object_body(connection->cache));
    if (!body) body.reset(new Filebuf());

    if (connection->flags & CONN_CLIENT_DROPPED) return Step::next;
    if (result == HTTP_BODY_SHORT || result == HTTP_BODY_MALFORMED) {
        buffered_incomplete(connection);
        request_log(connection);
        http_header_free(connection->response);
        connection->response = nullptr;
        return end(x, 1);
    }
    if (result == HTTP_BODY_OVERFLOW) {
        relay_after_overflow(connection, body.get());
        x.sent = connection->transferred;
        return Step::next;
    }
    if (body->size > 0) {
        if (body_process(x, body.get()) == Step::end) return Step::end;
    } else if (connection->htmlstream) {
        connection->htmlstream->Add(nullptr, 0);
    }
    // A response processor may have put a new head in place.
    HEADER *response = connection->response;
    // The body now has a length, whatever framing it came with.
    keepalive_check_client(connection);
    response->content_length = (uint64_t)body->size;
    response->flags |= HEADER_LENGTH;
    response->chunked = 0;
    // Head and body leave in one write, as one segment for a small page.
    Socket *client = connection->client;
    if (client && body->size > 0) client->Hold();
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    if (client) client->Release();
    http_send_body(connection, body.get());
    if (connection->client) connection->client->Flush();
    x.sent = connection->transferred;
    return Step::next;
}

// The body: relayed as it comes, or buffered for the response stages.
Step body_deliver(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    HEADER *request = x.request;
    putlog((connection->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s", request->method,
           request->url ? request->url : "-");
    statincr_httprequests(connection);
    prefetch_setup_callbacks(connection);

    bool buffered = buffering_decide(x);
    bool own_body = !connection->cache || (connection->flags & CONN_CACHE_WRITE);
    if (!buffered) {
        body_relay(x, own_body);
        return Step::next;
    }
    return body_buffered(x, own_body);
}

// The record of an exchange that went through to the end.
int exchange_end(Exchange &x) {
    CONNECTION_T *connection = x.connection;
    log_response(connection, x.code, x.sent);
    request_log(connection);
    http_header_free(connection->response);
    connection->response = nullptr;
    return 1;
}

}  // namespace

int protocol_http(CONNECTION_T *connection) {
    Exchange x(connection);
    http_header_free(connection->response);
    connection->response = nullptr;

    if (request_send(x) == Step::end) return x.result;
    // Interim answers, parent authentication and revalidation bring further
    // heads.
    for (;;) {
        Step step = response_head_read(x);
        if (step == Step::next) step = parent_authentication(x);
        if (step == Step::next) step = cache_revalidation(x);
        if (step == Step::end) return x.result;
        if (step == Step::next) break;
    }
    if (cache_or_server(x) == Step::end) return x.result;
    if (response_checks(x) == Step::end) return x.result;
    if (body_deliver(x) == Step::end) return x.result;
    return exchange_end(x);
}

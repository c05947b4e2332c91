#include "proto_ftp.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cache.h"
#include "clock.h"
#include "compat.h"
#include "connection.h"
#include "dirlist.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "hooks.h"
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "proto_http.h"
#include "protocol.h"
#include "refresh.h"
#include "request.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "timerange.h"
#include "urlcommand.h"

namespace {

int ftp_timeout() {
    int timeout = ftp_section ? ftp_section->timeout_get() : 0;
    return timeout > 0 ? timeout : GENERAL_DEFAULT_TIMEOUT;
}

// One line from the control connection by the deadline, line end removed.
// False on time-out, end of stream or a line past FTP_LINE_MAX.
bool line_read(Socket *control, std::string *line, long long deadline) {
    for (;;) {
        const char *lf = control->in_length ? (const char *)memchr(control->in, '\n', control->in_length) : nullptr;
        if (lf) {
            size_t length = (size_t)(lf - control->in) + 1;
            if (length > FTP_LINE_MAX) return false;
            line->assign(control->in, length);
            control->GetLine(nullptr, -1, 0);
            while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
            return true;
        }
        if (control->in_length >= FTP_LINE_MAX) return false;
        long long left = deadline - clock_elapsed_s();
        if (left <= 0) return false;
        if (control->Read(nullptr, -1, (int)left) <= 0) return false;
    }
}

bool reply_code(const std::string &line, int *code) {
    if (line.size() < 3 || !isdigit((unsigned char)line[0]) || !isdigit((unsigned char)line[1]) ||
        !isdigit((unsigned char)line[2]))
        return false;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return false;
    *code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    return true;
}

// One whole reply (a multi-line one up to its closing "ddd " line) within
// the FTP time-out; its code, or -1.
int reply_read(Socket *control, std::string *last) {
    if (!control) return -1;
    long long deadline = clock_elapsed_s() + ftp_timeout();
    std::string line;
    if (!line_read(control, &line, deadline)) return -1;
    int code;
    if (!reply_code(line, &code)) {
        putlog(LOG_ERROR, "ftp: malformed reply from server");
        return -1;
    }
    size_t total = line.size();
    if (line.size() > 3 && line[3] == '-') {
        const std::string close = line.substr(0, 3) + " ";
        for (;;) {
            if (!line_read(control, &line, deadline)) return -1;
            total += line.size();
            if (total > FTP_REPLY_MAX) return -1;
            if (line.compare(0, 4, close) == 0 || line == close.substr(0, 3)) break;
        }
    }
    if (last) *last = line;
    return code;
}

bool forbidden(char c) { return c == '\r' || c == '\n' || c == '\0'; }

bool command_send(CONNECTION_T *connection, const std::string &command) {
    if (!connection->server) return false;
    // One command is one line, whatever the text it was made from.
    for (char c : command)
        if (forbidden(c)) {
            putlog(LOG_WARNING, "ftp: refused to send a command with a line break or NUL");
            return false;
        }
    std::string line = command + "\r\n";
    if (connection->server->Write(line.data(), (int)line.size()) < 0) return false;
    connection->server->Flush();
    return true;
}

bool clean(const char *text) {
    for (const char *p = text ? text : ""; *p; p++)
        if (forbidden(*p)) return false;
    return true;
}

// The control connection's peer: data connections go there and nowhere else.
bool control_peer(CONNECTION_T *connection, struct sockaddr_in *peer) {
    socklen_t length = sizeof *peer;
    return connection->server && getpeername(connection->server->fd, (struct sockaddr *)peer, &length) == 0 &&
           peer->sin_family == AF_INET;
}

// The server answered a transfer command at once with its final reply: it
// goes back for the read that ends the transfer.
void reply_keep(CONNECTION_T *connection, int code, const std::string &last) {
    std::string line = last.size() >= 3 ? last : std::to_string(code);
    if (line.size() == 3) line += " ";
    if (line[3] == '-') line[3] = ' ';
    line += "\r\n";
    connection->server->PushFront(line.data(), (unsigned)line.size());
}

// Sends command once the data connection is in place and reads the
// server's first reply: a preliminary or final positive one lets the
// transfer go on.
bool transfer_command(CONNECTION_T *connection, const std::string &command) {
    if (!command_send(connection, command)) return false;
    std::string last;
    int code = reply_read(connection->server, &last);
    if (code >= 100 && code < 200) return true;
    if (code >= 200 && code < 300) {
        reply_keep(connection, code, last);
        return true;
    }
    return false;
}

Socket *passive_setup(CONNECTION_T *connection, const std::string &command) {
    HEADER *request = connection->request;
    putlog(LOG_DEBUG, "ftp: setting up a PASV connection mode %s %s", request->method, request->url);
    if (!command_send(connection, "PASV")) return nullptr;
    std::string text;
    int code = ftp_code_wait(connection, 227, -1, &text);
    if (code != 227) return nullptr;
    // The numbers follow a '(' or, from servers without one, the first digit
    // after the code.
    size_t start = text.find('(');
    if (start != std::string::npos) start++;
    else start = text.find_first_of("0123456789", 4);
    struct sockaddr_in *given = start == std::string::npos ? nullptr : ftpport_parse(text.c_str() + start);
    if (!given) {
        putlog(LOG_ERROR, "ftp: malformed PASV reply for %s %s", request->method, request->url);
        return nullptr;
    }
    int port = ntohs(given->sin_port);
    free(given);
    struct sockaddr_in peer;
    if (port <= 0 || !control_peer(connection, &peer)) return nullptr;
    // Only the port is taken: the server cannot send us elsewhere. An FTP
    // server on this machine could still name the proxy's own port, and what
    // goes up the data connection would then reach the proxy from inside.
    if (net_own_address(peer.sin_addr.s_addr, port)) {
        putlog(LOG_SECURITY, "ftp: PASV reply names this proxy's listener %d, refused for %s", port, request->url);
        return nullptr;
    }
    char address[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address)) return nullptr;
    int fd = net_connect(address, port, htonl(INADDR_ANY), ftp_timeout());
    if (fd < 0) return nullptr;
    Socket *data = new Socket(fd);
    if (!transfer_command(connection, command)) {
        delete data;
        return nullptr;
    }
    return data;
}

Socket *active_setup(CONNECTION_T *connection, const std::string &command) {
    struct sockaddr_in local, peer;
    socklen_t length = sizeof local;
    if (!control_peer(connection, &peer) ||
        getsockname(connection->server->fd, (struct sockaddr *)&local, &length) != 0)
        return nullptr;
    int listener = s_socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return nullptr;
    local.sin_port = 0;
    length = sizeof local;
    if (bind(listener, (struct sockaddr *)&local, sizeof local) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&local, &length) != 0) {
        close(listener);
        return nullptr;
    }
    char *port_text = ftpport_create(&local);
    bool sent = command_send(connection, std::string("PORT ") + port_text);
    free(port_text);
    if (!sent || ftp_code_wait(connection, 200, -1) == -1 || !transfer_command(connection, command)) {
        close(listener);
        return nullptr;
    }
    long long deadline = clock_elapsed_s() + ftp_timeout();
    int fd = -1;
    while (fd < 0) {
        long long left = deadline - clock_elapsed_s();
        struct pollfd ready = {listener, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, (int)(left * 1000)) <= 0) break;
        struct sockaddr_in from;
        socklen_t from_length = sizeof from;
        int accepted = s_accept(listener, (struct sockaddr *)&from, &from_length);
        if (accepted < 0) continue;
        // Data from anyone but the server is not the file.
        if (from.sin_family != AF_INET || from.sin_addr.s_addr != peer.sin_addr.s_addr) {
            putlog(LOG_WARNING, "ftp: refused a data connection from a host other than the server");
            close(accepted);
            continue;
        }
        fd = accepted;
    }
    close(listener);
    return fd < 0 ? nullptr : new Socket(fd);
}

// ---- the request ---------------------------------------------------------------

struct FtpRequest {
    CONNECTION_T *connection;
    std::string raw_path;  // as in the URL, without the query
    std::string path;      // decoded
    std::string query;
    CGIMap form;
    std::string user, password;
};

const char *request_url(CONNECTION_T *connection) { return connection->request->url ? connection->request->url : "-"; }

// Error end: the page (if any), the control connection not reused.
int fail(CONNECTION_T *connection, const char *page, int status) {
    if (connection->cache && (connection->flags & CONN_CACHE_WRITE) && cache_section) {
        cache_section->invalidate(connection->cache);
        connection->cache = nullptr;
        connection->flags &= ~CONN_CACHE_WRITE;
    }
    if (page) request_page(connection, page, status);
    http_header_free(connection->response);
    connection->response = nullptr;
    keepalive_server_end(connection);
    request_log(connection);
    return page ? 1 : -1;
}

// Normal end: the log record of the response, which is freed.
int finish(CONNECTION_T *connection) {
    LogEntry &log = connection->log;
    if (connection->response) {
        log.status = 200;
        log.size = connection->transferred;
        log.mime = "text/plain";
        http_header_free(connection->response);
        connection->response = nullptr;
    }
    request_log(connection);
    return 1;
}

enum { LOGIN_OK, LOGIN_ANSWERED, LOGIN_DEAD };

int login(FtpRequest &r) {
    CONNECTION_T *connection = r.connection;
    // A new control connection starts with the server's greeting.
    int code = ftp_code_wait(connection, 220, -1);
    if (code == -1) return LOGIN_DEAD;
    if (code != 220) {
        putlog(LOG_ERROR, "ftp: connection failed to %s %s", connection->request->method, request_url(connection));
        fail(connection, "noconnect", 404);
        return LOGIN_ANSWERED;
    }
    if (!command_send(connection, "USER " + r.user)) return LOGIN_DEAD;
    code = ftp_code_wait(connection, 331, 530);
    if (code == -1) return LOGIN_DEAD;
    if (code == 230) return LOGIN_OK;
    if (code != 331 && code != 332) {
        putlog(LOG_ERROR, "ftp: authentication failed for user: %s", r.user.c_str());
        fail(connection, "badauth", 404);
        return LOGIN_ANSWERED;
    }
    code = -1;
    if (command_send(connection, "PASS " + r.password)) code = ftp_code_wait(connection, 230, 530);
    if (code != 230 && code != 202) {
        putlog(LOG_ERROR, "ftp: authentication failed for user: %s, reason: invalid password", r.user.c_str());
        fail(connection, "badauth", 404);
        return LOGIN_ANSWERED;
    }
    return LOGIN_OK;
}

// Logs in (unless the pooled connection already is) and sets binary mode.
// False when the request has ended.
bool session_start(FtpRequest &r) {
    CONNECTION_T *connection = r.connection;
    const char *method = connection->request->method;
    for (int attempt = 0;; attempt++) {
        bool pooled = (connection->flags & CONN_POOLED_SERVER) != 0;
        int state = pooled ? LOGIN_OK : login(r);
        if (state == LOGIN_ANSWERED) return false;
        int code = -1;
        if (state == LOGIN_OK && command_send(connection, "TYPE I")) code = ftp_code_wait(connection, 200, -1);
        if (code == 200) break;
        if (pooled && attempt < 3) {
            // A pooled connection the server has meanwhile closed: a new one.
            connection->flags &= ~CONN_POOLED_SERVER;
            if (protocol_reconnect(connection) < 0) {
                putlog(LOG_ERROR, "ftp: connection failed again to %s %s", method, request_url(connection));
                fail(connection, "noconnect", 404);
                return false;
            }
            continue;
        }
        putlog(LOG_ERROR, "ftp: connection failed to %s %s", method, request_url(connection));
        fail(connection, "noconnect", 404);
        return false;
    }
    keepalive_server_keep(connection);
    connection->flags |= CONN_POOLED_SERVER;
    return true;
}

// Reads a listing over a data connection and the reply that ends it.
Filebuf *listing_get(CONNECTION_T *connection) {
    Socket *data = ftp_transfer_setup(connection, "LIST");
    if (!data) return nullptr;
    // A listing that never ends, or trickles, cannot hold the worker.
    Filebuf *listing = ftp_transfer_filebuf(connection, data, FTP_LISTING_MAX, ftp_timeout() * 5);
    delete data;
    if (!listing) return nullptr;
    int code = ftp_code_wait(connection, 226, 250);
    if (code < 200 || code >= 300) {
        delete listing;
        return nullptr;
    }
    return listing;
}

// The form actions of a listing page; their replies are read and dropped.
void form_actions(FtpRequest &r) {
    CONNECTION_T *connection = r.connection;
    std::string action = r.form.get("action"), argument = r.form.get("argument"), filename = r.form.get("filename");
    std::vector<std::string> commands;
    if (!action.empty() && !argument.empty()) {
        if (action == "mkdir") commands.push_back("MKD " + argument);
        if (action == "raw") commands.push_back(argument);
    }
    if (!action.empty() && !filename.empty()) {
        if (action == "delete") commands.push_back("DELE " + filename);
        if (action == "rmdir") commands.push_back("RMD " + filename);
    }
    if (action == "rename" && !argument.empty() && !filename.empty()) {
        commands.push_back("RNFR " + filename);
        commands.push_back("RNTO " + argument);
    }
    for (const std::string &command : commands) {
        putlog(LOG_DEBUG, "ftp: form action: %s", command.c_str());
        if (!command_send(connection, command) || ftp_code_wait(connection, -1, -1) == -1) break;
    }
    // After a command of the user's own the session's state is unknown.
    if (action == "raw" && !commands.empty()) keepalive_server_end(connection);
}

int directory(FtpRequest &r) {
    CONNECTION_T *connection = r.connection;
    HEADER *request = connection->request;
    if (connection->cache && cache_section) {
        cache_section->invalidate(connection->cache);
        connection->cache = nullptr;
        connection->flags &= ~(CONN_REVALIDATE | CONN_CACHE_WRITE);
    }
    if (r.raw_path.empty() || r.raw_path.back() != '/') {
        HEADER *head = header_new();
        head->type = HEADER_RESPONSE;
        head->version = 2;
        head->code = 302;
        head->location = xstrdup((r.raw_path + "/").c_str());
        head->content_length = 0;
        head->flags |= HEADER_LENGTH;
        connection->response = head;
        header_send(head, connection, 0, HEADER_KIND_CLIENT);
        connection->log.status = 302;
        connection->log.size = 0;
        http_header_free(head);
        connection->response = nullptr;
        request_log(connection);
        return 1;
    }
    form_actions(r);

    Filebuf *listing = listing_get(connection);
    if (!listing) {
        putlog(LOG_ERROR, "ftp: failed to LIST %s %s", request->method, request_url(connection));
        return fail(connection, "noconnect", 404);
    }
    if (url_command_find(connection->url_commands, "raw")) {
        show_rawlist(connection, listing);
        delete listing;
        request_log(connection);
        return 1;
    }
    dir_t *list = dir_list_parse(listing);
    delete listing;
    if (r.form.get("action") == "rematch" && !r.form.get("argument").empty())
        list = dir_list_filter(list, r.form.get("argument").c_str());

    std::string order = r.form.get("order"), field = r.form.get("field");
    int order_value = order == "ascending" ? DIRLIST_ASCENDING : order == "descending" ? DIRLIST_DESCENDING : -1;
    int field_value = field == "name"   ? DIRLIST_NAME
                      : field == "size" ? DIRLIST_SIZE
                      : field == "date" ? DIRLIST_DATE
                                        : -1;
    if (order_value < 0 || field_value < 0) {
        order_value = ftp_section ? ftp_section->sortorder_get() : DIRLIST_ASCENDING;
        field_value = ftp_section ? ftp_section->sortfield_get() : DIRLIST_NONE;
    }
    list = dir_list_sort(list, order_value, field_value);
    show_dirlist(connection, list);
    dir_list_free(list);
    request_log(connection);
    return 1;
}

// Sends a buffered body through the response stages; false when one of
// them answered instead.
bool body_send(CONNECTION_T *connection, Filebuf *body) {
    if (connection->flags & CONN_CLIENT_DROPPED) return true;
    if (hooks.Execute(HOOK_PRERESPMOD, connection, body) == 1) return false;
    if (!process_response(connection, body)) return false;
    if (hooks.Execute(HOOK_POSTRESPMOD, connection, body) != 0) return false;
    HEADER *response = connection->response;
    response->content_length = (uint64_t)body->size;
    response->flags |= HEADER_LENGTH;
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    http_send_body(connection, body);
    return true;
}

std::string last_modified_text(const dir_t *entry) {
    char text[64];
    if (!strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &entry->date)) text[0] = '\0';
    return text;
}

// Revalidation of the held object by the listed date. True when the stored
// copy was served.
bool revalidate(FtpRequest &r, dir_t *entry, bool buffered) {
    CONNECTION_T *connection = r.connection;
    const char *url = request_url(connection);
    char *stored = cache_object_head(connection->cache);
    HEADER *old = stored ? http_header_parse_response(stored) : nullptr;
    free(stored);
    bool same = false;
    if (old && old->last_modified) {
        time_t listed = http_date_parse(last_modified_text(entry).c_str());
        same = listed > 0 && listed == http_date_parse(old->last_modified);
    }
    if (!same) {
        http_header_free(old);
        statdecr_cachehit(connection);
        statincr_cachemiss(connection);
        statincr_cacherefreshmiss(connection);
        connection->log.set_cachecode(CACHECODE_TCP_REFRESH_MISS);
        putlog(LOG_CACHE, "ftp: validation failed: %s", url);
        cache_section->invalidate(connection->cache);
        connection->cache = nullptr;
        connection->flags &= ~CONN_REVALIDATE;
        return false;
    }
    putlog(LOG_CACHE, "ftp: validated: %s", url);
    statincr_cacherefreshhit(connection);
    connection->log.set_cachecode(CACHECODE_TCP_REFRESH_HIT);
    connection->flags &= ~CONN_REVALIDATE;
    connection->flags |= CONN_VALIDATED;
    cache_section->validated(connection->cache);
    http_header_free(connection->response);
    connection->response = old;
    time_t stored_at = cache_object_stored(connection->cache);
    time_t now = utc_time(nullptr);
    char age[32];
    snprintf(age, sizeof age, "%lu", (unsigned long)(now > stored_at ? now - stored_at : 0));
    free(old->age);
    old->age = xstrdup(age);
    if (!transfer_limit_check(connection)) return true;
    xcache_header_update(connection, 0);
    if (connection->flags & CONN_HEAD) {
        header_send(old, connection, 0, HEADER_KIND_CLIENT);
    } else if (buffered) {
        Filebuf *body = cache_section->read_filebuf(connection->cache);
        if (body) body_send(connection, body);
        delete body;
    } else {
        header_send(old, connection, 0, HEADER_KIND_CLIENT);
        connection->transferred = (unsigned)cache_section->send(connection->cache, connection, 0);
    }
    return true;
}

int file(FtpRequest &r) {
    CONNECTION_T *connection = r.connection;
    HEADER *request = connection->request;
    const char *method = request->method;
    const char *url = request_url(connection);
    size_t slash = r.path.rfind('/');
    std::string parent = r.path.substr(0, slash + 1), name = r.path.substr(slash + 1);

    int code = -1;
    if (command_send(connection, "CWD " + parent)) code = ftp_code_wait(connection, 250, 550);
    if (code == -1) return fail(connection, "noconnect", 404);
    if (code == 550) {
        putlog(LOG_ERROR, "ftp: file not found %s %s", method, url);
        return fail(connection, "nofile", 404);
    }
    if (code != 250) {
        putlog(LOG_ERROR, "ftp: Bad response from FTP server for %s %s", method, url);
        return fail(connection, "badresponse", 404);
    }
    Filebuf *listing = listing_get(connection);
    if (!listing) {
        putlog(LOG_ERROR, "ftp: failed to LIST %s %s", method, url);
        return fail(connection, "noconnect", 404);
    }
    dir_t *list = dir_list_parse(listing);
    delete listing;
    dir_t *entry = dir_list_find(list, name.c_str());

    HEADER *response = header_new();
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->code = 200;
    connection->response = response;
    if (entry) {
        response->last_modified = xstrdup(last_modified_text(entry).c_str());
        response->content_length = entry->size;
        response->flags |= HEADER_LENGTH;
    } else {
        keepalive_client_end(connection);
        if (connection->cache) {
            cache_section->cache_close(connection->cache, (connection->flags & CONN_CACHE_WRITE) != 0);
            connection->cache = nullptr;
            connection->flags &= ~(CONN_REVALIDATE | CONN_CACHE_WRITE);
        }
        putlog(LOG_WARNING, "ftp: failed to retrieve FTP file information %s %s", method, url);
    }

    bool buffered = (connection->flags & CONN_PROCESSING) && buffer_check(connection);
    putlog(LOG_DEBUG, "buffering: %d processing: %d", buffered ? 1 : 0, (connection->flags & CONN_PROCESSING) ? 1 : 0);

    if (entry && connection->cache && (connection->flags & CONN_REVALIDATE) && revalidate(r, entry, buffered)) {
        dir_list_free(list);
        return finish(connection);
    }
    bool anonymous = strcasecmp(r.user.c_str(), "anonymous") == 0;
    if (entry && anonymous && !(connection->flags & CONN_HEAD) && cache_section && cacheable(request)) {
        Filebuf head;
        header_send_filebuf(&head, response, connection, HEADER_KIND_CLIENT);
        std::string text(head.data ? head.data : "", (size_t)head.size);
        unsigned flags = CACHE_CREATE | ((connection->flags & CONN_PREFETCH) ? CACHE_PREFETCHED : 0);
        connection->cache = cache_section->cache_open(connection, url, text.c_str(), flags);
        if (connection->cache) {
            putlog(LOG_CACHE, "ftp: create: %s", url);
            connection->flags |= CONN_CACHE_WRITE;
        }
    }
    dir_list_free(list);
    entry = nullptr;
    if (!transfer_limit_check(connection)) {
        fail(connection, nullptr, 0);
        return 1;
    }
    xcache_header_update(connection, 1);
    if (connection->flags & CONN_HEAD) {
        header_send(response, connection, 0, HEADER_KIND_CLIENT);
        return finish(connection);
    }

    Socket *data = ftp_transfer_setup(connection, "RETR " + r.path);
    if (!data) {
        putlog(LOG_ERROR, "ftp: failed to retrieve FTP file %s %s", method, url);
        return fail(connection, "nofile", 404);
    }
    data->CallBackAdd(protocol_ftp_read_callback, connection, SOCKET_EVENT_READ);
    Filebuf *body = nullptr;
    long long received = 0;
    if (!buffered) {
        header_send(response, connection, 0, HEADER_KIND_CLIENT);
        received = ftp_transfer(connection, data);
    } else {
        buffertimeout_set(connection);
        body = ftp_transfer_filebuf(connection, data, HTTP_BODY_MAX, 0);
        if (body) received = body->size;
    }
    delete data;
    code = ftp_code_wait(connection, 226, 250);
    // Whole means confirmed by the server and, when the listing gave a
    // size, every byte of it.
    bool complete = code >= 200 && code < 300 && !(connection->flags & CONN_FAILED) &&
                    (!(response->flags & HEADER_LENGTH) || (uint64_t)received == response->content_length);
    if (!complete) {
        // A cut file is never passed on, nor kept, as whole.
        putlog(LOG_ERROR, "ftp: failed to retrieve FTP file %s %s", method, url);
        connection->flags |= CONN_FAILED;
        keepalive_end(connection);
        if (buffered) {
            delete body;
            return fail(connection, "nofile", 404);
        }
        return finish(connection);
    }
    if (buffered) {
        if (!body) return fail(connection, "nofile", 404);
        bool sent = body_send(connection, body);
        delete body;
        if (!sent) {
            http_header_free(connection->response);
            connection->response = nullptr;
            request_log(connection);
            return 1;
        }
    }
    return finish(connection);
}

// Relays a file that is being stored: a client that goes away ends only
// the relay, not the read, so a file that came whole is kept whole.
// Marks the connection failed when the data connection did not end cleanly.
long long transfer_keeping(CONNECTION_T *connection, Socket *data) {
    std::vector<char> block(65536);
    long long moved = 0;
    for (;;) {
        int got = data->Read(block.data(), (int)block.size(), ftp_timeout());
        if (got == 0) break;
        if (got < 0) {
            connection->flags |= CONN_FAILED;
            break;
        }
        moved += got;
        Socket *client = (connection->flags & CONN_CLIENT_DROPPED) ? nullptr : connection->client;
        if (client && client->Write(block.data(), got) < 0) {
            putlog(LOG_DEBUG, "ftp: client gone, the file is read on for the cache: %s", request_url(connection));
            keepalive_client_end(connection);
            delete connection->client;
            connection->client = nullptr;
            connection->flags |= CONN_CLIENT_DROPPED;
        }
    }
    if (connection->client && !(connection->flags & CONN_CLIENT_DROPPED)) connection->client->Flush();
    return moved;
}

}  // namespace

bool ftp_text_decode(const std::string &text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        int high = c == '%' && i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            c = (char)(high * 16 + low);
            i += 2;
        }
        if (forbidden(c)) return false;
        *out += c;
    }
    return true;
}

int ftp_code_wait(CONNECTION_T *connection, int code1, int code2, std::string *text) {
    // Preliminary replies are few; a server sending nothing else is not
    // waited on for ever.
    for (int i = 0; i < 16; i++) {
        int code = reply_read(connection->server, text);
        if (code < 0) return -1;
        if (code == code1 || code == code2 || code >= 200) return code;
    }
    return -1;
}

Socket *ftp_transfer_setup(CONNECTION_T *connection, const std::string &command) {
    if (!connection->server) return nullptr;
    int passive = ftp_section ? ftp_section->passive_get() : 1;
    return passive ? passive_setup(connection, command) : active_setup(connection, command);
}

Filebuf *ftp_transfer_filebuf(CONNECTION_T *connection, Socket *data, long long limit, int total_timeout) {
    (void)connection;
    long long deadline = total_timeout > 0 ? clock_elapsed_s() + total_timeout : 0;
    Filebuf *buffer = new Filebuf();
    std::vector<char> block(65536);
    for (;;) {
        int wait = ftp_timeout();
        if (deadline) {
            long long left = deadline - clock_elapsed_s();
            if (left <= 0) break;
            if (left < wait) wait = (int)left;
        }
        int got = data->Read(block.data(), (int)block.size(), wait);
        if (got == 0) return buffer;
        if (got < 0 || buffer->size + got > limit) break;
        buffer->Add(block.data(), got);
    }
    delete buffer;
    return nullptr;
}

long long ftp_transfer(CONNECTION_T *connection, Socket *data) {
    if (connection->cache && (connection->flags & CONN_CACHE_WRITE)) return transfer_keeping(connection, data);
    // The relay reads the server side: the data connection stands in for
    // the control connection meanwhile.
    Socket *control = connection->server;
    connection->server = data;
    long long moved = net_transfer(connection, 1, -1);
    connection->server = control;
    return moved;
}

int protocol_ftp_read_callback(void *data, int length, char *bytes) {
    CONNECTION_T *connection = (CONNECTION_T *)data;
    if (!connection || length <= 0) return 0;
    if (connection->cache && (connection->flags & CONN_CACHE_WRITE) && cache_section) {
        if (cache_section->add(connection->cache, bytes, length) == -1 && (connection->flags & CONN_PREFETCH))
            return -1;
    }
    connection->transferred += (unsigned)length;
    if (transfer_limit_charge(connection, (unsigned)length) == -1) return -1;
    return 0;
}

void ftp_login(const HEADER *request, std::string *user, std::string *password) {
    user->clear();
    password->clear();
    if (request && request->user && *request->user) {
        *user = request->user;
        *password = request->password ? request->password : "";
    } else if (ftp_section) {
        ftp_section->login_get(user, password);
    }
    if (user->empty()) *user = "anonymous";
}

int protocol_ftp(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    putlog((connection->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s", request->method,
           request_url(connection));
    statincr_ftprequests(connection);

    FtpRequest r;
    r.connection = connection;
    std::string target = request->file ? request->file : "/";
    size_t question = target.find('?');
    r.raw_path = target.substr(0, question);
    if (question != std::string::npos) r.query = target.substr(question + 1);
    std::string decoded_query;
    if (r.raw_path.empty() || r.raw_path[0] != '/') r.raw_path.insert(0, "/");
    if (!ftp_text_decode(r.raw_path, &r.path) || !ftp_text_decode(r.query, &decoded_query) || !clean(request->user) ||
        !clean(request->password)) {
        putlog(LOG_WARNING, "ftp: refused a path or argument with a line break or NUL: %s", request_url(connection));
        return fail(connection, "badrequest", 400);
    }
    r.form.parse(r.query.c_str());
    for (const auto &field : r.form)
        if (!clean(field.first.c_str()) || !clean(field.second.c_str())) {
            putlog(LOG_WARNING, "ftp: refused a path or argument with a line break or NUL: %s", request_url(connection));
            return fail(connection, "badrequest", 400);
        }

    ftp_login(request, &r.user, &r.password);
    if (!clean(r.user.c_str()) || !clean(r.password.c_str())) return fail(connection, "badauth", 404);

    if (!session_start(r)) return 1;

    int code = -1;
    if (command_send(connection, "CWD " + r.path)) code = ftp_code_wait(connection, 250, 550);
    if (code == -1) {
        putlog(LOG_ERROR, "ftp: failed to change directory to %s", r.path.c_str());
        return fail(connection, "noconnect", 404);
    }
    if (code == 250) return directory(r);
    if (code == 550) return file(r);
    putlog(LOG_ERROR, "ftp: Bad response from FTP server for %s %s", request->method, request_url(connection));
    return fail(connection, "badresponse", 404);
}

// HTTP head model: reading, parsing and writing of message heads.
#include "header.h"

#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <openssl/ssl.h>

#include "cache.h"
#include "clock.h"
#include "connection.h"
#include "cookieheader.h"
#include "cookies.h"
#include "filebuf.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "socket.h"
#include "timerange.h"

#define HEADER_FILE "src/header"


// ---- small helpers ---------------------------------------------------------

static char *copy_text(const char *text, size_t length) {
    char *copy = xstrndup(text, length);
    if (!copy) fatal_alloc(HEADER_FILE, __LINE__, __func__, length + 1);
    return copy;
}

static char *copy_text(const std::string &text) { return copy_text(text.data(), text.size()); }

static char *copy_or_null(const char *text) { return text ? copy_text(text, strlen(text)) : nullptr; }

static void set_text(char **field, const std::string &value) {
    free(*field);
    *field = copy_text(value);
}

static bool iequals(const std::string &a, const char *b) { return strcasecmp(a.c_str(), b) == 0; }

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static std::string trim(const std::string &text) {
    size_t start = 0, end = text.size();
    while (start < end && is_blank(text[start])) start++;
    while (end > start && is_blank(text[end - 1])) end--;
    return text.substr(start, end - start);
}

// A token character of a header name or method.
static bool is_tchar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

static bool is_token(const std::string &text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (!is_tchar(c)) return false;
    return true;
}

static bool is_request(const HEADER *header) {
    return header->type != HEADER_RESPONSE && header->type != HEADER_ICAP_RESPONSE;
}

// Path and query of a target: the fragment cut off and blanks, control bytes
// and bytes of 128 and above removed, as the URL utilities do; not bounded,
// so two long targets never collapse into one.
static char *path_fix(const char *path) {
    std::string out;
    for (const char *p = path; *p && *p != '#'; p++)
        if ((signed char)*p > 32) out += *p;
    return copy_text(out);
}

// Strict decimal: digits only (blanks around allowed), no sign, at most
// INT64_MAX.
static bool parse_length(const std::string &text, uint64_t *value) {
    std::string digits = trim(text);
    if (digits.empty()) return false;
    uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        unsigned d = (unsigned)(c - '0');
        if (number > ((uint64_t)INT64_MAX - d) / 10) return false;
        number = number * 10 + d;
    }
    *value = number;
    return true;
}

// Connection and Proxy-Connection: prefix compare after leading blanks.
static int keepalive_value(const std::string &value) {
    size_t start = 0;
    while (start < value.size() && is_blank(value[start])) start++;
    const char *text = value.c_str() + start;
    if (strncasecmp(text, "keep-alive", 10) == 0) return 1;
    if (strncasecmp(text, "close", 5) == 0) return 0;
    return -1;
}

// ---- record ----------------------------------------------------------------

HEADER *header_new() { return new HEADER(); }

// Every text field of the record, for freeing and copying.
static std::vector<char **> text_fields(HEADER *h) {
    return {&h->raw,
            &h->url,
            &h->user,
            &h->password,
            &h->method,
            &h->protocol,
            &h->host,
            &h->file,
            &h->referer,
            &h->user_agent,
            &h->location,
            &h->content_type,
            &h->content_encoding,
            &h->accept_encoding,
            &h->www_authenticate,
            &h->authorization,
            &h->range,
            &h->proxy_authenticate_header,
            &h->proxy_authorization,
            &h->host_header,
            &h->mime_type,
            &h->cache_control,
            &h->expires,
            &h->if_modified_since,
            &h->last_modified,
            &h->warning,
            &h->age,
            &h->x_cache,
            &h->x_forwarded_for,
            &h->via,
            &h->encapsulated};
}

void http_header_free(HEADER *header) {
    if (!header) return;
    for (char **field : text_fields(header)) free(*field);
    delete header;
}

HEADER *http_header_dup(const HEADER *header) {
    if (!header) return nullptr;
    HEADER *copy = header_new();
    std::vector<char **> from = text_fields(const_cast<HEADER *>(header));
    std::vector<char **> to = text_fields(copy);
    for (size_t i = 0; i < from.size(); i++) *to[i] = copy_or_null(*from[i]);
    copy->headers = header->headers;
    copy->filtered = header->filtered;
    copy->type = header->type;
    copy->version = header->version;
    copy->port = header->port;
    copy->code = header->code;
    copy->content_length = header->content_length;
    copy->chunked = header->chunked;
    copy->connection_keepalive = header->connection_keepalive;
    copy->proxy_keepalive = header->proxy_keepalive;
    copy->flags = header->flags;
    return copy;
}

size_t header_length(const char *text, size_t max) {
    if (!text) return 0;
    bool line_start = false;  // only carriage returns since the last line feed
    size_t i = 0;
    for (; i < max && text[i]; i++) {
        char c = text[i];
        if (c == '\n') {
            if (line_start) return i + 1;
            line_start = true;
        } else if (c != '\r') {
            line_start = false;
        }
    }
    return i;
}

int header_type(const char *text, size_t len) {
    if (!text) return 3;
    size_t n = len < 5 ? len : 5;
    return strncasecmp(text, "HTTP/", n) == 0 && strnlen(text, n) == n ? 1 : 3;
}

void header_complete(HEADER *header) {
    if (!header) return;
    std::string url = header->protocol ? header->protocol : "";
    url += "://";
    url += header->host ? header->host : "";
    url += ":" + std::to_string(header->port);
    url += header->file ? header->file : "";
    set_text(&header->url, url);
}

// ---- header lines ----------------------------------------------------------

// Stores one known header in its field; returns the line's pass value.
static int header_known(HEADER *h, const std::string &name, const std::string &value) {
    struct Known {
        const char *name;
        char **field;
    };
    const Known simple[] = {
        {"Content-Encoding", &h->content_encoding},
        {"Accept-Encoding", &h->accept_encoding},
        {"Location", &h->location},
        {"Host", nullptr},
        {"WWW-Authenticate", &h->www_authenticate},
        {"Authorization", &h->authorization},
        {"Proxy-Authenticate", &h->proxy_authenticate_header},
        {"Proxy-Authorization", &h->proxy_authorization},
        {"Referer", &h->referer},
        {"User-Agent", &h->user_agent},
        {"Cache-Control", &h->cache_control},
        {"Expires", &h->expires},
        {"If-Modified-Since", &h->if_modified_since},
        {"Last-Modified", &h->last_modified},
        {"Range", &h->range},
    };

    // Framing lines are judged together once all lines are in.
    if (iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding")) return 0;
    if (iequals(name, "Content-Type")) {
        set_text(&h->content_type, value);
        set_text(&h->mime_type, value.substr(0, value.find(';')));
        return 0;
    }
    for (const Known &k : simple) {
        if (!iequals(name, k.name)) continue;
        if (!k.field) {
            // Host: two differing Host lines in a request leave its target
            // ambiguous.
            if (h->host_header && is_request(h) && strcasecmp(trim(h->host_header).c_str(), trim(value).c_str()) != 0)
                h->flags |= HEADER_INVALID;
            set_text(&h->host_header, value);
        } else {
            set_text(k.field, value);
        }
        return 0;
    }
    if (iequals(name, "X-Cache")) {
        if (h->x_cache) return 1;
        set_text(&h->x_cache, value);
        return 0;
    }
    if (iequals(name, "Via")) {
        set_text(&h->via, value);
        return 0;
    }
    if (iequals(name, "Encapsulated")) {
        set_text(&h->encapsulated, value);
        return 0;
    }
    if (iequals(name, "X-Forwarded-For")) {
        set_text(&h->x_forwarded_for, value);
        return 0;
    }
    if (iequals(name, "TE") || iequals(name, "Trailers") || iequals(name, "Upgrade") || iequals(name, "Keep-Alive"))
        return 0;
    if (iequals(name, "Connection")) {
        h->connection_keepalive = keepalive_value(value);
        return 0;
    }
    if (iequals(name, "Proxy-Connection")) {
        h->proxy_keepalive = keepalive_value(value);
        return 0;
    }
    return 1;
}

// Decides the body's framing from every Content-Length and Transfer-Encoding
// line of the record.
static void header_framing(HEADER *h) {
    std::vector<HTTP_HEADER *> encodings;
    bool length_seen = false, length_bad = false;
    uint64_t length = 0;
    for (HTTP_HEADER &line : h->headers) {
        if (iequals(line.name, "Transfer-Encoding")) {
            encodings.push_back(&line);
        } else if (iequals(line.name, "Content-Length")) {
            uint64_t value;
            if (!parse_length(line.value, &value)) length_bad = true;
            else if (length_seen && value != length) length_bad = true;
            else length = value;
            length_seen = true;
        }
    }
    if (!encodings.empty()) {
        // Transfer coding wins over any Content-Length, which is dropped.
        if (length_seen) h->flags |= HEADER_AMBIGUOUS;
        h->flags &= ~HEADER_LENGTH;
        if (encodings.size() == 1 && strcasecmp(trim(encodings[0]->value).c_str(), "chunked") == 0) {
            h->chunked = 1;
            encodings[0]->pass = 0;
        } else {
            // A coding this proxy does not take apart: the body ends only
            // when the connection does, and the codings go on as they came.
            h->chunked = 0;
            h->flags |= HEADER_INVALID;
            for (HTTP_HEADER *line : encodings) line->pass = 1;
        }
    } else if (length_seen) {
        if (length_bad) {
            h->flags &= ~HEADER_LENGTH;
            h->flags |= HEADER_INVALID;
        } else {
            h->content_length = length;
            h->flags |= HEADER_LENGTH;
        }
    }
}

void http_header_list_parse(HEADER *header, const char *text) {
    if (!header || !text) return;
    const char *p = strchr(text, '\n');
    if (!p) return;
    p++;

    // Logical lines: a line starting with a blank continues the one before
    // (obsolete folding) and is joined to it with one blank. The list ends at
    // a line of nothing but carriage returns, as the head itself does.
    std::vector<std::string> lines;
    bool folded_framing = false;
    while (*p) {
        const char *lf = strchr(p, '\n');
        size_t length = lf ? (size_t)(lf - p) : strlen(p);
        std::string line(p, length);
        p += lf ? length + 1 : length;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        if (line.find('\r') != std::string::npos) {
            // A carriage return inside a line would end it for some readers.
            if (is_request(header)) header->flags |= HEADER_INVALID;
            for (char &c : line)
                if (c == '\r') c = ' ';
        }
        if (is_blank(line[0])) {
            std::string rest = trim(line);
            if (!lines.empty() && !rest.empty()) {
                const std::string &before = lines.back();
                if (strncasecmp(before.c_str(), "Content-Length", 14) == 0 ||
                    strncasecmp(before.c_str(), "Transfer-Encoding", 17) == 0)
                    folded_framing = true;
                lines.back() += " " + rest;
            }
            continue;
        }
        lines.push_back(line);
    }

    for (std::string &line : lines) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 1 >= line.size()) continue;
        std::string name = line.substr(0, colon);
        size_t name_end = name.size();
        while (name_end > 0 && is_blank(name[name_end - 1])) name_end--;
        if (name_end != name.size()) {
            // "Name :" is refused in a request; in a response the blank is
            // removed so that the line means what it was read as.
            if (is_request(header)) header->flags |= HEADER_INVALID;
            name.resize(name_end);
        }
        if (!is_token(name)) continue;
        size_t start = colon + 1;
        if (start < line.size() && is_blank(line[start])) start++;
        HTTP_HEADER entry;
        entry.name = name;
        entry.value = line.substr(start);
        entry.pass = header_known(header, entry.name, entry.value);
        header->headers.push_back(entry);
    }
    header_framing(header);
    if (folded_framing) header->flags |= HEADER_AMBIGUOUS;
}

// ---- request and response parsing ------------------------------------------

static HEADER *refuse(HEADER *header, int *error, int code) {
    http_header_free(header);
    if (error) *error = code;
    return nullptr;
}

static void set_raw(HEADER *header, const char *text) {
    size_t length = header_length(text, (size_t)-1);
    free(header->raw);
    header->raw = copy_text(text, length);
}

// Host of a target: no blanks, controls or characters that would change
// the meaning of a URL or a Host line once decoded.
static bool host_valid(const char *host) {
    if (!*host) return false;
    for (const unsigned char *p = (const unsigned char *)host; *p; p++)
        if (*p <= 0x20 || *p == 0x7f || strchr("/\\?#@:%", *p)) return false;
    return true;
}

static bool scheme_valid(const std::string &scheme) {
    if (scheme.empty() || !isalpha((unsigned char)scheme[0])) return false;
    for (unsigned char c : scheme)
        if (!isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

HEADER *http_header_parse_request(const char *text, int *error) {
    if (error) *error = HEADER_ERROR_NONE;
    if (!text) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    const char *lf = strchr(text, '\n');
    std::string line(text, lf ? (size_t)(lf - text) : strlen(text));
    while (!line.empty() && line.back() == '\r') line.pop_back();

    std::vector<std::string> items;
    for (size_t i = 0; i < line.size();) {
        while (i < line.size() && is_blank(line[i])) i++;
        size_t start = i;
        while (i < line.size() && !is_blank(line[i])) i++;
        if (i > start) items.push_back(line.substr(start, i - start));
    }
    if (items.size() < 2) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    if (items[1].size() > HEADER_TARGET_MAX) return refuse(nullptr, error, HEADER_ERROR_URI_TOO_LONG);
    if (items.size() > 3) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    for (unsigned char c : line)
        if ((c < 0x20 && c != '\t') || c == 0x7f) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    const std::string &method = items[0];
    const std::string &target = items[1];
    if (method.size() > HEADER_METHOD_MAX || !is_token(method)) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);

    HEADER *header = header_new();
    if (strcasecmp(method.c_str(), "CONNECT") == 0) header->type = HEADER_CONNECT;
    else if (target[0] == '/') header->type = HEADER_ORIGIN;
    else header->type = HEADER_ABSOLUTE;
    header->version = items.size() == 3 && strcasecmp(items[2].c_str(), "HTTP/1.1") == 0 ? 2 : 1;

    if (header->type == HEADER_ORIGIN) {
        header->protocol = copy_text("http", 4);
        header->file = path_fix(target.c_str());
        header->port = 80;
    } else {
        std::string rest;
        if (header->type == HEADER_ABSOLUTE) {
            size_t colon = target.find(':');
            if (colon == std::string::npos) return refuse(header, error, HEADER_ERROR_MALFORMED);
            std::string scheme = target.substr(0, colon);
            if (!scheme_valid(scheme) || target.size() - colon - 1 < 2)
                return refuse(header, error, HEADER_ERROR_MALFORMED);
            header->protocol = string_tolower(copy_text(scheme));
            // The two characters after the colon are the "//" of a proper URI.
            rest = target.substr(colon + 3);
        } else {
            header->protocol = copy_text("connect", 7);
            rest = target;
        }

        size_t slash = rest.find('/');
        std::string authority = rest.substr(0, slash);
        header->file = slash == std::string::npos ? copy_text("/", 1) : path_fix(rest.c_str() + slash);

        size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            std::string userinfo = authority.substr(0, at);
            size_t separator = userinfo.find(':');
            // A NUL would cut the name or password short wherever it is
            // used, leaving another account's name, or a prefix a pooled
            // login matches.
            size_t decoded_length;
            char *decoded = url_decode(userinfo.c_str(), -1, &decoded_length);
            bool nul = decoded_length != strlen(decoded);
            free(decoded);
            if (nul) return refuse(header, error, HEADER_ERROR_MALFORMED);
            if (separator != std::string::npos && separator > 0 && separator + 1 < userinfo.size()) {
                header->user = url_decode(userinfo.substr(0, separator).c_str(), -1);
                header->password = url_decode(userinfo.substr(separator + 1).c_str(), -1);
            }
            authority.erase(0, at + 1);
        }

        size_t port_colon = authority.find(':');
        std::string port_text;
        if (port_colon != std::string::npos) {
            port_text = authority.substr(port_colon + 1);
            authority.resize(port_colon);
        }
        if (port_text.empty()) {
            header->flags |= HEADER_DEFAULT_PORT;
            header->port = header->type == HEADER_ABSOLUTE ? protocol_port(header->protocol) : 443;
        } else {
            uint64_t port = 0;
            if (port_text.size() > 5 || !parse_length(port_text, &port) || port == 0 || port > 65535 ||
                is_blank(port_text[0]))
                return refuse(header, error, HEADER_ERROR_MALFORMED);
            header->port = (int)port;
        }
        header->host = string_tolower(url_decode(authority.c_str(), -1));
        if (!host_valid(header->host)) return refuse(header, error, HEADER_ERROR_MALFORMED);
        header_complete(header);
    }

    header->method = copy_text(method);
    http_header_list_parse(header, text);
    set_raw(header, text);
    return header;
}

// "word/c.c number": the shape of an HTTP or ICAP status line.
static bool status_line_shape(const std::string &line) {
    size_t i = 0;
    while (i < line.size() && line[i] != '/' && i < 10) i++;
    if (i == 0 || i >= line.size() || line[i] != '/') return false;
    if (i + 4 > line.size() || line[i + 2] != '.') return false;
    size_t j = i + 4;
    while (j < line.size() && isspace((unsigned char)line[j])) j++;
    if (j < line.size() && (line[j] == '-' || line[j] == '+')) j++;
    return j < line.size() && isdigit((unsigned char)line[j]);
}

HEADER *http_header_parse_response(const char *text, int *error) {
    if (error) *error = HEADER_ERROR_NONE;
    if (!text) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    size_t scan = strnlen(text, HEADER_STATUS_LINE_MAX + 1);
    const char *lf = (const char *)memchr(text, '\n', scan);
    if (!lf || (size_t)(lf - text) + 1 > HEADER_STATUS_LINE_MAX) return refuse(nullptr, error, HEADER_ERROR_MALFORMED);
    std::string line(text, (size_t)(lf - text));
    while (!line.empty() && line.back() == '\r') line.pop_back();

    HEADER *header = header_new();
    header->type = HEADER_RESPONSE;
    if (!status_line_shape(line)) {
        header->version = 0;
        header->code = 200;
        putlog(LOG_DEBUG, "HTTP/0.9 header");
        header->raw = copy_text("HTTP/1.1 200 OK\r\n\r\n", 19);
        return header;
    }

    std::vector<std::string> items;
    for (size_t i = 0; i < line.size() && items.size() < 2;) {
        while (i < line.size() && isspace((unsigned char)line[i])) i++;
        size_t start = i;
        while (i < line.size() && !isspace((unsigned char)line[i])) i++;
        if (i > start) items.push_back(line.substr(start, i - start));
    }
    if (items.size() < 2) return refuse(header, error, HEADER_ERROR_MALFORMED);
    header->version = strcasecmp(items[0].c_str(), "HTTP/1.1") == 0 ? 2 : 1;
    int code = 0;
    for (size_t i = 0; i < items[1].size() && isdigit((unsigned char)items[1][i]) && code <= 999; i++)
        code = code * 10 + (items[1][i] - '0');
    if (code <= 0 || code > 999) return refuse(header, error, HEADER_ERROR_MALFORMED);
    header->code = code;
    http_header_list_parse(header, text);
    set_raw(header, text);
    return header;
}

// ---- reading a head --------------------------------------------------------

char *header_get(CONNECTION_T *connection, int direction, int timeout, int *status) {
    if (status) *status = HEADER_GET_NONE;
    if (!connection) return nullptr;
    Socket *sock = direction == 0 ? connection->client : connection->server;
    if (!sock) return nullptr;
    if (timeout < 0) timeout = 0;
    long long start = clock_elapsed_ms();
    std::string head;
    bool any = false;
    int result = HEADER_GET_NONE;

    for (;;) {
        // Complete lines already held come first, without waiting.
        bool done = false;
        while (sock->in_length > 0) {
            const char *lf = (const char *)memchr(sock->in, '\n', sock->in_length);
            // Room for this line and the closing "\r\n".
            size_t room = HEADER_MAX_LENGTH - 2 - head.size();
            size_t length = lf ? (size_t)(lf - sock->in) + 1 : sock->in_length;
            if (length > room) {
                result = any ? HEADER_GET_TOO_LARGE : HEADER_GET_LINE_TOO_LONG;
                done = true;
                break;
            }
            if (!lf) break;
            if (memchr(sock->in, '\0', length)) {
                result = HEADER_GET_BAD;
                done = true;
                break;
            }
            bool empty = true;
            for (size_t i = 0; i + 1 < length; i++)
                if (sock->in[i] != '\r') empty = false;
            if (!empty) head.append(sock->in, length);
            sock->GetLine(nullptr, -1, -1);
            if (empty && any) {
                head += "\r\n";
                if (status) *status = HEADER_GET_OK;
                return copy_text(head);
            }
            if (!empty) any = true;
        }
        if (done) {
            if (status) *status = result;
            return nullptr;
        }
        if (sock->fd < 0) break;

        long long left = (long long)timeout * 1000 - (clock_elapsed_ms() - start);
        if (left <= 0) break;
        // Read first; the poll is for when nothing has arrived yet.
        int now = sock->ReadNow();
        if (now > 0) continue;
        if (now == 0 || now == -1) break;
        Socket *other = direction == 0 ? connection->server : connection->client;
        struct pollfd fds[2];
        int count = 1;
        fds[0].fd = sock->fd;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        if (other && other->fd >= 0) {
            fds[1].fd = other->fd;
            fds[1].events = POLLIN;
            fds[1].revents = 0;
            count = 2;
        }
        bool pending = sock->ssl && sock->ssl_session && SSL_pending(sock->ssl_session) > 0;
        int r = poll(fds, (nfds_t)count, pending ? 0 : (int)(left > 1000000000 ? 1000000000 : left));
        if (r < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, poll failed, socket unavailable", code, strerror(code),
                   "header_get");
            break;
        }
        if (pending || (fds[0].revents & POLLIN)) {
            if (sock->Read(nullptr, -1, 0) <= 0) break;
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
        if (count == 2 && fds[1].revents) {
            bool gone = !(fds[1].revents & POLLIN) || other->Read(nullptr, -1, 0) <= 0;
            if (gone) {
                // The client going away ends the wait for the server; an idle
                // server connection going away does not matter to the client.
                if (direction == 1) break;
                delete connection->server;
                connection->server = nullptr;
            }
        }
    }

    if (!any) return nullptr;
    if (status) *status = HEADER_GET_PARTIAL;
    return copy_text(head);
}

// ---- writing a head --------------------------------------------------------

// Values never carry a line end into the written head.
static void append_value(std::string &out, const char *value) {
    for (const char *p = value; *p; p++) out += (*p == '\r' || *p == '\n') ? ' ' : *p;
}

// Pieces of the start line: blanks and control bytes percent-encoded so the
// line keeps its three parts.
static void append_target(std::string &out, const char *text) {
    static const char hex[] = "0123456789ABCDEF";
    if (!text) return;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (*p <= 0x20 || *p == 0x7f) {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 15];
        } else {
            out += (char)*p;
        }
    }
}

static void put_line(std::string &out, const char *name, const char *value) {
    out += name;
    out += ": ";
    append_value(out, value ? value : "");
    out += "\r\n";
}

static void put_if(std::string &out, const char *name, const char *value) {
    if (value) put_line(out, name, value);
}

// The reason text of a status line: the program's own text where it has
// one, else the registered phrase of the code, so no client reads a
// "206 Unknown".
static const char *reason_phrase(int code) {
    const char *own = code_to_error(code);
    if (strcmp(own, "Unknown") != 0) return own;
    switch (code) {
        case 100: return "Continue";
        case 101: return "Switching Protocols";
        case 102: return "Processing";
        case 103: return "Early Hints";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non-Authoritative Information";
        case 204: return "No Content";
        case 205: return "Reset Content";
        case 206: return "Partial Content";
        case 207: return "Multi-Status";
        case 208: return "Already Reported";
        case 226: return "IM Used";
        case 300: return "Multiple Choices";
        case 303: return "See Other";
        case 305: return "Use Proxy";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 402: return "Payment Required";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length Required";
        case 412: return "Precondition Failed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Range Not Satisfiable";
        case 417: return "Expectation Failed";
        case 421: return "Misdirected Request";
        case 422: return "Unprocessable Content";
        case 423: return "Locked";
        case 424: return "Failed Dependency";
        case 425: return "Too Early";
        case 426: return "Upgrade Required";
        case 428: return "Precondition Required";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 451: return "Unavailable For Legal Reasons";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        case 506: return "Variant Also Negotiates";
        case 507: return "Insufficient Storage";
        case 508: return "Loop Detected";
        case 510: return "Not Extended";
        case 511: return "Network Authentication Required";
        default: return own;
    }
}

static void start_line(std::string &out, const HEADER *h, int kind) {
    char number[32];
    switch (h->type) {
        case HEADER_RESPONSE:
            snprintf(number, sizeof(number), "%d", h->code);
            out += std::string("HTTP/1.1 ") + number + " " + reason_phrase(h->code) + "\r\n";
            return;
        case HEADER_ICAP_REQUEST:
            append_target(out, h->method);
            out += ' ';
            append_target(out, h->url);
            out += " ICAP/1.0\r\n";
            return;
        case HEADER_ICAP_RESPONSE:
            snprintf(number, sizeof(number), "%d", h->code);
            out += std::string("ICAP/1.0 ") + number + " " + code_to_error(h->code) + "\r\n";
            return;
        default: break;
    }
    if (kind == HEADER_KIND_SERVER) {
        append_target(out, h->method);
        out += ' ';
        append_target(out, h->file ? h->file : "/");
    } else if (h->type == HEADER_CONNECT) {
        out += "CONNECT ";
        append_target(out, h->host);
        snprintf(number, sizeof(number), ":%d", h->port);
        out += number;
    } else if (h->user && h->password) {
        append_target(out, h->method);
        out += ' ';
        char *user = url_encode(h->user, -1);
        char *password = url_encode(h->password, -1);
        append_target(out, h->protocol);
        out += "://";
        append_target(out, user);
        out += ':';
        append_target(out, password);
        out += '@';
        append_target(out, h->host);
        snprintf(number, sizeof(number), ":%d", h->port);
        out += number;
        append_target(out, h->file);
        free(user);
        free(password);
    } else {
        append_target(out, h->method);
        out += ' ';
        append_target(out, h->url ? h->url : h->file);
    }
    out += " HTTP/1.1\r\n";
}

// True when the header filter has run on h and refused the received line of
// a header kept in a field of its own (a line it added is written on its
// own). A field the proxy filled itself, with no such line, is not touched.
static bool filtered_out(const HEADER *h, const char *name) {
    if (!(h->flags & HEADER_FILTERED)) return false;
    for (const HTTP_HEADER &line : h->filtered)
        if (line.pass == 0 && iequals(line.name, name)) return false;
    for (const HTTP_HEADER &line : h->headers)
        if (line.pass == 0 && iequals(line.name, name)) return true;
    return false;
}

// A header kept in a field of its own, unless the header filter refused it.
// The field keeps its value for the proxy's own use (log record, profiles).
static void put_unless_filtered(std::string &out, const HEADER *h, const char *name, const char *value) {
    if (!filtered_out(h, name)) put_if(out, name, value);
}

// The head as sent: start line, lines, and the closing empty line.
static void head_text(std::string &out, HEADER *h, CONNECTION_T *connection, int kind) {
    // Most heads fit: the text is not copied again while it grows.
    out.reserve(1000);
    start_line(out, h, kind);

    // 2. The lines without a field of their own, cookies judged on the way.
    bool icap = h->type == HEADER_ICAP_REQUEST || h->type == HEADER_ICAP_RESPONSE;
    bool request = is_request(h);
    bool encoding_written = false;
    const std::vector<HTTP_HEADER> &list = (h->flags & HEADER_FILTERED) ? h->filtered : h->headers;
    for (const HTTP_HEADER &line : list) {
        if (!is_token(line.name)) continue;
        const char *name = line.name.c_str();
        if (!icap && cookie_section &&
            (strncasecmp(name, "Set-Cookie", 10) == 0 || strncasecmp(name, "Cookie", 6) == 0)) {
            CookieHeader cookie(line.value);
            if (!cookie_section->check(request ? COOKIE_SENT : COOKIE_RECEIVED, connection, cookie)) {
                putlog(LOG_COOKIE, request ? "blocked: outgoing to %s" : "blocked: incoming from %s",
                       h->host ? h->host : "");
                continue;
            }
        }
        if (line.pass != 1) continue;
        // The body's framing comes from the fields alone.
        if (iequals(line.name, "Content-Length")) continue;
        if (iequals(line.name, "Transfer-Encoding")) {
            // One line holding every coding, so readers cannot pick one.
            if (h->chunked || encoding_written) continue;
            std::string codings;
            for (const HTTP_HEADER &other : list)
                if (other.pass == 1 && iequals(other.name, "Transfer-Encoding"))
                    codings += (codings.empty() ? "" : ", ") + other.value;
            put_line(out, "Transfer-Encoding", codings.c_str());
            encoding_written = true;
            continue;
        }
        put_line(out, name, line.value.c_str());
    }

    // 3. Content.
    if (h->content_type && *h->content_type) put_line(out, "Content-Type", h->content_type);
    if ((h->flags & HEADER_LENGTH) && !h->chunked && !encoding_written) {
        char number[32];
        snprintf(number, sizeof(number), "%llu", (unsigned long long)h->content_length);
        put_line(out, "Content-Length", number);
    }
    if (h->chunked) out += "Transfer-Encoding: chunked\r\n";

    // 4. Parent proxy.
    if (kind == HEADER_KIND_PARENT) {
        out += "Proxy-Connection: keep-alive\r\n";
        const char *credentials =
            connection && connection->proxy_authorization ? connection->proxy_authorization : h->proxy_authorization;
        put_if(out, "Proxy-Authorization", credentials);
        put_unless_filtered(out, h, "Cache-Control", h->cache_control);
    }

    // 5. Origin server and parent proxy.
    if (kind == HEADER_KIND_SERVER || kind == HEADER_KIND_PARENT) {
        put_unless_filtered(out, h, "Authorization", h->authorization);
        put_unless_filtered(out, h, "If-Modified-Since", h->if_modified_since);
        put_unless_filtered(out, h, "Referer", h->referer);
        put_unless_filtered(out, h, "User-Agent", h->user_agent);
        put_unless_filtered(out, h, "Range", h->range);
        put_unless_filtered(out, h, "Accept-Encoding", h->accept_encoding);
        std::string host = h->host ? h->host : "";
        if (h->type == HEADER_CONNECT || h->port != protocol_port(h->protocol)) host += ":" + std::to_string(h->port);
        put_line(out, "Host", host.c_str());
        out += "Connection: keep-alive\r\n";
        put_if(out, "X-Forwarded-For", h->x_forwarded_for);
        put_if(out, "Via", h->via);
        put_if(out, "Encapsulated", h->encapsulated);
    }

    // 6. Client.
    if (kind == HEADER_KIND_CLIENT) {
        put_unless_filtered(out, h, "Cache-Control", h->cache_control);
        put_unless_filtered(out, h, "Expires", h->expires);
        put_unless_filtered(out, h, "Last-Modified", h->last_modified);
        put_unless_filtered(out, h, "Location", h->location);
        put_unless_filtered(out, h, "WWW-Authenticate", h->www_authenticate);
        put_unless_filtered(out, h, "Proxy-Authenticate", h->proxy_authenticate_header);
        // The body cannot be read without its coding: never left out.
        put_if(out, "Content-Encoding", h->content_encoding);
        const char *state = connection && connection->keepalive_client ? "keep-alive" : "close";
        put_line(out, "Connection", state);
        put_line(out, "Proxy-Connection", state);
        put_if(out, "X-Cache", h->x_cache);
        put_if(out, "Age", h->age);
        put_if(out, "Warning", h->warning);
    }

    out += "\r\n";
}

void header_send_filebuf(Filebuf *buffer, HEADER *h, CONNECTION_T *connection, int kind) {
    if (!buffer || !h) return;
    std::string out;
    head_text(out, h, connection, kind);
    buffer->Add(out.data(), (long long)out.size());
}

void header_send(HEADER *header, CONNECTION_T *connection, int direction, int kind) {
    if (!header || !connection) return;
    if (direction == 0 && (connection->flags & CONN_CLIENT_DROPPED)) return;
    std::string text;
    head_text(text, header, connection, kind);
    Socket *sock = direction == 0 ? connection->client : connection->server;
    if (!sock) return;
    // Written straight from the text; Write takes an int length.
    const size_t piece = 1u << 30;
    for (size_t offset = 0; offset < text.size(); offset += piece) {
        size_t n = text.size() - offset < piece ? text.size() - offset : piece;
        if (sock->Write(text.data() + offset, (int)n) == -1) break;
    }
    sock->Flush();
}

// ---- variables and updaters ------------------------------------------------

void header_variables(CONNECTION_T *connection, const char *prefix, const std::vector<HTTP_HEADER> &list) {
    if (!connection) return;
    for (const HTTP_HEADER &line : list) {
        std::string name = line.name.substr(0, 1023);
        for (char &c : name) c = (char)tolower((unsigned char)c);
        connection->variables[std::string(prefix ? prefix : "") + "[" + name + "]"] = line.value;
    }
}

static std::string bounded(const std::string &text) { return text.size() > 1023 ? text.substr(0, 1023) : text; }

void via_header_update(CONNECTION_T *connection) {
    if (!connection || !connection->request) return;
    HEADER *request = connection->request;
    std::string self = std::string(connection->interface_ip ? connection->interface_ip : "") + ":" +
                       std::to_string(connection->port) + " (Korvantel " HEADER_VERSION_TEXT ")";
    std::string value = request->via ? std::string(request->via) + ", " + self : self;
    set_text(&request->via, bounded(value));
}

void xcache_header_update(CONNECTION_T *connection, int miss) {
    if (!connection || !connection->response) return;
    HEADER *response = connection->response;
    std::string self = std::string(miss ? "MISS" : "HIT") + " from Korvantel " HEADER_VERSION_TEXT;
    std::string value = response->x_cache ? std::string(response->x_cache) + ", " + self : self;
    set_text(&response->x_cache, bounded(value));
}

void conditional_header(HEADER *header, CACHEMAP *object) {
    if (!header || !object) return;
    time_t stored = cache_object_stored(object);
    if (stored < 0) return;
    // Stored times are on the program's time base; take the offset off so the
    // text names the real moment in GMT.
    time_t real = stored - gmtoffset;
    struct tm broken;
    if (!gmtime_r(&real, &broken)) return;
    char text[128];
    if (strftime(text, sizeof(text), "%a, %d %b %Y %T GMT", &broken) == 0) return;
    set_text(&header->if_modified_since, text);
}

// HEADER: the one parsed form of every HTTP message head that passes through
// the proxy (client requests, server responses, the ICAP client's heads),
// its reading from a socket, its parsers, and the writer that turns it back
// into text for an origin server, a parent proxy or the client.
//
// Known headers live in fields of their own and are written from those
// fields in a fixed order; all other lines are kept verbatim in `headers`.
//
// Framing is never left ambiguous: Content-Length must be plain digits and
// agree across lines, Transfer-Encoding "chunked" wins over Content-Length,
// any other Transfer-Encoding makes the body's end unknown. Such messages
// carry HEADER_INVALID; a request with it is refused (400) and the client
// connection closed, a response with it is read until the server closes and
// the server connection is not reused. The writer never emits CR or LF
// inside a line and never emits both Content-Length and Transfer-Encoding.
#ifndef KORVANTEL_HEADER_H
#define KORVANTEL_HEADER_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

class Filebuf;
struct CONNECTION_T;
struct CACHEMAP;

// Values of HEADER::type.
enum {
    HEADER_CONNECT = 0,  // CONNECT request
    HEADER_RESPONSE = 1,
    HEADER_ABSOLUTE = 2,  // absolute-URI request
    HEADER_ORIGIN = 3,    // origin-form request ("GET /path")
    HEADER_ICAP_REQUEST = 4,
    HEADER_ICAP_RESPONSE = 5,
};

// Bits of HEADER::flags.
enum {
    HEADER_FILTERED = 0x1,      // write `filtered` instead of `headers`
    HEADER_LENGTH = 0x2,        // content_length is valid
    HEADER_DEFAULT_PORT = 0x4,  // the request target named no port
    HEADER_INVALID = 0x8,       // framing or syntax cannot be trusted (see above)
    HEADER_AMBIGUOUS = 0x10,    // framing read one way of several (Content-Length beside
                                // Transfer-Encoding, or a folded framing line): the
                                // message is used, but its connection is not reused
};

// Writer kinds.
enum {
    HEADER_KIND_SERVER = 0,  // request to an origin server (and the ICAP request head)
    HEADER_KIND_PARENT = 1,  // request to a parent proxy (and an encapsulated request)
    HEADER_KIND_CLIENT = 2,  // response to the client (and an encapsulated response)
};

// Bounds of what is read and parsed. A head or request target past them is
// refused, never cut.
#define HEADER_MAX_LENGTH 65536     // whole head, bytes, including the empty line
#define HEADER_TARGET_MAX 8192      // request target, bytes
#define HEADER_METHOD_MAX 24        // request method, bytes
#define HEADER_STATUS_LINE_MAX 255  // response status line with its line feed

// Version text of Via and X-Cache.
#define HEADER_VERSION_TEXT "ntlm.RC2.0"

// One header line.
struct HTTP_HEADER {
    int pass = 1;       // 1: written back verbatim; 0: known header, written from its field or not at all
    std::string name;   // as received (blanks before the colon removed)
    std::string value;  // text after the colon, one leading blank removed
};

// Every text field is a separately allocated NUL-terminated string owned by
// the record (free()d by http_header_free), or null.
struct HEADER {
    char *raw = nullptr;  // head as received, up to and including its empty line
    char *url = nullptr;  // "%s://%s:%d%s" of an absolute-URI or CONNECT request; ICAP URL
    int type = 0;         // HEADER_CONNECT ...
    int version = 0;      // 2 HTTP/1.1, 1 other, 0 HTTP/0.9 answer
    int port = 0;
    int code = -1;                  // response status; -1 in a request
    uint64_t content_length = 0;    // meaningful only with HEADER_LENGTH; never above INT64_MAX when parsed
    int chunked = 0;                // 1: "Transfer-Encoding: chunked"
    int connection_keepalive = -1;  // Connection: 1 keep-alive, 0 close, -1 absent or other
    int proxy_keepalive = -1;       // Proxy-Connection, same
    char *user = nullptr;           // URL-decoded credentials of the request target
    char *password = nullptr;
    char *method = nullptr;    // as received
    char *protocol = nullptr;  // lower case; "connect" for CONNECT, "http" for origin form
    char *host = nullptr;      // URL-decoded, lower case
    char *file = nullptr;      // path and query, fragment and blanks removed; "/" when none
    char *referer = nullptr;
    char *user_agent = nullptr;
    char *location = nullptr;
    char *content_type = nullptr;
    char *content_encoding = nullptr;
    char *accept_encoding = nullptr;
    char *www_authenticate = nullptr;
    char *authorization = nullptr;
    char *range = nullptr;
    char *proxy_authenticate_header = nullptr;
    char *proxy_authorization = nullptr;
    char *host_header = nullptr;
    char *mime_type = nullptr;  // content_type up to the first ';'
    char *cache_control = nullptr;
    char *expires = nullptr;
    char *if_modified_since = nullptr;
    char *last_modified = nullptr;
    char *warning = nullptr;  // set by the cache, never parsed
    char *age = nullptr;      // set by the cache, never parsed
    char *x_cache = nullptr;
    char *x_forwarded_for = nullptr;
    char *via = nullptr;
    char *encapsulated = nullptr;
    std::vector<HTTP_HEADER> headers;   // every parsed line, in arrival order
    std::vector<HTTP_HEADER> filtered;  // built by the header filter; written under HEADER_FILTERED
    unsigned int flags = 0;             // HEADER_FILTERED ...
};

// Empty record: code -1, both keep-alive fields -1, all else empty.
HEADER *header_new();
// Frees the record with everything it owns; null is ignored.
void http_header_free(HEADER *header);
// Deep copy.
HEADER *http_header_dup(const HEADER *header);

// Length of the head at the start of text: the bytes up to and including the
// line feed that makes two line feeds with only carriage returns between
// them; bounded by max and by the end of the text.
size_t header_length(const char *text, size_t max);
// 1 when the first min(len, 5) bytes are "HTTP/" (any case), else 3.
int header_type(const char *text, size_t len);
// Rebuilds url as "%s://%s:%d%s" from protocol, host, port, file (never cut).
void header_complete(HEADER *header);

// Why a parser refused a head (the optional error out-parameter).
enum {
    HEADER_ERROR_NONE = 0,
    HEADER_ERROR_MALFORMED = 400,     // answer 400 and close
    HEADER_ERROR_URI_TOO_LONG = 414,  // request target past HEADER_TARGET_MAX: answer 414 and close
};

// New record, or null with *error (when given) saying why. A returned
// record may still carry HEADER_INVALID.
HEADER *http_header_parse_request(const char *text, int *error = nullptr);
HEADER *http_header_parse_response(const char *text, int *error = nullptr);
// Adds the header lines of text (everything after its first line) to the
// record and re-evaluates its framing (content_length, chunked, flags).
void http_header_list_parse(HEADER *header, const char *text);

// Results of header_get (the optional status out-parameter).
enum {
    HEADER_GET_OK = 0,             // a whole head, ending in "\r\n"
    HEADER_GET_PARTIAL = 1,        // time-out or close after some lines: the lines so far
    HEADER_GET_NONE = 2,           // time-out, close or failure before any line (null)
    HEADER_GET_TOO_LARGE = 3,      // the head does not end within HEADER_MAX_LENGTH (null)
    HEADER_GET_LINE_TOO_LONG = 4,  // the first line alone is past the limit (null; a request: 414)
    HEADER_GET_BAD = 5,            // a NUL byte in the head (null)
};

// Reads one head from the client (direction 0) or server (direction 1)
// socket within timeout seconds for the whole head, watching the other
// socket meanwhile. Returns the text (caller frees) or null.
char *header_get(CONNECTION_T *connection, int direction, int timeout, int *status = nullptr);

// Appends the serialised head for the given kind to buffer.
void header_send_filebuf(Filebuf *buffer, HEADER *header, CONNECTION_T *connection, int kind);
// Serialises and sends to the client (direction 0) or server (direction 1)
// socket and flushes it; nothing towards a dropped client.
void header_send(HEADER *header, CONNECTION_T *connection, int direction, int kind);

// Stores every line of list in the connection's variables as
// prefix "[" lower-case name "]" = value; a later line overwrites.
void header_variables(CONNECTION_T *connection, const char *prefix, const std::vector<HTTP_HEADER> &list);

// Appends this proxy to the request's Via.
void via_header_update(CONNECTION_T *connection);
// Sets or appends this proxy's X-Cache ("HIT" when miss is 0, else "MISS").
void xcache_header_update(CONNECTION_T *connection, int miss);
// Sets If-Modified-Since to the time the cached object was stored.
void conditional_header(HEADER *header, CACHEMAP *object);


#endif

// The HTTP exchange: one request sent to the origin server or parent proxy
// and its response brought back to the client (relayed as it arrives, or
// buffered for decoding, the response stages and re-encoding), plus the body
// movers every HTTP path uses (read a whole body, relay it, discard it) and
// the data callback that feeds the cache object, the HTML stream and the
// transfer allowance.
//
// Framing is never guessed: a body ends by its Content-Length, by its last
// chunk, or by the peer closing. A body that ends early is never passed on
// as whole (no last chunk, no fresh Content-Length, CONN_FAILED set so the
// client connection closes and the cache object is dropped).
#ifndef KORVANTEL_PROTO_HTTP_H
#define KORVANTEL_PROTO_HTTP_H

#include <time.h>

struct CONNECTION_T;
struct HEADER;
class Filebuf;

// Sides of the body movers.
enum {
    HTTP_SIDE_CLIENT = 0,  // the request body, from the client
    HTTP_SIDE_SERVER = 1,  // the response body, from the server
};

// Results of the body movers.
enum {
    HTTP_BODY_COMPLETE = 0,   // the whole body moved
    HTTP_BODY_SHORT = 1,      // the body ended early or a callback refused it (CONN_FAILED)
    HTTP_BODY_OVERFLOW = 2,   // reading stopped at the caller's limit; the rest is still unread
    HTTP_BODY_MALFORMED = 3,  // the body's framing was malformed (CONN_FAILED); answer 400 and close
};

// Ceiling of any body held in memory when the caller names none.
#define HTTP_BODY_MAX ((long long)256 * 1024 * 1024)
// Longest chunk-size or trailer line accepted, and most trailer lines.
#define HTTP_CHUNK_LINE_MAX 4096
#define HTTP_TRAILER_LINES_MAX 100

// Runs one exchange once the dispatch has a server connection or a usable
// cached object. 1 when it ended normally (answered or blocked), -1 when no
// usable response head came (a page was sent where one could be).
int protocol_http(CONNECTION_T *connection);

// Sends a buffer to the client unless the request is HEAD; returns what was
// written (0 for HEAD).
long long http_send_body(CONNECTION_T *connection, Filebuf *body);

// Reads the whole body of the request (side 0) or the response (side 1)
// into a new buffer, de-chunked. Stops at limit bytes with
// HTTP_BODY_OVERFLOW: for a chunked body the buffer then holds whole chunks
// only and the next chunk is still unread, for a counted one nothing was
// read when it is larger than the limit. Without a result pointer an
// overflow counts as a failure (CONN_FAILED). Side 1 feeds the data callback
// unless the connection is an internal fetch.
Filebuf *http_transfer_filebuf(CONNECTION_T *connection, int side, long long limit = HTTP_BODY_MAX,
                               int *result = nullptr);
// Relays the body from the client to the server (side 0) or from the server
// to the client (side 1); a chunked body is re-chunked ("%x\r\n" data "\r\n",
// last chunk "0\r\n\r\n", extensions and trailers dropped) unless the
// response head went out without chunked coding, then it is de-chunked.
// Returns an HTTP_BODY_* result. The HTML stream's input is ended afterwards.
int http_transfer(CONNECTION_T *connection, int side);
// Reads and drops the body of the request (0) or the response (1); returns
// an HTTP_BODY_* result.
int http_transfer_discard(CONNECTION_T *connection, int side);
// Reads one chunk-size line from the client (0) or the server (1) and
// returns its value; 0 when no valid line came.
unsigned long long next_chunksize(CONNECTION_T *connection, int side);

// The data callback registered on the server socket while a response body is
// read (data is the connection). -1 refuses the block (transfer allowance
// used up, or a prefetch whose cache object failed).
int protocol_http_read_callback(void *data, int length, char *bytes);

#endif

// The small decisions the request driver and the HTTP exchange take at fixed
// points (processing stages, keep-alive of both sides, buffering, content
// coding, transfer allowance, buffer time-out), the start of the upstream
// connection (server pool, direct, HTTP parent, SOCKS4/5, CONNECT parent,
// TLS towards the origin), the reconnect that hides a dead pooled
// connection, the answers to a parent proxy's 407 (Basic, NTLM), and the
// registry of protocol handlers that modules add (`protocols`).
#ifndef KORVANTEL_PROTOCOL_H
#define KORVANTEL_PROTOCOL_H

#include <atomic>

#include <string>
#include <vector>

struct CONNECTION_T;
struct CACHEMAP;
class Filebuf;

// ---- processing stages ----------------------------------------------------

// Runs PROCESSOR_AUTH and PROCESSOR_REQMOD. True when the request goes on;
// false when a processor answered (its head in connection->response, its
// page in body): the answer has been sent and the response head freed. A
// request answered before its streamed body was read loses client
// keep-alive, so the unread body is never taken for the next request.
bool process_request(CONNECTION_T *connection, Filebuf *body);
// Runs PROCESSOR_RESPCHECK and PROCESSOR_RESPMOD on a buffered body. 1 when
// the body may be sent, 0 when a check blocked it (its page was sent).
int process_response(CONNECTION_T *connection, Filebuf *body);

// ---- keep-alive, buffering, coding, allowance ------------------------------

// Sets keepalive_client from the request head.
void keepalive_check_client(CONNECTION_T *connection);
// The client connection closes after this answer: a request refused for its
// form or its rights, a body that did not arrive whole, or an answer whose
// end is the connection closing.
void keepalive_client_end(CONNECTION_T *connection);
// The client connection stays for the next request whatever its head asked:
// an authentication handshake goes on on the same connection.
void keepalive_client_keep(CONNECTION_T *connection);
// A request body still unread on the client socket would be taken for the
// next request: the client connection then closes after this answer.
void keepalive_client_unread_check(CONNECTION_T *connection);
// The server connection is closed after this exchange, never pooled: its
// response body was not read, or the connection is no longer in step.
void keepalive_server_end(CONNECTION_T *connection);
// The server connection may be pooled after this exchange: a pooled
// connection found alive, or an NTLM handshake that needs the same one.
void keepalive_server_keep(CONNECTION_T *connection);
// A transfer that failed leaves neither connection for reuse.
void keepalive_end(CONNECTION_T *connection);
// Sets keepalive_server from the response head; a response whose end is the
// server closing also clears keepalive_client. Marks the server connection
// CONN_SERVER_PINNED when the request or the response names NTLM or
// Negotiate.
void keepalive_check_server(CONNECTION_T *connection);
// 1 when the response body must be buffered before it is sent.
int buffer_check(CONNECTION_T *connection);
// 1 when the client accepts a gzip or deflate body.
int accepts_encoded_content(CONNECTION_T *connection);
// 1 when the response may be sent; 0 after sending the "downloadlimit" page.
int transfer_limit_check(CONNECTION_T *connection);
// Charges one block of response body to the transfer allowance: -1 (and
// CONN_FAILED, allowance 0) when the block exceeds what remains, else 0. The
// unlimited allowance is never charged.
int transfer_limit_charge(CONNECTION_T *connection, unsigned int length);
// Starts the buffer time-out from the general rule's buffer wait.
void buffertimeout_set(CONNECTION_T *connection);
// Hands a buffered download over to the background once its time-out passed.
void buffertimeout_check(CONNECTION_T *connection);

// ---- upstream connection ---------------------------------------------------

// Sets the upstream of the current request afresh: every forward_* field is
// replaced (null texts clear them), so nothing of an earlier request's
// choice survives. The forwarding rules call it for every request.
void upstream_set(CONNECTION_T *connection, int type, const char *host, int port, const char *user,
                  const char *password, const char *domain);
// Key under which the current request's server connection is pooled and
// looked up: scheme, host and port of the peer (the parent for an HTTP
// parent, else the origin), the URL's user and password, and the route.
struct UPSTREAM_KEY {
    const char *protocol;
    const char *host;
    int port;
    const char *user;
    const char *password;
    int forward_type;
    const char *forward_user;  // null for a direct connection
    std::string login_user, login_password;  // what user and password point at for an FTP control connection
};
// Fills key from the connection (pointers into its fields); 0 when the
// request has no scheme or host.
int upstream_key(CONNECTION_T *connection, UPSTREAM_KEY *key);
// After a request: when keepalive_server is 1 the server connection goes to
// the server pool under upstream_key, else it is closed; server becomes null.
// A connection that NTLM or Negotiate authenticates (a request's
// Authorization or a response's WWW-Authenticate naming either, flag
// CONN_SERVER_PINNED) goes to connection->pinned_server instead, replacing
// one kept there before: it serves that client alone.
void server_connection_release(CONNECTION_T *connection);

// Takes the client's pinned server connection when the request's upstream
// key is the one it was kept under and it is still in step, else one from
// the server pool (never for CONNECT or a request with a body), else
// connects. Returns the server descriptor (>= 0) with connection->server
// set, or a negative code with server null: -1 failed handshake (SOCKS,
// CONNECT parent, TLS) or missing host/port, -2 TCP connection failed, -3
// name does not resolve.
int protocol_start(CONNECTION_T *connection);
// Closes the server socket, flushes the client socket, protocol_start again.
int protocol_reconnect(CONNECTION_T *connection);
// Next response head from the server (caller frees), reconnecting and
// resending through a pooled connection that was found dead; null after
// sending an error page (or none for a streamed body).
char *header_get_reconnect(CONNECTION_T *connection, int timeout);

// Answers the parent's 407 held in connection->response; true when the
// request was sent again with credentials.
bool proxy_authenticate(CONNECTION_T *connection);
int send_basic_response(CONNECTION_T *connection);
int send_ntlm_response(CONNECTION_T *connection);
// Sends the request head to the server once with "Authorization: Basic"
// from the request URL's user and password; 1.
int authenicate_basic_response(CONNECTION_T *connection);
// Probe of the "proxytest" page: leaves in connection->response the request
// head the upstream proxy sent back to a listener of this proxy, or nothing.
void proxy_test(CONNECTION_T *connection);

// NTLM message building for parent-proxy authentication, serialised by one
// lock. ntlm_negotiate_message: base64 of a type-1 message for user/domain.
// ntlm_authenticate_message: base64 of a type-3 message answering the
// base64 type-2 challenge; null when the challenge is not base64, not a
// type-2 message, or shorter than its fixed structure. A domain field that
// points outside the message counts as no domain.
char *ntlm_negotiate_message(const char *user, const char *domain);
char *ntlm_authenticate_message(const char *challenge, const char *user, const char *password);

// Program-wide indicator set while the configuration document loads: the
// connection start then uses 60-second time-outs and the default local
// address, and the internal fetch pools nothing. A count, since a load may
// run on the timer thread and a request thread at once.
extern std::atomic<int> loading;

// Sets the indicator for its lifetime.
class LoadingScope {
public:
    LoadingScope() { ++loading; }
    ~LoadingScope() { --loading; }
    LoadingScope(const LoadingScope &) = delete;
    LoadingScope &operator=(const LoadingScope &) = delete;
};

// ---- protocol handlers -----------------------------------------------------

typedef int (*PROTOCOL_HANDLER)(CONNECTION_T *connection);

struct Protocol {
    std::string name;  // URL scheme, compared exactly
    PROTOCOL_HANDLER handler;
};

class Protocols {
public:
    // 0 when the handler is registered already (under any name); else
    // appends {name, handler} and returns 1.
    int Add(PROTOCOL_HANDLER handler, const char *name);
    // Removes the first entry of the handler: 1, or 0 when none.
    int Remove(PROTOCOL_HANDLER handler);
    // Whether an entry is named exactly name.
    bool Has(const char *name) const;
    // Result of the handler of the first entry named exactly name, or -1.
    int Execute(const char *name, CONNECTION_T *connection);

private:
    std::vector<Protocol> list_;
};

// Filled while modules load, read-only afterwards (no lock).
extern Protocols protocols;

#endif

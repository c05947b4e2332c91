// CONNECTION_T: the record of one client connection and of the request now
// being served on it. Every stage of the proxy reads and writes its fields
// directly; nothing locks it, because it belongs to one thread at a time.
//
// Internal requests (the internal fetch and prefetches) use the same record
// without a client socket.
#ifndef KORVANTEL_CONNECTION_H
#define KORVANTEL_CONNECTION_H

#include <map>
#include <string>

#include "field.h"  // StringList
#include "logentry.h"

class Socket;
class Stats;
class HTMLStream;
class Filebuf;
struct HEADER;
struct CACHEMAP;
struct url_command_t;

// Bits of CONNECTION_T::flags (request state, cleared after every request).
enum {
    CONN_BUFFERING = 0x1,          // the response body is being buffered
    CONN_REVALIDATE = 0x2,         // conditional request: a cached copy is being revalidated
    CONN_VALIDATED = 0x4,          // the cached copy was validated by the server (304)
    CONN_CACHE_WRITE = 0x8,        // the request is writing a new cache object
    CONN_PROXY_AUTH = 0x10,        // upstream proxy authentication has been tried
    CONN_OFFLINE = 0x20,           // URL command "offline": answer only from the cache
    CONN_PROCESSING = 0x40,        // the response is subject to response processing
    CONN_POOLED_SERVER = 0x80,     // the server connection came from the server pool
    CONN_TRANSFER_LIMIT = 0x100,   // a transfer limit applies
    CONN_PREFETCH = 0x200,         // prefetch request
    CONN_ENCODED = 0x400,          // the server was asked for encoded content
    CONN_FAILED = 0x800,           // the transfer failed
    CONN_HTTPS = 0x1000,           // URL command "https": the origin is reached over TLS
    CONN_TLS_ACTIVE = 0x2000,      // a TLS session to the server is active
    CONN_CLIENT_DROPPED = 0x4000,  // the client is gone; the transfer goes on for the cache
    CONN_INTERNAL = 0x8000,        // internal fetch (no read callback on the client side)
    CONN_HEAD = 0x10000,           // HEAD request
    CONN_CARP = 0x20000,           // the parent was chosen by CARP (not cached)
    CONN_STREAM_BODY = 0x40000,    // the request body is streamed rather than buffered
    CONN_UNSCANNED = 0x80000,      // a scan a rule asked for did not happen: never flag the body clean
    CONN_SERVER_PINNED = 0x100000,  // the server connection is this client's alone (see pinned_server)
};

// Values of CONNECTION_T::forward_type.
enum {
    FORWARD_HTTP = 0,  // HTTP parent proxy
    FORWARD_SOCKS4 = 1,
    FORWARD_SOCKS5 = 2,
    FORWARD_CONNECT = 3,  // parent reached through CONNECT
    FORWARD_DIRECT = 4,
};

// Bits of CONNECTION_T::permissions (set by the access rules, cleared after
// every request).
enum {
    PERMISSION_INTERFACE = 0x1,    // web-interface pages
    PERMISSION_PROXY = 0x2,        // absolute-URI proxy requests
    PERMISSION_ORIGIN = 0x4,       // origin-form requests
    PERMISSION_TRANSPARENT = 0x8,  // host taken from the Host header
    PERMISSION_CONNECT = 0x10,
    PERMISSION_BYPASS = 0x20,      // the "bypass" URL command
    PERMISSION_URLCOMMAND = 0x40,  // URL commands are kept
};

// Bits of CONNECTION_T::bypass: checks skipped for this client (option letter
// of the "bypass" URL command in the comment).
enum {
    BYPASS_URLFILTER = 0x1,  // f
    BYPASS_HEADER = 0x2,     // h
    BYPASS_MIME = 0x4,       // m
    BYPASS_REDIRECT = 0x8,   // r
    BYPASS_COOKIE = 0x10,    // c
    BYPASS_REWRITE = 0x20,   // w
    BYPASS_EXTERNAL = 0x40,  // e
    BYPASS_FORWARD = 0x80,   // p
    BYPASS_KEYWORD = 0x100,  // k
    BYPASS_DNSBL = 0x200,    // d
    BYPASS_LIMITS = 0x400,
    BYPASS_ANTIVIRUS = 0x800,  // a
    BYPASS_ICAP = 0x1000,      // i
    BYPASS_URLBL = 0x2000,
};

// Bit of CONNECTION_T::auth_flags: authentication is required and has not
// yet been supplied. It survives from one request to the next.
enum { AUTH_REQUIRED = 0x2 };

// "No limit" value of transfer_limit and upload_limit.
#define CONNECTION_NO_LIMIT 0xFFFFFFFFu

// Text fields are NUL-terminated, owned by the record and freed by
// connection_free. The server socket, both heads, the cache object, the
// request body, the HTML stream and the URL commands are per-request state
// released by the worker after every request; connection_free leaves them.
// Only pinned_server outlives a request: connection_free closes it.
struct CONNECTION_T {
    int thread_slot = 0;
    int id = 0;                   // client id (never 0 once accepted)
    unsigned int flags = 0;       // CONN_*
    unsigned int auth_flags = 0;  // AUTH_REQUIRED
    Socket *client = nullptr;     // null for internal requests and once dropped; owned
    Socket *server = nullptr;     // upstream side
    // A server connection that NTLM or Negotiate authenticated for this
    // client: kept here between its requests instead of in the shared pool,
    // taken again for its next request under the same key, closed with the
    // record. pinned_key is the upstream key it serves (see protocol.h).
    Socket *pinned_server = nullptr;
    std::string pinned_key;
    int prefetch_depth = 0;
    int ntlm_state = 0;            // 2: NTLM exchange of the connection completed
    char *ip = nullptr;            // client address, dotted
    int port = 0;                  // port of the accepting listener
    char *interface_ip = nullptr;  // local address the client connected to
    int requests = 0;              // requests completed on this connection
    int keepalive_client = 0;
    int keepalive_server = 0;
    int buffer_timeout = 0;  // epoch seconds at which buffering gives up; 0 none
    unsigned int transferred = 0;
    unsigned int transfer_limit = CONNECTION_NO_LIMIT;  // CONNECTION_NO_LIMIT: none
    unsigned int upload_size = 0;
    unsigned int upload_limit = CONNECTION_NO_LIMIT;  // CONNECTION_NO_LIMIT: none
    char *proxy_authorization = nullptr;              // set only around the write of a parent-proxy head
    char *forward_host = nullptr;
    int forward_port = 0;
    int forward_type = FORWARD_DIRECT;  // FORWARD_*
    char *user_name = nullptr;
    char *ntlm_user = nullptr;
    char *ntlm_challenge = nullptr;  // base64 text
    char *ntlm_message1 = nullptr;
    char *ntlm_message3 = nullptr;  // base64 text
    char *ntlm_first = nullptr;
    StringList groups;  // directory groups of the user
    char *forward_user = nullptr;
    char *forward_password = nullptr;
    char *forward_domain = nullptr;
    std::string interface_user;
    std::string interface_password;
    unsigned int permissions = 0;            // PERMISSION_*
    unsigned int bypass = 0;                 // BYPASS_*
    url_command_t **url_commands = nullptr;  // null-terminated array, or null
    StringList profiles;                     // active profiles, in order of addition
    CACHEMAP *cache = nullptr;
    HEADER *request = nullptr;
    HEADER *response = nullptr;
    Filebuf *request_body = nullptr;
    bool body_unread = false;  // the streamed request body is still on the client socket
    HTMLStream *htmlstream = nullptr;
    std::map<std::string, std::string> variables;  // template variables
    LogEntry log;
    Stats *userstats = nullptr;  // one reference held, changed under atomlock
};

// New record with the initial values: everything 0/null/empty except
// transfer_limit and upload_limit (no limit) and forward_type (direct).
// Allocation failure is fatal.
CONNECTION_T *connection_new();

// Frees the record and everything it owns (texts, lists, map, strings, log
// record, its userstats reference, the pinned server connection). The
// client and server sockets, heads, cache object, request body, HTML stream
// and URL commands are not touched.
void connection_free(CONNECTION_T *connection);

// Ends a client connection: counts the close, logs it, deletes the client
// socket (flushing and closing it) and frees the record. Null only counts.
void net_close(CONNECTION_T *connection);

#endif

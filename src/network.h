// Plain TCP plumbing: the listening sockets and the accept of the main
// thread, outgoing connects, name resolution through the DNS cache, the
// SOCKS4/SOCKS5 handshakes, the loops moving bytes between a connection's
// client and server sockets, and the "network" configuration section.
//
// A direction argument of 1 means the server side (read from the server and
// write to the client, or send to the server for the send functions); 0 the
// client side.
#ifndef KORVANTEL_NETWORK_H
#define KORVANTEL_NETWORK_H

#include <netinet/in.h>
#include <pthread.h>
#include <time.h>

#include <vector>

#include "compat.h"  // HOSTENT, hostent_free
#include "connection.h"
#include "field.h"
#include "section.h"

struct HASH_TABLE;

#define NET_LISTENERS 20
// Least listen backlog; the system's somaxconn when larger, so that a burst
// of clients is queued instead of waiting out a SYN retransmit.
#define NET_LISTEN_BACKLOG 25
#define DNSCACHE_BUCKETS 8111
#define DNSCACHE_MAX_AGE 3600  // seconds an entry is used
#define DNSCACHE_KEY_MAX 511

struct SOCKLIST_T {
    int active;  // 1 while in use
    int fd;
    int port;
    char *ip;  // null: all local addresses
};

// Listener slots, filled from slot 0 upwards.
extern SOCKLIST_T socklist[NET_LISTENERS];

// Clears all listener slots.
void net_init();
// Opens a listener on address:port (null or unparsable address: all local
// addresses) in the first free slot; returns the slot or -1.
int net_listen(int port, const char *address);
// Closes every active listener.
void net_listen_closeall();
// Whether one of the listeners is on port.
bool net_listening_port(int port);
// Whether address (network order) and port are one of this proxy's
// listeners. A listener on all local addresses counts for every loopback
// address, 0.0.0.0 and every address of the machine's interfaces.
bool net_own_address(in_addr_t address, int port);
// The same for a host as a request names it: a numeric IPv4 address in any
// spelling is read as its dotted quad, and with resolve a name is looked up
// through the DNS cache (one that does not resolve is not this proxy).
bool net_own_destination(const char *host, int port, bool resolve);
// Waits up to timeout seconds (-1 for ever) for a connection on any
// listener; returns a new record with its client socket, or null.
CONNECTION_T *net_accept(int timeout);

// Connects to host:port from the local address (network order, 0 any) within
// timeout seconds (-1 for ever). Returns the blocking descriptor, -1 for a
// null host or a port not positive, -2 when the connection fails, -3 when
// the name does not resolve.
int net_connect(const char *host, int port, in_addr_t local, int timeout);
int net_connect(const char *host, int port, int timeout);
int net_connect(const char *host, int port);
// Connects a Unix-domain stream socket to path. The blocking descriptor, or
// -1 (errno set) when it cannot be reached or the path is too long for a
// socket address.
int net_unix_connect(const char *path);

// One IPv4 address of host through the DNS cache; free with hostent_free.
// Null when it does not resolve.
HOSTENT *net_dns(const char *host);

// The DNS cache (keyed by lower-case host name, data the dotted address,
// entry time the insertion time) and its lock are owned by the program's
// global record; start-up hands them over here once. Until then net_dns
// resolves every time and caches nothing.
void dnscache_init(HASH_TABLE *table, pthread_mutex_t *lock);
// Timer callback (every 60 seconds): drops entries older than an hour.
void dnscache_clean(void *argument);

// SOCKS handshakes over connection->server to the request's host and port
// (-2 without a request head).
// socks4: 1 granted, -1 unknown reply, -2 rejected or short reply, -3 name
// does not resolve, -4 identification failure. socks5: 1 success, -2 failure.
int proxy_socks4(CONNECTION_T *connection);
int proxy_socks5(CONNECTION_T *connection);
// The same handshakes to an explicit target. The SOCKS4 user id is the
// run-as user name; SOCKS5 offers user name/password login and uses it when
// the server picks it (both must then be given).
int socks4_request(CONNECTION_T *connection, const char *host, int port, const char *userid);
int socks5_request(CONNECTION_T *connection, const char *host, int port, const char *user, const char *password);

// Copies count bytes (-1: until the end) one way; returns the bytes copied.
// A short copy sets CONN_FAILED, and so does a copy until the end that
// stopped on anything but the source's end of stream (time-out, error).
long long net_transfer(CONNECTION_T *connection, int direction, long long count);
// Ends the client connection with a reset (SO_LINGER 0), so a client that
// was sent part of a body without framing cannot take it for the whole;
// the client counts as dropped afterwards.
void net_client_reset(CONNECTION_T *connection);
// Relays both ways until either side ends or count bytes (-1: no limit) have
// passed in both directions together; returns the bytes relayed.
long long net_proxy(CONNECTION_T *connection, long long count);
// Reads count bytes (-1: until the end) from one side into filebuf (null:
// discard). 1 when the count was read (or, for -1, the wait ended without the
// stream ending), 0 on end of stream or error; a count not reached sets
// CONN_FAILED.
int net_filebuf_read(Filebuf *filebuf, CONNECTION_T *connection, int direction, long long count);
// Writes filebuf to the client (0) or the server (1) and flushes; returns the
// write result (the buffer size when the client was dropped).
long long net_filebuf_send(Filebuf *filebuf, CONNECTION_T *connection, int direction);
// The same in HTTP chunked coding; returns the bytes of data sent.
long long net_filebuf_send_chunked(Filebuf *filebuf, CONNECTION_T *connection, int direction);
// Writes a cache object's body from offset on (clamped to the object's end;
// a negative offset counts as 0) to the client (0) or the server (1),
// following an object still being written, and flushes; returns the body
// bytes sent (those that would have been, when the client was dropped), 0
// without an object or a cache, -1 when the socket is missing or failed.
long long net_cache_send(CACHEMAP *object, CONNECTION_T *connection, int direction, long long offset);

// The "network" section: Listen entries (where to accept clients) and
// Interface entries (the local IPv4 address of outgoing connections, by
// profile).
class NetworkSection : public Section {
public:
    struct Listen {
        bool enabled = false;
        std::string comment;
        int port = -1;   // -1: no listener
        std::string ip;  // not IPv4: all local addresses
    };
    struct Interface {
        bool enabled = false;
        std::string comment;
        StringList profiles;  // condition on the connection's profiles
        std::string ip;
    };

    std::vector<Listen> listens;
    std::vector<Interface> interfaces;

    NetworkSection();
    // Rebuilds both lists from the entries (framework calls it under the
    // write lock).
    void update() override;
    // Opens a listener for every enabled Listen entry whose port is not -1.
    void check();
    // Local address (network order) of the first enabled Interface entry
    // whose condition holds for the connection's profiles; 0 (any) when none.
    in_addr_t interface_select(CONNECTION_T *connection);
};

extern NetworkSection *network_section;

// Builds the section (and sets network_section), for the section class
// registry.
Section *network_construct();

#endif

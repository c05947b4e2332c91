// CONNECT tunnels: a client's CONNECT served once the server connection
// exists (confirmed by this proxy, or forwarded to an HTTP parent whose
// answer decides), then bytes relayed both ways unread; and the same
// dialogue towards a parent proxy reached through CONNECT for ordinary
// requests (`proxy_connect`).
#ifndef KORVANTEL_CONNECT_H
#define KORVANTEL_CONNECT_H

struct CONNECTION_T;

// Serves a client CONNECT on an established server connection, relays until
// one side closes and writes the log lines; returns 0.
int protocol_connect(CONNECTION_T *connection);

// On a fresh connection to a CONNECT parent, asks it for a tunnel to the
// request's host and port (answering one 407 with the rule's credentials).
// 1 when the tunnel is open, -1 when no usable answer came or the parent
// refused. The request head is the caller's again afterwards.
int proxy_connect(CONNECTION_T *connection);

#endif

// Request dispatch: the second half of the request driver. Once a request has
// passed authentication, limits, redirection, the header filter and the
// permission checks and its host is known, it answers the URL commands the
// proxy handles itself, runs the request checks, consults the object cache,
// decides the content coding asked of the server, connects upstream and
// starts the protocol handler.
#ifndef KORVANTEL_DISPATCH_H
#define KORVANTEL_DISPATCH_H

struct CONNECTION_T;
struct URL;

// Continues handle_request for a checked request and ends it.
void request_dispatch(CONNECTION_T *connection);

// ---- seams for subsystems built later -------------------------------------

// The web interface: is the request addressed to it, and answer it. Null:
// no request is for the interface.
extern bool (*dispatch_interface_request)(CONNECTION_T *connection);
extern void (*dispatch_interface_handle)(CONNECTION_T *connection);
// Forwarding rules: choose a parent proxy (upstream_set) or leave the
// connection direct. Null: always direct.
extern void (*dispatch_forward)(CONNECTION_T *connection);
// Queues a URL for prefetching with the request's header lines, the
// remaining transfer allowance and depth 1. Null: nothing is queued.
extern void (*dispatch_prefetch_queue)(CONNECTION_T *connection, URL *url);
// The FTP gateway. Null: "ftp" URLs get the "badprotocol" page.
extern int (*dispatch_protocol_ftp)(CONNECTION_T *connection);

#endif

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

#endif

// The request driver: reads, parses and checks one request on a client
// connection and answers it.
#ifndef KORVANTEL_REQUEST_H
#define KORVANTEL_REQUEST_H

struct CONNECTION_T;

// Serves one request; decides connection->keepalive_client. Every request
// that was read leaves one record in the access and extended logs.
void handle_request(CONNECTION_T *connection);

// Writes the request's access and extended log records. A request leaves
// them once, whichever step ends it: later calls for the same request do
// nothing.
void request_log(CONNECTION_T *connection);

// Largest request body read whole because the connection holds parent-proxy
// credentials (a parent's 407 then gets the body again); past it the body
// is streamed like any other.
#define REQUEST_FORCED_BUFFER_MAX ((unsigned long long)64 * 1024 * 1024)

#endif

// The request driver: reads, parses and checks one request on a client
// connection and answers it.
#ifndef KORVANTEL_MAIN_H
#define KORVANTEL_MAIN_H

struct CONNECTION_T;

// Serves one request; decides connection->keepalive_client.
void handle_request(CONNECTION_T *connection);

#endif

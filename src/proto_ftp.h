// The FTP gateway: answers "ftp" URLs that go to no HTTP parent proxy.
#ifndef KORVANTEL_PROTO_FTP_H
#define KORVANTEL_PROTO_FTP_H

struct CONNECTION_T;

// Serves the request and ends it.
int protocol_ftp(CONNECTION_T *connection);

#endif

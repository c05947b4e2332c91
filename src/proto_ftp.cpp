#include "proto_ftp.h"

#include "connection.h"
#include "templates.h"

int protocol_ftp(CONNECTION_T *connection) {
    // No gateway yet: an "ftp" URL is a scheme nobody handles.
    connection->keepalive_client = 0;
    request_page(connection, "badprotocol", 501);
    return 0;
}

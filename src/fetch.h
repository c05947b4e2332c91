// Internal fetch: one HTTP GET with the proxy's own machinery (connection
// start with server-pool reuse, head writer and parser, body reader) on
// behalf of the program itself, without a client: configuration download,
// synchronisation from a master, the F-Prot scanner.
#ifndef KORVANTEL_FETCH_H
#define KORVANTEL_FETCH_H

#include <string>
#include <vector>

#include "header.h"      // HEADER, HTTP_HEADER
#include "misc.h"        // URL
#include "proto_http.h"  // HTTP_BODY_MAX

class Filebuf;

struct HTTPRESPONSE {
    HEADER *header;  // the response head
    Filebuf *body;   // the whole body, de-chunked
};

// Fetches url directly (no forwarding, cache or filters). headers, when not
// null, are the request's header lines (copied); otherwise the request
// carries one User-Agent line. Returns a new response (free with
// httpresponse_free), or null when no head or no whole body of at most
// limit bytes could be obtained.
HTTPRESPONSE *http_fetch(URL *url, const std::vector<HTTP_HEADER> *headers, long long limit = HTTP_BODY_MAX);
// Frees the head, the body and the record; null is ignored.
void httpresponse_free(HTTPRESPONSE *response);

// For configuration loads from a URL: the status of the reply with its body
// in *body, or 0 when there is none.
int config_fetch(URL *url, std::string *body);

#endif

// Prefetching ("prefetch" section): fetches the links of HTML pages into the
// cache ahead of the client, and URLs queued by the "prefetch" command.
// Until the section is built nothing is prefetched.
#ifndef KORVANTEL_PREFETCH_H
#define KORVANTEL_PREFETCH_H

struct CONNECTION_T;
struct URL;

// Queues url (the caller keeps it) with the request's header lines, the
// connection's remaining transfer allowance and depth 1.
void prefetch_queue_add(CONNECTION_T *connection, URL *url);
// May attach an HTML stream and tag callbacks to the response.
void prefetch_setup_callbacks(CONNECTION_T *connection);

#endif

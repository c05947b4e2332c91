// Diagnostic pages of URL commands: instead of the page a client asked for,
// what the proxy knows about the request (its profiles, the cache entry of
// the URL, its template variables, the raw heads and body, the parsed HTML
// tree, the keyword score, the request as a parent proxy passes it on); the
// FTP gateway's listing page is in dirlist.h. Each function builds a whole
// HTML page and sends it as the response (200, no-cache). Everything that
// comes from a client or a server is escaped before it goes into a page.
#ifndef KORVANTEL_URLPAGES_H
#define KORVANTEL_URLPAGES_H

#include <stddef.h>

#include <string>

class Filebuf;
struct CONNECTION_T;

// "profiles", "mimeprofiles": the active profiles, in order.
void show_profiles(CONNECTION_T *connection);
// "cache": the stored object of the request's URL, or "Nothing found".
void cache_show(CONNECTION_T *connection);
// "variables": the template variables in name order.
void show_variables(CONNECTION_T *connection);
// "headers": the request head and the response head as received.
void show_headers(CONNECTION_T *connection);
// "raw": the body as text. The body is left as it was.
void show_filebuf(CONNECTION_T *connection, Filebuf *body);
// "htmltree": the connection's HTML tree, each level further indented.
void show_htmltree(CONNECTION_T *connection);
// "score": the keyword score of the response.
void score_show(CONNECTION_T *connection, int score);
// "proxytest": the request head the HTTP parent passes on, as it reaches a
// listener of this proxy (see proxy_test); frees the captured head.
void show_proxytest(CONNECTION_T *connection);
// What a rewrite changed in a body, line by line.
void show_filebuf_diff(CONNECTION_T *connection, Filebuf *before, Filebuf *after);

// Escapes length bytes for an HTML page: markup characters always; with
// flags 1 line feeds become line breaks, with 2 blanks stay visible. A zero
// byte shows as U+FFFD.
std::string html_text(const char *text, size_t length, int flags = 0);

#endif

// Generated HTML pages that answer a URL command ("filter", "limits"): the
// interface style block and the sending of a finished page.
#ifndef KORVANTEL_CMDPAGE_H
#define KORVANTEL_CMDPAGE_H

#include <string>

class Filebuf;
struct CONNECTION_T;

// Appends the template "interface.css"; 0 when there is none.
int command_page_stylesheet(CONNECTION_T *connection, Filebuf *page);
// Sends the page as the whole response: 200, text/html, no-cache, its
// length; fills the log record's status, size and MIME type. The page stays
// the caller's.
void command_page_send(CONNECTION_T *connection, Filebuf *page);
// Text from a request or a response, escaped for an HTML page.
std::string html_escape(const char *text);

#endif

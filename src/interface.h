// The web administration interface: requests addressed to the interface host
// name (INTERFACE_HOST) are answered by the proxy itself. Public pieces are
// the template files and the per-rule statistics; "/xml" exports the
// configuration document to slave proxies; every other path gets an HTML
// page: the frame, the login (a Blowfish token in the "login" cookie), the
// menu and the page bodies of the `pages` table.
//
// Everything a client or an origin server can influence is HTML-escaped
// before it reaches a page.
#ifndef KORVANTEL_INTERFACE_H
#define KORVANTEL_INTERFACE_H

#include <time.h>

#include <map>
#include <string>

class Filebuf;
struct CONNECTION_T;
struct HEADER;

// The decoded keys and values of one form or query, keys compared byte-wise.
class CGIMap : public std::map<std::string, std::string> {
public:
    CGIMap() {}
    explicit CGIMap(const char *text) { parse(text); }
    // Adds the pairs of a form or query text: segments split at "&", the
    // last "=" of a segment separating key from value, both URL-decoded; a
    // segment without "=" is ignored; a later key replaces an earlier one.
    void parse(const char *text);
    // The value of key, "" when absent.
    std::string get(const std::string &key) const;
};

// One row of the interface's page table.
struct INTERFACE_PAGE {
    const char *path;  // null in the row that ends the table
    void (*page)(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
};
extern const INTERFACE_PAGE pages[];

// True when the request addresses the interface.
bool interface_request(const CONNECTION_T *connection);
// An origin-form request addressed to the interface by its Host header alone
// is taken as an absolute-URI one from here on: its path does not start with
// the interface's name. Called once interface_request() said yes.
void interface_request_settle(CONNECTION_T *connection);
// Answers an interface request completely.
void interface_handle_request(CONNECTION_T *connection);
// A URL as logged: every password value of its query (the login's, the
// "/password" page's, the configuration's password fields) written as "*",
// as in the native log's "cgi arguments" lines.
std::string interface_url_logged(const char *url);
// Masks the URL and the Referer of an interface request's log record before
// the access and extended logs get it.
void interface_log_mask(CONNECTION_T *connection);
// 1 when the request's Referer comes from the interface or the proxy's own
// host name, else 0 (logged).
int interface_check_referer(CONNECTION_T *connection);
// True when the client is logged in or no login is needed (then a renewed
// or new "login" cookie may have been added to response); false with the
// login form appended to page.
bool interface_login(CONNECTION_T *connection, CGIMap &form, HEADER *response, Filebuf *page);
// The login token of a user and password valid until expiry: the Blowfish
// text of "user:password@expiry" keyed by "user:password", URL-encoded. The
// expiry inside it makes a token replayed after its cookie expired useless.
std::string interface_login_token(const std::string &user, const std::string &password, time_t expiry);
// Whether token was made for user and password and has not expired at now.
bool interface_login_valid(const std::string &user, const std::string &password, const std::string &token, time_t now);
// Appends the "interface.css" template; its result (0 when there is none).
int interface_stylesheet(CONNECTION_T *connection, Filebuf *page);
// Sends a generated page as the whole response (status 200, text/html,
// no-cache) and fills the request's log record; the page stays the caller's.
void interface_send_response(CONNECTION_T *connection, Filebuf *page);
// -1 for an empty text, else what strtol reads from it (0 without digits).
int xatoi(const char *text);

// The page functions of the table.
void interface_page_connections(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_dnscache(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_headers(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_config(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_save(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_load(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_log(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_pool(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_stats(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
// The browsers (interface_browsers.cpp): the object cache and the prefetch
// queue.
void interface_page_cache(Filebuf *page, CGIMap &form, CONNECTION_T *connection);
void interface_page_prefetch(Filebuf *page, CGIMap &form, CONNECTION_T *connection);

#endif

// URL commands: per-request instructions a user writes as DNS-like labels in
// front of the host name, "xx--name." or "xx--name[options].", for example
// http://xx--bypass[f].xx--fresh.origin/. They are stripped before the server
// is contacted, kept on the connection for the request, carried over from the
// Referer to the links followed from a page that had them, and put back into
// redirect locations so that they survive redirects.
//
// The commands act only when the access rule grants PERMISSION_URLCOMMAND
// (url_command_permit drops them otherwise); "bypass" needs PERMISSION_BYPASS
// alone, and is applied before that drop.
#ifndef KORVANTEL_URLCOMMAND_H
#define KORVANTEL_URLCOMMAND_H

struct CONNECTION_T;

struct url_command_t {
    char *name;     // as written (case kept)
    char *options;  // text between '[' and ']', or null without brackets
};

// Strips the leading command labels from text, in place, and returns them as
// a new null-terminated array, or null when text begins with no complete
// label. A label ends at its first '.'; one without a '.', or holding a
// control character, ends the parsing and stays in the text.
url_command_t **url_command_parse(char *text);

// Replaces the connection's commands by those of its current request: from
// the host (or, for an origin-form request, the Host header or else the
// first path segment), which loses the labels, and then from the Referer.
// Returns 1 to go on, 0 when the client has been answered with a 302 that
// puts the Referer's commands in front of the requested URL.
int url_command_extract(CONNECTION_T *connection);

// Keeps the connection's commands only when the access rule granted
// PERMISSION_URLCOMMAND; otherwise frees them. Returns 1 when kept (or there
// were none to drop), 0 when they were dropped.
int url_command_permit(CONNECTION_T *connection);

// First command of that name (case-insensitive), or null; a null array has none.
url_command_t *url_command_find(url_command_t **array, const char *name);

// Label text of all commands in array order, "xx--%s[%s]." or "xx--%s." each
// (newly allocated; "" for none).
char *url_command_create(url_command_t **array);

// Absolute URL for a redirect location with the connection's commands in
// front of the host, at most 4,095 characters (newly allocated).
char *url_command_add(CONNECTION_T *connection, const char *location);

// Logs every command in the URL-command category.
void url_command_log(url_command_t **array);

// Frees names, options, records and the array; null is ignored.
void url_command_free(url_command_t **array);

// Applies the "bypass" command to connection->bypass (needs
// PERMISSION_BYPASS): without options every bit, else letters set ('+') or
// clear ('-') single checks.
void bypass_check(CONNECTION_T *connection);

#endif

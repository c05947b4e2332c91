// The FTP gateway: answers "ftp" URLs that go to no HTTP parent proxy. It
// logs in (the URL's user, else the "ftp" section's default login), changes
// to the path and either shows the directory as an HTML listing (sorting,
// a pattern filter and simple file actions from the query) or retrieves the
// file over a passive or active data connection, relayed to the client or
// buffered for the response stages. Files of anonymous logins are cached.
//
// Safety: data connections only ever go to the control connection's peer
// (the address of a PASV reply is ignored, an active connection must come
// from that peer); paths and form values are URL-decoded and refused when
// they hold CR, LF or NUL; every reply and listing is read within the FTP
// time-out and bounded in size.
#ifndef KORVANTEL_PROTO_FTP_H
#define KORVANTEL_PROTO_FTP_H

#include <string>

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class Socket;

// Longest reply line and whole reply read from the control connection.
#define FTP_LINE_MAX 4096
#define FTP_REPLY_MAX 65536
// Largest directory listing read.
#define FTP_LISTING_MAX ((long long)8 * 1024 * 1024)

// The login a request's control connection uses: the URL's user and
// password, else the "ftp" section's default login, else "anonymous". The
// pool keys FTP control connections by it, since a pooled one stays logged
// in.
void ftp_login(const HEADER *request, std::string *user, std::string *password);

// Serves the request over the control connection protocol_start opened or
// took from the pool, and ends it. 1 when answered, -1 when the request
// ended without an answer.
int protocol_ftp(CONNECTION_T *connection);

// Reads replies from the control connection until a final one (not 1xx)
// or one with code1 or code2; its code, or -1 when no whole reply came
// within the FTP time-out (or it was malformed or too long). text, when
// given, receives the reply's last line.
int ftp_code_wait(CONNECTION_T *connection, int code1, int code2, std::string *text = nullptr);

// Opens the data connection (passive or active as the "ftp" section says)
// and sends command; the data socket once the server answered with a
// preliminary reply, else null (everything opened is closed).
Socket *ftp_transfer_setup(CONNECTION_T *connection, const std::string &command);

// Reads a data connection to its end into a new buffer (at most limit
// bytes, within the FTP time-out per read and total_timeout seconds in
// all; 0: no total bound). Null on failure. The data socket's callbacks
// run as it is read.
Filebuf *ftp_transfer_filebuf(CONNECTION_T *connection, Socket *data, long long limit, int total_timeout);
// Relays a data connection to the client until the server closes it;
// returns the bytes read from it. While the file is being stored, a client
// that goes away ends only the relay: the file is read to its end.
long long ftp_transfer(CONNECTION_T *connection, Socket *data);

// Data callback on the data socket (data is the connection): feeds the
// cache object and charges the transfer allowance; -1 stops the transfer.
int protocol_ftp_read_callback(void *data, int length, char *bytes);

// Percent-decodes text into *out; false when it holds CR, LF or NUL, which
// no FTP command may carry.
bool ftp_text_decode(const std::string &text, std::string *out);

#endif

// Client of the local NTLM authentication daemon (httpauthd). The proxy does
// not verify NTLM itself: it relays each client message over the Unix socket
// "httpauthd.sock" in `ntlmsockdir` (option -y) and takes from the daemon's
// one-line answers a challenge for the client or the authenticated user.
// Daemon connections are shared through the server pool under the protocol
// key "httpauth".
#ifndef KORVANTEL_NTLM_TALK_H
#define KORVANTEL_NTLM_TALK_H

#include <stddef.h>

#include <string>

struct CONNECTION_T;

// Size of the caller's payload buffer and of a kept message (terminator included).
#define NTLM_BUFFER_SIZE 1024
// Size of a decoded message buffer.
#define NTLM_DECODED_SIZE 1092
// Server-pool protocol key of daemon connections.
#define NTLM_POOL_PROTOCOL "httpauth"
// Handler name announced to a new daemon connection.
#define NTLM_HANDLER_NAME "korvantel"

// Process id recorded when the program was loaded (before any fork); part of
// every exchange id.
extern int ntlm_process_id;

// Relays the request's NTLM message to the daemon. Returns 200 (authenticated:
// ntlm_state 2, ntlm_user set), 401 (challenge in ntlm_challenge, or a type-3
// message refused), 407 (failure), -1 (the daemon's socket cannot be reached)
// or the daemon's outcome word as a number. buffer (NTLM_BUFFER_SIZE bytes)
// receives the payload word.
int ntlm_communicate(CONNECTION_T *connection, char *buffer);

// Type (1, 2 or 3) of the NTLM message in an authorization value "NTLM <b64>";
// 0 for none, no blank, bad base64 or anything that is not an NTLM message.
int ntlm_get_msg_type(const char *value);
// Decodes base64 text and returns the message-type word of the decoded
// message, or 0 when the text is not base64, is shorter than 12 bytes, does
// not start with "NTLMSSP\0" or does not fit NTLM_DECODED_SIZE bytes.
unsigned int ntlm_parse_msg_type(const char *text);

// One answer line of the daemon: "<status> <outcome> ... <payload>".
struct NTLM_ANSWER {
    int words = 0;         // blank-separated words
    bool whole = false;    // one line: its only line feed ends it
    std::string status;    // first word; "200" when the daemon did its part
    std::string outcome;   // second word; "200" authenticated, "401" a challenge or a refusal
    std::string payload;   // last word without its line end (a challenge or a user name);
                           // empty when it holds a control character
};
NTLM_ANSWER ntlm_answer_parse(const char *text);

// The token after the scheme word of an authorization value into token
// (NTLM_BUFFER_SIZE bytes, terminated); false when it is missing, longer than
// a kept message may be, or holds anything but base64 characters (it goes
// into the daemon's request line).
bool ntlm_token_of(const char *value, char *token);

// "<ntlmsockdir>/httpauthd.sock" into path (size bytes); false when it does
// not fit there or in a Unix socket address.
bool ntlm_socket_path(char *path, size_t size);
// Start-up check of option -y: false, after printing and logging an error,
// when the socket path would not fit a Unix socket address. The caller then
// exits with status 1.
bool ntlm_sockdir_check();

#endif

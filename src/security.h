// System (PAM) authentication of Basic credentials and the logging of PAM's
// result codes. The service name is `pamfile` (option -x).
#ifndef KORVANTEL_SECURITY_H
#define KORVANTEL_SECURITY_H

struct pam_message;
struct pam_response;

// 0 when PAM accepts the user and the account, else the PAM code of the
// first failing step. An empty (or missing) password or user is refused
// with PAM_AUTH_ERR (7) without asking PAM.
int auth_pam(const char *user, const char *password);

// Conversation function: answers every message, whatever its style, with a
// copy of the password. data points to {user, password} (two const char*).
int auth_pam_talker(int count, const struct pam_message **messages, struct pam_response **responses, void *data);

// Text of a PAM result code 1..32 with the code filled in, or "" for any
// other code; written into buffer (size bytes).
const char *pam_code_text(int code, char *buffer, unsigned size);

// Logs "security: system: %s" with the code's text (error category); for
// codes 6, 7, 10, 11 and 12 records key ("user:password") as refused in the
// password cache. AccessSection::display_pam_msg forwards here.
void display_pam_msg(int code, const char *key);

#endif

// Fuzz target: NTLM and Basic credentials as clients send them in
// Proxy-Authorization (the message type the access rules act on, the token
// relayed to the authentication daemon, Basic user and password), and the
// NTLM challenge a parent proxy or server answers with, which the proxy
// answers in turn.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "access.h"
#include "fuzz_support.h"
#include "ntlm_talk.h"
#include "protocol.h"
#include "settings.h"

namespace {

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

void client_value(const char *value) {
    int type = ntlm_get_msg_type(value);
    check(type >= 0 && type <= 3);
    unsigned int word = ntlm_parse_msg_type(value);
    (void)word;

    char token[NTLM_BUFFER_SIZE + 16];
    memset(token, 'Z', sizeof token);
    if (ntlm_token_of(value, token)) {
        size_t n = strnlen(token, NTLM_BUFFER_SIZE);
        check(n > 0 && n < NTLM_BUFFER_SIZE);
        check(strspn(token, BASE64) == n);  // nothing that could end the daemon's line
        // The token is what the daemon is told; its type is the value's.
        check(ntlm_get_msg_type((std::string("NTLM ") + token).c_str()) == type);
    }
    for (size_t i = NTLM_BUFFER_SIZE; i < sizeof token; i++) check(token[i] == 'Z');

    const char *blank = strchr(value, ' ');
    if (blank) {
        std::string user, password;
        if (access_basic_decode(blank + 1, &user, &password)) check(user.find(':') == std::string::npos);
        else check(user.empty() && password.empty());
    }
}

void server_challenge(const char *value) {
    const char *blank = strchr(value, ' ');
    const char *challenge = blank ? blank + 1 : value;
    char *answer = ntlm_authenticate_message(challenge, "user", "password");
    if (!answer) return;
    // An answer is a type-3 message.
    check(ntlm_get_msg_type((std::string("NTLM ") + answer).c_str()) == 3);
    free(answer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    client_value(text.c_str());
    server_challenge(text.c_str());
    return 0;
}

#include "security.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <security/pam_appl.h>

#include "log.h"
#include "password_cache.h"
#include "settings.h"

namespace {

// Application data of the conversation.
struct PAM_CREDENTIALS {
    const char *user;
    const char *password;
};

}  // namespace

int auth_pam_talker(int count, const struct pam_message **messages, struct pam_response **responses, void *data) {
    (void)messages;  // every question gets the password, whatever it asks
    const PAM_CREDENTIALS *credentials = (const PAM_CREDENTIALS *)data;
    if (!responses || !credentials || !credentials->password || count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    // PAM frees the array and each answer with free().
    struct pam_response *answers = (struct pam_response *)calloc((size_t)count, sizeof *answers);
    if (!answers) return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        answers[i].resp = strdup(credentials->password);
        answers[i].resp_retcode = 0;
        if (!answers[i].resp) {
            for (int j = 0; j < i; j++) free(answers[j].resp);
            free(answers);
            return PAM_BUF_ERR;
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

int auth_pam(const char *user, const char *password) {
    // A module stack may well take an empty password; this proxy never does.
    if (!user || !*user || !password || !*password) return PAM_AUTH_ERR;
    PAM_CREDENTIALS credentials = {user, password};
    struct pam_conv conversation = {auth_pam_talker, &credentials};
    pam_handle_t *handle = nullptr;
    int code = pam_start(pamfile, user, &conversation, &handle);
    if (code == PAM_SUCCESS) {
        code = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
        if (code == PAM_SUCCESS) code = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (handle) pam_end(handle, 0);
    return code;
}

static const char *const pam_texts[33] = {
    "",
    "[pam: %d: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
    "[pam: %d: PAM_SYMBOL_ERR] Symbol not found",
    "[pam: %d: PAM_SERVICE_ERR] Error in service module",
    "[pam: %d: PAM_SYSTEM_ERR] System error",
    "[pam: %d: PAM_BUF_ERR] Memory buffer error",
    "[pam: %d: PAM_PERM_DENIED] Permission denied",
    "[pam: %d: PAM_AUTH_ERR] Authentication failure",
    "[pam: %d: PAM_CRED_INSUFFICIENT] Can not access authentication data due to insufficient credentials",
    "[pam: %d: PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve authentication "
    "information",
    "[pam: %d: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",
    "[pam: %d: PAM_MAXTRIES] An authentication service has maintained a retry count which has been reached. "
    "No further retries should be attempted",
    "[pam: %d: PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally returned if the "
    "machine security policies require that the password should be changed beccause the password is NULL or "
    "it has aged",
    "[pam: %d: PAM_ACCT_EXPIRED] User account has expired",
    "[pam: %d: PAM_SESSION_ERR] Can not make/remove an entry for the specified session",
    "[pam: %d: PAM_CRED_UNAVAIL] Underlying authentication service can not retrieve user credentials "
    "unavailable",
    "[pam: %d: PAM_CRED_EXPIRED] User credentials expired",
    "[pam: %d: PAM_CRED_ERR] Failure setting user credentials",
    "[pam: %d: PAM_NO_MODULE_DATA] No module specific data is present",
    "[pam: %d: PAM_CONV_ERR] Conversation error",
    "[pam: %d: PAM_AUTHTOK_ERR] Authentication token manipulation error",
    "[pam: %d: PAM_AUTHTOK_RECOVERY_ERR] Authentication information cannot be recovered",
    "[pam: %d: PAM_AUTHTOK_LOCK_BUSY] Authentication token lock busy",
    "[pam: %d: PAM_AUTHTOK_DISABLE_AGING] Authentication token aging disabled",
    "[pam: %d: PAM_TRY_AGAIN] Preliminary check by password service",
    "[pam: %d: PAM_IGNORE] Ignore underlying account module regardless of whether the control flag is "
    "required, optional, or sufficient",
    "[pam: %d: PAM_ABORT] Critical error (?module fail now request) ",
    "[pam: %d: PAM_AUTHTOK_EXPIRED] user's authentication token has expired",
    "[pam: %d: PAM_MODULE_UNKNOWN] module is not known",
    "[pam: %d: PAM_BAD_ITEM] Bad item passed to pam_*_item()",
    "[pam: %d: PAM_CONV_AGAIN] conversation function is event driven and data is not available yet",
    "[pam: %d: PAM_INCOMPLETE] please call this function again to complete authentication stack. Before "
    "calling again, verify that conversation is completed",
    "[pam: %d: _PAM_RETURN_VALUES] this is the number of return values",
};

const char *pam_code_text(int code, char *buffer, unsigned size) {
    if (!buffer || size == 0) return "";
    buffer[0] = '\0';
    if (code >= 1 && code <= 32) snprintf(buffer, size, pam_texts[code], code);
    return buffer;
}

void display_pam_msg(int code, const char *key) {
    char text[2048];
    pam_code_text(code, text, sizeof text);
    // these say the credentials themselves are wrong or unusable
    if (code == 6 || code == 7 || code == 10 || code == 11 || code == 12) {
        if (key) update_password_cache(key, PASSWORD_CACHE_REFUSED);
    }
    putlog(LOG_ERROR, "security: system: %s", text);
}

// Access rules and proxy authentication: the "access" section decides, for
// every request, which rule applies to the client (by listener, client
// address and user), whether the client must still authenticate, and writes
// the applied rule's rights onto the connection (user name, profiles,
// permission and bypass bits, interface login, per-rule statistics).
// `access_auth`, the first processor of the authentication stage, reads the
// client's credentials (Basic, and NTLM/Negotiate when enabled) and answers
// with a challenge or the "noaccess" page when the request may not go on.
#ifndef KORVANTEL_ACCESS_H
#define KORVANTEL_ACCESS_H

#include <list>
#include <string>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;
class Filebuf;
class Stats;

// Authentication modes of a rule (entry field 6).
enum {
    ACCESS_MODE_RULE = 0,    // the rule's own user name and password
    ACCESS_MODE_SYSTEM = 1,  // PAM or the LDAP directory; field 7 is a user-name pattern
    // any other value: the rule's own user name, password not compared
};

// Bounds of the texts the rules build.
#define ACCESS_USERNAME_MAX 512    // "user@address" (longer names are cut)
#define ACCESS_KEY_MAX 1024        // password-cache key "user:password" (longer credentials are refused)
#define ACCESS_LISTENER_MAX 2048   // one listener entry (longer entries match nothing)
#define ACCESS_LISTENER_IP_MAX 16  // its address part (longer addresses match nothing)
#define ACCESS_BASIC_MAX 8192      // decoded Basic credentials (longer ones are refused)
#define ACCESS_SCHEME_MAX 9        // a longer scheme word matches no scheme

// One access rule, built from one entry (the field numbers below are the
// positions in its table of bindings).
class Access {
public:
    bool enabled;                    // field 0
    std::string comment;             // field 1
    int log_profiles;                // field 2: 1 logs every profile added
    StringList group_condition;      // field 3: on the connection's directory groups
    StringList listeners;            // field 4: "address:port" ("*" any address); empty: any
    IpRangeList addresses;           // field 5: client ranges; empty: any client
    int mode;                        // field 6: ACCESS_MODE_*
    std::string user;                // field 7: mode 1 pattern, else the exact name
    std::string password;            // field 8
    unsigned int permissions;        // field 9: PERMISSION_* mask
    unsigned int bypass;             // field 10: BYPASS_* bits added
    std::string interface_user;      // field 11
    std::string interface_password;  // field 12
    StringList profiles;             // field 13: profiles the rule adds
    regex_posix_t *pattern;          // field 7 compiled case-insensitive when not empty; null otherwise
    Stats *stats;                    // the rule's statistics, one reference held

    // The default rule: admits anyone without authentication, every
    // permission bit.
    Access();
    // A rule from a configuration entry; missing fields keep the default
    // rule's values.
    explicit Access(const Item &item);
    // Compiles the pattern anew and takes one more reference on the
    // statistics.
    Access(const Access &other);
    Access &operator=(const Access &) = delete;
    // Frees the pattern and drops the statistics reference.
    ~Access();

    // Whether the rule matches the connection with the given user and
    // password (either may be null: not given). Caller holds the section's
    // read lock.
    bool match(const CONNECTION_T *connection, const char *user, const char *password) const;
    // Whether one listener entry matches the connection's local address and
    // listening port.
    static bool listener_match(const std::string &entry, const CONNECTION_T *connection);
};

class AccessSection : public Section {
public:
    // The options, bound in place for the whole run.
    struct Options {
        const int *order = nullptr;  // non-zero: the allow list decides first
        const int *ntlm = nullptr;   // NTLM and Negotiate accepted
    };
    Options opts;
    std::list<Access> allow;
    std::list<Access> deny;
    Access default_rule;

    // Builds the section and registers access_auth first in the
    // authentication stage.
    AccessSection();
    // Rebuilds both lists from the entries (framework holds the write lock).
    void update() override;

    // The ntlm option, read at every use under the read lock. The order
    // option is read by check.
    bool is_ntlm_enabled();

    // The deciding rule, or null when the client is refused. Caller holds
    // the read lock.
    const Access *check(const CONNECTION_T *connection, const char *user, const char *password);
    // Applies a rule to the connection. Caller holds the read lock.
    void setup(CONNECTION_T *connection, const Access *rule);
    // Decides, authenticates and applies for a request carrying credentials.
    // The outcome is AUTH_REQUIRED in connection->auth_flags: set, the
    // client must be asked again; clear, the request runs as `user_name`.
    void check_and_setup(CONNECTION_T *connection, const char *user, const char *password);
    // The decision without credentials: true when a rule applied; false when
    // the client is refused (logged and written to the transaction logs).
    bool check_and_setup(CONNECTION_T *connection);

    // Logs the text of a PAM result code and, for the codes that say the
    // credentials are wrong, records the key as refused in the password cache.
    static void display_pam_msg(int code, const char *key);

private:
    const Access *scan(const std::list<Access> &rules, const CONNECTION_T *connection, const char *user,
                       const char *password) const;
};

extern AccessSection *access_section;

// Builds the section (and sets access_section), for the section class
// registry.
Section *access_construct();

// The authentication-stage processor: 0 lets the request go on; 1 leaves an
// answer on the connection (`response`, and for the refusal the page in
// `request_body`) for process_request to send.
int access_auth(CONNECTION_T *connection, Filebuf *buffer);

// Splits decoded Basic credentials at the first colon. False (and nothing
// stored) when the header value does not decode or holds no colon.
bool access_basic_decode(const char *encoded, std::string *user, std::string *password);

// The directory's part (groups and binds) is in ldap_profile.h.

#endif

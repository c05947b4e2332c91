// The "ldap" section: the directory servers the access rules ask for a
// user's groups (from the user's entry) and bind against to authenticate a
// user. A program-wide user cache (dncache.h) is filled from the directory
// at start-up and refilled by a timer; open directory connections are kept
// in a pool for a minute.
//
// Every connection gets protocol version 3, a network and operation
// time-out, and the server time limit. User names are escaped before they go
// into a search filter; an empty password never binds; passwords are never
// logged.
#ifndef KORVANTEL_LDAP_PROFILE_H
#define KORVANTEL_LDAP_PROFILE_H

#include <pthread.h>
#include <time.h>

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "section.h"

struct CONNECTION_T;
class CGIMap;
class Filebuf;
typedef struct ldap LDAP;

// Seconds a connection attempt or a synchronous directory call may take.
#define LDAP_NETWORK_TIMEOUT 10

// One server rule.
struct LdapAuth {
    bool enabled = false;
    std::string comment;
    std::string proxy_host;  // non-empty: used only by the proxy of that name (option -H)
    std::string host;
    int port = 0;
    std::string bind_dn;   // empty: anonymous
    std::string password;  // enciphered with the installation key
    std::string base;
    std::string user_attribute;
    std::string group_attribute;  // empty: the user's DN is the cached value

    // Whether this proxy may use the rule at all.
    bool usable() const;
};

// Kinds of pooled handles.
enum { LDAP_KIND_USER = 0, LDAP_KIND_SEARCH = 1 };

// The texts of the server a handle belongs to.
struct LdapServer {
    std::string base;
    std::string user_attribute;
    std::string group_attribute;
};

class LdapPool {
public:
    // A pooled handle of at least that kind (taken out of the pool), or null.
    LDAP *Find(LdapServer *server, int kind);
    void Add(LDAP *handle, const LdapServer &server, int kind);
    // Unbinds the handles added 60 or more seconds ago.
    void Clean();
    size_t size();

private:
    struct Entry {
        LDAP *handle;
        time_t added;
        LdapServer server;
        int kind;
    };
    std::mutex lock_;
    std::list<Entry> entries_;
};

class LdapSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;
    };
    Options opts;
    std::vector<LdapAuth> servers;  // entry order
    time_t last_load;               // last cache fill

    LdapSection();
    void update() override;

    bool is_ldap_enabled();
    // A handle (pooled, or a fresh service-account bind) and its server;
    // null when none works or LDAP is off.
    LDAP *get_ld(LdapServer *server, int kind);
    // Fills the user cache from the first working server: 0, or -1.
    int ldap_init_routine();
    // A directory search for one user; 0 with the value (and DN) found, -1
    // otherwise (value "NOT-FOUND").
    int re_check_dn_cache(const char *user, std::string *value, std::string *dn);

    void set_our_key(const std::string &key);
    std::string get_our_key();

private:
    std::string key_;  // under ldap_lock
};

extern LdapSection *ldap_section;
extern LdapPool *ldappool;
extern pthread_rwlock_t ldap_lock;

Section *ldap_construct();

// RFC 4515 escaping of a value placed into a search filter.
std::string ldap_filter_escape(const std::string &value);

// 0 and the cached value (and DN) of the user, searching the directory on a
// miss; otherwise -1.
int check_dn_cache(const char *user, std::string *value, std::string *dn = nullptr);
// Sets the connection's directory groups from the user's value split at
// commas: their number, or -1 (no groups) when LDAP is off or the user is
// unknown.
int set_connection_dn(const char *user, CONNECTION_T *connection);
// Authenticates by binding with the user's DN: 0 accepted, -1 invalid
// credentials (an empty password included), 1 any other failure.
int auth_ldap(const char *user, const char *password, CONNECTION_T *connection);

// The start-up hook (creates the pool, fills the cache) and the timer
// callback (pool cleaning, refill every password_cachexpire seconds).
int ldap_configure(void *first, void *second);
void ldap_configure(void *unused);

// The body of the "/ldap" page for the form inputs "upn" and "show".
void ldap_page(Filebuf *page, const std::map<std::string, std::string> &form);
// The web interface page (pages table).
void interface_page_ldap(Filebuf *page, CGIMap &form, CONNECTION_T *connection);

#endif

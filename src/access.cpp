#include "access.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "atom.h"
#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "ldap_profile.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "ntlm_talk.h"
#include "password_cache.h"
#include "processors.h"
#include "profiles.h"
#include "protocol.h"
#include "regexp.h"
#include "request.h"
#include "security.h"
#include "settings.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

AccessSection *access_section = nullptr;

// ---- helpers ----------------------------------------------------------------

static const char *text_or_empty(const char *text) { return text ? text : ""; }

// The address a request is attributed to: its X-Forwarded-For value when it
// has one, else the peer.
static const char *client_address(const CONNECTION_T *connection) {
    if (connection->request && connection->request->x_forwarded_for) return connection->request->x_forwarded_for;
    return text_or_empty(connection->ip);
}

// "name@address", cut to the user-name bound.
static void user_name_set(CONNECTION_T *connection, const char *name) {
    char text[ACCESS_USERNAME_MAX];
    snprintf(text, sizeof text, "%s@%s", name, client_address(connection));
    free(connection->user_name);
    connection->user_name = xstrdup(text);
    if (!connection->user_name) fatal_alloc("src/access", __LINE__, __func__, strlen(text) + 1);
}

static Stats *stats_share(Stats *stats) {
    if (!stats) return nullptr;
    MutexLock held(&atomlock);
    stats->New();
    return stats;
}

static void stats_drop(Stats *stats) {
    if (!stats) return;
    MutexLock held(&atomlock);
    stats_release(stats);
}

// ---- Access -----------------------------------------------------------------

Access::Access()
    : enabled(true),
      log_profiles(1),
      mode(ACCESS_MODE_RULE),
      permissions(~0u),
      bypass(0),
      pattern(nullptr),
      stats(userstats_init()) {}

static const FIELD_BIND<Access> access_fields[] = {
    FIELD_BIND_OF(Access, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Access, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Access, 2, "logprofiles", FIELD_BOOL, log_profiles),
    FIELD_BIND_OF(Access, 3, "groups", FIELD_STRING_LIST, group_condition),
    FIELD_BIND_OF(Access, 4, "listeners", FIELD_STRING_LIST, listeners),
    FIELD_BIND_OF(Access, 5, "clients", FIELD_IP_RANGE_LIST, addresses),
    FIELD_BIND_OF(Access, 6, "mode", FIELD_STRING_SELECT_ONE, mode),
    FIELD_BIND_OF(Access, 7, "user", FIELD_STRING, user),  // compiled after the read
    FIELD_BIND_OF(Access, 8, "password", FIELD_STRING, password),
    FIELD_BIND_OF(Access, 9, "permissions", FIELD_STRING_SELECT_MANY, permissions),
    FIELD_BIND_OF(Access, 10, "bypass", FIELD_STRING_SELECT_MANY, bypass),
    FIELD_BIND_OF(Access, 11, "interfaceuser", FIELD_STRING, interface_user),
    FIELD_BIND_OF(Access, 12, "interfacepassword", FIELD_STRING, interface_password),
    FIELD_BIND_OF(Access, 13, "profiles", FIELD_STRING_LIST, profiles),
};

Access::Access(const Item &item) : Access() {
    fields_read(access_fields, item.fields, this);
    // The pattern is kept whatever the mode, so a mode change by a web edit
    // needs no rebuild of its own; only system authentication uses it.
    if (!user.empty()) pattern = reg_compile(user.c_str(), 1);
}

Access::Access(const Access &other)
    : enabled(other.enabled),
      comment(other.comment),
      log_profiles(other.log_profiles),
      group_condition(other.group_condition),
      listeners(other.listeners),
      addresses(other.addresses),
      mode(other.mode),
      user(other.user),
      password(other.password),
      permissions(other.permissions),
      bypass(other.bypass),
      interface_user(other.interface_user),
      interface_password(other.interface_password),
      profiles(other.profiles),
      pattern(other.user.empty() ? nullptr : reg_compile(other.user.c_str(), 1)),
      stats(stats_share(other.stats)) {}

Access::~Access() {
    if (pattern) reg_free(pattern);
    stats_drop(stats);
}

bool Access::listener_match(const std::string &entry, const CONNECTION_T *connection) {
    if (entry.size() >= ACCESS_LISTENER_MAX) return false;
    size_t colon = entry.find(':');
    if (colon == std::string::npos || colon >= ACCESS_LISTENER_IP_MAX) return false;
    std::string address = entry.substr(0, colon);
    std::string port = entry.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    if (atoi(port.c_str()) != connection->port) return false;
    return address == "*" || (connection->interface_ip && address == connection->interface_ip);
}

bool Access::match(const CONNECTION_T *connection, const char *given_user, const char *given_password) const {
    if (!enabled) return false;

    if (!listeners.empty()) {
        bool any = false;
        for (const std::string &entry : listeners) {
            if (listener_match(entry, connection)) {
                any = true;
                break;
            }
        }
        if (!any) return false;
    }

    if (!addresses.empty()) {
        const char *forwarded = connection->request ? connection->request->x_forwarded_for : nullptr;
        bool inside = (forwarded && addresses.has(forwarded)) || (connection->ip && addresses.has(connection->ip));
        if (!inside) return false;
    }

    if (mode == ACCESS_MODE_SYSTEM) {
        if (!given_user) return true;
        if (pattern && reg_exec(pattern, given_user) != 0) return false;
        return profile_find(connection->groups, group_condition);
    }

    if (user.empty()) {
        if (given_user) return false;
    } else if (given_user && user != given_user) {
        return false;
    }
    if (mode == ACCESS_MODE_RULE && !password.empty() && given_password && password != given_password) return false;
    return true;
}

// ---- AccessSection ----------------------------------------------------------

Section *access_construct() {
    access_section = new AccessSection();
    return access_section;
}

static const FIELD_BIND<AccessSection::Options> access_options[] = {
    FIELD_BIND_OF(AccessSection::Options, 0, "order", FIELD_STRING_SELECT_ONE, order),
    FIELD_BIND_OF(AccessSection::Options, 1, "ntlm", FIELD_BOOL, ntlm),
};

AccessSection::AccessSection() : Section("access", SECTION_RWLOCK) {
    options_bind(access_options, &opts);
    fields_declare(0, access_fields);  // allow
    fields_declare(1, access_fields);  // deny
    processors.Add(access_auth, PROCESSOR_AUTH);
}

void AccessSection::update() {
    entries_build(0, &allow);
    entries_build(1, &deny);
}

bool AccessSection::is_ntlm_enabled() {
    SectionReadLock lock(this);
    int value = *opts.ntlm;
    return value != 0;
}

const Access *AccessSection::scan(const std::list<Access> &rules, const CONNECTION_T *connection, const char *user,
                                  const char *password) const {
    for (const Access &rule : rules)
        if (rule.match(connection, user, password)) return &rule;
    return nullptr;
}

const Access *AccessSection::check(const CONNECTION_T *connection, const char *user, const char *password) {
    if (*opts.order) {
        const Access *allowed = scan(allow, connection, user, password);
        if (!allowed) return nullptr;
        if (scan(deny, connection, user, password)) return nullptr;
        return allowed;
    }
    if (!scan(deny, connection, user, password)) return &default_rule;
    return scan(allow, connection, user, password);
}

void AccessSection::setup(CONNECTION_T *connection, const Access *rule) {
    if (rule->mode == ACCESS_MODE_SYSTEM || (!rule->user.empty() && !rule->password.empty()))
        connection->auth_flags |= AUTH_REQUIRED;
    else user_name_set(connection, "anonymous");

    for (const std::string &name : rule->profiles) {
        if (!connection->profiles.has(name)) connection->profiles.push_back(name);
        if (rule->log_profiles == 1) StringList::show_p("Added", name);
    }

    connection->bypass |= rule->bypass;
    connection->permissions = rule->permissions;
    connection->interface_user = rule->interface_user;
    connection->interface_password = rule->interface_password;

    MutexLock held(&atomlock);
    Stats *previous = connection->userstats;
    connection->userstats = rule->stats;
    if (rule->stats) rule->stats->New();
    if (previous) stats_release(previous);
}

void AccessSection::display_pam_msg(int code, const char *key) { ::display_pam_msg(code, key); }

// Outcome of system authentication.
enum { VERDICT_FAIL = 0, VERDICT_ADMIT = 1 };

// Mode-1 credentials: the password cache, then PAM or the directory. The
// caller holds the read lock.
static int system_authenticate(CONNECTION_T *connection, const char *user, const char *password, int entries) {
    const char *ip = text_or_empty(connection->ip);
    // An empty password proves nothing, whatever a back end makes of it (an
    // LDAP bind without password is an anonymous bind that succeeds).
    if (!password[0]) {
        putlog(LOG_WARNING, "security: [IP:%s] empty password refused for %s", ip, user);
        return VERDICT_FAIL;
    }
    char key[ACCESS_KEY_MAX];
    if (!password_cache_key_format(key, sizeof key, user, password)) {
        putlog(LOG_WARNING, "security: [IP:%s] credentials too long for %s", ip, user);
        return VERDICT_FAIL;
    }
    if (!authflag) {
        int cached = check_password_cache(key);
        if (cached == PASSWORD_CACHE_ACCEPTED) return VERDICT_ADMIT;
        if (cached == PASSWORD_CACHE_REFUSED) {
            putlog(LOG_WARNING, "security: [IP:%s] password cache: authentication failed for %s", ip, user);
            return VERDICT_FAIL;
        }
    }
    if (entries < 2) {
        int code = auth_pam(user, password);
        if (code != 0) {
            AccessSection::display_pam_msg(code, key);
            return VERDICT_FAIL;
        }
        putlog(LOG_SECURITY, "[IP:%s] PAM: authentication succeeded for %s", ip, user);
        update_password_cache(key, PASSWORD_CACHE_ACCEPTED);
        return VERDICT_ADMIT;
    }
    int result = auth_ldap(user, password, connection);
    if (result == 0) {
        putlog(LOG_SECURITY, "[IP:%s] LDAP: authentication succeeded for %s", ip, user);
        update_password_cache(key, PASSWORD_CACHE_ACCEPTED);
        return VERDICT_ADMIT;
    }
    if (result == -1) update_password_cache(key, PASSWORD_CACHE_REFUSED);
    return VERDICT_FAIL;
}

void AccessSection::check_and_setup(CONNECTION_T *connection, const char *user, const char *password) {
    if (!user) user = "";
    if (!password) password = "";
    const char *ip = text_or_empty(connection->ip);

    int entries = set_connection_dn(user, connection);

    bool no_rule = false;
    {
        SectionReadLock held(this);
        const Access *rule = check(connection, user, password);
        if (rule) {
            int verdict;
            if (rule->mode != ACCESS_MODE_SYSTEM) {
                putlog(LOG_DEBUG, "security: [IP:%s] authentication succeeded for %s", ip, user);
                verdict = VERDICT_ADMIT;
            } else if (connection->ntlm_state == 2 && connection->ntlm_user && connection->ntlm_user[0] &&
                       strcmp(connection->ntlm_user, user) == 0) {
                // The NTLM exchange of this connection vouched for this user,
                // and for no other.
                verdict = VERDICT_ADMIT;
            } else {
                verdict = system_authenticate(connection, user, password, entries);
            }
            if (verdict == VERDICT_ADMIT) {
                setup(connection, rule);
                bypass_check(connection);
                if (profile_section) profile_section->profiles_update(connection);
                connection->auth_flags &= ~AUTH_REQUIRED;
            } else {
                connection->auth_flags |= AUTH_REQUIRED;
            }
        } else if (connection->request && connection->request->proxy_authorization) {
            const Access *anonymous = check(connection, nullptr, nullptr);
            if (anonymous) setup(connection, anonymous);
        } else {
            connection->auth_flags |= AUTH_REQUIRED;
            no_rule = true;
        }
    }
    if (no_rule) putlog(LOG_WARNING, "security: [IP:%s] authentication failed for %s@%s", ip, user, ip);

    if (!(connection->auth_flags & AUTH_REQUIRED)) user_name_set(connection, user);
}

bool AccessSection::check_and_setup(CONNECTION_T *connection) {
    {
        SectionReadLock held(this);
        const Access *rule = check(connection, nullptr, nullptr);
        if (rule) {
            setup(connection, rule);
            return true;
        }
    }
    putlog(LOG_SECURITY, "[IP:%s] access policy has refused connection on port %d", text_or_empty(connection->ip),
           connection->port);
    LogEntry &log = connection->log;
    // The driver fills these only after authentication; a refused request
    // is logged with what it asked for.
    if (connection->request) {
        if (connection->request->method) log.method = connection->request->method;
        if (connection->request->url) log.url = connection->request->url;
    }
    log.set_cachecode(CACHECODE_TCP_DENIED);
    log.filter_name = "access-section";
    log.filtering_reason = "access policy restrictions";
    request_log(connection);
    return false;
}

// ---- access_auth ------------------------------------------------------------

bool access_basic_decode(const char *encoded, std::string *user, std::string *password) {
    if (!encoded) return false;
    char *decoded = (char *)xmalloc(ACCESS_BASIC_MAX);
    if (!decoded) fatal_alloc("src/access", __LINE__, __func__, ACCESS_BASIC_MAX);
    int n = from64tobits(decoded, encoded, ACCESS_BASIC_MAX - 1);
    bool ok = false;
    // A NUL inside the credentials would silently shorten them for PAM.
    if (n >= 0 && !memchr(decoded, 0, (size_t)n)) {
        decoded[n] = 0;
        char *colon = strchr(decoded, ':');
        if (colon) {
            user->assign(decoded, (size_t)(colon - decoded));
            password->assign(colon + 1);
            ok = true;
        }
    }
    free(decoded);
    return ok;
}

// Quoted-string content of the realm.
static std::string realm_get() {
    std::string name = general_section ? general_section->hostname_get() : std::string();
    std::string quoted;
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted;
}

static std::string ntlm_offer(const CONNECTION_T *connection) {
    if (connection->ntlm_challenge && connection->ntlm_challenge[0])
        return std::string("NTLM ") + connection->ntlm_challenge;
    return "NTLM";
}

// Leaves a challenge on the connection: `first`, when not empty, goes out as
// an earlier challenge line than `value`.
static void challenge_set(CONNECTION_T *connection, bool origin, const std::string &first, const std::string &value,
                          Filebuf *buffer) {
    HEADER *response = header_new();
    response->type = HEADER_RESPONSE;
    response->code = origin ? 401 : 407;
    response->content_length = 0;
    response->flags |= HEADER_LENGTH;
    const char *name = origin ? "WWW-Authenticate" : "Proxy-Authenticate";
    if (!first.empty()) {
        HTTP_HEADER line;
        line.pass = 1;
        line.name = name;
        line.value = first;
        response->headers.push_back(line);
    }
    char *text = xstrdup(value.c_str());
    if (!text) fatal_alloc("src/access", __LINE__, __func__, value.size() + 1);
    if (origin) response->www_authenticate = text;
    else response->proxy_authenticate_header = text;
    http_header_free(connection->response);
    connection->response = response;
    connection->log.status = response->code;
    // The answer's body is the buffer process_request sends: empty it so a
    // request body never goes back to the client.
    Filebuf *body = connection->request_body ? connection->request_body : buffer;
    if (body) body->Swap(nullptr);
    // The client answers a challenge on the same connection, unless part of
    // this request is still unread and would be taken for the next one.
    bool unread = (connection->flags & CONN_STREAM_BODY) || (connection->request && connection->request->chunked);
    if (unread) keepalive_client_end(connection);
    else keepalive_client_keep(connection);
}

static std::string basic_challenge() { return "Basic realm=\"" + realm_get() + "\""; }

static void refusal_set(CONNECTION_T *connection, Filebuf *buffer) {
    putlog(LOG_SECURITY, "[IP:%s] Access Denied by Access Restrictions", text_or_empty(connection->ip));
    int status = -1;
    Filebuf *page = template_section ? template_section->get(connection, "noaccess", &status) : nullptr;
    HEADER *response = header_new();
    response->type = HEADER_RESPONSE;
    // A refusal is never answered as a success: a 2xx answer to CONNECT
    // reads as "tunnel established", and to any other request as the page
    // asked for. The template's status counts only when it is an error.
    response->code = status >= 400 && status <= 599 ? status : 403;
    if (!page) {
        // No page of that name anywhere: the client still learns why.
        page = new Filebuf();
        page->Addf("%d %s\n", response->code, code_to_error(response->code));
        page->mime_type = xstrdup("text/plain");
    }
    if (page->mime_type) response->content_type = xstrdup(page->mime_type);
    http_header_free(connection->response);
    connection->response = response;
    Filebuf *body = connection->request_body;
    if (!body) body = buffer;
    if (!body) body = connection->request_body = new Filebuf();
    body->Swap(page);
    delete page;
    keepalive_client_end(connection);
}

int access_auth(CONNECTION_T *connection, Filebuf *buffer) {
    if (!access_section || !connection || !connection->request) return 0;
    AccessSection *section = access_section;
    const char *ip = text_or_empty(connection->ip);
    bool origin = connection->request->type == HEADER_ORIGIN;
    const char *value = origin ? connection->request->authorization : connection->request->proxy_authorization;
    bool ntlm_enabled = section->is_ntlm_enabled();

    if (!value) {
        if (!section->check_and_setup(connection)) {
            refusal_set(connection, buffer);
            return 1;
        }
        statincr_ipaddresses(connection);
        if (!(connection->auth_flags & AUTH_REQUIRED)) return 0;
        if (connection->ntlm_state == 2 && connection->ntlm_user) {
            section->check_and_setup(connection, connection->ntlm_user, connection->ntlm_user);
            if (!(connection->auth_flags & AUTH_REQUIRED)) {
                keepalive_client_keep(connection);
                return 0;
            }
            putlog(LOG_SECURITY, "warn: [IP:%s] Session not yet authenticated!", ip);
        }
        if (ntlm_enabled) challenge_set(connection, origin, ntlm_offer(connection), basic_challenge(), buffer);
        else challenge_set(connection, origin, std::string(), basic_challenge(), buffer);
        return 1;
    }

    bool ntlm_step = false;
    bool exchanged = false;
    char answer[NTLM_BUFFER_SIZE];
    answer[0] = 0;
    const char *blank = strchr(value, ' ');
    if (!blank) {
        putlog(LOG_ERROR, "security: [IP:%s] invalid authorization header", ip);
    } else {
        size_t length = (size_t)(blank - value);
        std::string word(value, length <= ACCESS_SCHEME_MAX ? length : 0);
        if (word.compare(0, 5, "Basic") == 0 && word.size() >= 5) {
            std::string user, password;
            if (access_basic_decode(blank + 1, &user, &password))
                section->check_and_setup(connection, user.c_str(), password.c_str());
        } else if (ntlm_enabled && ((word.compare(0, 4, "NTLM") == 0 && word.size() >= 4) || word == "Negotiate")) {
            int type = ntlm_get_msg_type(value);
            int result = 0;
            bool complete = true;
            if (connection->ntlm_state != 2) {
                result = ntlm_communicate(connection, answer);
                exchanged = true;
                if (connection->ntlm_state != 2) {
                    section->check_and_setup(connection);
                    complete = false;
                }
            }
            if (complete) {
                section->check_and_setup(connection, connection->ntlm_user, connection->ntlm_user);
                if (!(connection->auth_flags & AUTH_REQUIRED)) return 0;
                putlog(LOG_SECURITY, "warn: httpauthd: [IP:%s] NTLM user [%s] denied by access restrictions", ip,
                       text_or_empty(connection->ntlm_user));
            }
            if (type == 3 && connection->ntlm_state != 2)
                putlog(LOG_SECURITY, "error: httpauthd:%d [IP:%s] failed to complete NTLM authentication ", result, ip);
            if (type == 1 && result != 401)
                putlog(LOG_SECURITY, "error: httpauthd:%d [IP:%s] failed to initialize authentication ", result, ip);
            ntlm_step = true;
        }
    }

    if (!(connection->auth_flags & AUTH_REQUIRED)) return 0;
    if (ntlm_step && ntlm_enabled) {
        if (!exchanged) ntlm_communicate(connection, answer);
        challenge_set(connection, origin, std::string(), ntlm_offer(connection), buffer);
    } else {
        challenge_set(connection, origin, std::string(), basic_challenge(), buffer);
    }
    return 1;
}

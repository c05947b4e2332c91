#include "ldap_profile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <memory>

#define LDAP_DEPRECATED 0
#include <ldap.h>
#include <openssl/crypto.h>

#include "cipher.h"
#include "connection.h"
#include "dncache.h"
#include "filebuf.h"
#include "hooks.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "settings.h"

LdapSection *ldap_section = nullptr;
LdapPool *ldappool = nullptr;
pthread_rwlock_t ldap_lock = PTHREAD_RWLOCK_INITIALIZER;

// Longest user name, and longest value or DN, the cache keeps.
#define LDAP_NAME_MAX 256
#define LDAP_VALUE_MAX 512

static const FIELD_BIND<LdapSection::Options> ldap_options[] = {
    FIELD_BIND_OF(LdapSection::Options, 0, "enabled", FIELD_BOOL, enabled),
};

static const FIELD_BIND<LdapAuth> ldap_fields[] = {
    FIELD_BIND_OF(LdapAuth, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(LdapAuth, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(LdapAuth, 2, "proxyhost", FIELD_STRING, proxy_host),
    FIELD_BIND_OF(LdapAuth, 3, "host", FIELD_STRING, host),
    FIELD_BIND_OF(LdapAuth, 4, "port", FIELD_INT, port),
    FIELD_BIND_OF(LdapAuth, 5, "binddn", FIELD_STRING, bind_dn),
    FIELD_BIND_OF(LdapAuth, 6, "password", FIELD_STRING, password),
    FIELD_BIND_OF(LdapAuth, 7, "base", FIELD_STRING, base),
    FIELD_BIND_OF(LdapAuth, 8, "userattribute", FIELD_STRING, user_attribute),
    FIELD_BIND_OF(LdapAuth, 9, "groupattribute", FIELD_STRING, group_attribute),
};

bool LdapAuth::usable() const {
    if (!enabled || host.empty() || base.empty() || user_attribute.empty() || port <= 0) return false;
    return proxy_host.empty() || proxy_host == proxyhost;
}

// ---- helpers ------------------------------------------------------------------

static void password_forget(std::string *text) {
    if (!text->empty()) OPENSSL_cleanse(&(*text)[0], text->size());
    text->clear();
}

std::string ldap_filter_escape(const std::string &value) {
    std::string out;
    char hex[4];
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            snprintf(hex, sizeof hex, "\\%02x", c);
            out += hex;
        } else {
            out.push_back((char)c);
        }
    }
    return out;
}

static void unbind(LDAP *handle) {
    if (handle) ldap_unbind_ext_s(handle, nullptr, nullptr);
}

// A handle to the server with version 3 and the time-outs set; null (logged)
// when it cannot be made.
static LDAP *ldap_open_server(const LdapAuth &server, bool fill) {
    LDAP *handle = nullptr;
    std::string uri = "ldap://" + server.host + ":" + std::to_string(server.port);
    int rc = ldap_initialize(&handle, uri.c_str());
    if (rc != LDAP_SUCCESS || !handle) {
        if (fill) putlog(LOG_ERROR, "ldap: init failed for server %s:%d", server.host.c_str(), server.port);
        else putlog(LOG_ERROR, "[LDAP] ldap: init failed for server %s:%d", server.host.c_str(), server.port);
        return nullptr;
    }
    if (fill) putlog(LOG_ADVICE, "LDAP server defined for [%s:%d]", server.host.c_str(), server.port);
    int version = LDAP_VERSION3;
    rc = ldap_set_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (rc != LDAP_OPT_SUCCESS) {
        if (fill)
            putlog(LOG_ERROR, "[LDAP:%d:%s] security: incompatible server at %s:%d failed to set version", rc,
                   ldap_err2string(rc), server.host.c_str(), server.port);
        else
            putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible version, server %s:%d", rc, ldap_err2string(rc),
                   server.host.c_str(), server.port);
        unbind(handle);
        return nullptr;
    }
    // A server that does not answer must not hold a request thread for long.
    struct timeval timeout = {LDAP_NETWORK_TIMEOUT, 0};
    ldap_set_option(handle, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    ldap_set_option(handle, LDAP_OPT_TIMEOUT, &timeout);
    if (!fill) {
        int limit = CLIENT_POOL_TIMEOUT;
        rc = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &limit);
        if (rc != LDAP_OPT_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible timelimit, server %s:%d", rc, ldap_err2string(rc),
                   server.host.c_str(), server.port);
            unbind(handle);
            return nullptr;
        }
    }
    return handle;
}

// A simple bind; an empty DN is an anonymous bind.
static int simple_bind(LDAP *handle, const std::string &dn, const std::string &password) {
    struct berval credentials;
    credentials.bv_val = const_cast<char *>(password.c_str());
    credentials.bv_len = password.size();
    return ldap_sasl_bind_s(handle, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                            nullptr);
}

// The service account's password; false (logged) when it cannot be had.
static bool service_password(const LdapAuth &server, std::string *password) {
    password->clear();
    if (server.bind_dn.empty()) return true;
    if (!config_password(server.password, password)) {
        putlog(LOG_ERROR, "security: failed to extract ldap password from privatised string [%s]",
               server.password.c_str());
        return false;
    }
    return true;
}

// The last value of an attribute of an entry; empty when it has none.
static std::string last_value(LDAP *handle, LDAPMessage *entry, const std::string &attribute) {
    std::string value;
    struct berval **values = ldap_get_values_len(handle, entry, attribute.c_str());
    if (values) {
        int n = ldap_count_values_len(values);
        if (n > 0) value.assign(values[n - 1]->bv_val, values[n - 1]->bv_len);
        ldap_value_free_len(values);
    }
    return value;
}

static std::string entry_dn(LDAP *handle, LDAPMessage *entry) {
    std::string dn;
    char *text = ldap_get_dn(handle, entry);
    if (text) {
        dn = text;
        ldap_memfree(text);
    }
    return dn;
}

static bool fits(const std::string &name, const std::string &value, const std::string &dn) {
    return !name.empty() && name.size() < LDAP_NAME_MAX && value.size() < LDAP_VALUE_MAX &&
           dn.size() < LDAP_VALUE_MAX && name.find('\0') == std::string::npos && value.find('\0') == std::string::npos;
}

// ---- pool -----------------------------------------------------------------------

LDAP *LdapPool::Find(LdapServer *server, int kind) {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.empty()) return nullptr;
    putlog(LOG_ADVICE, "pool_list.size: %d", (int)entries_.size());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->handle && it->kind >= kind) {
            LDAP *handle = it->handle;
            if (server) *server = it->server;
            entries_.erase(it);
            return handle;
        }
    }
    return nullptr;
}

void LdapPool::Add(LDAP *handle, const LdapServer &server, int kind) {
    if (!handle) return;
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(Entry{handle, time(nullptr), server, kind});
}

void LdapPool::Clean() {
    int removed = 0, total;
    {
        std::lock_guard<std::mutex> guard(lock_);
        total = (int)entries_.size();
        time_t now = time(nullptr);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->added >= 60) {
                unbind(it->handle);
                it = entries_.erase(it);
                removed++;
            } else {
                ++it;
            }
        }
    }
    putlog(LOG_NETWORK, "ldap: deleted %d out of % d connections", removed, total);
}

size_t LdapPool::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

static LdapPool *pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!ldappool) ldappool = new LdapPool();
    });
    return ldappool;
}

// ---- section --------------------------------------------------------------------

Section *ldap_construct() {
    ldap_section = new LdapSection();
    return ldap_section;
}

LdapSection::LdapSection() : Section("ldap", SECTION_RWLOCK), last_load(time(nullptr)) {
    options_bind(ldap_options, &opts);
    fields_declare(0, ldap_fields);
    hooks.Add(static_cast<int (*)(void *, void *)>(ldap_configure), HOOK_CONFIG);
}

void LdapSection::update() {
    set_our_key(installation_key());
    rules_read(subsection_at(0), ldap_fields, &servers);
}

bool LdapSection::is_ldap_enabled() { return atomic_read(opts.enabled) != 0; }

void LdapSection::set_our_key(const std::string &key) {
    RwWriteLock held(&ldap_lock);
    key_ = key.substr(0, 511);
}

std::string LdapSection::get_our_key() {
    RwReadLock held(&ldap_lock);
    return key_;
}

LDAP *LdapSection::get_ld(LdapServer *server, int kind) {
    SectionReadLock lock(this);
    if (!*opts.enabled) return nullptr;
    LDAP *handle = pool()->Find(server, kind);
    if (handle) return handle;
    for (const LdapAuth &rule : servers) {
        if (!rule.usable()) continue;
        std::string password;
        if (!service_password(rule, &password)) continue;
        handle = ldap_open_server(rule, false);
        if (!handle) continue;
        int rc = simple_bind(handle, rule.bind_dn, password);
        password_forget(&password);
        if (rc != LDAP_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s]  server %s:%d", rc, ldap_err2string(rc), rule.host.c_str(), rule.port);
            unbind(handle);
            continue;
        }
        if (server) *server = LdapServer{rule.base, rule.user_attribute, rule.group_attribute};
        return handle;
    }
    return nullptr;
}

// Loads the user cache from one server; false on failure.
static bool getdnfor_authentication(LDAP *handle, const LdapAuth &server, const std::string &password) {
    if (server.user_attribute.empty()) return false;
    if (!handle) {
        putlog(LOG_ADVICE, "Ldap Server Down, cannot authenticate %s", server.bind_dn.c_str());
        return false;
    }
    int rc = simple_bind(handle, server.bind_dn, password);
    if (rc != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] bind failed for %s", rc, ldap_err2string(rc), server.bind_dn.c_str());
        return false;
    }
    bool grouped = !server.group_attribute.empty();
    char filter[1024];
    if (grouped)
        snprintf(filter, sizeof filter, "(&(objectclass=person)(%s=*)(%s=*))", server.user_attribute.c_str(),
                 server.group_attribute.c_str());
    else snprintf(filter, sizeof filter, "(&(objectclass=person)(%s=*))", server.user_attribute.c_str());
    char *attributes[3] = {const_cast<char *>(server.user_attribute.c_str()),
                           grouped ? const_cast<char *>(server.group_attribute.c_str()) : nullptr, nullptr};
    struct timeval timeout = {LDAP_NETWORK_TIMEOUT, 0};
    LDAPMessage *result = nullptr;
    rc = ldap_search_ext_s(handle, server.base.c_str(), LDAP_SCOPE_SUBTREE, filter, attributes, 0, nullptr, nullptr,
                           &timeout, grouped ? LDAP_NO_LIMIT : MAXTHREADS, &result);
    if (rc != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", rc, ldap_err2string(rc), filter);
        if (rc == LDAP_SERVER_DOWN) {
            if (result) ldap_msgfree(result);
            return false;
        }
    }
    int returned = result ? ldap_count_entries(handle, result) : 0, refreshed = 0;
    for (LDAPMessage *entry = result ? ldap_first_entry(handle, result) : nullptr; entry;
         entry = ldap_next_entry(handle, entry)) {
        std::string name = last_value(handle, entry, server.user_attribute);
        std::string dn = entry_dn(handle, entry);
        std::string value = grouped ? last_value(handle, entry, server.group_attribute) : dn;
        if (!fits(name, value, dn)) continue;
        update_dn_cache(name.c_str(), value.c_str(), dn.c_str());
        refreshed++;
    }
    putlog(LOG_ADVICE, "ldap: cache: entries returned [%d] refreshed [%d] ", returned, refreshed);
    if (result) ldap_msgfree(result);
    return true;
}

int LdapSection::ldap_init_routine() {
    SectionReadLock lock(this);
    if (!*opts.enabled) return -1;
    for (const LdapAuth &rule : servers) {
        if (!rule.usable()) continue;
        std::string password;
        if (!service_password(rule, &password)) continue;
        LDAP *handle = ldap_open_server(rule, true);
        if (!handle) continue;
        int limit = MAXTHREADS, rc;
        if ((rc = ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &limit)) != LDAP_OPT_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s] security: incompatible server at %s:%d failed to set sizelimit", rc,
                   ldap_err2string(rc), rule.host.c_str(), rule.port);
        }
        int version = 0;
        if ((rc = ldap_get_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version)) != LDAP_OPT_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s] security: failed to connect server at %s:%d", rc, ldap_err2string(rc),
                   rule.host.c_str(), rule.port);
        }
        bool loaded = getdnfor_authentication(handle, rule, password);
        password_forget(&password);
        unbind(handle);
        if (loaded) return 0;
        putlog(LOG_ERROR, "[LDAP] security: incompatible server at %s:%d", rule.host.c_str(), rule.port);
    }
    return -1;
}

int LdapSection::re_check_dn_cache(const char *user, std::string *value, std::string *dn) {
    *value = DN_CACHE_NOT_FOUND;
    if (dn) dn->clear();
    if (!is_ldap_enabled()) return -1;
    LdapServer server;
    LDAP *handle = get_ld(&server, LDAP_KIND_SEARCH);
    if (!handle) return -1;
    std::string name = ldap_filter_escape(user);
    std::string filter = "(&(objectclass=person)(" + server.user_attribute + "=" + name + ")";
    if (!server.group_attribute.empty()) filter += "(" + server.group_attribute + "=*)";
    filter += ")";
    char *attributes[3] = {
        const_cast<char *>(server.user_attribute.c_str()),
        server.group_attribute.empty() ? nullptr : const_cast<char *>(server.group_attribute.c_str()), nullptr};
    struct timeval timeout = {LDAP_NETWORK_TIMEOUT, 0};
    LDAPMessage *result = nullptr;
    int rc = ldap_search_ext_s(handle, server.base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attributes, 0, nullptr,
                               nullptr, &timeout, 1, &result);
    if (rc != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", rc, ldap_err2string(rc), filter.c_str());
        if (result) ldap_msgfree(result);
        if (rc == LDAP_SERVER_DOWN) unbind(handle);
        else pool()->Add(handle, server, LDAP_KIND_SEARCH);
        return -1;
    }
    int count = ldap_count_entries(handle, result);
    int outcome = -1;
    if (count == 0) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], user %s not found", 0, ldap_err2string(0), filter.c_str(), user);
        update_dn_cache(user, DN_CACHE_NOT_FOUND, "");
        pool()->Add(handle, server, LDAP_KIND_SEARCH);
    } else if (count > 0) {
        LDAPMessage *entry = ldap_first_entry(handle, result);
        std::string found_dn = entry_dn(handle, entry);
        std::string found =
            server.group_attribute.empty() ? found_dn : last_value(handle, entry, server.group_attribute);
        if (fits(user, found, found_dn)) {
            *value = found;
            if (dn) *dn = found_dn;
            update_dn_cache(user, found.c_str(), found_dn.c_str());
            putlog(LOG_SECURITY, "ldap: user:[%s] profile: [%s]", user, found.c_str());
            outcome = 0;
        }
        pool()->Add(handle, server, LDAP_KIND_SEARCH);
    } else {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], unexpected result count [%d]", rc, ldap_err2string(rc),
               filter.c_str(), count);
        unbind(handle);
    }
    ldap_msgfree(result);
    return outcome;
}

// ---- program-wide ----------------------------------------------------------------

int check_dn_cache(const char *user, std::string *value, std::string *dn) {
    if (dn_cache_lookup(user, value, dn)) return 0;
    if (!ldap_section) {
        *value = DN_CACHE_NOT_FOUND;
        return -1;
    }
    return ldap_section->re_check_dn_cache(user, value, dn);
}

int set_connection_dn(const char *user, CONNECTION_T *connection) {
    connection->groups.clear();
    if (!ldap_section || !ldap_section->is_ldap_enabled() || !user || !user[0]) return -1;
    std::string value;
    if (check_dn_cache(user, &value) != 0) {
        putlog(LOG_SECURITY, "ldap: DN not found for user %s", user);
        return -1;
    }
    connection->groups.parse(value, ",");
    return (int)connection->groups.size();
}

int auth_ldap(const char *user, const char *password, CONNECTION_T *connection) {
    if (!ldap_section || !ldap_section->is_ldap_enabled()) return 1;
    const char *ip = connection && connection->ip ? connection->ip : "";
    // An empty password makes an unauthenticated bind, which servers accept.
    if (!password || !password[0]) {
        putlog(LOG_SECURITY, "[LDAP] warn: [IP:%s]: empty password refused for %s", ip, user ? user : "");
        return -1;
    }
    std::string value, dn;
    if (!user || !user[0] || check_dn_cache(user, &value, &dn) != 0 || dn.empty()) return 1;
    LdapServer server;
    LDAP *handle = ldap_section->get_ld(&server, LDAP_KIND_USER);
    if (!handle) return 1;
    int limit = CLIENT_POOL_TIMEOUT, rc;
    if ((rc = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &limit)) != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] security: [IP:%s] ldap: failed to set response timelimit", rc,
               ldap_err2string(rc), ip);
        unbind(handle);
        return 1;
    }
    limit = 1;
    if ((rc = ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &limit)) != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] security: [IP:%s] ldap: failed to set sizelimit", rc, ldap_err2string(rc), ip);
        unbind(handle);
        return 1;
    }
    rc = simple_bind(handle, dn, password);
    int result;
    if (rc == LDAP_SUCCESS) {
        result = 0;
    } else if (rc == LDAP_INVALID_CREDENTIALS) {
        putlog(LOG_SECURITY, "[LDAP:%d:%s] warn: [IP:%s]: authentication failed [%s]", rc, ldap_err2string(rc), ip,
               dn.c_str());
        result = -1;
    } else if (rc == LDAP_SERVER_DOWN) {
        putlog(LOG_SECURITY, "[LDAP:%d:%s] warn: [IP:%s] failed to bind DN [%s] with LDAP server", rc,
               ldap_err2string(rc), ip, dn.c_str());
        unbind(handle);
        return 1;
    } else {
        result = 1;
    }
    pool()->Add(handle, server, LDAP_KIND_USER);
    return result;
}

int ldap_configure(void *, void *) {
    pool();
    if (ldap_section && ldap_section->is_ldap_enabled()) ldap_section->ldap_init_routine();
    return 0;
}

void ldap_configure(void *) {
    if (!ldap_section || !ldap_section->is_ldap_enabled()) return;
    pool()->Clean();
    dn_cache_expire();
    time_t now = time(nullptr);
    if (now - ldap_section->last_load >= password_cachexpire) {
        ldap_section->ldap_init_routine();
        ldap_section->last_load = now;
    }
}

// ---- page --------------------------------------------------------------------------

static void html_add(Filebuf *page, const char *text) {
    std::string safe = html_escape(text);
    page->Add(safe.data(), (long long)safe.size());
}

static void page_row(Filebuf *page, int row, const char *name, const char *value) {
    page->Addf("<tr class=\"%s\"><td width=\"25%%\">", row % 2 ? "listodd" : "listeven");
    html_add(page, name);
    page->Addf("</td><td>");
    html_add(page, value);
    page->Addf("</td></tr>\n");
}

void ldap_page(Filebuf *page, const std::map<std::string, std::string> &form) {
    auto get = [&form](const char *name) {
        auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    std::string upn = get("upn");
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    if (upn.empty()) {
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Ldap</td></tr>\n");
        page->Addf("<form action=\"ldap\" method=\"POST\">\n");
        page->Addf(
            "<tr><td>Enter the User Principal Name to identify DN</td><td><input type=\"text\" name=\"upn\" "
            "value=\"\" size=\"125\"></td></tr>\n");
        page->Addf("<input type=\"hidden\" name=\"show\" value=\"yes\"\n");
        page->Addf(
            "<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input "
            "type=\"submit\" value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        page->Addf("</td></tr></table>\n");
        if (get("show") != "yes") return;
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr><td align=\"center\">\n");
        page->Addf("<tr><td><table class=\"list\">\n");
        page->Addf("<tr class=\"listhead\"><td width=\"25%%\">User Name</td><td>LDAP Profiles</td></tr>\n");
        int row = 0;
        dn_cache_walk([&](const char *name, const char *value) { page_row(page, row++, name, value); });
        page->Addf("</td></tr></table>\n");
        page->Addf("<tr><td><br></td></tr>\n");
    } else {
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr><td align=\"center\">\n");
        page->Addf("<tr class=\"listhead\"><td width=\"25%%\">User Name</td><td>LDAP Profiles</td></tr>\n");
        StringList names(upn, ",");
        int row = 0;
        for (const std::string &name : names) {
            page->Addf("</table></td></tr>\n");
            page->Addf("<tr><td><table class=\"list\">\n");
            std::string value;
            if (check_dn_cache(name.c_str(), &value) == 0) {
                page_row(page, row++, name.c_str(), value.c_str());
            } else {
                page->Addf("<tr class=\"%s\"><td width=\"25%%\">", row++ % 2 ? "listodd" : "listeven");
                html_add(page, name.c_str());
                page->Addf("</td><td>User not found!</td></tr>\n");
            }
        }
        page->Addf("</table></td></tr>\n");
    }
    page->Addf("</td></tr></table></td></tr></table>\n");
}

void interface_page_ldap(Filebuf *page, CGIMap &form, CONNECTION_T *) { ldap_page(page, form); }

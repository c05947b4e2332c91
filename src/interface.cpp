// The web interface's dispatch, login and page frame.
#include "interface.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "access.h"
#include "blowfish.h"
#include "cipher.h"
#include "clock.h"
#include "connection.h"
#include "cookieheader.h"
#include "dispatch.h"
#include "field.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "ldap_profile.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "proto_http.h"
#include "protocol.h"
#include "section.h"
#include "settings.h"
#include "stats.h"
#include "templates.h"
#include "urlbl.h"
#include "xml.h"

const INTERFACE_PAGE pages[] = {
    {"/connections", interface_page_connections},
    {"/dnscache", interface_page_dnscache},
    {"/headers", interface_page_headers},
    {"/config", interface_page_config},
    {"/save", interface_page_save},
    {"/load", interface_page_load},
    {"/log", interface_page_log},
    {"/pool", interface_page_pool},
    {"/stats", interface_page_stats},
    {"/password", interface_page_password},
    {"/ldap", interface_page_ldap},
    {"/urlbl", interface_page_urlbl},
    {"/cache", interface_page_cache},
    {"/prefetch", interface_page_prefetch},
    {nullptr, nullptr},
};

// Longest form body the interface reads; a configuration form is a few KiB.
#define INTERFACE_BODY_MAX ((long long)4 * 1024 * 1024)

static const size_t HOST_LENGTH = sizeof INTERFACE_HOST - 1;

// ---------------------------------------------------------------------------
// Shared pieces

// Whether a configuration field holds a secret: its definition names it a
// password (the interface, proxy-authentication, LDAP and FTP passwords).
static bool field_secret(const Field &field) { return s_strcasestr(field.name.c_str(), "password") != nullptr; }

// Whether configuration form key "F<n>" of that section is a password field,
// among its options or in the entry list named. Field names are fixed by the
// definitions, but read under the section's lock all the same.
static bool config_key_secret(const std::string &key, const std::string &section_name,
                              const std::string &subsection_name) {
    if (key.size() < 2 || key[0] != 'F' || key.size() > 6) return false;
    if (key.find_first_not_of("0123456789", 1) != std::string::npos) return false;
    size_t position = (size_t)strtoul(key.c_str() + 1, nullptr, 10);
    auto found = Section::map.find(section_name);
    if (found == Section::map.end()) return false;
    Section *section = found->second;
    SectionReadLock held(section);
    if (position < section->options.size() && field_secret(section->options[position])) return true;
    for (const Subsection &subsection : section->subsections)
        if (subsection.name == subsection_name)
            return position < subsection.templ.size() && field_secret(subsection.templ[position]);
    return false;
}

// Keys whose values never reach a log line: the login's and every other
// password input, the "/password" page's inputs, and the configuration
// fields that hold passwords.
static bool key_secret(const std::string &key, const std::string &section, const std::string &subsection) {
    if (key == "scode" || key == "scode1" || s_strcasestr(key.c_str(), "password")) return true;
    return !section.empty() && config_key_secret(key, section, subsection);
}

// The decoded key and value of one segment; false without "=".
static bool segment_pair(const std::string &piece, std::string *key, std::string *value) {
    size_t equals = piece.rfind('=');
    if (equals == std::string::npos) return false;
    char *k = url_decode(piece.c_str(), (int)equals);
    char *v = url_decode(piece.c_str() + equals + 1, -1);
    *key = k;
    *value = v;
    free(k);
    free(v);
    return true;
}

static std::vector<std::string> segments_of(const char *text) {
    std::vector<std::string> pieces;
    const char *segment = text;
    for (;;) {
        const char *end = strchr(segment, '&');
        pieces.emplace_back(segment, end ? (size_t)(end - segment) : strlen(segment));
        if (!end) break;
        segment = end + 1;
    }
    return pieces;
}

// The decoded pairs of the segments, the last of a key winning.
static CGIMap pairs_of(const std::vector<std::string> &pieces) {
    CGIMap pairs;
    for (const std::string &piece : pieces) {
        std::string key, value;
        if (segment_pair(piece, &key, &value)) pairs[key] = value;
    }
    return pairs;
}

// The arguments as logged: every password value replaced by "*".
static std::string cgi_logged(const std::vector<std::string> &pieces, const CGIMap &pairs) {
    const std::string section = pairs.get("section"), subsection = pairs.get("subsection");
    std::string logged;
    for (size_t i = 0; i < pieces.size(); i++) {
        const std::string &piece = pieces[i];
        if (i > 0) logged += "&";
        size_t equals = piece.rfind('=');
        bool secret = false;
        if (equals != std::string::npos) {
            char *key = url_decode(piece.c_str(), (int)equals);
            secret = key_secret(key, section, subsection);
            free(key);
        }
        logged += secret ? piece.substr(0, equals + 1) + "*" : piece;
    }
    return logged;
}

void CGIMap::parse(const char *text) {
    if (!text || !*text) return;
    const std::vector<std::string> pieces = segments_of(text);
    const CGIMap pairs = pairs_of(pieces);
    // The masking looks up field definitions: only done for a line written.
    if (loglevel & LOG_DEBUG) putlog(LOG_DEBUG, "cgi arguments: %s", cgi_logged(pieces, pairs).c_str());
    for (auto &pair : pairs) (*this)[pair.first] = pair.second;
}

std::string interface_url_logged(const char *url) {
    const char *question = strchr(url, '?');
    if (!question) return url;
    const std::vector<std::string> pieces = segments_of(question + 1);
    const CGIMap pairs = pairs_of(pieces);
    return std::string(url, (size_t)(question - url) + 1) + cgi_logged(pieces, pairs);
}

void interface_log_mask(CONNECTION_T *connection) {
    LogEntry &log = connection->log;
    log.url = interface_url_logged(log.url.c_str());
    log.http_referer = interface_url_logged(log.http_referer.c_str());
}

std::string CGIMap::get(const std::string &key) const {
    const_iterator found = find(key);
    return found == end() ? std::string() : found->second;
}

int xatoi(const char *text) {
    if (!text || !*text) return -1;
    return (int)strtol(text, nullptr, 10);
}

int interface_stylesheet(CONNECTION_T *connection, Filebuf *page) {
    return template_section ? template_section->insert(connection, page, "interface.css") : 0;
}

static char *text_copy(const char *text) {
    char *copy = xstrdup(text);
    if (!copy) fatal_alloc("src/interface", __LINE__, "text_copy", strlen(text) + 1);
    return copy;
}

static HEADER *response_new(int code, const char *mime_type) {
    HEADER *head = header_new();
    head->type = HEADER_RESPONSE;
    head->version = 2;
    head->code = code;
    if (mime_type) {
        head->content_type = text_copy(mime_type);
        head->mime_type = text_copy(mime_type);
    }
    return head;
}

static void log_fill(CONNECTION_T *connection, int status, long long size, const char *mime_type) {
    LogEntry &log = connection->log;
    log.set_cachecode(CACHECODE_TCP_MISS);
    log.set_peercode(PEERCODE_DIRECT);
    log.peer = "korvantel";
    log.status = status;
    log.size = size;
    log.mime = mime_type;
}

// Writes head (kind: to the client) and then body.
static void response_send(CONNECTION_T *connection, HEADER *head, Filebuf *body) {
    if (head->code != -1)
        log_fill(connection, head->code, body ? body->size : 0, head->mime_type ? head->mime_type : "");
    HEADER *previous = connection->response;
    connection->response = head;
    header_send(head, connection, 0, HEADER_KIND_CLIENT);
    connection->response = previous;
    if (body) http_send_body(connection, body);
}

void interface_send_response(CONNECTION_T *connection, Filebuf *page) {
    HEADER *head = response_new(200, "text/html");
    head->cache_control = text_copy("no-cache");
    head->content_length = (uint64_t)page->size;
    head->flags |= HEADER_LENGTH;
    response_send(connection, head, page);
    http_header_free(head);
}

// "%a, %d %b %Y %T GMT" of a broken-down time.
static std::string http_date(const struct tm *when) {
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %T GMT", when);
    return text;
}

// ---------------------------------------------------------------------------
// Recognising and dispatching

// An origin-form request whose path starts with the interface's name.
static bool interface_by_path(const HEADER *request) {
    const char *file = request->file;
    return file && file[0] == '/' && strncasecmp(file + 1, INTERFACE_HOST, HOST_LENGTH) == 0;
}

static bool interface_by_host_header(const HEADER *request) {
    return request->host_header && strcasecmp(request->host_header, INTERFACE_HOST) == 0;
}

bool interface_request(const CONNECTION_T *connection) {
    const HEADER *request = connection->request;
    if (!request) return false;
    if (request->type == HEADER_ORIGIN) return interface_by_path(request) || interface_by_host_header(request);
    return request->host && strcasecmp(request->host, INTERFACE_HOST) == 0;
}

void interface_request_settle(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (request && request->type == HEADER_ORIGIN && !interface_by_path(request) && interface_by_host_header(request))
        request->type = HEADER_ABSOLUTE;
}

// The request path below the interface (query included).
static std::string interface_path(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    const char *file = request->file ? request->file : "/";
    if (request->type == HEADER_ORIGIN) {
        size_t skip = 1 + HOST_LENGTH;
        return strlen(file) >= skip ? std::string(file + skip) : std::string();
    }
    return file;
}

// The rest of referer after "http://<host>" and its port (80 when it names
// none), or null when referer names another host or no valid port.
static const char *referer_after_host(const char *referer, const std::string &host, int *port) {
    if (host.empty()) return nullptr;
    std::string base = "http://" + host.substr(0, 120);
    if (strncasecmp(referer, base.c_str(), base.size()) != 0) return nullptr;
    const char *rest = referer + base.size();
    *port = 80;
    if (*rest == '/') return rest;
    if (*rest != ':') return nullptr;
    rest++;
    int digits = 0, value = 0;
    for (; *rest >= '0' && *rest <= '9' && digits < 6; rest++, digits++) value = value * 10 + (*rest - '0');
    if (digits == 0 || digits > 5 || value > 65535 || *rest != '/') return nullptr;
    *port = value;
    return rest;
}

// A Referer as logged: password values in its query masked.
static std::string referer_logged(const char *referer) { return interface_url_logged(referer); }

int interface_check_referer(CONNECTION_T *connection) {
    const char *referer = connection->request->referer;
    if (!referer) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }
    // Pages of the interface itself, by its own name...
    static const char own[] = "http://" INTERFACE_HOST;
    if (strncasecmp(referer, own, sizeof own - 1) == 0 &&
        (referer[sizeof own - 1] == ':' || referer[sizeof own - 1] == '/'))
        return 1;
    // ...or reached through the proxy's own name and one of its ports, where
    // the interface's name is the path's first segment. Any other page on
    // that host (another program on the proxy's machine, on another port or
    // path) is foreign.
    int port = 0;
    const char *path = referer_after_host(referer, proxy_name_get(), &port);
    if (path && net_listening_port(port) && strncasecmp(path + 1, INTERFACE_HOST, HOST_LENGTH) == 0) {
        char next = path[1 + HOST_LENGTH];
        if (next == '\0' || next == '/' || next == '?' || next == '#') return 1;
    }
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)", referer_logged(referer).c_str());
    return 0;
}

static std::string login_secret(const std::string &user, const std::string &password) {
    char text[1024];
    snprintf(text, sizeof text, "%s:%s", user.c_str(), password.c_str());
    return text;
}

std::string interface_login_token(const std::string &user, const std::string &password, time_t expiry) {
    const std::string secret = login_secret(user, password);
    const std::string text = secret + "@" + std::to_string((long long)expiry);
    char *encrypted = blowfish_encrypt(secret.c_str(), text.c_str());
    char *encoded = url_encode(encrypted, -1);
    std::string token(encoded);
    free(encrypted);
    free(encoded);
    return token;
}

bool interface_login_valid(const std::string &user, const std::string &password, const std::string &token, time_t now) {
    if (token.empty()) return false;
    const std::string secret = login_secret(user, password);
    char *decoded = url_decode(token.c_str(), -1);
    char *decrypted = blowfish_decrypt(secret.c_str(), decoded);
    std::string text(decrypted);
    free(decoded);
    free(decrypted);
    const std::string prefix = secret + "@";
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string digits = text.substr(prefix.size());
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    time_t expiry = (time_t)strtoll(digits.c_str(), nullptr, 10);
    if (expiry < now) return false;
    // Only a token this proxy made encrypts back to the very same text.
    char *again = blowfish_encrypt(secret.c_str(), text.c_str());
    char *encoded = url_encode(again, -1);
    bool same = token == encoded;
    free(again);
    free(encoded);
    return same;
}

// ---------------------------------------------------------------------------
// Failed logins: an address that fails LOGIN_FAILURES times within
// LOGIN_WINDOW seconds is not checked at all for LOGIN_LOCK seconds. The
// table is shared by every worker thread and holds at most LOGIN_ADDRESSES
// addresses.

#define LOGIN_FAILURES 5
#define LOGIN_WINDOW 60
#define LOGIN_LOCK 60
#define LOGIN_ADDRESSES 4096

namespace {

struct LoginFailures {
    time_t times[LOGIN_FAILURES] = {};  // the latest failures, oldest first
    int count = 0;
    time_t locked_until = 0;
};

pthread_mutex_t login_failures_lock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, LoginFailures> login_failures;

bool login_record_stale(const LoginFailures &record, time_t now) {
    return record.locked_until <= now && (record.count == 0 || now - record.times[record.count - 1] >= LOGIN_WINDOW);
}

// Room for one more address (lock held): stale records go first; when every
// record is live, the one whose last failure is oldest, a locked one last.
void login_failures_trim(time_t now) {
    if (login_failures.size() < LOGIN_ADDRESSES) return;
    for (auto it = login_failures.begin(); it != login_failures.end();)
        it = login_record_stale(it->second, now) ? login_failures.erase(it) : std::next(it);
    while (login_failures.size() >= LOGIN_ADDRESSES) {
        auto victim = login_failures.begin();
        for (auto it = login_failures.begin(); it != login_failures.end(); ++it) {
            bool locked = it->second.locked_until > now, victim_locked = victim->second.locked_until > now;
            time_t last = it->second.count ? it->second.times[it->second.count - 1] : 0;
            time_t victim_last = victim->second.count ? victim->second.times[victim->second.count - 1] : 0;
            if (locked < victim_locked || (locked == victim_locked && last < victim_last)) victim = it;
        }
        login_failures.erase(victim);
    }
}

}  // namespace

// Whether logins from address are refused unchecked for now.
static bool login_locked(const char *address) {
    time_t now = clock_now();
    MutexLock held(&login_failures_lock);
    auto found = login_failures.find(address);
    return found != login_failures.end() && found->second.locked_until > now;
}

// Records and logs one failed login of address.
static void login_failed(const char *address) {
    time_t now = clock_now();
    putlog(LOG_SECURITY, "web interface login failed from %s", address);
    bool locked = false;
    {
        MutexLock held(&login_failures_lock);
        if (login_failures.find(address) == login_failures.end()) login_failures_trim(now);
        LoginFailures &record = login_failures[address];
        if (record.locked_until > now) return;
        if (record.count == LOGIN_FAILURES) {
            memmove(record.times, record.times + 1, sizeof record.times[0] * (LOGIN_FAILURES - 1));
            record.count--;
        }
        record.times[record.count++] = now;
        if (record.count == LOGIN_FAILURES && now - record.times[0] < LOGIN_WINDOW) {
            record.locked_until = now + LOGIN_LOCK;
            record.count = 0;
            locked = true;
        }
    }
    if (locked)
        putlog(LOG_SECURITY, "web interface login from %s refused for %d seconds after %d failures", address,
               LOGIN_LOCK, LOGIN_FAILURES);
}

// A right login forgets the address's failures.
static void login_succeeded(const char *address) {
    MutexLock held(&login_failures_lock);
    login_failures.erase(address);
}

// The value of the first "login" pair of the request's first Cookie line
// (only that line counts), or false when there is none.
static bool login_cookie(HEADER *request, std::string *value) {
    for (const HTTP_HEADER &line : request->headers) {
        if (line.name != "Cookie") continue;
        CookieHeader cookie(line.value);
        for (const auto &pair : cookie.pairs) {
            if (pair.first == "login") {
                *value = pair.second;
                return true;
            }
        }
        return false;
    }
    return false;
}

// Adds "Set-Cookie: login=<token>; path=/; expires=<an hour from now, UTC>;
// HttpOnly; SameSite=Strict".
// The cookie holds the token alone: the client's other cookies are none of
// the interface's business.
static void login_cookie_set(HEADER *response, const std::string &user, const std::string &password) {
    time_t expiry = time(nullptr) + 3600;
    CookieHeader cookie;
    cookie.pairs.push_back({"login", interface_login_token(user, password, expiry)});
    cookie.path = "/";
    gmtime_r(&expiry, &cookie.expiry);
    cookie.expiry_set = true;
    HTTP_HEADER line;
    line.pass = 1;
    line.name = "Set-Cookie";
    // Out of scripts' reach, and never sent along with a request another
    // site starts.
    line.value = cookie.Build() + "; HttpOnly; SameSite=Strict";
    response->headers.push_back(line);
}

// Whether token was made with that user and password at all (an expired
// token of this login is no guess at the password).
static bool login_token_genuine(const std::string &user, const std::string &password, const std::string &token) {
    const std::string secret = login_secret(user, password);
    char *decoded = url_decode(token.c_str(), -1);
    char *decrypted = blowfish_decrypt(secret.c_str(), decoded);
    bool genuine = strncmp(decrypted, (secret + "@").c_str(), secret.size() + 1) == 0;
    free(decoded);
    free(decrypted);
    return genuine;
}

static const char *client_address(const CONNECTION_T *connection) { return connection->ip ? connection->ip : ""; }

// Whether the request carries a valid login cookie; a cookie this login
// never made counts as a failed login.
static bool login_by_cookie(CONNECTION_T *connection) {
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    std::string cookie;
    if (!login_cookie(connection->request, &cookie) || cookie.empty()) return false;
    if (interface_login_valid(user, password, cookie, time(nullptr))) return true;
    if (!login_token_genuine(user, password, cookie)) login_failed(client_address(connection));
    return false;
}

// The login's checks: true when the cookie or the form is right. A wrong
// password, or a cookie this login never made, counts as a failure.
static bool login_checked(CONNECTION_T *connection, CGIMap &form, HEADER *response) {
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    const char *address = client_address(connection);
    if (login_by_cookie(connection)) {
        login_cookie_set(response, user, password);
        return true;
    }
    if (form.find("username") == form.end() && form.find("password") == form.end()) return false;
    if (form.get("username") == user && form.get("password") == password) {
        login_succeeded(address);
        login_cookie_set(response, user, password);
        return true;
    }
    login_failed(address);
    return false;
}

bool interface_login(CONNECTION_T *connection, CGIMap &form, HEADER *response, Filebuf *page) {
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    if (user.empty() || password.empty()) return true;
    // A locked-out address is not checked at all, so guesses tell it nothing.
    if (!login_locked(client_address(connection)) && login_checked(connection, form, response)) return true;

    std::string action = html_escape(connection->request->file ? connection->request->file : "/");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Add("<form action=\"", 14);
    page->Add(action.data(), (long long)action.size());
    page->Addf(
        "\" method=\"POST\">\n"
        "<tr><td class=\"dialoghead\" colspan=\"2\">Web interface login</td></tr>\n"
        "<tr><td>Username</td><td><input type=\"text\" name=\"username\" size=\"80\"></td></tr>\n"
        "<tr><td>Password</td><td><input type=\"password\" name=\"password\" size=\"80\"></td></tr>\n"
        "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</form></table>\n");
    return false;
}

static void menu_show(Filebuf *page) {
    static const char *const rows[4][4][2] = {
        {{"connections", "Active connections"},
         {"stats", "Statistics"},
         {"dnscache", "DNS cache"},
         {"headers", "Show headers"}},
        {{"cache", "View cache entries"},
         {"pool", "Connection pool"},
         {"prefetch", "Prefetch queue"},
         {"urlbl", "URL blacklist"}},
        {{"config", "Config"}, {"log", "View log entries"}, {"save", "Save settings"}, {"load", "Load settings"}},
        {{"ldap", "Show LDAP Groups"}, {"password", "Encrypt Password"}, {nullptr, nullptr}, {nullptr, nullptr}},
    };
    page->Addf("</td></tr><tr><td><br></td></tr>\n");
    page->Addf("<tr><td class=\"topmenu\">Top Menu</td></tr>\n<tr><td align=\"center\"><table class=\"menu\">\n");
    for (const auto &row : rows) {
        page->Addf("<tr align=\"center\">");
        int cells = 0;
        for (const auto &cell : row) {
            if (!cell[0]) break;
            page->Addf("<td><a href=\"%s\">%s</a></td>", cell[0], cell[1]);
            cells++;
        }
        // the last row is filled up to five cells
        if (cells < 4)
            for (int i = cells; i < 5; i++) page->Addf("<td></td>");
        page->Addf("</tr>\n");
    }
    page->Addf("</table></td></tr>\n<tr><td><br></td></tr><tr><td>\n");
}

// The configuration export for slave proxies. The document is built and
// printed into memory under documentlock and sent after the lock is
// released, so a slow client cannot hold the lock.
static void xml_export(CONNECTION_T *connection, HEADER *head) {
    keepalive_client_end(connection);
    Filebuf body;
    time_t changed;
    TiXmlPrinter printer;
    {
        MutexLock held(&documentlock);
        changed = documentsynctime;
        if (document) {
            config_xml_build();
            document->Accept(&printer);
        } else {
            // No document yet (a slave before its first synchronisation): the
            // sections as they stand.
            TiXmlDocument current;
            current.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
            current.LinkEndChild(new TiXmlElement("korvantel"));
            for (auto &entry : Section::map) entry.second->save(&current);
            current.Accept(&printer);
        }
    }
    body.Add(printer.CStr(), (long long)printer.Size());

    struct tm local;
    localtime_r(&changed, &local);
    head->last_modified = text_copy(http_date(&local).c_str());
    head->content_type = text_copy("text/xml");
    head->mime_type = text_copy("text/xml");
    head->cache_control = text_copy("no-cache");
    response_send(connection, head, &body);
}

// Whether the client may read the export: always when the access rule asks
// for no interface login; otherwise with the login cookie or HTTP Basic
// credentials of the interface user and password (how a slave gives them),
// and never from an address locked out for failed logins.
static bool xml_allowed(CONNECTION_T *connection) {
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    if (user.empty() || password.empty()) return true;
    const char *address = client_address(connection);
    if (login_locked(address)) return false;
    if (login_by_cookie(connection)) return true;
    const char *authorization = connection->request->authorization;
    if (!authorization) return false;
    std::string given_user, given_password;
    if (strncasecmp(authorization, "Basic ", 6) == 0 &&
        access_basic_decode(authorization + 6, &given_user, &given_password) && given_user == user &&
        given_password == password) {
        login_succeeded(address);
        return true;
    }
    login_failed(address);
    return false;
}

// 401 with nothing of the document.
static void xml_refuse(CONNECTION_T *connection, HEADER *head) {
    head->code = 401;
    head->www_authenticate = text_copy("Basic realm=\"" INTERFACE_HOST "\"");
    head->content_length = 0;
    head->flags |= HEADER_LENGTH;
    if (connection->body_unread) keepalive_client_end(connection);
    response_send(connection, head, nullptr);
}

// The form of an HTML page: the query, or a POST body, and only with a valid
// Referer. Returns where the page path ends (npos: the whole path).
static size_t form_read(CONNECTION_T *connection, const std::string &path, CGIMap *form) {
    HEADER *request = connection->request;
    bool post = request->method && strcasecmp(request->method, "POST") == 0;
    if (!interface_check_referer(connection)) {
        // A refused body is read and dropped when it is small enough,
        // otherwise the connection ends after the answer.
        if (connection->body_unread) {
            bool small = (request->flags & HEADER_LENGTH) && request->content_length <= INTERFACE_BODY_MAX;
            if (!small || http_transfer_discard(connection, HTTP_SIDE_CLIENT) != HTTP_BODY_COMPLETE)
                keepalive_client_end(connection);
            else connection->body_unread = false;
        }
        return std::string::npos;
    }
    if (!post) {
        size_t question = path.find('?');
        if (question != std::string::npos) form->parse(path.c_str() + question + 1);
        return question;
    }
    std::string text;
    if (connection->body_unread) {
        int result = HTTP_BODY_COMPLETE;
        Filebuf *body = http_transfer_filebuf(connection, HTTP_SIDE_CLIENT, INTERFACE_BODY_MAX, &result);
        connection->body_unread = false;
        if (result != HTTP_BODY_COMPLETE) keepalive_client_end(connection);
        if (body && result == HTTP_BODY_COMPLETE && body->size > 0) text.assign(body->data, (size_t)body->size);
        delete body;
    } else if (connection->request_body && connection->request_body->size > 0) {
        text.assign(connection->request_body->data, (size_t)connection->request_body->size);
    }
    form->parse(text.c_str());
    return std::string::npos;
}

static void html_page(CONNECTION_T *connection, HEADER *head, const std::string &path) {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    HTTP_HEADER date;
    date.pass = 1;
    date.name = "Date";
    date.value = http_date(&utc);
    head->headers.push_back(date);
    head->content_type = text_copy("text/html");
    head->mime_type = text_copy("text/html");

    CGIMap form;
    size_t page_end = form_read(connection, path, &form);

    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html><head>\n");
    interface_stylesheet(connection, &page);
    std::string host = html_escape(proxy_name_get().substr(0, 255));
    page.Addf("<title>Korvantel %s web interface for %s</title></head>\n", VERSION, host.c_str());
    page.Addf("<body onmousemove=\"overhere()\"><div id=\"ToolTip\"></div>\n");
    if (template_section) {
        template_section->insert(connection, &page, "tooltip");
        template_section->insert(connection, &page, "interfacehead");
    }
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n<tr><td align=\"center\">\n");

    if (strcasecmp(path.c_str(), "/userstats") == 0) {
        if (connection->userstats) {
            page.Addf("<table width=\"100%%\">\n");
            connection->userstats->Display(&page);
            page.Addf("</table>\n");
        }
    } else if (interface_login(connection, form, head, &page)) {
        menu_show(&page);
        std::string page_path = page_end == std::string::npos ? path : path.substr(0, page_end);
        for (const INTERFACE_PAGE *row = pages; row->path; row++)
            if (strcasecmp(row->path, page_path.c_str()) == 0) row->page(&page, form, connection);
    }
    page.Addf("</td></tr></table></body></html>\n");

    head->content_length = (uint64_t)page.size;
    head->flags |= HEADER_LENGTH;
    response_send(connection, head, &page);
}

void interface_handle_request(CONNECTION_T *connection) {
    const std::string path = interface_path(connection);
    // Only an HTML page reads a body; any other answer leaves it unread, so
    // the connection ends after it (request_page sees to that itself).
    const bool unread = connection->body_unread;
    if (strncasecmp(path.c_str(), "/template/", 10) == 0) {
        std::string name = path.substr(10);
        if (!template_section || !template_section->send(name.c_str(), connection, 200))
            request_page(connection, "nofile", 404);
    } else if (strcasecmp(path.c_str(), "/userstats") != 0 && !(connection->permissions & PERMISSION_INTERFACE)) {
        request_page(connection, "noaccess", 403);
    } else {
        HEADER *head = response_new(200, nullptr);
        if (connection->request->type == HEADER_ORIGIN && (path.empty() || path[0] != '/')) {
            head->code = 302;
            head->location = text_copy(INTERFACE_HOST "/");
            head->flags |= HEADER_LENGTH;
            if (unread) keepalive_client_end(connection);
            response_send(connection, head, nullptr);
        } else if (strcasecmp(path.c_str(), "/xml") == 0) {
            if (xml_allowed(connection)) xml_export(connection, head);
            else xml_refuse(connection, head);
        } else {
            html_page(connection, head, path);
        }
        http_header_free(head);
    }
}

// The web interface's dispatch, login and page frame.
#include "interface.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include <tinyxml.h>

#include "blowfish.h"
#include "cipher.h"
#include "connection.h"
#include "cookieheader.h"
#include "dispatch.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "ldap_profile.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
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

// The arguments as logged: the passwords of the "/password" page masked.
static std::string cgi_logged(const char *text) {
    std::string logged;
    const char *segment = text;
    for (;;) {
        const char *end = strchr(segment, '&');
        std::string piece(segment, end ? (size_t)(end - segment) : strlen(segment));
        if (piece.compare(0, 6, "scode=") == 0 || piece.compare(0, 7, "scode1=") == 0)
            piece = piece.substr(0, piece.find('=') + 1) + "*";
        logged += piece;
        if (!end) break;
        logged += "&";
        segment = end + 1;
    }
    return logged;
}

void CGIMap::parse(const char *text) {
    if (!text || !*text) return;
    putlog(LOG_DEBUG, "cgi arguments: %s", cgi_logged(text).c_str());
    const char *segment = text;
    for (;;) {
        const char *end = strchr(segment, '&');
        size_t length = end ? (size_t)(end - segment) : strlen(segment);
        std::string piece(segment, length);
        size_t equals = piece.rfind('=');
        if (equals != std::string::npos) {
            char *key = url_decode(piece.c_str(), (int)equals);
            char *value = url_decode(piece.c_str() + equals + 1, -1);
            (*this)[key] = value;
            free(key);
            free(value);
        }
        if (!end) break;
        segment = end + 1;
    }
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

int interface_check_referer(CONNECTION_T *connection) {
    const char *referer = connection->request->referer;
    if (!referer) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }
    std::string hosts[2] = {INTERFACE_HOST, proxy_name_get()};
    for (const std::string &host : hosts) {
        if (host.empty()) continue;
        std::string base = "http://" + host.substr(0, 120);
        if (strncasecmp(referer, base.c_str(), base.size()) == 0 &&
            (referer[base.size()] == ':' || referer[base.size()] == '/'))
            return 1;
    }
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)", referer);
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

// Adds "Set-Cookie: login=<token>; path=/; expires=<an hour from now, UTC>".
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
    line.value = cookie.Build();
    response->headers.push_back(line);
}

bool interface_login(CONNECTION_T *connection, CGIMap &form, HEADER *response, Filebuf *page) {
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    if (user.empty() || password.empty()) return true;

    std::string cookie;
    if (login_cookie(connection->request, &cookie) && interface_login_valid(user, password, cookie, time(nullptr))) {
        login_cookie_set(response, user, password);
        return true;
    }
    if (form.get("username") == user && form.get("password") == password) {
        login_cookie_set(response, user, password);
        return true;
    }

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
            xml_export(connection, head);
        } else {
            html_page(connection, head, path);
        }
        http_header_free(head);
    }
}

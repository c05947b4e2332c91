#include "redirect.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "connection.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "profiles.h"
#include "proto_http.h"
#include "protocol.h"
#include "regexp.h"
#include "urlcommand.h"

RedirectSection *redirect_section = nullptr;

// Longest subject matched and longest Location sent.
#define REDIRECT_TEXT_MAX 1023

/* ---- one rule ---- */

static const FIELD_BIND<Redirect> redirect_fields[] = {
    FIELD_BIND_OF(Redirect, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Redirect, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Redirect, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Redirect, 3, "pattern", FIELD_STRING, pattern_text),  // compiled after the read
    FIELD_BIND_OF(Redirect, 4, "replacement", FIELD_STRING, replacement),
    FIELD_BIND_OF(Redirect, 5, "port", FIELD_INT, port),
    FIELD_BIND_OF(Redirect, 6, "answer", FIELD_BOOL, answer),
    FIELD_BIND_OF(Redirect, 7, "coding", FIELD_STRING_SELECT_MANY, coding),
    FIELD_BIND_OF(Redirect, 8, "applies", FIELD_STRING_SELECT_ONE, applies),
};

Redirect::Redirect(const Item &item) {
    fields_read(redirect_fields, item.fields, this);
    if (!pattern_text.empty()) pattern = reg_sub_compile(pattern_text.c_str(), 15);
}

Redirect::Redirect(const Redirect &other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      pattern_text(other.pattern_text),
      replacement(other.replacement),
      port(other.port),
      answer(other.answer),
      coding(other.coding),
      applies(other.applies) {
    if (!pattern_text.empty()) pattern = reg_sub_compile(pattern_text.c_str(), 15);
}

Redirect::~Redirect() {
    if (pattern) reg_sub_free(pattern);
}

bool Redirect::applies_to(int kind) const {
    if (applies == REDIRECT_APPLIES_BOTH) return true;
    if (applies == REDIRECT_APPLIES_LOCATION) return kind == REDIRECT_LOCATION;
    if (applies == REDIRECT_APPLIES_REQUEST) return kind == REDIRECT_REQUEST;
    return false;
}

/* ---- the section ---- */

static const FIELD_BIND<RedirectSection::Options> redirect_options[] = {
    FIELD_BIND_OF(RedirectSection::Options, 0, "enabled", FIELD_BOOL, enabled),
};

Section *redirect_construct() {
    redirect_section = new RedirectSection();
    return redirect_section;
}

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK) {
    options_bind(redirect_options, &opts);
    fields_declare(0, redirect_fields);
}

RedirectSection::~RedirectSection() {
    if (redirect_section == this) redirect_section = nullptr;
}

void RedirectSection::update() { entries_build(0, &rules); }

int RedirectSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection == 0 && position == 3 ? PATTERN_SUB : PATTERN_NONE;
}

namespace {

struct FreeText {
    void operator()(char *text) const { free(text); }
};
typedef std::unique_ptr<char, FreeText> Text;

struct FreeMatch {
    void operator()(regmatch_sub_t *match) const { reg_sub_match_free(match); }
};

// A new URL goes into a Location line or a request line: control bytes
// (CR and LF above all) never get there, whatever a rule or a decoded path
// holds.
std::string without_controls(const char *text) {
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p >= 0x20 && *p != 0x7f) out += (char)*p;
    return out;
}

// Where the path of a URL starts: the first "/" after "://", or the first
// "/" of a URL without "://"; npos when there is none.
size_t path_start(const std::string &url) {
    size_t scheme = url.find("://");
    return scheme == std::string::npos ? url.find('/') : url.find('/', scheme + 3);
}

// A host taken from a rewritten URL: no blanks, controls or characters that
// would change the meaning of a URL or a Host line.
bool host_acceptable(const std::string &host) {
    if (host.empty() || host.size() > 255) return false;
    for (unsigned char c : host)
        if (c <= 0x20 || c >= 0x7f || strchr("/\\?#@%[]", c)) return false;
    return true;
}

void text_set(char **field, const std::string &value) {
    free(*field);
    *field = xstrdup(value.c_str());
}

// The 302 that answers a request.
void send_redirect(CONNECTION_T *connection, const std::string &subject, const std::string &url) {
    putlog(LOG_REDIRECT, "sent 302 redirect for request for %s to %s", subject.c_str(), url.c_str());
    std::string location = url;
    if (!url.empty() && url[0] != '/' && connection->url_commands) {
        Text labels(url_command_create(connection->url_commands));
        size_t scheme = url.find("://");
        if (scheme != std::string::npos)
            location = url.substr(0, scheme) + "://" + labels.get() + url.substr(scheme + 3);
        else location = std::string(labels.get()) + url;
    }
    if (location.size() > REDIRECT_TEXT_MAX) location.resize(REDIRECT_TEXT_MAX);
    // A body still unread cannot be followed by another request.
    keepalive_client_unread_check(connection);
    HEADER *head = header_new();
    head->type = HEADER_RESPONSE;
    head->version = 2;
    head->code = 302;
    head->content_length = 0;
    head->flags |= HEADER_LENGTH;
    head->location = xstrdup(location.c_str());
    connection->log.status = 302;
    connection->log.size = 0;
    header_send(head, connection, 0, HEADER_KIND_CLIENT);
    http_header_free(head);
}

// Changes the request in place to fetch url instead.
void rewrite_request(CONNECTION_T *connection, const Redirect &rule, const std::string &subject,
                     const std::string &url) {
    HEADER *request = connection->request;
    size_t scheme = url.find("://");
    size_t path = path_start(url);
    std::string protocol, host;
    bool host_given = url.empty() || url[0] != '/';
    if (host_given) {
        size_t from = scheme == std::string::npos ? 0 : scheme + 3;
        host = url.substr(from, path == std::string::npos ? std::string::npos : path - from);
        // "host:port" names a port; it cannot be part of a host name.
        int port = -1;
        size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            std::string digits = host.substr(colon + 1);
            if (!digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos) {
                port = atoi(digits.c_str());
                if (port >= 1 && port <= 65535) host.resize(colon);
                else port = -1;
            }
        }
        if (!host_acceptable(host)) {
            putlog(LOG_REDIRECT, "request for %s not rewritten: no usable host in %s", subject.c_str(), url.c_str());
            return;
        }
        if (port > 0) {
            request->port = port;
            request->flags &= ~HEADER_DEFAULT_PORT;
        }
        text_set(&request->host, host);
    }
    if (scheme != std::string::npos) text_set(&request->protocol, url.substr(0, scheme));
    text_set(&request->file, path == std::string::npos ? std::string("/") : url.substr(path));
    if (rule.port != -1) {
        request->port = rule.port;
        request->flags &= ~HEADER_DEFAULT_PORT;
    }
    if (request->host && *request->host) {
        request->type = HEADER_ABSOLUTE;
        // The cache and the log go by the URL actually fetched.
        header_complete(request);
        putlog(LOG_REDIRECT, "request for %s to %s://%s%s", subject.c_str(), request->protocol, request->host,
               request->file);
    } else {
        putlog(LOG_REDIRECT, "request for %s to %s", subject.c_str(), request->file);
    }
}

}  // namespace

int RedirectSection::redirect_do(CONNECTION_T *connection, int kind) {
    if (!connection) return 0;
    HEADER *request = connection->request;
    HEADER *response = connection->response;
    if (kind == REDIRECT_REQUEST ? !request : !(response && response->location)) return 0;

    SectionReadLock lock(this);
    if ((connection->bypass & BYPASS_REDIRECT) || !*opts.enabled) return 0;
    std::string subject;
    if (kind == REDIRECT_LOCATION) {
        subject = response->location;
    } else if (request->host && *request->host) {
        subject = std::string(request->protocol ? request->protocol : "") + "://" + request->host +
                  (request->file ? request->file : "");
    } else {
        subject = request->file ? request->file : "";
    }
    if (subject.size() > REDIRECT_TEXT_MAX) subject.resize(REDIRECT_TEXT_MAX);

    const Redirect *rule = nullptr;
    std::unique_ptr<regmatch_sub_t, FreeMatch> match;
    for (const Redirect &candidate : rules) {
        if (!candidate.enabled || !candidate.pattern || !candidate.applies_to(kind)) continue;
        if (!profile_find(connection->profiles, candidate.profiles)) continue;
        if (candidate.coding & REDIRECT_DECODE_SUBJECT) {
            Text decoded(url_decode(subject.c_str(), -1));
            match.reset(reg_sub_exec(candidate.pattern, decoded.get()));
        } else {
            match.reset(reg_sub_exec(candidate.pattern, subject.c_str()));
        }
        if (match) {
            rule = &candidate;
            break;
        }
    }
    if (!rule) return 0;

    Text expanded(reg_sub_parse(match.get(), rule->replacement.c_str(), &connection->variables));
    std::string url = expanded ? expanded.get() : "";
    size_t path = path_start(url);
    if (path != std::string::npos && (rule->coding & (REDIRECT_ENCODE | REDIRECT_DECODE))) {
        const char *rest = url.c_str() + path + 1;
        Text coded(rule->coding & REDIRECT_ENCODE ? url_encode(rest, -1) : url_decode(rest, -1));
        url = url.substr(0, path + 1) + coded.get();
    }
    url = without_controls(url.c_str());

    int result = 0;
    if (kind == REDIRECT_LOCATION) {
        putlog(LOG_REDIRECT, "302 redirect for %s to %s", response->location, url.c_str());
        text_set(&response->location, url);
    } else if (rule->answer == 1) {
        send_redirect(connection, subject, url);
        result = 1;
    } else {
        rewrite_request(connection, *rule, subject, url);
    }
    return result;
}

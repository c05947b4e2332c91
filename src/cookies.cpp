#include "cookies.h"

#include <stdlib.h>
#include <string.h>

#include "connection.h"
#include "cookieheader.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"

CookieSection *cookie_section = nullptr;

typedef CookieSection::Cookie Cookie;
typedef CookieSection::Options Options;

static const FIELD_BIND<Options> cookie_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Options, 1, "order", FIELD_STRING_SELECT_ONE, policy),
};

// The expiry ranges, one converter per range field.
template <tm_component tm_partial::*component>
static void window_read(Cookie &rule, const Field &field) {
    timewindow_part(field, &(rule.start.*component), &(rule.end.*component));
}

// Years are configured as calendar years and compared as the calendar
// record keeps them.
static void year_read(Cookie &rule, const Field &field) {
    if (!field.active) return;
    rule.start.year = {1, field.int_value - 1900};
    rule.end.year = {1, field.int_value2 - 1900};
}

static const FIELD_BIND<Cookie> cookie_fields[] = {
    FIELD_BIND_OF(Cookie, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Cookie, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Cookie, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_BY(Cookie, 3, "year", FIELD_INT_RANGE, year_read),
    FIELD_BIND_BY(Cookie, 4, "month", FIELD_STRING_RANGE, window_read<&tm_partial::month>),
    FIELD_BIND_BY(Cookie, 5, "day", FIELD_INT_RANGE, window_read<&tm_partial::day>),
    FIELD_BIND_BY(Cookie, 6, "weekday", FIELD_STRING_RANGE, window_read<&tm_partial::weekday>),
    FIELD_BIND_BY(Cookie, 7, "hour", FIELD_INT_RANGE, window_read<&tm_partial::hour>),
    FIELD_BIND_BY(Cookie, 8, "minute", FIELD_INT_RANGE, window_read<&tm_partial::minute>),
    FIELD_BIND_OF(Cookie, 9, "domain", FIELD_STRING, domain_text),
    FIELD_BIND_OF(Cookie, 10, "path", FIELD_STRING, path_text),
    FIELD_BIND_OF(Cookie, 11, "direction", FIELD_STRING_SELECT_ONE, direction),
    FIELD_BIND_OF(Cookie, 12, "timemode", FIELD_BOOL, mode),
};

Section *cookie_construct() {
    cookie_section = new CookieSection();
    return cookie_section;
}

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK) {
    options_bind(cookie_options, &opts);
    fields_declare(0, cookie_fields);  // allow
    fields_declare(1, cookie_fields);  // deny
}

CookieSection::~CookieSection() {
    if (cookie_section == this) cookie_section = nullptr;
}

void CookieSection::Cookie::prepare() {
    ranged =
        start.year.set || start.month.set || start.day.set || start.weekday.set || start.hour.set || start.minute.set;
    domain = RulePattern(domain_text);
    path = RulePattern(path_text);
    refused = domain.failed() || path.failed();
}

bool CookieSection::Cookie::matches(const StringList &profiles, int want, const CookieHeader &cookie) const {
    if (refused) return false;
    if (direction != COOKIE_BOTH && direction != want) return false;
    if (!holds(profiles)) return false;
    if (want != COOKIE_RECEIVED) return true;
    if (ranged) {
        // A cookie without an expiry (one for the session) lies in no range.
        if (!cookie.expiry_set) return false;
        int in = mode == 0 ? in_absolutetimerange(&cookie.expiry, &start, &end)
                           : in_alltimerange(&cookie.expiry, &start, &end);
        if (!in) return false;
    }
    return domain.matches(cookie.domain.c_str()) && path.matches(cookie.path.c_str());
}

void CookieSection::update() {
    allow_deny_build(name.c_str(), subsection_at(0), cookie_fields, &allow);
    allow_deny_build(name.c_str(), subsection_at(1), cookie_fields, &deny);
}

int CookieSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection <= 1 && (position == 9 || position == 10) ? PATTERN_MATCH : PATTERN_NONE;
}

bool CookieSection::check(int direction, CONNECTION_T *connection, CookieHeader &cookie) {
    SectionReadLock lock(this);
    bool pass = true;
    if (!(connection && (connection->bypass & BYPASS_COOKIE)) && *opts.enabled) {
        static const StringList none;
        const StringList &profiles = connection ? connection->profiles : none;
        pass = !allow_deny(*opts.policy, allow, deny, [&](const Cookie &rule) {
                    return rule.matches(profiles, direction, cookie);
                }).blocked;
    }
    return pass;
}

/* ---- the "cookies" page ---- */

namespace {

void cookie_row(Filebuf *page, const std::string &name, const std::string &value) {
    page->Addf("<tr><td>%s</td><td>%s</td></tr>\n", html_escape(name, 1).c_str(), html_escape(value, 1).c_str());
}

// One table per line whose name is one of the two, exactly as written.
void cookie_tables(Filebuf *page, const HEADER *header, const char *name, const char *name2, bool received) {
    if (!header) return;
    for (const HTTP_HEADER &line : header->headers) {
        if (line.name != name && line.name != name2) continue;
        CookieHeader cookie(line.value);
        page->Addf("<tr><td align=\"center\"><table class=\"dialog\">\n");
        page->Addf("<tr><td colspan=\"2\" class=\"dialoghead\" align=\"center\">%s cookie</td></tr>\n",
                   received ? "Received" : "Sent");
        if (received) {
            if (cookie.expiry_set) cookie_row(page, "Expires", cookie.expiry_text());
            if (!cookie.domain.empty()) cookie_row(page, "Domain", cookie.domain);
            if (!cookie.path.empty()) cookie_row(page, "Path", cookie.path);
        }
        for (const auto &pair : cookie.pairs) cookie_row(page, pair.first, pair.second);
        page->Addf("</table></td></tr> <tr><td><br></td></tr>\n");
    }
}

}  // namespace

void interface_cookies_show(CONNECTION_T *connection) {
    if (!connection || !connection->request) return;
    const HEADER *request = connection->request;
    const std::string where =
        html_escape(request->host ? request->host : "") + html_escape(request->file ? request->file : "");
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Cookies for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">\n");
    cookie_tables(&page, request, "Cookie", "Cookie2", false);
    cookie_tables(&page, connection->response, "Set-Cookie", "Set-Cookie2", true);
    page.Addf("</table></body></html>\n");
    interface_send_response(connection, &page);
}

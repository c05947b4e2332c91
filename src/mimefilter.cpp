#include "mimefilter.h"

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "proto_http.h"
#include "templates.h"

MimeSection *mime_section = nullptr;

typedef MimeSection::Mime Mime;
typedef MimeSection::Options Options;

static const FIELD_BIND<Options> mime_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Options, 1, "order", FIELD_STRING_SELECT_ONE, policy),
    FIELD_BIND_OF(Options, 2, "template", FIELD_STRING, default_template),
};

static const FIELD_BIND<Mime> mime_fields[] = {
    FIELD_BIND_OF(Mime, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Mime, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Mime, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Mime, 3, "host", FIELD_STRING, host_text),
    FIELD_BIND_OF(Mime, 4, "path", FIELD_STRING, path_text),
    FIELD_BIND_OF(Mime, 5, "mime", FIELD_STRING, mime_text),
    FIELD_BIND_OF(Mime, 6, "template", FIELD_STRING, template_name),
};

Section *mime_construct() {
    mime_section = new MimeSection();
    return mime_section;
}

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK) {
    options_bind(mime_options, &opts);
    fields_declare(0, mime_fields);  // allow
    fields_declare(1, mime_fields);  // deny
}

MimeSection::~MimeSection() {
    if (mime_section == this) mime_section = nullptr;
}

void MimeSection::Mime::prepare() {
    host = RulePattern(host_text);
    path = RulePattern(path_text);
    mime = RulePattern(mime_text);
    refused = host.failed() || path.failed() || mime.failed();
}

bool MimeSection::Mime::matches(const CONNECTION_T *connection) const {
    if (refused || !holds(connection->profiles)) return false;
    const HEADER *request = connection->request;
    const HEADER *response = connection->response;
    if (!host.matches(request ? request->host : nullptr)) return false;
    if (!path.matches(request ? request->file : nullptr)) return false;
    // The whole Content-Type as received, parameters included; a response
    // without one never matches a rule that names a type.
    if (mime.empty()) return true;
    return response && response->content_type && mime.matches(response->content_type);
}

void MimeSection::update() {
    allow_deny_build(name.c_str(), subsection_at(0), mime_fields, &allow);
    allow_deny_build(name.c_str(), subsection_at(1), mime_fields, &deny);
}

int MimeSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection <= 1 && position >= 3 && position <= 5 ? PATTERN_MATCH : PATTERN_NONE;
}

const MimeSection::Mime *MimeSection::check(const CONNECTION_T *connection) {
    if (!connection || !*opts.enabled || (connection->bypass & BYPASS_MIME)) return nullptr;
    AllowDeny<Mime> decision =
        allow_deny(*opts.policy, allow, deny, [connection](const Mime &rule) { return rule.matches(connection); });
    if (!decision.blocked) return nullptr;
    return decision.rule ? decision.rule : &default_rule;
}

bool MimeSection::check_and_block(CONNECTION_T *connection) {
    std::string name;
    {
        SectionReadLock lock(this);
        const Mime *rule = check(connection);
        if (!rule) return true;
        name = !rule->template_name.empty()      ? rule->template_name
               : !opts.default_template->empty() ? *opts.default_template
                                                 : "blocked";
    }
    // The page goes out without the lock; a slow client must not hold up edits.
    const HEADER *request = connection->request;
    const HEADER *response = connection->response;
    const char *type = response && response->content_type ? response->content_type : nullptr;
    putlog(LOG_MIME, "blocked: mime-type %s from %s%s", type ? type : "(none)",
           request && request->host ? request->host : "", request && request->file ? request->file : "");

    connection->variables["FILTER"] = "MiMe Filter";
    // As received: an HTML template page escapes its variables itself.
    connection->variables["MIME"] = type ? type : "(UNKNOWN)";

    // A template name that exists nowhere still answers the client.
    refusal_page(connection, name.c_str());
    connection->log.filter_name = "mime-filter";
    connection->log.filtering_reason = type ? type : "(none)";
    return false;
}

void MimeSection::check_show(CONNECTION_T *connection) {
    if (!connection || !connection->request) return;
    SectionReadLock lock(this);
    const Mime *rule = check(connection);
    allow_deny_show(connection, "MIME filter", rule, "</table></td></tr> </table></body></html>\n");
}

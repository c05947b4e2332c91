#include "rewrite.h"

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "processors.h"
#include "profiles.h"
#include "regexp.h"

RewriteSection *rewrite_section = nullptr;

typedef RewriteSection::Rewrite Rewrite;
typedef RewriteSection::Options Options;

static const FIELD_BIND<Options> rewrite_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
};

static const FIELD_BIND<Rewrite> rewrite_fields[] = {
    FIELD_BIND_OF(Rewrite, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Rewrite, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Rewrite, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Rewrite, 3, "mime", FIELD_STRING, mime_text),  // both compiled after the read
    FIELD_BIND_OF(Rewrite, 4, "pattern", FIELD_STRING, search_text),
    FIELD_BIND_OF(Rewrite, 5, "replacement", FIELD_STRING, replacement),
    FIELD_BIND_OF(Rewrite, 6, "applies", FIELD_STRING_SELECT_MANY, kinds),
};

Section *rewrite_construct() {
    rewrite_section = new RewriteSection();
    return rewrite_section;
}

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK) {
    options_bind(rewrite_options, &opts);
    fields_declare(0, rewrite_fields);
    processors.Add(rewrite_reqmod, PROCESSOR_REQMOD);
    processors.Add(rewrite_respmod, PROCESSOR_RESPMOD);
    processors.Add(rewrite_buffcheck, PROCESSOR_BUFFCHECK);
    processors.Add(rewrite_reqheader, PROCESSOR_REQHEADER);
    processors.Add(rewrite_respheader, PROCESSOR_RESPHEADER);
}

RewriteSection::~RewriteSection() {
    if (rewrite_section == this) rewrite_section = nullptr;
}

RewriteSection::Rewrite::Rewrite(const Rewrite &other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      mime_text(other.mime_text),
      search_text(other.search_text),
      replacement(other.replacement),
      kinds(other.kinds) {
    prepare();
}

RewriteSection::Rewrite::~Rewrite() {
    if (search) reg_sub_free(search);
}

void RewriteSection::Rewrite::prepare() {
    mime = RulePattern(mime_text);
    if (search) reg_sub_free(search);
    search = search_text.empty() ? nullptr : reg_sub_compile(search_text.c_str(), 15);
}

bool RewriteSection::Rewrite::applies(const CONNECTION_T *connection, int kind) const {
    if (!enabled || !(kinds & kind) || !profile_find(connection->profiles, profiles)) return false;
    if (mime.empty()) return true;
    // Heads and request bodies have no type of their own: the empty text.
    const HEADER *response = connection->response;
    const char *type = kind == REWRITE_BODY && response && response->content_type ? response->content_type : "";
    return mime.matches(type);
}

void RewriteSection::update() {
    rules.clear();
    if (subsections.empty()) return;
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        rules.emplace_back();
        fields_read(rewrite_fields, item.fields, &rules.back());
        rules.back().prepare();
    }
}

int RewriteSection::pattern_kind(size_t subsection, size_t position) const {
    if (subsection != 0) return PATTERN_NONE;
    if (position == 3) return PATTERN_MATCH;
    if (position == 4) return PATTERN_SUB;
    return PATTERN_NONE;
}

static const char *kind_name(int kind) {
    switch (kind) {
        case REWRITE_REQUEST_HEADER: return "client header";
        case REWRITE_RESPONSE_HEADER: return "server header";
        case REWRITE_BODY: return "body";
        case REWRITE_POST_BODY: return "post body";
        default: return "text";
    }
}

int RewriteSection::check_match(CONNECTION_T *connection, int kind) {
    int found = 0;
    SectionReadLock lock(this);
    if (*opts.enabled && !(connection->bypass & BYPASS_REWRITE)) {
        for (const Rewrite &rule : rules) {
            if (rule.search && rule.applies(connection, kind)) {
                found = 1;
                break;
            }
        }
    }
    return found;
}

int RewriteSection::rewrite_do(CONNECTION_T *connection, Filebuf *text, int kind) {
    if (!text) return 0;
    SectionReadLock lock(this);
    if (!*opts.enabled || (connection->bypass & BYPASS_REWRITE)) return 0;
    bool terminated = text->size > 0 && text->data[text->size - 1] == '\0';
    if (terminated) text->Resize(text->size - 1);
    int ran = 0;
    for (const Rewrite &rule : rules) {
        if (!rule.search || !rule.applies(connection, kind)) continue;
        ran = 1;
        int count = reg_replace(text, rule.search, rule.replacement.c_str(), &connection->variables);
        if (count > 0)
            putlog(LOG_REWRITE, "%s matched %d times in %s", rule.search_text.c_str(), count, kind_name(kind));
    }
    if (terminated) text->Add("", 1);
    return ran;
}

int rewrite_reqmod(CONNECTION_T *connection, Filebuf *body) {
    if (rewrite_section && body && body->size > 0) rewrite_section->rewrite_do(connection, body, REWRITE_POST_BODY);
    return 0;
}

int rewrite_respmod(CONNECTION_T *connection, Filebuf *body) {
    if (rewrite_section) rewrite_section->rewrite_do(connection, body, REWRITE_BODY);
    return 1;
}

int rewrite_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return rewrite_section ? rewrite_section->check_match(connection, REWRITE_BODY) : 0;
}

int rewrite_reqheader(CONNECTION_T *connection, Filebuf *text) {
    if (rewrite_section) rewrite_section->rewrite_do(connection, text, REWRITE_REQUEST_HEADER);
    return 1;
}

int rewrite_respheader(CONNECTION_T *connection, Filebuf *text) {
    if (rewrite_section) rewrite_section->rewrite_do(connection, text, REWRITE_RESPONSE_HEADER);
    return 1;
}

#include "keywords.h"

#include <stdio.h>
#include <string.h>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "hooks.h"
#include "lockguard.h"
#include "log.h"
#include "processors.h"
#include "profiles.h"
#include "templates.h"
#include "urlcommand.h"
#include "urlpages.h"

KeywordSection *keyword_section = nullptr;

typedef KeywordSection::Keyword Keyword;
typedef KeywordSection::Options Options;

static const FIELD_BIND<Options> keyword_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Options, 1, "threshold", FIELD_INT, threshold),
    FIELD_BIND_OF(Options, 2, "template", FIELD_STRING, template_name),
};

static const FIELD_BIND<Keyword> keyword_fields[] = {
    FIELD_BIND_OF(Keyword, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Keyword, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Keyword, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Keyword, 3, "mime", FIELD_STRING, mime_text),  // compiled after the read
    FIELD_BIND_OF(Keyword, 4, "keyword", FIELD_STRING, body_text),
    FIELD_BIND_OF(Keyword, 5, "score", FIELD_INT, score),
};

Section *keyword_construct() {
    keyword_section = new KeywordSection();
    return keyword_section;
}

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK) {
    options_bind(keyword_options, &opts);
    fields_declare(0, keyword_fields);
    processors.Add(keyword_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(keyword_buffcheck, PROCESSOR_BUFFCHECK);
    hooks.Add(keyword_prerespmod, HOOK_PRERESPMOD);
}

KeywordSection::~KeywordSection() {
    if (keyword_section == this) keyword_section = nullptr;
}

void KeywordSection::Keyword::prepare() {
    mime = RulePattern(mime_text);
    // Body patterns run over whole bodies: worth compiling to machine code.
    body = RulePattern(body_text, true);
}

bool KeywordSection::Keyword::applies(const CONNECTION_T *connection) const {
    if (!enabled || !profile_find(connection->profiles, profiles)) return false;
    if (mime.empty()) return true;
    const HEADER *response = connection->response;
    return mime.matches(response && response->content_type ? response->content_type : "");
}

void KeywordSection::update() {
    rules_read(subsection_at(0), keyword_fields, &rules, [](Keyword &rule, const Item &) { rule.prepare(); });
}

int KeywordSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection == 0 && (position == 3 || position == 4) ? PATTERN_MATCH : PATTERN_NONE;
}

int KeywordSection::check_match(CONNECTION_T *connection) {
    SectionReadLock lock(this);
    if (!*opts.enabled || (connection->bypass & BYPASS_KEYWORD)) return 0;
    for (const Keyword &rule : rules) {
        if (!rule.body.empty() && rule.applies(connection)) return 1;
    }
    return 0;
}

int KeywordSection::score_held(CONNECTION_T *connection, Filebuf *body) {
    if (!*opts.enabled || (connection->bypass & BYPASS_KEYWORD)) return 0;
    int total = 0;
    // Matched as a text: a zero byte ends it. Its length is found once, not
    // by every rule.
    const char *text = body && body->data ? body->data : "";
    size_t length = body && body->data && body->size > 0 ? (size_t)body->size : 0;
    const char *zero = (const char *)memchr(text, 0, length);
    if (zero) length = (size_t)(zero - text);
    for (const Keyword &rule : rules) {
        if (!rule.applies(connection)) continue;
        if (rule.body.empty() || !body || rule.body.matches(text, length)) total += rule.score;
    }
    return total;
}

int KeywordSection::check(CONNECTION_T *connection, Filebuf *body) {
    SectionReadLock lock(this);
    return score_held(connection, body);
}

int KeywordSection::check_and_block(CONNECTION_T *connection, Filebuf *body) {
    // Score and threshold come from one configuration; the page is sent
    // after the lock is dropped, a slow client must not hold up edits.
    int score;
    int threshold;
    std::string name;
    {
        SectionReadLock lock(this);
        score = score_held(connection, body);
        if (score == 0) return 0;
        threshold = *opts.threshold;
        name = opts.template_name->empty() ? "blocked" : *opts.template_name;
    }
    char text[32];
    snprintf(text, sizeof text, "%d", score);
    connection->variables["SCORE"] = text;
    snprintf(text, sizeof text, "%d", threshold);
    connection->variables["THRESHOLD"] = text;
    if (score < threshold) return 0;
    char reason[96];
    snprintf(reason, sizeof reason, "score: %d exceeded threshold: %d", score, threshold);
    connection->variables["FILTER"] = "KeyWord Filter";
    connection->variables["REASON"] = reason;
    putlog(LOG_KEYWORD, "blocked: score:%d threshold:%d", score, threshold);
    // A template name that exists nowhere still answers the client.
    refusal_page(connection, name.c_str());
    connection->log.filter_name = "keyword-filter";
    snprintf(text, sizeof text, "%d", score);
    connection->log.filtering_reason = text;
    return 1;
}

int keyword_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return keyword_section ? keyword_section->check_match(connection) : 0;
}

int keyword_respcheck(CONNECTION_T *connection, Filebuf *body) {
    return keyword_section ? keyword_section->check_and_block(connection, body) : 0;
}

int keyword_prerespmod(void *first, void *second) {
    CONNECTION_T *connection = (CONNECTION_T *)first;
    if (!keyword_section || !connection || !url_command_find(connection->url_commands, "score")) return 0;
    score_show(connection, keyword_section->check(connection, (Filebuf *)second));
    return 1;
}

#include "headerfilter.h"

#include <string.h>

#include "connection.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "proto_http.h"

HeaderSection *header_section = nullptr;

typedef HeaderSection::Header Header;
typedef HeaderSection::Options Options;

static const FIELD_BIND<Options> header_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Options, 1, "order", FIELD_STRING_SELECT_ONE, policy),
};

static const FIELD_BIND<Header> header_fields[] = {
    FIELD_BIND_OF(Header, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Header, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Header, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Header, 3, "name", FIELD_STRING, name_text),
    FIELD_BIND_OF(Header, 4, "value", FIELD_STRING, value_text),
    FIELD_BIND_OF(Header, 5, "direction", FIELD_STRING_SELECT_MANY, direction),
};

Section *header_construct() {
    header_section = new HeaderSection();
    return header_section;
}

HeaderSection::HeaderSection() : Section("header-filtering", SECTION_RWLOCK) {
    options_bind(header_options, &opts);
    fields_declare(0, header_fields);  // allow
    fields_declare(1, header_fields);  // deny
    fields_declare(2, header_fields);  // add
}

static bool has_line_break(const std::string &text) { return text.find_first_of("\r\n") != std::string::npos; }

void HeaderSection::Header::prepare(bool patterns) {
    if (patterns) {
        name = RulePattern(name_text);
        value = RulePattern(value_text);
        refused = name.failed() || value.failed();
    } else {
        // An added line must stay one line.
        refused = has_line_break(name_text) || has_line_break(value_text);
    }
}

// Many servers read '_' in a header name as '-' (X_Secret arrives as
// X-Secret), so a rule naming one spelling holds for the other as well.
static bool name_matches(const RulePattern &pattern, const std::string &name) {
    if (pattern.matches(name.c_str())) return true;
    if (name.find('_') == std::string::npos) return false;
    std::string dashed = name;
    for (char &c : dashed)
        if (c == '_') c = '-';
    return pattern.matches(dashed.c_str());
}

bool HeaderSection::Header::matches(const StringList &profiles, const HTTP_HEADER &line, int want) const {
    return !refused && (direction & want) && holds(profiles) && name_matches(name, line.name) &&
           value.matches(line.value.c_str());
}

static void rules_build(const char *section, const Subsection *subsection, bool patterns, std::vector<Header> *rules) {
    rules_read(subsection, header_fields, rules, [&](Header &rule, const Item &item) {
        rule.entry = &item;
        rule.prepare(patterns);
        if (rule.refused)
            allow_deny_refused(section, *subsection, rule,
                               patterns ? "its pattern does not compile" : "its name or value holds a line break");
    });
}

void HeaderSection::update() {
    rules_build(name.c_str(), subsection_at(0), true, &allow);
    rules_build(name.c_str(), subsection_at(1), true, &deny);
    rules_build(name.c_str(), subsection_at(2), false, &add);
}

int HeaderSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection <= 1 && (position == 3 || position == 4) ? PATTERN_MATCH : PATTERN_NONE;
}

void HeaderSection::filter(CONNECTION_T *connection, int direction) {
    if (!connection) return;
    HEADER *header = direction == HEADER_FILTER_REQUEST ? connection->request : connection->response;
    if (!header) return;
    SectionReadLock lock(this);
    if ((connection->bypass & BYPASS_HEADER) || !*opts.enabled) return;
    const char *side = direction == HEADER_FILTER_REQUEST ? "client" : "server";
    const StringList &profiles = connection->profiles;
    header->flags |= HEADER_FILTERED;
    header->filtered.clear();
    for (const HTTP_HEADER &line : header->headers) {
        AllowDeny<Header> decision = allow_deny(
            *opts.policy, allow, deny, [&](const Header &rule) { return rule.matches(profiles, line, direction); });
        if (decision.blocked) {
            putlog(LOG_HEADER, "removed: from %s: %s: %s", side, line.name.c_str(), line.value.c_str());
            continue;
        }
        header->filtered.push_back(line);
    }
    for (const Header &rule : add) {
        if (rule.refused || !(rule.direction & direction) || !rule.holds(profiles)) continue;
        if (rule.name_text.empty() || rule.value_text.empty()) continue;
        HTTP_HEADER line;
        line.pass = 1;
        line.name = rule.name_text;
        line.value = rule.value_text;
        header->filtered.push_back(line);
        putlog(LOG_HEADER, "added: to %s: %s: %s", side, line.name.c_str(), line.value.c_str());
    }
}

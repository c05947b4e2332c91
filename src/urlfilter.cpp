#include "urlfilter.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "network.h"
#include "processors.h"
#include "regexp.h"
#include "templates.h"
#include "urlnorm.h"

FilterSection *filter_section = nullptr;

/* ---- one rule ---- */

static const FIELD_BIND<Filter> filter_fields[] = {
    ALLOWDENY_FIELDS(Filter),
    // The pattern texts are compiled after the read.
    FIELD_BIND_OF(Filter, 3, "host", FIELD_STRING, host_text),
    FIELD_BIND_OF(Filter, 4, "path", FIELD_STRING, path_text),
    FIELD_BIND_OF(Filter, 5, "addresses", FIELD_IP_RANGE_LIST, addresses),
    FIELD_BIND_OF(Filter, 6, "template", FIELD_STRING, template_name),
};

Filter::Filter(const Item &item) {
    entry = &item;
    fields_read(filter_fields, item.fields, this);
    compile();
}

Filter::Filter(const Filter &other)
    : AllowDenyRule(other),
      host_text(other.host_text),
      path_text(other.path_text),
      addresses(other.addresses),
      template_name(other.template_name) {
    compile();
}

Filter &Filter::operator=(const Filter &other) {
    if (this == &other) return *this;
    release();
    AllowDenyRule::operator=(other);
    host_text = other.host_text;
    path_text = other.path_text;
    addresses = other.addresses;
    template_name = other.template_name;
    compile();
    return *this;
}

Filter::~Filter() { release(); }

void Filter::compile() {
    host = host_text.empty() ? nullptr : reg_compile(host_text.c_str(), 1);
    path = path_text.empty() ? nullptr : reg_compile(path_text.c_str(), 1);
}

void Filter::release() {
    if (host) reg_free(host);
    if (path) reg_free(path);
    host = path = nullptr;
}

/* ---- the host index ---- */

namespace {

bool name_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

}  // namespace

HostIndex::Kind HostIndex::literal(const std::string &pattern, std::string *name) {
    static const char *const domain_starts[] = {"(^|\\.)", "(^|[.])", "(?:^|\\.)", "(?:^|[.])"};
    Kind kind = ENDING;
    size_t at = 0;
    for (const char *start : domain_starts) {
        size_t length = strlen(start);
        if (pattern.compare(0, length, start) == 0) {
            kind = DOMAIN;
            at = length;
            break;
        }
    }
    if (kind == ENDING && !pattern.empty() && pattern[0] == '^') {
        kind = EXACT;
        at = 1;
    }
    std::string out;
    while (at < pattern.size()) {
        char c = pattern[at];
        if (c == '$' && at + 1 == pattern.size()) {
            if (out.empty()) return NONE;
            *name = out;
            return kind;
        }
        if (c == '\\' && at + 1 < pattern.size() && pattern[at + 1] == '.') {
            out += '.';
            at += 2;
        } else if (pattern.compare(at, 3, "[.]") == 0) {
            out += '.';
            at += 3;
        } else if (name_character(c)) {
            // Matched without case, as every condition pattern; only ASCII
            // letters have a case there.
            out += ascii_lower(c);
            at++;
        } else {
            return NONE;
        }
    }
    return NONE;
}

void HostIndex::build(const std::vector<std::string> &patterns) {
    by_name_.clear();
    names_.clear();
    others_.clear();
    endings_ = false;
    count_ = patterns.size();
    for (size_t position = 0; position < patterns.size(); position++) {
        std::string name;
        Kind kind = literal(patterns[position], &name);
        if (kind == NONE) {
            others_.push_back(position);
            continue;
        }
        if (kind == ENDING) endings_ = true;
        auto found = by_name_.find(std::string_view(name));
        if (found == by_name_.end()) {
            names_.push_back(name);
            found = by_name_.emplace(std::string_view(names_.back()), std::vector<Entry>()).first;
        }
        found->second.push_back({position, kind});
    }
}

size_t HostIndex::first_match(const std::string &host, const std::function<bool(size_t)> &matches) const {
    // "$" matches before a final newline too, and a zero byte ends the text
    // a pattern sees: such a host is left to the patterns alone.
    if (by_name_.empty() || host.find('\n') != std::string::npos || host.find('\0') != std::string::npos) {
        for (size_t position = 0; position < count_; position++)
            if (matches(position)) return position;
        return npos;
    }
    std::string lower(host);
    for (char &c : lower) c = ascii_lower(c);
    std::vector<size_t> candidates;
    for (size_t at = 0; at < lower.size(); at++) {
        bool label = at == 0 || lower[at - 1] == '.';
        if (!label && !endings_) continue;
        auto found = by_name_.find(std::string_view(lower).substr(at));
        if (found == by_name_.end()) continue;
        for (const Entry &entry : found->second) {
            if (entry.kind == EXACT && at != 0) continue;
            if (entry.kind == DOMAIN && !label) continue;
            candidates.push_back(entry.position);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    size_t a = 0, b = 0;
    while (a < candidates.size() || b < others_.size()) {
        size_t next;
        if (b >= others_.size() || (a < candidates.size() && candidates[a] < others_[b])) next = candidates[a++];
        else next = others_[b++];
        if (matches(next)) return next;
    }
    return npos;
}

/* ---- the section ---- */

static const FIELD_BIND<FilterSection::Options> filter_options[] = {
    FIELD_BIND_OF(FilterSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(FilterSection::Options, 1, "order", FIELD_STRING_SELECT_ONE, order),
    FIELD_BIND_OF(FilterSection::Options, 2, "template", FIELD_STRING, template_name),
};

Section *filter_construct() {
    filter_section = new FilterSection();
    return filter_section;
}

int filter_reqcheck(CONNECTION_T *connection, Filebuf *) {
    return filter_section ? filter_section->check_and_block(connection) : 0;
}

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK) {
    options_bind(filter_options, &opts);
    fields_declare(0, filter_fields);  // allow
    fields_declare(1, filter_fields);  // deny
    processors.Add(filter_reqcheck, PROCESSOR_REQCHECK);
}

FilterSection::~FilterSection() {
    if (filter_section != this) return;
    processors.Remove(filter_reqcheck);
    filter_section = nullptr;
}

namespace {

void index_build(const std::list<Filter> &list, std::vector<const Filter *> *rules, HostIndex *index) {
    rules->clear();
    std::vector<std::string> patterns;
    for (const Filter &rule : list) {
        rules->push_back(&rule);
        // A pattern that did not compile is no host condition at all.
        patterns.push_back(rule.host ? rule.host_text : std::string());
    }
    index->build(patterns);
}

}  // namespace

void FilterSection::update() {
    entries_build(0, &allow);
    entries_build(1, &deny);
    index_build(allow, &allow_rules_, &allow_index_);
    index_build(deny, &deny_rules_, &deny_index_);
}

int FilterSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection <= 1 && (position == 3 || position == 4) ? PATTERN_MATCH : PATTERN_NONE;
}

namespace {

// The host as rules see it: "example.com." names the same host as
// "example.com", so a trailing dot must not slip past a host pattern; nor
// may another spelling of a numeric address.
std::string host_for_rules(const HEADER *request) {
    std::string host = request && request->host ? request->host : "";
    while (!host.empty() && host.back() == '.') host.pop_back();
    return url_host_normalise(host);
}

// The server address of one decision, looked up at most once.
struct Address {
    bool looked_up = false;
    bool resolved = false;
    std::string dotted;
};

bool filter_matches(const Filter &rule, CONNECTION_T *connection, const std::string &host, const std::string &path,
                    Address *address) {
    if (!rule.holds(connection->profiles)) return false;
    if (rule.host && reg_exec(rule.host, host.c_str()) != 0) return false;
    if (rule.path && reg_exec(rule.path, path.c_str()) != 0) return false;
    if (rule.addresses.empty() || (connection->flags & CONN_OFFLINE)) return true;
    if (!address->looked_up) {
        address->looked_up = true;
        HOSTENT *found = host.empty() ? nullptr : net_dns(host.c_str());
        if (found && found->address && found->length == 4) {
            char text[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, found->address, text, sizeof text)) {
                address->resolved = true;
                address->dotted = text;
            }
        }
        if (found) hostent_free(found);
    }
    // A host that does not resolve satisfies every address condition.
    return !address->resolved || rule.addresses.has(address->dotted);
}

}  // namespace

const Filter *FilterSection::check(CONNECTION_T *connection) {
    if (!connection || !connection->request) return nullptr;
    if (!*opts.enabled || (connection->bypass & BYPASS_URLFILTER)) return nullptr;
    const std::string host = host_for_rules(connection->request);
    const std::string path = url_path_for_rules(connection->request->file ? connection->request->file : "");
    Address address;
    auto first = [&](const std::vector<const Filter *> &rules, const HostIndex &index) -> const Filter * {
        size_t at = index.first_match(
            host, [&](size_t i) { return filter_matches(*rules[i], connection, host, path, &address); });
        return at == HostIndex::npos ? nullptr : rules[at];
    };
    AllowDeny<Filter> decision = allow_deny_first<Filter>(
        *opts.order, [&] { return first(allow_rules_, allow_index_); },
        [&] { return first(deny_rules_, deny_index_); });
    if (!decision.blocked) return nullptr;
    return decision.rule ? decision.rule : &default_rule;
}

int FilterSection::check_and_block(CONNECTION_T *connection) {
    std::string name;
    {
        SectionReadLock lock(this);
        const Filter *rule = check(connection);
        if (!rule) return 0;
        name = rule->template_name;
        if (name.empty()) name = *opts.template_name;
    }
    // The page goes out without the lock; a slow client must not hold up edits.
    HEADER *request = connection->request;
    putlog(LOG_URLFILTER, "blocked: %s%s", request->host ? request->host : "", request->file ? request->file : "");
    if (name.empty()) name = "blocked";
    int status = request->type == HEADER_CONNECT ? 404 : 403;
    connection->variables["FILTER"] = "URL Filter";
    // A template name that exists nowhere still answers the client.
    refusal_page(connection, name.c_str(), status);
    connection->log.filter_name = "url-filter";
    connection->log.filtering_reason = "-";
    return 1;
}

void FilterSection::check_show(CONNECTION_T *connection) {
    if (!connection || !connection->request) return;
    SectionReadLock lock(this);
    const Filter *rule = check(connection);
    allow_deny_show(connection, "URL filter", rule, "</table></td></tr></table></body></html>\n");
}

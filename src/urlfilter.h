// URL filter: the "url-filtering" section decides, before the cache is
// consulted, whether a request may go on, by matching its host, path and
// server address against an allow list and a deny list (the allow/deny
// pattern, allowdeny.h). A blocked request gets a template page and ends.
// The URL command "filter" shows the rule that decides a request instead.
#ifndef KORVANTEL_URLFILTER_H
#define KORVANTEL_URLFILTER_H

#include <deque>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "allowdeny.h"
#include "field.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct regex_posix_t;

// One rule, built from one entry: fields 0 to 2 as every allow/deny rule,
// 3 host pattern, 4 path pattern, 5 server address ranges, 6 template.
class Filter : public AllowDenyRule {
public:
    std::string host_text;
    std::string path_text;
    IpRangeList addresses;  // empty: no address condition
    std::string template_name;
    regex_posix_t *host = nullptr;  // null: any host
    regex_posix_t *path = nullptr;  // null: any path

    // The built-in default rule: no entry, enabled, no conditions.
    Filter() {}
    explicit Filter(const Item &item);
    Filter(const Filter &other);
    Filter &operator=(const Filter &other);
    ~Filter();

private:
    void compile();
    void release();
};

// A rule list indexed by host. A rule whose host pattern is a plain
// literal name -- the host itself, `^name$`; the domain and its subdomains,
// `(^|\.)name$`; any host ending so, `name$` (dots as `\.` or `[.]`) -- is
// found by hash look-ups of the host's endings instead of a regular-
// expression match per rule; every other rule is tried in turn. Candidates
// of both kinds are tried merged in list order, so the first match is the
// one a plain scan finds, and each is tried in full (its other conditions
// too).
class HostIndex {
public:
    static constexpr size_t npos = (size_t)-1;
    enum Kind { NONE, EXACT, DOMAIN, ENDING };

    HostIndex() {}
    HostIndex(const HostIndex &) = delete;
    HostIndex &operator=(const HostIndex &) = delete;

    // The shape of a host pattern, with its name in lower case.
    static Kind literal(const std::string &pattern, std::string *name);
    // Rebuilds the index over the rules' host patterns, in list order.
    void build(const std::vector<std::string> &patterns);
    // The first position in list order for which matches(position) holds,
    // trying only those rules whose host pattern can match the host; npos
    // when none does.
    size_t first_match(const std::string &host, const std::function<bool(size_t)> &matches) const;

private:
    struct Entry {
        size_t position;
        Kind kind;
    };
    std::deque<std::string> names_;  // the keys' storage; a deque never moves them
    std::unordered_map<std::string_view, std::vector<Entry>> by_name_;
    std::vector<size_t> others_;  // positions of the rules tried in turn
    size_t count_ = 0;
    bool endings_ = false;  // some `name$` rule: every ending of a host is looked up
};

class FilterSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;                // the filter is on
        const int *order = nullptr;                  // non-zero: the allow list first
        const std::string *template_name = nullptr;  // used when the rule names none
    };
    Options opts;
    std::list<Filter> allow;
    std::list<Filter> deny;
    Filter default_rule;

    // Builds the section and registers filter_reqcheck as a request check.
    FilterSection();
    ~FilterSection() override;
    // Rebuilds both lists from the entry lists (framework, write lock held).
    void update() override;
    // Fields 3 and 4 of both lists are patterns.
    int pattern_kind(size_t subsection, size_t position) const override;

    // The rule that blocks the request, the default rule when no allow rule
    // admitted it, or null when it passes. The caller holds the read lock.
    const Filter *check(CONNECTION_T *connection);
    // 1 when the request was blocked and its page sent, else 0.
    int check_and_block(CONNECTION_T *connection);
    // The page of the URL command "filter": the deciding rule, or "None".
    void check_show(CONNECTION_T *connection);

private:
    // The lists' rules in order, and their host indexes; rebuilt by update().
    std::vector<const Filter *> allow_rules_, deny_rules_;
    HostIndex allow_index_, deny_index_;
};

extern FilterSection *filter_section;

// The request-check callback: the result of check_and_block.
int filter_reqcheck(CONNECTION_T *connection, Filebuf *buffer);

// Builds the section (and sets filter_section), for the section registry.
Section *filter_construct();

#endif

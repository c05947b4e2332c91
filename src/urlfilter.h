// URL filter: the "url-filtering" section decides, before the cache is
// consulted, whether a request may go on, by matching its host, path and
// server address against an allow list and a deny list (the allow/deny
// pattern, allowdeny.h). A blocked request gets a template page and ends.
// The URL command "filter" shows the rule that decides a request instead.
#ifndef KORVANTEL_URLFILTER_H
#define KORVANTEL_URLFILTER_H

#include <list>
#include <string>

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
};

extern FilterSection *filter_section;

// The request-check callback: the result of check_and_block.
int filter_reqcheck(CONNECTION_T *connection, Filebuf *buffer);

// Builds the section (and sets filter_section), for the section registry.
Section *filter_construct();

#endif

// The MIME filter ("mime-filtering"): blocks responses by their Content-Type,
// together with the request's host and path, by the allow/deny pattern with
// a built-in default rule. The HTTP exchange asks it once the response head
// is known, for responses that carry a body. The URL command "mime" shows
// the rule that decides a response instead.
#ifndef KORVANTEL_MIMEFILTER_H
#define KORVANTEL_MIMEFILTER_H

#include <string>
#include <vector>

#include "allowdeny.h"
#include "rulepattern.h"
#include "section.h"

struct CONNECTION_T;

class MimeSection : public Section {
public:
    // One rule, built from one entry: fields 0-2 (see AllowDenyRule), 3 host
    // pattern, 4 path pattern, 5 Content-Type pattern, 6 template name.
    struct Mime : AllowDenyRule {
        std::string host_text;
        std::string path_text;
        std::string mime_text;
        RulePattern host;
        RulePattern path;
        RulePattern mime;
        std::string template_name;  // empty: the section's default template
        bool refused = false;       // a pattern that does not compile (a load refuses it first)

        // The built-in default rule: no entry, enabled, no condition.
        Mime() {}
        // Compiles the patterns once the fields are read.
        void prepare();
        bool matches(const CONNECTION_T *connection) const;
    };

    struct Options {
        const int *enabled;                   // option 0
        const int *policy;                    // option 1: non-zero = allow list first
        const std::string *default_template;  // option 2: empty = none
    } opts;
    std::vector<Mime> allow;
    std::vector<Mime> deny;
    Mime default_rule;

    MimeSection();
    ~MimeSection() override;
    void update() override;
    // Fields 3 to 5 of both lists are patterns.
    int pattern_kind(size_t subsection, size_t position) const override;
    // The rule that blocks the connection's response (a deny rule or the
    // default rule), or null when it passes. The caller holds the read lock.
    const Mime *check(const CONNECTION_T *connection);
    // True when the response may pass; false when it was blocked and the
    // block page has been sent. Takes the read lock.
    bool check_and_block(CONNECTION_T *connection);
    // The page of the URL command "mime": the deciding rule, or "None".
    void check_show(CONNECTION_T *connection);
};

extern MimeSection *mime_section;

// Builds the section (and sets mime_section), for the section registry.
Section *mime_construct();

#endif

// Rewriting ("rewrite"): search-and-replace rules over four kinds of text
// passing through the proxy: the raw request head, the raw response head,
// the buffered response body and the request body. Every rule that applies
// to a kind runs, in list order, each on the result of the one before. A
// replacement may use captures ("$1") and template variables ("@NAME@").
#ifndef KORVANTEL_REWRITE_H
#define KORVANTEL_REWRITE_H

#include <string>
#include <vector>

#include "rulepattern.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct regex_sub_t;

// Kinds of text (bits of a rule's kinds field).
enum {
    REWRITE_REQUEST_HEADER = 1,
    REWRITE_RESPONSE_HEADER = 2,
    REWRITE_BODY = 4,
    REWRITE_POST_BODY = 8,
};

class RewriteSection : public Section {
public:
    // One rule, built from one entry. Owns its compiled search pattern.
    struct Rewrite {
        bool enabled = false;
        std::string comment;
        StringList profiles;
        std::string mime_text;    // over the Content-Type (bodies), the empty text otherwise
        std::string search_text;  // empty: the rule never rewrites
        std::string replacement;
        int kinds = 0;  // REWRITE_* bits
        RulePattern mime;
        regex_sub_t *search = nullptr;

        Rewrite() {}
        Rewrite(const Rewrite &other);
        Rewrite &operator=(const Rewrite &other) = delete;
        ~Rewrite();
        void prepare();
        bool applies(const CONNECTION_T *connection, int kind) const;
    };
    struct Options {
        const int *enabled = nullptr;
    };

    Options opts;
    std::vector<Rewrite> rules;

    // Builds the section and registers its processors: request body,
    // response body, buffering check, request head, response head.
    RewriteSection();
    ~RewriteSection() override;
    void update() override;
    // Field 3 is a condition pattern, field 4 a search pattern.
    int pattern_kind(size_t subsection, size_t position) const override;

    // 1 when some rule would rewrite a text of that kind.
    int check_match(CONNECTION_T *connection, int kind);
    // Applies every rule of the kind to the text in place; 1 when at least
    // one rule was run on it. A trailing zero byte (head texts carry one)
    // stays out of the rules' reach and in place.
    int rewrite_do(CONNECTION_T *connection, Filebuf *text, int kind);
};

extern RewriteSection *rewrite_section;

int rewrite_reqmod(CONNECTION_T *connection, Filebuf *body);
int rewrite_respmod(CONNECTION_T *connection, Filebuf *body);
int rewrite_buffcheck(CONNECTION_T *connection, Filebuf *unused);
int rewrite_reqheader(CONNECTION_T *connection, Filebuf *text);
int rewrite_respheader(CONNECTION_T *connection, Filebuf *text);

// Builds the section (and sets rewrite_section), for the section registry.
Section *rewrite_construct();

#endif

// The keyword filter ("keywords-filtering"): scores a buffered response body
// by weighted rules and blocks it with a template page once the total
// reaches the threshold. It asks for the body to be buffered when a rule
// needs to read it, checks the buffered body among the response checks, and
// answers the URL command "score" with the score instead of the response.
#ifndef KORVANTEL_KEYWORDS_H
#define KORVANTEL_KEYWORDS_H

#include <string>
#include <vector>

#include "rulepattern.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

class KeywordSection : public Section {
public:
    // One rule, built from one entry.
    struct Keyword {
        bool enabled = false;
        std::string comment;
        StringList profiles;    // profile condition
        std::string mime_text;  // over the response's Content-Type; empty: any
        std::string body_text;  // over the body; empty: scores without reading it
        int score = 0;          // added when the rule matches (may be negative)
        RulePattern mime;
        RulePattern body;

        // Compiles the patterns once the fields are read.
        void prepare();
        // Enabled, its profiles hold and its MIME pattern matches.
        bool applies(const CONNECTION_T *connection) const;
    };
    struct Options {
        const int *enabled = nullptr;
        const int *threshold = nullptr;
        const std::string *template_name = nullptr;  // empty: "blocked"
    };

    Options opts;
    std::vector<Keyword> rules;

    // Builds the section and registers the response check, the buffering
    // check and the "score" hook.
    KeywordSection();
    ~KeywordSection() override;
    void update() override;
    // Fields 3 and 4 of the rules are patterns.
    int pattern_kind(size_t subsection, size_t position) const override;

    // 1 when some rule must read the body, so it must be buffered.
    int check_match(CONNECTION_T *connection);
    // The total score of the body (0 when off or bypassed). Text after a
    // zero byte in the body is not read.
    int check(CONNECTION_T *connection, Filebuf *body);
    // 1 when the response was blocked and its page sent, else 0.
    int check_and_block(CONNECTION_T *connection, Filebuf *body);

private:
    // check's score, with the read lock already held.
    int score_held(CONNECTION_T *connection, Filebuf *body);
};

extern KeywordSection *keyword_section;

int keyword_buffcheck(CONNECTION_T *connection, Filebuf *unused);
int keyword_respcheck(CONNECTION_T *connection, Filebuf *body);
// The "score" command: answers with the score page; 1 when it answered.
int keyword_prerespmod(void *connection, void *body);

// Builds the section (and sets keyword_section), for the section registry.
Section *keyword_construct();

#endif

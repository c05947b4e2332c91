// Redirection: the "redirect" section rewrites URLs by regular-expression
// rules. For a request, the first matching rule either answers the client at
// once with a 302 to the new URL or changes the request in place so that the
// proxy fetches the new URL instead; for a 301 or 302 response, it replaces
// the Location the client receives.
#ifndef KORVANTEL_REDIRECT_H
#define KORVANTEL_REDIRECT_H

#include <list>
#include <string>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
struct regex_sub_t;

// Kinds of redirect_do.
enum { REDIRECT_REQUEST = 0, REDIRECT_LOCATION = 1 };

// Bits of a rule's coding (field 7).
enum {
    REDIRECT_ENCODE = 0x1,          // URL-encode the path of the new URL
    REDIRECT_DECODE_SUBJECT = 0x2,  // match against the URL-decoded subject
    REDIRECT_DECODE = 0x4,          // URL-decode the path of the new URL
};

// Values of field 8: what a rule applies to.
enum { REDIRECT_APPLIES_LOCATION = 0, REDIRECT_APPLIES_REQUEST = 1, REDIRECT_APPLIES_BOTH = 2 };

// One rule, built from one entry.
class Redirect {
public:
    bool enabled = false;            // field 0
    std::string comment;             // 1
    StringList profiles;             // 2
    std::string pattern_text;        // 3
    std::string replacement;         // 4
    int port = -1;                   // 5: -1 keeps the request's port
    int answer = 0;                  // 6: 1 answers with a 302, else rewrites in place
    unsigned int coding = 0;         // 7: REDIRECT_* bits
    int applies = 0;                 // 8: REDIRECT_APPLIES_*, other values never
    regex_sub_t *pattern = nullptr;  // null: the rule never matches

    explicit Redirect(const Item &item);
    Redirect(const Redirect &other);
    Redirect &operator=(const Redirect &other) = delete;
    ~Redirect();

    bool applies_to(int kind) const;
};

class RedirectSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;
    };
    Options opts;
    std::list<Redirect> rules;

    RedirectSection();
    ~RedirectSection() override;
    // Rebuilds the rules from the entry list (framework, write lock held).
    void update() override;
    // Field 3 of the entries is a substitution pattern.
    int pattern_kind(size_t subsection, size_t position) const override;

    // Applies the first matching rule to the request (REDIRECT_REQUEST) or
    // to the Location of the response (REDIRECT_LOCATION). 1 when a 302 was
    // sent to the client (the request ends), 0 otherwise.
    int redirect_do(CONNECTION_T *connection, int kind);
};

extern RedirectSection *redirect_section;

// Builds the section (and sets redirect_section), for the section registry.
Section *redirect_construct();

#endif

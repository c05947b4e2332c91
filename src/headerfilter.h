// The header filter ("header-filtering"): decides line by line which header
// lines of a request (on its way to the server) and of a response (on its
// way to the client) are written, by the allow/deny pattern, and adds the
// configured lines. The result is the header's filtered list, which the
// header writer then emits in place of the full list.
#ifndef KORVANTEL_HEADERFILTER_H
#define KORVANTEL_HEADERFILTER_H

#include <string>
#include <vector>

#include "allowdeny.h"
#include "rulepattern.h"
#include "section.h"

struct CONNECTION_T;
struct HTTP_HEADER;

// Direction bits of a rule (entry field 5) and of HeaderSection::filter.
enum { HEADER_FILTER_REQUEST = 1, HEADER_FILTER_RESPONSE = 2 };

class HeaderSection : public Section {
public:
    // One rule, built from one entry: fields 0-2 (see AllowDenyRule), 3 the
    // name, 4 the value (patterns in the allow and deny lists, the line's
    // text in the add list), 5 the direction bits.
    struct Header : AllowDenyRule {
        RulePattern name;  // allow and deny lists only
        RulePattern value;
        std::string name_text;
        std::string value_text;
        int direction = 0;
        bool refused = false;  // a pattern or an added line that cannot be used

        Header() {}
        // Compiles the patterns (allow and deny lists) or checks the line
        // to add (add list), once the fields are read.
        void prepare(bool patterns);
        // Whether the rule judges this line of a header of that direction.
        bool matches(const StringList &profiles, const HTTP_HEADER &line, int direction) const;
    };

    std::vector<Header> allow;
    std::vector<Header> deny;
    std::vector<Header> add;
    struct Options {
        const int *enabled;  // option 0: non-zero = on
        const int *policy;   // option 1: non-zero = allow list first
    } opts;

    HeaderSection();
    // Rebuilds the three lists from the entry lists (write lock held).
    void update() override;
    // Fields 3 and 4 of the allow and deny lists are patterns; the add list
    // holds plain text.
    int pattern_kind(size_t subsection, size_t position) const override;
    // Filters the request header (HEADER_FILTER_REQUEST) or the response
    // header (HEADER_FILTER_RESPONSE) of the connection into its filtered
    // list and makes the writer use that list. Takes the read lock.
    void filter(CONNECTION_T *connection, int direction);
};

extern HeaderSection *header_section;

// Builds the section (and sets header_section), for the section registry.
Section *header_construct();

#endif

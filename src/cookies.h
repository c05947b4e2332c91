// The cookie filter ("cookies-filtering"): decides, for every Cookie line the
// proxy sends to a server and every Set-Cookie line it passes to a client,
// whether it goes out, by the allow/deny pattern. The header writer asks
// CookieSection::check for each such line and leaves out the refused ones.
#ifndef KORVANTEL_COOKIES_H
#define KORVANTEL_COOKIES_H

#include <vector>

#include "allowdeny.h"
#include "rulepattern.h"
#include "section.h"
#include "timerange.h"

class CookieHeader;
struct CONNECTION_T;

// Directions of CookieSection::check and of a rule (entry field 11).
enum { COOKIE_RECEIVED = 0, COOKIE_SENT = 1, COOKIE_BOTH = 2 };

class CookieSection : public Section {
public:
    // One rule, built from one entry: fields 0-2 (see AllowDenyRule); 3 to 8
    // optional ranges of the expiry's year, month (0-11), day, weekday
    // (0 = Sunday), hour and minute; 9 domain pattern; 10 path pattern;
    // 11 direction; 12 range mode (0: start and end are points in time,
    // otherwise each part within its own range).
    struct Cookie : AllowDenyRule {
        tm_partial start{};  // the expiry ranges; unset parts take no part
        tm_partial end{};
        bool ranged = false;  // some range is switched on
        std::string domain_text;
        std::string path_text;
        RulePattern domain;
        RulePattern path;
        int direction = COOKIE_BOTH;
        int mode = 0;
        bool refused = false;  // a pattern that does not compile (a load refuses it first)

        Cookie() {}
        // Compiles the patterns once the fields are read.
        void prepare();
        bool matches(const StringList &profiles, int direction, const CookieHeader &cookie) const;
    };

    struct Options {
        const int *enabled;  // option 0
        const int *policy;   // option 1: non-zero = allow list first
    } opts;
    std::vector<Cookie> allow;
    std::vector<Cookie> deny;

    CookieSection();
    ~CookieSection() override;
    void update() override;
    // Fields 9 and 10 of both lists are patterns.
    int pattern_kind(size_t subsection, size_t position) const override;
    // True when the cookie (direction COOKIE_RECEIVED: a Set-Cookie value
    // from a server; COOKIE_SENT: a Cookie value from the client) may pass.
    // Takes the read lock.
    bool check(int direction, CONNECTION_T *connection, CookieHeader &cookie);
};

extern CookieSection *cookie_section;

// The page of the URL command "cookies": every Cookie line of the request
// and every Set-Cookie line of the response as they arrived, parsed, each
// value escaped. The filter plays no part in it.
void interface_cookies_show(CONNECTION_T *connection);

// Builds the section (and sets cookie_section), for the section registry.
Section *cookie_construct();

#endif

// The cookie codec: one Cookie or Set-Cookie header value parsed into its
// name=value pairs and the attributes domain, path, expires and version, and
// built back into a value. Used by the header writer (through the cookie
// filter) and by the web interface's login cookie.
#ifndef KORVANTEL_COOKIEHEADER_H
#define KORVANTEL_COOKIEHEADER_H

#include <time.h>

#include <string>
#include <utility>
#include <vector>

class CookieHeader {
public:
    bool expiry_set = false;  // an expires attribute was parsed
    int version = 0;          // the version attribute; 0 = none
    // Every other attribute with a non-empty value, in order of appearance;
    // a later pair of the same name does not replace an earlier one.
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string domain;  // empty = none
    std::string path;    // empty = none
    struct tm expiry;    // calendar time (years from 1900); valid only when expiry_set

    CookieHeader();
    explicit CookieHeader(const std::string &value);

    // Adds the pieces of value (split at ';') to what is held. Leading
    // blanks and '$' of a piece are skipped; a piece without '=' or with an
    // empty value is dropped (so attribute-only flags such as Secure are not
    // kept: lines passed on are written as they arrived, never rebuilt).
    // version, domain, path and expires are recognised in any case; an
    // expires value in none of the known date forms is logged and kept as a
    // pair. A two-digit year is a two-digit year (69-99: 19xx, 00-68: 20xx).
    void Parse(const std::string &value);

    // The value as text: the pairs joined by "; ", then domain, path,
    // expires and version when set; the empty text when there are no pairs.
    std::string Build() const;

    // The expiry as "%a, %d-%b-%Y %H:%M:%S GMT" (empty when not set).
    std::string expiry_text() const;
};

// Reads a cookie date in one of the accepted forms into *out (years from
// 1900, weekday recomputed from the date); false when none fits.
bool cookie_date_parse(const std::string &text, struct tm *out);

#endif

#include "cookieheader.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "log.h"

CookieHeader::CookieHeader() { memset(&expiry, 0, sizeof expiry); }

CookieHeader::CookieHeader(const std::string &value) : CookieHeader() { Parse(value); }

// The accepted date forms. A form with a four-digit year never takes a
// shorter one, so "09-Jun-21" is 2021 and not the year 21.
static const struct {
    const char *format;
    bool long_year;
} date_forms[] = {
    {"%a, %d-%b-%Y %H:%M:%S GMT", true},
    {"%a, %d-%b-%y %H:%M:%S GMT", false},
    {"%a, %d %b %Y %T GMT", true},
    {"%a, %d %b %y %T GMT", false},
};

bool cookie_date_parse(const std::string &text, struct tm *out) {
    for (const auto &form : date_forms) {
        struct tm value;
        memset(&value, 0, sizeof value);
        const char *rest = strptime(text.c_str(), form.format, &value);
        if (!rest) continue;
        while (*rest == ' ' || *rest == '\t') rest++;
        if (*rest) continue;
        if (form.long_year && value.tm_year + 1900 < 100) continue;
        // The weekday as the date has it, whatever name was written.
        struct tm normal = value;
        if (timegm(&normal) != (time_t)-1) {
            value.tm_wday = normal.tm_wday;
            value.tm_yday = normal.tm_yday;
        }
        value.tm_isdst = 0;
        *out = value;
        return true;
    }
    return false;
}

static int version_parse(const std::string &text) {
    char *end;
    long value = strtol(text.c_str(), &end, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

void CookieHeader::Parse(const std::string &value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t stop = value.find(';', start);
        if (stop == std::string::npos) stop = value.size();
        size_t begin = start;
        while (begin < stop && (value[begin] == ' ' || value[begin] == '\t' || value[begin] == '$')) begin++;
        std::string piece = value.substr(begin, stop - begin);
        start = stop + 1;

        size_t equals = piece.find('=');
        if (equals == std::string::npos || equals + 1 == piece.size()) continue;
        std::string name = piece.substr(0, equals);
        std::string text = piece.substr(equals + 1);
        if (strcasecmp(name.c_str(), "version") == 0) {
            version = version_parse(text);
        } else if (strcasecmp(name.c_str(), "domain") == 0) {
            domain = text;
        } else if (strcasecmp(name.c_str(), "path") == 0) {
            path = text;
        } else if (strcasecmp(name.c_str(), "expires") == 0) {
            struct tm when;
            if (cookie_date_parse(text, &when)) {
                expiry = when;
                expiry_set = true;
            } else {
                putlog(LOG_WARNING, "failed to parse cookie expiry time: %s", text.c_str());
                pairs.emplace_back(name, text);
            }
        } else {
            pairs.emplace_back(name, text);
        }
    }
}

std::string CookieHeader::expiry_text() const {
    if (!expiry_set) return std::string();
    char text[64];
    size_t length = strftime(text, sizeof text, "%a, %d-%b-%Y %H:%M:%S GMT", &expiry);
    return std::string(text, length);
}

std::string CookieHeader::Build() const {
    if (pairs.empty()) return std::string();
    std::string out;
    for (const auto &pair : pairs) {
        if (!out.empty()) out += "; ";
        out += pair.first;
        out += '=';
        out += pair.second;
    }
    if (!domain.empty()) out += "; domain=" + domain;
    if (!path.empty()) out += "; path=" + path;
    if (expiry_set) out += "; expires=" + expiry_text();
    if (version != 0) out += "; version=" + std::to_string(version);
    return out;
}

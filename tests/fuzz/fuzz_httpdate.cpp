// Fuzz target: HTTP dates (Expires, Last-Modified, Date) and cookie expiry
// dates. A date that parses, written out again the way the proxy writes
// dates, parses to the same moment, and writing is stable.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "cookieheader.h"
#include "fuzz_support.h"
#include "refresh.h"
#include "settings.h"
#include "timerange.h"

namespace {

std::string http_text(time_t when) {
    time_t real = when - gmtoffset;
    struct tm broken;
    if (!gmtime_r(&real, &broken)) return "";
    char text[128];
    size_t n = strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    return std::string(text, n);
}

void http_date_checks(const std::string &text) {
    time_t when = http_date_parse(text.c_str());
    if (when == -1) return;
    std::string written = http_text(when);
    if (written.empty()) return;  // past what a calendar year holds
    check(http_date_parse(written.c_str()) == when);
    check(http_text(http_date_parse(written.c_str())) == written);
}

void cookie_date_checks(const std::string &text) {
    struct tm date;
    if (!cookie_date_parse(text, &date)) return;
    check(date.tm_year + 1900 >= 100);
    CookieHeader cookie;
    cookie.expiry = date;
    cookie.expiry_set = true;
    std::string written = cookie.expiry_text();
    struct tm again;
    check(cookie_date_parse(written, &again));
    struct tm a = date, b = again;
    check(timegm(&a) == timegm(&b));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 256) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    http_date_checks(text);
    cookie_date_checks(text);
    return 0;
}

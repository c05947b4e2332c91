// Fuzz target: Cookie and Set-Cookie values as clients and servers send
// them: parsed, built back (which the filter's pages and the login cookie
// rely on), the expiry tested against the filter's time windows, and the
// interface's login token taken from a cookie.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cookieheader.h"
#include "fuzz_support.h"
#include "interface.h"
#include "settings.h"
#include "timerange.h"

namespace {

bool same_time(const struct tm &a, const struct tm &b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

void windows(const struct tm &expiry) {
    tm_partial from{}, to{};
    from.year = {1, 100};
    to.year = {1, 140};
    from.month = {1, 2};
    to.month = {1, 9};
    from.hour = {1, 8};
    to.hour = {1, 17};
    (void)in_absolutetimerange(&expiry, &from, &to);
    (void)in_alltimerange(&expiry, &from, &to);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string value(reinterpret_cast<const char *>(data), size);
    CookieHeader cookie(value);
    for (const auto &pair : cookie.pairs) check(!pair.second.empty());
    if (cookie.expiry_set) {
        windows(cookie.expiry);
        check(!cookie.expiry_text().empty());
    }
    std::string built = cookie.Build();
    if (!cookie.pairs.empty()) {
        // What was built reads back as what was parsed.
        CookieHeader again(built);
        check(again.pairs == cookie.pairs);
        check(again.domain == cookie.domain && again.path == cookie.path && again.version == cookie.version);
        check(again.expiry_set == cookie.expiry_set);
        if (cookie.expiry_set) check(same_time(again.expiry, cookie.expiry));
        check(again.Build() == built);
    } else {
        check(built.empty());
    }
    struct tm date;
    if (cookie_date_parse(value, &date)) check(date.tm_year + 1900 >= 0);
    for (const auto &pair : cookie.pairs)
        (void)interface_login_valid("admin", "secret", pair.second, (time_t)1700000000);
    return 0;
}

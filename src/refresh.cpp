// Freshness of cached objects and the refresh rules (see refresh.h).
#include "refresh.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "cacheclean.h"
#include "connection.h"
#include "header.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"
#include "section.h"
#include "timerange.h"

namespace {

// Far enough ahead to mean "never", small enough that adding a few days to
// it cannot overflow.
const long long TIME_FAR = (long long)INT64_MAX / 4;

long long time_clamp(long long value) {
    if (value > TIME_FAR) return TIME_FAR;
    if (value < -TIME_FAR) return -TIME_FAR;
    return value;
}

// Leading number of a directive value, atoi-like but saturating: blanks,
// an optional sign, digits; 0 when there are no digits.
long long directive_number(const char *text) {
    while (*text == ' ' || *text == '\t') text++;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = *text++ == '-';
    long long value = 0;
    for (; isdigit((unsigned char)*text); text++) {
        value = value > (TIME_FAR - 9) / 10 ? TIME_FAR : value * 10 + (*text - '0');
    }
    value = time_clamp(value);
    return negative ? -value : value;
}

// The comma-separated parts of a Cache-Control value, each without the
// blanks around it; empty parts dropped.
std::vector<std::string> directives(const char *value) {
    std::vector<std::string> parts;
    char **pieces = string_break(value, ',');
    for (char **p = pieces; p && *p; p++) {
        const char *start = *p;
        const char *end = start + strlen(start);
        while (start < end && (*start == ' ' || *start == '\t')) start++;
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
        if (end > start) parts.emplace_back(start, (size_t)(end - start));
    }
    array_free(pieces);
    return parts;
}

// The part is the directive word (any case), alone or with an "=" value.
bool directive_is(const std::string &part, const char *word) {
    size_t n = strlen(word);
    if (part.size() < n || strncasecmp(part.c_str(), word, n) != 0) return false;
    return part.size() == n || part[n] == '=';
}

// The value of "word=N" when the part is one; false otherwise.
bool directive_value(const std::string &part, const char *word, long long *value) {
    size_t n = strlen(word);
    if (part.size() <= n || strncasecmp(part.c_str(), word, n) != 0 || part[n] != '=') return false;
    *value = directive_number(part.c_str() + n + 1);
    return true;
}

}  // namespace

time_t http_date_parse(const char *text) {
    if (!text) return -1;
    struct tm broken;
    memset(&broken, 0, sizeof broken);
    const char *rest = strptime(text, "%a, %d %b %Y %T GMT", &broken);
    if (!rest) return -1;
    while (*rest == ' ' || *rest == '\t' || *rest == '\r' || *rest == '\n') rest++;
    if (*rest) return -1;
    // The date is UTC; timegm keeps the zone and daylight saving of the host
    // out of it, and the offset puts it on the time base.
    return timegm(&broken) + gmtoffset;
}

const Refresh *refresh_select(const std::vector<Refresh> &rules, const CONNECTION_T *connection) {
    for (const Refresh &rule : rules) {
        if (!rule.enabled) continue;
        if (connection) {
            if (profile_find(connection->profiles, rule.profiles)) return &rule;
        } else if (rule.profiles.empty()) {
            return &rule;
        }
    }
    return nullptr;
}

void refresh_apply(const Refresh *rule, CACHEMAP *object) {
    if (!rule || !object) return;
    if (!rule->cacheable && !(object->flags & CACHE_FORCE)) object->flags |= CACHE_INVALID;
    object->min_age = rule->min_age;
    object->max_age = rule->max_age;
    object->default_age = rule->default_age;
    object->lm_factor = rule->lm_factor;
}

namespace {

// What the freshness check of a stored head finds: the three times and the
// flags it sets (it clears CACHE_EXPIRED first).
struct Freshness {
    time_t expires = 0;
    time_t lm_expires = 0;
    time_t last_modified = 0;
    unsigned int set = 0;
};

Freshness freshness_of(const CACHEMAP *object, time_t now) {
    Freshness out;
    const HEADER *header = object->header;
    if (!header) {
        out.set = CACHE_EXPIRED;
        return out;
    }
    if (header->expires) {
        putlog(LOG_DEBUG, "cache: file expires header: %s", header->expires);
        // A date that cannot be read, or one at the epoch, means "already
        // expired" rather than "no expiry".
        time_t value = http_date_parse(header->expires);
        out.expires = value > 0 ? value : REFRESH_EXPIRES_PAST;
    }
    if (header->last_modified) {
        putlog(LOG_DEBUG, "cache: file last-modified header: %s", header->last_modified);
        time_t value = http_date_parse(header->last_modified);
        out.last_modified = value > 0 ? value : 0;
    }
    if (header->cache_control) {
        putlog(LOG_DEBUG, "cache: file cache-control header: %s", header->cache_control);
        for (const std::string &part : directives(header->cache_control)) {
            long long seconds;
            if (directive_value(part, "max-age", &seconds)) {
                long long value = time_clamp((long long)object->stored + seconds);
                // Keep "set" distinct from "none" whatever the arithmetic gives.
                out.expires = value > 0 ? (time_t)value : REFRESH_EXPIRES_PAST;
            } else if (directive_is(part, "must-revalidate")) {
                out.set |= CACHE_EXPIRED;
            } else if (directive_is(part, "no-cache") || directive_is(part, "no-store")) {
                out.set |= CACHE_EXPIRED | CACHE_VIOLATION;
            }
        }
    }

    long long stored = object->stored;
    if (out.last_modified && out.last_modified < stored) {
        // The age can be long and the factor large: 64 bits, saturating.
        unsigned long long age = (unsigned long long)(stored - (long long)out.last_modified);
        unsigned long long added;
        if (object->lm_factor && age > (unsigned long long)TIME_FAR / object->lm_factor)
            added = (unsigned long long)TIME_FAR;
        else added = age * object->lm_factor / 100;
        out.lm_expires = (time_t)time_clamp(stored + (long long)added);
        putlog(LOG_DEBUG, "cache: lmtime factor: %llu", added);
    }

    long long t = now;
    long long expires = out.expires, lm_expires = out.lm_expires, last_modified = out.last_modified;
    bool expired = (!expires && !lm_expires) || t > stored + object->max_age || (expires && t > expires) ||
                   (!expires && lm_expires && t > lm_expires) ||
                   (last_modified && t < last_modified + object->min_age) ||
                   (!expires && t > stored + object->default_age);
    if (expired) out.set |= CACHE_EXPIRED;
    return out;
}

}  // namespace

void refresh_check_header(CACHEMAP *object, time_t now) {
    if (!object) return;
    Freshness found = freshness_of(object, now);
    object->expires = found.expires;
    object->lm_expires = found.lm_expires;
    object->last_modified = found.last_modified;
    object->flags &= ~(unsigned int)CACHE_EXPIRED;
    object->flags |= found.set;
    if (object->header) object->header->chunked = 0;
}

bool refresh_check_header_settled(const CACHEMAP *object, time_t now) {
    if (!object || (object->header && object->header->chunked)) return false;
    Freshness found = freshness_of(object, now);
    unsigned int flags = object->flags;
    return found.expires == object->expires && found.lm_expires == object->lm_expires &&
           found.last_modified == object->last_modified && (flags & CACHE_EXPIRED) == (found.set & CACHE_EXPIRED) &&
           (flags & found.set) == found.set;
}

int refresh_request_check(CACHEMAP *object, const HEADER *request, time_t now) {
    if (!object || (object->flags & CACHE_PREFETCHED)) return 0;
    bool validate = (object->flags & CACHE_EXPIRED) != 0;
    if (request && request->cache_control) {
        putlog(LOG_DEBUG, "cache: request cache-control header: %s", request->cache_control);
        long long t = now, stored = object->stored, expires = object->expires, lm_expires = object->lm_expires;
        for (const std::string &part : directives(request->cache_control)) {
            long long n;
            if (directive_is(part, "no-cache") || directive_is(part, "no-store")) {
                validate = true;
            } else if (directive_value(part, "max-age", &n)) {
                if (n < t - stored) validate = true;
            } else if (directive_value(part, "min-fresh", &n)) {
                if ((expires && expires < t + n) || (!expires && lm_expires && lm_expires < t + n)) validate = true;
            } else if (directive_value(part, "max-stale", &n)) {
                if ((expires && n >= t - expires) || (!expires && lm_expires && n >= t - lm_expires)) validate = false;
            }
        }
    }
    if (validate) object->flags |= CACHE_VALIDATE;
    return validate ? 1 : 0;
}

int cacheable_at(HEADER *header, time_t now) {
    if (nocache_check(now)) return 0;
    return cacheable2(header);
}

int cacheable(HEADER *header) { return cacheable_at(header, utc_time(nullptr)); }

int cacheable2(HEADER *header) {
    if (!header) return 0;
    if (header->type == HEADER_RESPONSE) return header->code == 200 ? 1 : 0;
    if (header->type != HEADER_ABSOLUTE) return 0;
    if (!header->method || strcasecmp(header->method, "GET") != 0) return 0;
    if (header->authorization) return 0;
    if (header->user && *header->user && strcasecmp(header->user, "anonymous") != 0) return 0;
    if (header->range) return 0;
    return 1;
}

// ---- CacheSection members ---------------------------------------------------
// select_refresh and check_header run with the section mutex held; check
// opens the object itself and takes the mutex only around the verdict.

void CacheSection::select_refresh(CONNECTION_T *connection, CACHEMAP *object) {
    refresh_apply(refresh_select(refreshes, connection), object);
}

void CacheSection::check_header(CACHEMAP *object) { refresh_check_header(object, utc_time(nullptr)); }

bool CacheSection::check_header_settled(const CACHEMAP *object, time_t now) {
    return refresh_check_header_settled(object, now);
}

void CacheSection::check(HEADER *request, CACHEMAP *held) {
    if (!request || !request->url) return;
    // The request's own reference keeps its object; opening it again would
    // only repeat the lookup, the digest and the access record.
    // The offline flag finds objects in violation too: a request's no-cache
    // must still reach them.
    CACHEMAP *object = held ? held : cache_open(nullptr, request->url, nullptr, CACHE_OFFLINE);
    if (!object) return;
    time_t now = utc_time(nullptr);
    // The verdict only ever adds CACHE_VALIDATE, and flags are atomic.
    lock_shared();
    refresh_request_check(object, request, now);
    unlock_shared();
    if (!held) cache_close(object, false);
}

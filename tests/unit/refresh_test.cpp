// Freshness of cached objects: HTTP dates, the verdict drawn from a stored
// head, refresh-rule selection, request Cache-Control and cacheability.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache.h"
#include "cacheclean.h"
#include "config_fixture.h"
#include "connection.h"
#include "header.h"
#include "mem.h"
#include "refresh.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

const time_t STORED = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
const long long DAY = 86400;

std::string http_date(long long when) {
    time_t t = (time_t)when;
    struct tm broken;
    gmtime_r(&t, &broken);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    return text;
}

// "@N" is the date N seconds after STORED; anything else is taken as is.
std::string expand(const char *text) {
    if (text[0] == '@') return http_date((long long)STORED + atoll(text + 1));
    return text;
}

// A stored 200 response with the given lines (null: absent).
HEADER *response(const char *expires, const char *last_modified, const char *cache_control) {
    std::string raw = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    if (expires) raw += "Expires: " + expand(expires) + "\r\n";
    if (last_modified) raw += "Last-Modified: " + expand(last_modified) + "\r\n";
    if (cache_control) raw += std::string("Cache-Control: ") + cache_control + "\r\n";
    raw += "\r\n";
    HEADER *header = http_header_parse_response(raw.c_str());
    EXPECT_NE(header, nullptr) << raw;
    return header;
}

class ScopedTZ {
public:
    explicit ScopedTZ(const char *zone) {
        const char *old = getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (had) setenv("TZ", saved.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had = false;
    std::string saved;
};

}  // namespace

// ---- HTTP dates ---------------------------------------------------------------

TEST(HttpDate, ParsesOnlyTheOneFormat) {
    struct Case {
        const char *text;
        time_t expected;
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sun, 06 Nov 1994 08:49:37 GMT  ", 784111777},
        {"Thu, 01 Jan 1970 00:00:01 GMT", 1},
        {"Tue, 06 Jul 2100 12:00:00 GMT", 4118558400},  // past 2038
        {"Sun, 06 Nov 1994 08:49:37", -1},              // no zone
        {"Sunday, 06-Nov-94 08:49:37 GMT", -1},         // other date forms are not read
        {"Sun Nov  6 08:49:37 1994", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT extra", -1},
        {"Sun, 06 Nov 1994 25:49:37 GMT", -1},
        {"0", -1},
        {"-1", -1},
        {"", -1},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, http_date_parse(c.text)) << c.text;
    EXPECT_EQ(-1, http_date_parse(nullptr));
}

TEST(HttpDate, IndependentOfTheHostZone) {
    // A date given in GMT names the same moment whatever the host's zone and
    // daylight saving (summer and winter dates).
    for (const char *zone : {"UTC", "America/New_York", "Europe/Berlin", "Australia/Lord_Howe"}) {
        ScopedTZ tz(zone);
        EXPECT_EQ(784111777, http_date_parse("Sun, 06 Nov 1994 08:49:37 GMT")) << zone;
        EXPECT_EQ(1689505200, http_date_parse("Sun, 16 Jul 2023 11:00:00 GMT")) << zone;
    }
}

// ---- freshness of a stored head -------------------------------------------------

TEST(CheckHeader, FreshnessTable) {
    // Expected expiry fields: 'n' none (0), 'p' long past (set), 'o' STORED +
    // offset, '-' not checked.
    struct Expect {
        char kind;
        long long offset;
    };
    struct Case {
        const char *name;
        const char *expires, *last_modified, *cache_control;
        unsigned int min_age, max_age, default_age, lm_factor;
        long long now;  // seconds after STORED
        bool expired, violation;
        Expect expires_field, lm_field;
    } cases[] = {
        {"nothing: expired at once",
         nullptr,
         nullptr,
         nullptr,
         0,
         604800,
         3600,
         10,
         0,
         true,
         false,
         {'n', 0},
         {'n', 0}},
        {"expires ahead: fresh",
         "@7200",
         nullptr,
         nullptr,
         0,
         604800,
         3600,
         10,
         7000,
         false,
         false,
         {'o', 7200},
         {'n', 0}},
        {"expires ahead: past it",
         "@7200",
         nullptr,
         nullptr,
         0,
         604800,
         3600,
         10,
         7201,
         true,
         false,
         {'o', 7200},
         {'n', 0}},
        {"expires ahead, default age shorter: expires wins",
         "@7200",
         nullptr,
         nullptr,
         0,
         604800,
         60,
         10,
         7000,
         false,
         false,
         {'o', 7200},
         {'n', 0}},
        {"expires behind", "@-10", nullptr, nullptr, 0, 604800, 3600, 10, 0, true, false, {'o', -10}, {'n', 0}},
        {"expires unparsable", "0", nullptr, nullptr, 0, 604800, 3600, 10, 0, true, false, {'p', 0}, {'n', 0}},
        {"expires garbage, fresh last-modified",
         "soon",
         "@-864000",
         nullptr,
         0,
         604800,
         3600,
         10,
         0,
         true,
         false,
         {'p', 0},
         {'o', 86400}},
        {"expires at the epoch",
         "Thu, 01 Jan 1970 00:00:00 GMT",
         nullptr,
         nullptr,
         0,
         604800,
         3600,
         10,
         0,
         true,
         false,
         {'p', 0},
         {'n', 0}},
        {"expires ahead, maximum age 0: same second",
         "@7200",
         nullptr,
         nullptr,
         0,
         0,
         3600,
         10,
         0,
         false,
         false,
         {'o', 7200},
         {'n', 0}},
        {"expires ahead, maximum age 0: one second on",
         "@7200",
         nullptr,
         nullptr,
         0,
         0,
         3600,
         10,
         1,
         true,
         false,
         {'o', 7200},
         {'n', 0}},
        {"last-modified 10 days, factor 10: last second",
         nullptr,
         "@-864000",
         nullptr,
         0,
         604800,
         604800,
         10,
         DAY,
         false,
         false,
         {'n', 0},
         {'o', DAY}},
        {"last-modified 10 days, factor 10: one day on",
         nullptr,
         "@-864000",
         nullptr,
         0,
         604800,
         604800,
         10,
         DAY + 1,
         true,
         false,
         {'n', 0},
         {'o', DAY}},
        {"last-modified 10 days, default age shorter",
         nullptr,
         "@-864000",
         nullptr,
         0,
         604800,
         3600,
         10,
         3601,
         true,
         false,
         {'n', 0},
         {'o', DAY}},
        {"last-modified 10 days, maximum age shorter",
         nullptr,
         "@-864000",
         nullptr,
         0,
         600,
         604800,
         10,
         601,
         true,
         false,
         {'n', 0},
         {'o', DAY}},
        {"last-modified at 1970, factor 1000000: 64-bit",
         nullptr,
         "Thu, 01 Jan 1970 00:00:01 GMT",
         nullptr,
         0,
         4000000000u,
         4000000000u,
         1000000,
         DAY,
         false,
         false,
         {'n', 0},
         {'o', (long long)(STORED - 1) * 10000}},
        {"last-modified ahead of storing: no factor",
         nullptr,
         "@600",
         nullptr,
         0,
         604800,
         3600,
         10,
         300,
         true,
         false,
         {'n', 0},
         {'n', 0}},
        {"minimum age not reached",
         nullptr,
         "@-864000",
         nullptr,
         20 * DAY,
         604800,
         604800,
         10,
         60,
         true,
         false,
         {'n', 0},
         {'o', DAY}},
        {"minimum age reached",
         nullptr,
         "@-864000",
         nullptr,
         10 * DAY,
         604800,
         604800,
         10,
         60,
         false,
         false,
         {'n', 0},
         {'o', DAY}},
        {"last-modified unparsable",
         nullptr,
         "yesterday",
         nullptr,
         0,
         604800,
         3600,
         10,
         0,
         true,
         false,
         {'n', 0},
         {'n', 0}},
        {"max-age overrides a past expires",
         "@-10",
         nullptr,
         "max-age=600",
         0,
         604800,
         3600,
         10,
         600,
         false,
         false,
         {'o', 600},
         {'n', 0}},
        {"max-age passed",
         nullptr,
         nullptr,
         "public, max-age=600",
         0,
         604800,
         3600,
         10,
         601,
         true,
         false,
         {'o', 600},
         {'n', 0}},
        {"later max-age replaces an earlier one",
         nullptr,
         nullptr,
         "max-age=60,  MAX-AGE=6000 ",
         0,
         604800,
         3600,
         10,
         5000,
         false,
         false,
         {'o', 6000},
         {'n', 0}},
        {"max-age not a number",
         nullptr,
         nullptr,
         "max-age=soon",
         0,
         604800,
         3600,
         10,
         1,
         true,
         false,
         {'o', 0},
         {'n', 0}},
        {"max-age with no-cache",
         nullptr,
         nullptr,
         "max-age=600, no-cache",
         0,
         604800,
         3600,
         10,
         10,
         true,
         true,
         {'o', 600},
         {'n', 0}},
        {"no-store, any case", nullptr, nullptr, "No-Store", 0, 604800, 3600, 10, 0, true, true, {'n', 0}, {'n', 0}},
        {"qualified no-cache",
         nullptr,
         nullptr,
         "max-age=600, no-cache=\"Set-Cookie\"",
         0,
         604800,
         3600,
         10,
         10,
         true,
         true,
         {'o', 600},
         {'n', 0}},
        {"must-revalidate",
         nullptr,
         nullptr,
         "max-age=600, Must-Revalidate",
         0,
         604800,
         3600,
         10,
         10,
         true,
         false,
         {'o', 600},
         {'n', 0}},
        {"unknown directives",
         nullptr,
         nullptr,
         "private, no-transform, max-age=600",
         0,
         604800,
         3600,
         10,
         10,
         false,
         false,
         {'o', 600},
         {'n', 0}},
        {"huge max-age",
         nullptr,
         nullptr,
         "max-age=99999999999999999999999",
         0,
         604800,
         3600,
         10,
         10,
         false,
         false,
         {'-', 0},
         {'n', 0}},
    };
    for (const Case &c : cases) {
        CACHEMAP object;
        object.header = response(c.expires, c.last_modified, c.cache_control);
        ASSERT_NE(object.header, nullptr) << c.name;
        object.header->chunked = 1;
        object.stored = STORED;
        object.min_age = c.min_age;
        object.max_age = c.max_age;
        object.default_age = c.default_age;
        object.lm_factor = c.lm_factor;
        // Stale results of an earlier check are replaced.
        object.flags = CACHE_EXPIRED | CACHE_MEM;
        object.expires = object.lm_expires = object.last_modified = 12345;

        refresh_check_header(&object, STORED + c.now);

        EXPECT_EQ(c.expired, (object.flags & CACHE_EXPIRED) != 0) << c.name;
        EXPECT_EQ(c.violation, (object.flags & CACHE_VIOLATION) != 0) << c.name;
        EXPECT_TRUE(object.flags & CACHE_MEM) << c.name;
        EXPECT_EQ(0, object.header->chunked) << c.name;
        const Expect *fields[] = {&c.expires_field, &c.lm_field};
        const time_t *values[] = {&object.expires, &object.lm_expires};
        for (int i = 0; i < 2; i++) {
            switch (fields[i]->kind) {
                case 'n': EXPECT_EQ(0, *values[i]) << c.name << " field " << i; break;
                case 'p': EXPECT_EQ(REFRESH_EXPIRES_PAST, *values[i]) << c.name << " field " << i; break;
                case 'o':
                    EXPECT_EQ((long long)STORED + fields[i]->offset, (long long)*values[i]) << c.name << " field " << i;
                    break;
                default: EXPECT_GT((long long)*values[i], (long long)STORED) << c.name << " field " << i; break;
            }
        }
        http_header_free(object.header);
    }
}

TEST(CheckHeader, LastModifiedFactorSaturates) {
    // Largest factor on the longest age: the product passes 64 bits if done
    // naively; the expiry must stay far in the future, never wrap.
    CACHEMAP object;
    object.header = response(nullptr, "Thu, 01 Jan 1970 00:00:01 GMT", nullptr);
    object.stored = STORED;
    object.max_age = object.default_age = 4294967295u;
    object.lm_factor = 4294967295u;
    refresh_check_header(&object, STORED + 1000);
    EXPECT_GT((long long)object.lm_expires, (long long)STORED + 4294967295LL * 1000);
    EXPECT_FALSE(object.flags & CACHE_EXPIRED);
    http_header_free(object.header);
}

TEST(CheckHeader, WithoutParsedHeadIsExpired) {
    CACHEMAP object;
    object.stored = STORED;
    object.max_age = object.default_age = 3600;
    object.expires = STORED + 100;
    refresh_check_header(&object, STORED);
    EXPECT_TRUE(object.flags & CACHE_EXPIRED);
    EXPECT_EQ(0, object.expires);
}

// ---- refresh rules ----------------------------------------------------------------

namespace {

Refresh rule(const char *comment, const char *profiles, bool enabled = true, bool cacheable = true,
             unsigned int base = 1) {
    Refresh r;
    r.enabled = enabled;
    r.comment = comment;
    r.profiles = StringList(profiles, ",");
    r.cacheable = cacheable;
    r.min_age = base;
    r.max_age = base * 10;
    r.default_age = base * 100;
    r.lm_factor = base * 1000;
    return r;
}

}  // namespace

TEST(SelectRefresh, FirstEnabledRuleWhoseProfilesApply) {
    std::vector<Refresh> rules = {
        rule("off", "", false),
        rule("staff", "staff"),
        rule("not guests", "!guest"),
        rule("everyone", ""),
    };
    struct Case {
        const char *profiles;  // null: no connection (journal loading)
        const char *expected;  // null: no rule
    } cases[] = {
        {"staff", "staff"},    {"guest,staff", "staff"}, {"other", "not guests"},
        {"guest", "everyone"}, {"", "not guests"},       {nullptr, "everyone"},
    };
    for (const Case &c : cases) {
        CONNECTION_T *connection = nullptr;
        if (c.profiles) {
            connection = connection_new();
            connection->profiles = StringList(c.profiles, ",");
        }
        const Refresh *found = refresh_select(rules, connection);
        if (c.expected) {
            ASSERT_NE(found, nullptr) << (c.profiles ? c.profiles : "(none)");
            EXPECT_EQ(c.expected, found->comment) << (c.profiles ? c.profiles : "(none)");
        } else {
            EXPECT_EQ(found, nullptr);
        }
        if (connection) connection_free(connection);
    }
    // Without a connection only a rule free of profile conditions applies.
    std::vector<Refresh> profiled = {rule("staff", "staff"), rule("not guests", "!guest")};
    EXPECT_EQ(nullptr, refresh_select(profiled, nullptr));
}

TEST(SelectRefresh, ApplyCopiesParametersAndCacheability) {
    struct Case {
        bool cacheable;
        unsigned int flags;
        bool invalid;
    } cases[] = {
        {true, 0, false},
        {false, 0, true},
        {false, CACHE_FORCE, false},
    };
    for (const Case &c : cases) {
        Refresh r = rule("r", "", true, c.cacheable, 7);
        CACHEMAP object;
        object.flags = c.flags;
        refresh_apply(&r, &object);
        EXPECT_EQ(c.invalid, (object.flags & CACHE_INVALID) != 0);
        EXPECT_EQ(7u, object.min_age);
        EXPECT_EQ(70u, object.max_age);
        EXPECT_EQ(700u, object.default_age);
        EXPECT_EQ(7000u, object.lm_factor);
    }
    // No rule: the object keeps what it has.
    CACHEMAP object;
    object.min_age = 1;
    object.max_age = 2;
    object.default_age = 3;
    object.lm_factor = 4;
    refresh_apply(nullptr, &object);
    EXPECT_EQ(1u, object.min_age);
    EXPECT_EQ(2u, object.max_age);
    EXPECT_EQ(3u, object.default_age);
    EXPECT_EQ(4u, object.lm_factor);
    EXPECT_EQ(0u, object.flags);
}

// ---- request directives (the If-Modified-Since decision) ---------------------------

TEST(RequestCheck, RevalidationTable) {
    const time_t now = STORED + 7200;
    struct Case {
        const char *name;
        unsigned int flags;         // of the object
        long long expires;          // 0 none, else offset from now
        long long lm_expires;       // 0 none, else offset from now
        const char *cache_control;  // of the request; null none
        bool validate;
    } cases[] = {
        {"fresh, no directives", 0, 3600, 0, nullptr, false},
        {"expired, no directives", CACHE_EXPIRED, -60, 0, nullptr, true},
        {"prefetched and expired", CACHE_EXPIRED | CACHE_PREFETCHED, -60, 0, "no-cache", false},
        {"no-cache", 0, 3600, 0, "no-cache", true},
        {"no-store, any case", 0, 3600, 0, "NO-STORE", true},
        {"max-age below the age", 0, 3600, 0, "max-age=7199", true},
        {"max-age at the age", 0, 3600, 0, "max-age=7200", false},
        {"max-age=0", 0, 3600, 0, "max-age=0", true},
        {"min-fresh beyond expires", 0, 100, 0, "min-fresh=200", true},
        {"min-fresh within expires", 0, 300, 0, "min-fresh=200", false},
        {"min-fresh beyond lm expiry", 0, 0, 100, "min-fresh=200", true},
        {"min-fresh: expires wins over lm expiry", 0, 300, 100, "min-fresh=200", false},
        {"max-stale: expired 30 minutes ago, one hour allowed", CACHE_EXPIRED, -1800, 0, "max-stale=3600", false},
        {"max-stale then no-cache", CACHE_EXPIRED, -1800, 0, "max-stale=3600, no-cache", true},
        {"no-cache then max-stale", CACHE_EXPIRED, -1800, 0, " no-cache , max-stale=3600", false},
        {"max-stale too short", CACHE_EXPIRED, -1800, 0, "max-stale=600", true},
        {"max-stale on lm expiry", CACHE_EXPIRED, 0, -1800, "max-stale=3600", false},
        {"max-stale with no expiry at all", CACHE_EXPIRED, 0, 0, "max-stale=3600", true},
        {"bare max-stale is not read", CACHE_EXPIRED, -1800, 0, "max-stale", true},
        {"unknown directives", 0, 3600, 0, "only-if-cached, foo=bar", false},
    };
    for (const Case &c : cases) {
        CACHEMAP object;
        object.flags = c.flags;
        object.stored = STORED;
        object.expires = c.expires ? now + c.expires : 0;
        object.lm_expires = c.lm_expires ? now + c.lm_expires : 0;
        HEADER *request = header_new();
        request->type = HEADER_ABSOLUTE;
        if (c.cache_control) request->cache_control = xstrdup(c.cache_control);
        int result = refresh_request_check(&object, request, now);
        EXPECT_EQ(c.validate, result == 1) << c.name;
        EXPECT_EQ(c.validate, (object.flags & CACHE_VALIDATE) != 0) << c.name;
        // The verdict adds the flag only.
        EXPECT_EQ(c.flags, object.flags & ~(unsigned int)CACHE_VALIDATE) << c.name;
        http_header_free(request);
    }
}

// ---- cacheability -------------------------------------------------------------------

TEST(Cacheable, RequestsAndResponses) {
    struct Case {
        const char *name;
        const char *text;
        int expected;
    } cases[] = {
        {"GET absolute", "GET http://example.test/a HTTP/1.1\r\nHost: example.test\r\n\r\n", 1},
        {"get in lower case", "get http://example.test/a HTTP/1.1\r\n\r\n", 1},
        {"POST", "POST http://example.test/a HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 0},
        {"HEAD", "HEAD http://example.test/a HTTP/1.1\r\n\r\n", 0},
        {"Authorization", "GET http://example.test/a HTTP/1.1\r\nAuthorization: Basic eDp5\r\n\r\n", 0},
        {"Range", "GET http://example.test/a HTTP/1.1\r\nRange: bytes=0-10\r\n\r\n", 0},
        {"user in URL", "GET ftp://bob:pw@example.test/a HTTP/1.1\r\n\r\n", 0},
        {"anonymous user", "GET ftp://Anonymous:me@example.test/a HTTP/1.1\r\n\r\n", 1},
        {"origin form", "GET /a HTTP/1.1\r\nHost: example.test\r\n\r\n", 0},
        {"CONNECT", "CONNECT example.test:443 HTTP/1.1\r\n\r\n", 0},
    };
    for (const Case &c : cases) {
        HEADER *header = http_header_parse_request(c.text);
        ASSERT_NE(header, nullptr) << c.name;
        EXPECT_EQ(c.expected, cacheable2(header)) << c.name;
        http_header_free(header);
    }
    struct Status {
        const char *text;
        int expected;
    } statuses[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", 1},
        {"HTTP/1.0 200 OK\r\n\r\n", 1},
        {"HTTP/1.1 206 Partial Content\r\n\r\n", 0},
        {"HTTP/1.1 304 Not Modified\r\n\r\n", 0},
        {"HTTP/1.1 404 Not Found\r\n\r\n", 0},
    };
    for (const Status &s : statuses) {
        HEADER *header = http_header_parse_response(s.text);
        ASSERT_NE(header, nullptr) << s.text;
        EXPECT_EQ(s.expected, cacheable2(header)) << s.text;
        http_header_free(header);
    }
    EXPECT_EQ(0, cacheable2(nullptr));
    EXPECT_EQ(0, cacheable(nullptr));
}

TEST(Cacheable, AdmissionBackOffComesFirst) {
    const time_t start = STORED;
    int saved = nocache_get();
    nocache_init(start);
    HEADER *header = http_header_parse_response("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_NE(header, nullptr);
    struct Case {
        long long after_start;
        int expected;
    } cases[] = {{0, 0}, {100, 0}, {179, 0}, {180, 1}, {100000, 1}};
    for (const Case &c : cases) EXPECT_EQ(c.expected, cacheable_at(header, start + c.after_start)) << c.after_start;
    // A back-off pushed later holds for 120 seconds past its moment.
    nocache_set(start + 1000);
    EXPECT_EQ(0, cacheable_at(header, start + 1119));
    EXPECT_EQ(1, cacheable_at(header, start + 1120));
    http_header_free(header);
    nocache_set(saved);
}

// ---- the section's request check, through the cache itself ----------------------------

class CacheCheckTest : public ::testing::Test {
protected:
    CacheSection *cache = nullptr;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        cache = static_cast<CacheSection *>(cache_construct());
        ASSERT_NE(cache, nullptr);
        // Long lifetimes, so that only the heads decide within a test.
        Refresh everyone;
        everyone.enabled = true;
        everyone.max_age = 604800;
        everyone.default_age = 3600;
        everyone.lm_factor = 10;
        cache->mutex_lock();
        cache->refreshes = {everyone};
        cache->unlock();
    }
    void TearDown() override {
        delete cache;
        delete sectionxml;
        sectionxml = nullptr;
    }

    // Stores a complete object with the given response head.
    void store(const char *url, const char *head, unsigned int flags = 0) {
        CACHEMAP *object = cache->cache_open(nullptr, url, head, CACHE_CREATE | flags);
        ASSERT_NE(object, nullptr) << url;
        cache->cache_close(object, true);
    }
    unsigned int flags_of(const char *url) {
        cache->mutex_lock();
        CACHEMAP *object = cache->find_unlocked(url);
        unsigned int flags = object ? object->flags.load() : 0u;
        cache->unlock();
        return flags;
    }
    void request(const char *url, const char *cache_control) {
        HEADER *header = header_new();
        header->type = HEADER_ABSOLUTE;
        header->url = xstrdup(url);
        if (cache_control) header->cache_control = xstrdup(cache_control);
        cache->check(header);
        http_header_free(header);
    }
};

TEST_F(CacheCheckTest, FlagsObjectsThatMustBeRevalidated) {
    const char *fresh = "HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\nContent-Length: 0\r\n\r\n";
    const char *bare = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    store("http://example.test:80/fresh", fresh);
    store("http://example.test:80/fresh2", fresh);
    store("http://example.test:80/bare", bare);
    store("http://example.test:80/prefetched", bare, CACHE_PREFETCHED);
    store("http://example.test:80/violation",
          "HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nContent-Length: 0\r\n\r\n");

    request("http://example.test:80/fresh", nullptr);
    EXPECT_FALSE(flags_of("http://example.test:80/fresh") & CACHE_VALIDATE);
    request("http://example.test:80/fresh2", "no-cache");
    EXPECT_TRUE(flags_of("http://example.test:80/fresh2") & CACHE_VALIDATE);
    // No expiry information at all: expired at once, so revalidated.
    request("http://example.test:80/bare", nullptr);
    EXPECT_TRUE(flags_of("http://example.test:80/bare") & CACHE_VALIDATE);
    request("http://example.test:80/prefetched", "no-cache");
    EXPECT_FALSE(flags_of("http://example.test:80/prefetched") & CACHE_VALIDATE);
    // Objects in violation are reached too.
    request("http://example.test:80/violation", nullptr);
    EXPECT_TRUE(flags_of("http://example.test:80/violation") & CACHE_VALIDATE);
    // Nothing cached: nothing happens.
    request("http://example.test:80/absent", "no-cache");
    EXPECT_FALSE(cache->exists("http://example.test:80/absent"));
}

TEST_F(CacheCheckTest, NewObjectsTakeTheRuleOfTheirConnection) {
    Refresh staff = rule("staff", "staff", true, false, 5);
    Refresh everyone = rule("everyone", "", true, true, 9);
    cache->mutex_lock();
    cache->refreshes = {staff, everyone};
    cache->unlock();

    struct Owned {
        CONNECTION_T *c = connection_new();
        ~Owned() { connection_free(c); }
    } owned;
    CONNECTION_T *connection = owned.c;
    connection->profiles = StringList("staff", ",");
    const char *head = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    // The staff rule is not cacheable: the object fails at once.
    EXPECT_EQ(nullptr, cache->cache_open(connection, "http://example.test:80/s", head, CACHE_CREATE));
    EXPECT_FALSE(cache->exists("http://example.test:80/s"));
    CACHEMAP *forced = cache->cache_open(connection, "http://example.test:80/f", head, CACHE_CREATE | CACHE_FORCE);
    ASSERT_NE(forced, nullptr);
    cache->mutex_lock();
    EXPECT_EQ(5u, forced->min_age);
    EXPECT_EQ(5000u, forced->lm_factor);
    cache->unlock();
    cache->cache_close(forced, true);

    connection->profiles = StringList("other", ",");
    CACHEMAP *object = cache->cache_open(connection, "http://example.test:80/o", head, CACHE_CREATE);
    ASSERT_NE(object, nullptr);
    cache->mutex_lock();
    EXPECT_EQ(9u, object->min_age);
    EXPECT_EQ(90u, object->max_age);
    EXPECT_EQ(900u, object->default_age);
    EXPECT_EQ(9000u, object->lm_factor);
    cache->unlock();
    cache->cache_close(object, true);
}

// The cookie filter's decisions: policies, directions, expiry ranges in both
// range modes, domain and path patterns, profiles, bypass, refused rules.
#include "cookies.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "connection.h"
#include "cookieheader.h"
#include "log.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

struct Rule {
    std::string list = "deny";  // "allow" or "deny"
    std::string direction = "both";
    std::string year;   // "low,high" switches the range on
    std::string month;  // "january,june"
    std::string hour;
    std::string domain;
    std::string path;
    std::string profiles;
    bool timemode = false;
    bool enabled = true;
};

std::string optional(const char *name, const std::string &value, const char *fallback) {
    return std::string("<") + name + " active=\"" + (value.empty() ? "false" : "true") + "\">" +
           (value.empty() ? fallback : value) + "</" + name + ">";
}

std::string rule_xml(const Rule &r) {
    return "<" + r.list + "><enabled>" + (r.enabled ? "true" : "false") + "</enabled><comment>c</comment><profiles>" +
           r.profiles + "</profiles>" + optional("year", r.year, "1970,9999") +
           optional("month", r.month, "january,december") + optional("day", "", "1,31") +
           optional("weekday", "", "sunday,saturday") + optional("hour", r.hour, "0,23") +
           optional("minute", "", "0,59") + "<domain>" + r.domain + "</domain><path>" + r.path + "</path><direction>" +
           r.direction + "</direction><timemode>" + (r.timemode ? "true" : "false") + "</timemode></" + r.list + ">";
}

class CookiesTest : public ::testing::Test {
protected:
    CONNECTION_T *connection = nullptr;

    static void SetUpTestSuite() {
        daemonize = 1;
        definition_use(file_read(conf_dir + "section.xml"));
    }

    void SetUp() override {
        log_ring = logbuffer_new(1000);
        cookie_construct();
        connection = connection_new();
    }

    void TearDown() override {
        connection_free(connection);
        delete cookie_section;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }

    void configure(const std::vector<Rule> &rules, const char *order = "denyfirst", bool enabled = true) {
        std::string x = std::string("<korvantel><cookies-filtering><enabled>") + (enabled ? "true" : "false") +
                        "</enabled><order>" + order + "</order>";
        for (const Rule &r : rules) x += rule_xml(r);
        x += "</cookies-filtering></korvantel>";
        TiXmlDocument document;
        document.Parse(x.c_str());
        ASSERT_FALSE(document.Error()) << x;
        cookie_section->load(&document, 1);
    }

    bool passes(int direction, const std::string &value) {
        CookieHeader cookie(value);
        return cookie_section->check(direction, connection, cookie);
    }
};

const char *const in_2005 = "id=1; expires=Sat, 01-Jan-2005 10:00:00 GMT; domain=.ads.example; path=/track";
const char *const in_2011 = "id=1; expires=Sat, 01-Jan-2011 10:00:00 GMT; domain=.example.org; path=/";
const char *const session = "id=1; path=/";

TEST_F(CookiesTest, DecisionTable) {
    struct Case {
        const char *what;
        std::vector<Rule> rules;
        const char *order;
        int direction;
        const char *cookie;
        bool passes;
    };
    Rule year_2000_2010;
    year_2000_2010.year = "2000,2010";
    Rule sent_only;
    sent_only.direction = "sent";
    sent_only.domain = "nothing-matches-this";
    Rule received_only;
    received_only.direction = "received";
    Rule by_domain;
    by_domain.domain = "\\.ads\\.";
    Rule by_path;
    by_path.path = "^/track";
    Rule allow_all;
    allow_all.list = "allow";
    Rule allow_example;
    allow_example.list = "allow";
    allow_example.domain = "example\\.org$";
    Rule disabled;
    disabled.enabled = false;
    Rule for_profile;
    for_profile.profiles = "kids";
    Rule months;
    months.month = "january,june";
    Rule hours_each;
    hours_each.year = "2000,2010";
    hours_each.hour = "9,11";
    hours_each.timemode = true;
    Rule hours_late;
    hours_late.year = "2000,2010";
    hours_late.hour = "12,23";
    hours_late.timemode = true;

    const Case cases[] = {
        {"no rules, deny first", {}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
        {"no rules, allow first", {}, "allowfirst", COOKIE_RECEIVED, in_2005, false},
        {"no rules, allow first, sent", {}, "allowfirst", COOKIE_SENT, "a=b", false},
        {"year range holds", {year_2000_2010}, "denyfirst", COOKIE_RECEIVED, in_2005, false},
        {"year range misses", {year_2000_2010}, "denyfirst", COOKIE_RECEIVED, in_2011, true},
        {"ranges never match a session cookie", {year_2000_2010}, "denyfirst", COOKIE_RECEIVED, session, true},
        {"ranges are not consulted for sent cookies", {year_2000_2010}, "denyfirst", COOKIE_SENT, "a=b", false},
        {"sent-only rule ignores Set-Cookie", {sent_only}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
        {"sent-only rule: patterns not consulted", {sent_only}, "denyfirst", COOKIE_SENT, "a=b", false},
        {"received-only rule ignores Cookie", {received_only}, "denyfirst", COOKIE_SENT, "a=b", true},
        {"received-only rule", {received_only}, "denyfirst", COOKIE_RECEIVED, session, false},
        {"domain pattern matches", {by_domain}, "denyfirst", COOKIE_RECEIVED, in_2005, false},
        {"domain pattern misses", {by_domain}, "denyfirst", COOKIE_RECEIVED, in_2011, true},
        {"domain pattern against no domain", {by_domain}, "denyfirst", COOKIE_RECEIVED, session, true},
        {"path pattern", {by_path}, "denyfirst", COOKIE_RECEIVED, in_2005, false},
        {"deny then allow rescues", {by_path, allow_all}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
        {"allow first, allowed", {allow_example}, "allowfirst", COOKIE_RECEIVED, in_2011, true},
        {"allow first, not allowed", {allow_example}, "allowfirst", COOKIE_RECEIVED, in_2005, false},
        {"allow first, allowed then denied", {allow_all, by_domain}, "allowfirst", COOKIE_RECEIVED, in_2005, false},
        {"disabled rule", {disabled}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
        {"profile not held", {for_profile}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
        {"months as one span", {months}, "denyfirst", COOKIE_RECEIVED, in_2005, false},
        {"each range on its own, hour inside", {hours_each}, "denyfirst", COOKIE_RECEIVED, in_2005, false},
        {"each range on its own, hour outside", {hours_late}, "denyfirst", COOKIE_RECEIVED, in_2005, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(c.rules, c.order);
        EXPECT_EQ(passes(c.direction, c.cookie), c.passes);
    }
}

TEST_F(CookiesTest, ProfilesCount) {
    Rule rule;
    rule.profiles = "kids";
    configure({rule});
    EXPECT_TRUE(passes(COOKIE_SENT, "a=b"));
    connection->profiles.push_back("kids");
    EXPECT_FALSE(passes(COOKIE_SENT, "a=b"));
}

TEST_F(CookiesTest, OffOrBypassedPassesEverything) {
    configure({}, "allowfirst", false);
    EXPECT_TRUE(passes(COOKIE_RECEIVED, in_2005));
    configure({}, "allowfirst", true);
    EXPECT_FALSE(passes(COOKIE_RECEIVED, in_2005));
    connection->bypass = BYPASS_COOKIE;
    EXPECT_TRUE(passes(COOKIE_RECEIVED, in_2005));
    EXPECT_TRUE(passes(COOKIE_SENT, "a=b"));
}

TEST_F(CookiesTest, TwoDigitYearsFallInTheirCentury) {
    Rule rule;
    rule.year = "2000,2010";
    configure({rule});
    // "05" is 2005, inside the range; read as the year 5 it would be outside.
    EXPECT_FALSE(passes(COOKIE_RECEIVED, "a=1; expires=Sat, 01-Jan-05 10:00:00 GMT"));
    EXPECT_TRUE(passes(COOKIE_RECEIVED, "a=1; expires=Fri, 01-Jan-99 10:00:00 GMT"));
}
}  // namespace

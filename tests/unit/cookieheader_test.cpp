#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cookieheader.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

struct ParseCase {
    const char *value;
    Pairs pairs;
    const char *domain;
    const char *path;
    int version;
    bool expiry;
    const char *build;
};

TEST(CookieHeader, ParseAndBuildTable) {
    const ParseCase cases[] = {
        // one pair, an empty value, a flag, and "$" attributes
        {"a=1; b=; secure; $Path=/x; $Version=1", {{"a", "1"}}, "", "/x", 1, false, "a=1; path=/x; version=1"},
        // attributes only: no pairs, nothing built
        {"domain=.example.org; path=/", {}, ".example.org", "/", 0, false, ""},
        {"", {}, "", "", 0, false, ""},
        {";;; ;", {}, "", "", 0, false, ""},
        // no '=' at all
        {"justaflag", {}, "", "", 0, false, ""},
        // empty name keeps its value as a pair
        {"=v", {{"", "v"}}, "", "", 0, false, "=v"},
        // a later pair of the same name does not replace the earlier one
        {"a=1; a=2", {{"a", "1"}, {"a", "2"}}, "", "", 0, false, "a=1; a=2"},
        // attribute names in any case; the value keeps its case
        {"ID=Xy; DOMAIN=Host.Example; PaTh=/P",
         {{"ID", "Xy"}},
         "Host.Example",
         "/P",
         0,
         false,
         "ID=Xy; domain=Host.Example; path=/P"},
        // '=' inside the value
        {"q=a=b=c", {{"q", "a=b=c"}}, "", "", 0, false, "q=a=b=c"},
        // version that is not a number
        {"v=1; version=abc", {{"v", "1"}}, "", "", 0, false, "v=1"},
        // expires in the dashed four-digit form
        {"s=1; expires=Wed, 09-Jun-2021 10:18:14 GMT",
         {{"s", "1"}},
         "",
         "",
         0,
         true,
         "s=1; expires=Wed, 09-Jun-2021 10:18:14 GMT"},
        // a bad date stays among the pairs
        {"s=1; expires=tomorrow", {{"s", "1"}, {"expires", "tomorrow"}}, "", "", 0, false, "s=1; expires=tomorrow"},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.value);
        CookieHeader cookie(c.value);
        EXPECT_EQ(cookie.pairs, c.pairs);
        EXPECT_EQ(cookie.domain, c.domain);
        EXPECT_EQ(cookie.path, c.path);
        EXPECT_EQ(cookie.version, c.version);
        EXPECT_EQ(cookie.expiry_set, c.expiry);
        EXPECT_EQ(cookie.Build(), c.build);
    }
}

struct DateCase {
    const char *text;
    bool parses;
    int year;   // calendar year
    int month;  // 0-11
    int day;
    int weekday;
    int hour;
};

TEST(CookieHeader, DatesTable) {
    const DateCase cases[] = {
        {"Wed, 09-Jun-2021 10:18:14 GMT", true, 2021, 5, 9, 3, 10},
        // two-digit years are two-digit years
        {"Wed, 09-Jun-21 10:18:14 GMT", true, 2021, 5, 9, 3, 10},
        {"Thu, 01-Jan-05 00:00:00 GMT", true, 2005, 0, 1, 6, 0},
        {"Fri, 31-Dec-99 23:59:59 GMT", true, 1999, 11, 31, 5, 23},
        {"Wed, 09 Jun 2021 10:18:14 GMT", true, 2021, 5, 9, 3, 10},
        {"Wed, 09 Jun 21 10:18:14 GMT", true, 2021, 5, 9, 3, 10},
        // a wrong weekday name is read, the weekday is the date's
        {"Mon, 09-Jun-2021 10:18:14 GMT", true, 2021, 5, 9, 3, 10},
        {"Wed, 09-Jun-2021 10:18:14 GMT   ", true, 2021, 5, 9, 3, 10},
        {"Wed, 09-Jun-2021 10:18:14", false, 0, 0, 0, 0, 0},
        {"Wed, 09-Jun-2021 10:18:14 GMT trailing", false, 0, 0, 0, 0, 0},
        {"Wed, 32-Jun-2021 10:18:14 GMT", false, 0, 0, 0, 0, 0},
        {"Wed, 09-Foo-2021 10:18:14 GMT", false, 0, 0, 0, 0, 0},
        {"Wed, 09-Jun-2021 25:18:14 GMT", false, 0, 0, 0, 0, 0},
        {"2021-06-09T10:18:14Z", false, 0, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0, 0},
        {"Wed, 09-Jun-0021 10:18:14 GMT", false, 0, 0, 0, 0, 0},
    };
    for (const DateCase &c : cases) {
        SCOPED_TRACE(c.text);
        struct tm when;
        bool parsed = cookie_date_parse(c.text, &when);
        ASSERT_EQ(parsed, c.parses);
        if (!parsed) continue;
        EXPECT_EQ(when.tm_year + 1900, c.year);
        EXPECT_EQ(when.tm_mon, c.month);
        EXPECT_EQ(when.tm_mday, c.day);
        EXPECT_EQ(when.tm_wday, c.weekday);
        EXPECT_EQ(when.tm_hour, c.hour);
    }
}

TEST(CookieHeader, TwoAndFourDigitYearsAgree) {
    CookieHeader two("a=1; expires=Sun, 06-Nov-94 08:49:37 GMT");
    CookieHeader four("a=1; expires=Sun, 06-Nov-1994 08:49:37 GMT");
    ASSERT_TRUE(two.expiry_set);
    ASSERT_TRUE(four.expiry_set);
    EXPECT_EQ(two.expiry.tm_year, four.expiry.tm_year);
    EXPECT_EQ(two.expiry_text(), "Sun, 06-Nov-1994 08:49:37 GMT");
    EXPECT_EQ(two.Build(), four.Build());
}

TEST(CookieHeader, ParseAddsToWhatIsHeld) {
    CookieHeader cookie("a=1; path=/one");
    cookie.Parse("b=2; path=/two");
    EXPECT_EQ(cookie.pairs, (Pairs{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(cookie.path, "/two");
}

TEST(CookieHeader, BuildFromParts) {
    // The way the web interface makes its login cookie.
    CookieHeader cookie;
    EXPECT_EQ(cookie.Build(), "");
    cookie.pairs.emplace_back("session", "abc");
    cookie.path = "/";
    cookie.expiry_set = true;
    ASSERT_TRUE(cookie_date_parse("Fri, 01 Jan 2010 00:00:00 GMT", &cookie.expiry));
    EXPECT_EQ(cookie.Build(), "session=abc; path=/; expires=Fri, 01-Jan-2010 00:00:00 GMT");
    CookieHeader again(cookie.Build());
    EXPECT_EQ(again.Build(), cookie.Build());
}

TEST(CookieHeader, HostileValues) {
    std::string big(8192, 'x');
    CookieHeader large("big=" + big + "; path=/");
    ASSERT_EQ(large.pairs.size(), 1u);
    EXPECT_EQ(large.pairs[0].second.size(), 8192u);
    EXPECT_EQ(large.Build(), "big=" + big + "; path=/");

    std::string long_date = "expires=" + std::string(8192, 'W');
    CookieHeader date(long_date);
    EXPECT_FALSE(date.expiry_set);
    ASSERT_EQ(date.pairs.size(), 1u);

    std::string many;
    for (int i = 0; i < 2000; i++) many += "k" + std::to_string(i) + "=v;";
    EXPECT_EQ(CookieHeader(many).pairs.size(), 2000u);

    CookieHeader huge_version("a=1; version=99999999999999999999");
    EXPECT_GT(huge_version.version, 0);

    // Control bytes and NULs inside are carried, never cut or interpreted.
    std::string nul("a=x\0y", 5);
    CookieHeader binary(nul);
    ASSERT_EQ(binary.pairs.size(), 1u);
    EXPECT_EQ(binary.pairs[0].second, std::string("x\0y", 3));

    CookieHeader dollars("$$$=$; $");
    EXPECT_EQ(dollars.pairs, (Pairs{{"", "$"}}));
}

}  // namespace

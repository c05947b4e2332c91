// The URL filter's host index: rules with a literal host pattern are found
// by hash look-ups, every other one is matched in turn; the first match must
// be the one a plain scan of the patterns finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "regexp.h"
#include "urlfilter.h"

namespace {

TEST(HostIndex, LiteralShapes) {
    struct Case {
        const char *pattern;
        HostIndex::Kind kind;
        const char *name;
    };
    const std::vector<Case> cases = {
        {"(^|\\.)ads\\.example\\.com$", HostIndex::DOMAIN, "ads.example.com"},
        {"(^|[.])blocked-7[.]example$", HostIndex::DOMAIN, "blocked-7.example"},
        {"(?:^|\\.)Ads\\.Example$", HostIndex::DOMAIN, "ads.example"},
        {"^ads\\.example\\.com$", HostIndex::EXACT, "ads.example.com"},
        {"ads\\.example\\.com$", HostIndex::ENDING, "ads.example.com"},
        {"\\.example$", HostIndex::ENDING, ".example"},
        {"^a-b_c$", HostIndex::EXACT, "a-b_c"},
        // Everything else is a regular expression.
        {"ads.example.com$", HostIndex::NONE, ""},  // "." is any character
        {"^ads\\.example\\.com", HostIndex::NONE, ""},
        {"ads\\.example\\.com", HostIndex::NONE, ""},
        {"^$", HostIndex::NONE, ""},
        {"(^|\\.)$", HostIndex::NONE, ""},
        {"", HostIndex::NONE, ""},
        {"^(ads|tracker)\\.example$", HostIndex::NONE, ""},
        {"(^|\\.)ads\\.example\\.com$|foo", HostIndex::NONE, ""},
        {"^ads\\.example\\.com$$", HostIndex::NONE, ""},
        {"^ads\\$", HostIndex::NONE, ""},
        {"\\bads\\.com$", HostIndex::NONE, ""},
        {"^[a.]$", HostIndex::NONE, ""},
        {"^x\\-y$", HostIndex::NONE, ""},
        {"^ads\\.com\\n$", HostIndex::NONE, ""},
    };
    for (const Case &c : cases) {
        std::string name;
        EXPECT_EQ(HostIndex::literal(c.pattern, &name), c.kind) << c.pattern;
        if (c.kind != HostIndex::NONE) {
            EXPECT_EQ(name, c.name) << c.pattern;
        }
    }
}

// A rule: its host pattern, and whether its other conditions (profiles, path,
// addresses) hold.
struct Rule {
    std::string pattern;
    bool others_hold;
};

class Compiled {
public:
    explicit Compiled(const std::vector<Rule> &rules) : rules_(rules) {
        for (const Rule &rule : rules)
            regexes_.push_back(rule.pattern.empty() ? nullptr : reg_compile(rule.pattern.c_str(), 1));
    }
    ~Compiled() {
        for (regex_posix_t *regex : regexes_)
            if (regex) reg_free(regex);
    }
    bool matches(size_t i, const std::string &host) const {
        if (!rules_[i].others_hold) return false;
        return !regexes_[i] || reg_exec(regexes_[i], host.c_str()) == 0;
    }
    size_t plain_first(const std::string &host) const {
        for (size_t i = 0; i < rules_.size(); i++)
            if (matches(i, host)) return i;
        return HostIndex::npos;
    }

private:
    std::vector<Rule> rules_;
    std::vector<regex_posix_t *> regexes_;
};

TEST(HostIndex, SameFirstMatchAsPlainPatterns) {
    const std::vector<std::string> patterns = {
        "(^|\\.)ads\\.example\\.com$", "^ads\\.example\\.com$", "ads\\.example\\.com$", "(^|[.])example\\.com$",
        "example\\.com$", "^example\\.com$", "(^|\\.)com$", "\\.com$", "(^|\\.)ADS\\.Example\\.COM$",
        "ads.example.com$", "^.*\\.evil\\.net$", "(^|\\.)evil\\.net$", "m\\.evil\\.net$", "^m\\.evil\\.net$",
        "tracker", "", "^a-b_c\\.test$", "x$", "^x$", "(^|\\.)blocked-1[.]example$", "(^|\\.)blocked-11[.]example$",
        "^127\\.0\\.0\\.1$", "0\\.1$", "^(www\\.)?shop\\.example$", "(^|\\.)shop\\.example$",
    };
    const std::vector<std::string> hosts = {
        "ads.example.com", "xads.example.com", "sub.ads.example.com", "example.com", "ADS.EXAMPLE.COM",
        "com", "a.com", "evil.net", "m.evil.net", "im.evil.net", "a.m.evil.net", "blocked-1.example",
        "a.blocked-1.example", "blocked-11.example", "", "ads.example.com\n", "tracker.io", "a-b_c.test",
        "x", "ax", "127.0.0.1", "10.0.0.1", "ads.example.com.evil.net", "adsxexample.com", "www.shop.example",
        "shop.example", "ads.example.com.", "nothing.org", std::string("ads.example.com\0x", 17),
    };
    std::mt19937 random(7);
    for (int round = 0; round < 200; round++) {
        // A subset of the patterns in some order, some rules failing on
        // their other conditions.
        std::vector<Rule> rules;
        for (const std::string &pattern : patterns)
            if (random() % 4 != 0) rules.push_back({pattern, random() % 5 != 0});
        std::shuffle(rules.begin(), rules.end(), random);
        Compiled compiled(rules);
        std::vector<std::string> texts;
        for (const Rule &rule : rules) texts.push_back(rule.pattern);
        HostIndex index;
        index.build(texts);
        for (const std::string &host : hosts) {
            size_t indexed = index.first_match(host, [&](size_t i) { return compiled.matches(i, host); });
            ASSERT_EQ(indexed, compiled.plain_first(host)) << "round " << round << " host " << host;
        }
    }
}

// What the index is for: 1,000 site rules cost a look-up, not 1,000 matches.
TEST(HostIndex, LiteralRulesAreNotTriedOneByOne) {
    std::vector<std::string> patterns;
    for (int i = 0; i < 1000; i++) patterns.push_back("(^|[.])blocked-" + std::to_string(i) + "[.]example$");
    patterns.push_back("tracker");  // a regular expression, tried in turn
    HostIndex index;
    index.build(patterns);
    struct Case {
        const char *host;
        size_t first;
        int tried;
    };
    const std::vector<Case> cases = {
        {"www.example.org", HostIndex::npos, 1},
        {"a.blocked-500.example", 500, 1},
        {"blocked-999.example", 999, 1},
        {"tracker.blocked-3.example", 3, 1},
    };
    for (const Case &c : cases) {
        int tried = 0;
        std::string host = c.host;
        size_t first = index.first_match(host, [&](size_t i) {
            tried++;
            return i < 1000 || host.find("tracker") != std::string::npos;
        });
        EXPECT_EQ(first, c.first) << c.host;
        EXPECT_EQ(tried, c.tried) << c.host;
    }
    // A rebuild forgets the old rules.
    index.build({"^other\\.example$"});
    int tried = 0;
    EXPECT_EQ(index.first_match("blocked-1.example", [&](size_t) { return ++tried > 0; }), HostIndex::npos);
    EXPECT_EQ(tried, 0);
}

}  // namespace

#include "allowdeny.h"

#include <gtest/gtest.h>

#include <list>
#include <set>
#include <string>
#include <vector>

namespace {

// A rule that matches when its name is among the item's names.
struct Rule {
    std::string name;
    bool enabled;
};

struct Case {
    const char *what;
    int allow_first;
    std::vector<Rule> allow;
    std::vector<Rule> deny;
    std::set<std::string> item;  // names the item matches
    bool blocked;
    const char *rule;  // blocking deny rule, null for none (pass or default)
    const char *allowed_by;
};

TEST(AllowDeny, DecisionTable) {
    const Case cases[] = {
        {"allow first, empty lists: blocked by default", 1, {}, {}, {"x"}, true, nullptr, nullptr},
        {"allow first, no allow match: default", 1, {{"a", true}}, {{"x", true}}, {"x"}, true, nullptr, nullptr},
        {"allow first, allow only: passes", 1, {{"a", true}}, {}, {"a"}, false, nullptr, "a"},
        {"allow first, allow and deny: deny blocks", 1, {{"a", true}}, {{"d", true}}, {"a", "d"}, true, "d", "a"},
        {"deny first, empty lists: passes", 0, {}, {}, {"x"}, false, nullptr, nullptr},
        {"deny first, deny only: blocked", 0, {{"a", true}}, {{"d", true}}, {"d"}, true, "d", nullptr},
        {"deny first, deny and allow: passes", 0, {{"a", true}}, {{"d", true}}, {"a", "d"}, false, nullptr, "a"},
        {"deny first, allow only: passes", 0, {{"a", true}}, {{"d", true}}, {"a"}, false, nullptr, nullptr},
        {"first deny rule in order decides", 0, {}, {{"d1", true}, {"d2", true}}, {"d1", "d2"}, true, "d1", nullptr},
        {"first allow rule in order", 1, {{"a2", true}, {"a1", true}}, {}, {"a1", "a2"}, false, nullptr, "a2"},
        {"disabled deny rule skipped", 0, {}, {{"d", false}, {"d2", true}}, {"d", "d2"}, true, "d2", nullptr},
        {"disabled allow rule skipped", 1, {{"a", false}}, {}, {"a"}, true, nullptr, nullptr},
        {"non-zero policy counts as allow first", 7, {}, {}, {}, true, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        std::list<Rule> allow(c.allow.begin(), c.allow.end());
        std::list<Rule> deny(c.deny.begin(), c.deny.end());
        int calls = 0;
        auto matches = [&](const Rule &r) {
            calls++;
            return r.enabled && c.item.count(r.name) > 0;
        };
        AllowDeny<Rule> d = allow_deny(c.allow_first, allow, deny, matches);
        EXPECT_EQ(c.blocked, d.blocked) << c.what;
        EXPECT_EQ(std::string(c.rule ? c.rule : "-"), std::string(d.rule ? d.rule->name : "-")) << c.what;
        EXPECT_EQ(std::string(c.allowed_by ? c.allowed_by : "-"), std::string(d.allowed_by ? d.allowed_by->name : "-"))
            << c.what;
        EXPECT_LE(calls, (int)(allow.size() + deny.size())) << c.what;
    }
}

TEST(AllowDeny, StopsAtFirstMatchAndSkipsSecondPass) {
    std::vector<Rule> allow = {{"a", true}, {"b", true}};
    std::vector<Rule> deny = {{"d", true}, {"e", true}};
    std::vector<std::string> seen;
    auto matches = [&](const Rule &r) {
        seen.push_back(r.name);
        return r.name == "d" || r.name == "a";
    };
    // Deny first, deny "d" matches: the allow list is scanned up to "a" only.
    allow_deny(0, allow, deny, matches);
    EXPECT_EQ((std::vector<std::string>{"d", "a"}), seen);
    // Allow first, nothing of the allow list matches: no deny pass.
    seen.clear();
    auto none = [&](const Rule &r) {
        seen.push_back(r.name);
        return false;
    };
    allow_deny(1, allow, deny, none);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), seen);
}

TEST(AllowDenyRule, DefaultRuleAndProfileCondition) {
    AllowDenyRule rule;
    EXPECT_EQ(nullptr, rule.entry);
    EXPECT_TRUE(rule.enabled);
    StringList none;
    EXPECT_TRUE(rule.holds(none));
    rule.profiles = StringList("staff", ",");
    EXPECT_FALSE(rule.holds(none));
    EXPECT_TRUE(rule.holds(StringList("guest,staff", ",")));
    rule.enabled = false;
    EXPECT_FALSE(rule.holds(StringList("staff", ",")));
}

}  // namespace

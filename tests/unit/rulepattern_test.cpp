// Rule patterns: plain words are matched without the regular-expression
// engine, and must answer exactly as the compiled pattern does.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "regexp.h"
#include "rulepattern.h"

namespace {

// The compiled pattern's answer, case folded as rule patterns are.
bool reference(const std::string &pattern, const std::string &subject) {
    regex_posix_t *regex = reg_compile(pattern.c_str(), 1);
    if (!regex) return false;
    bool match = reg_exec_length(regex, subject.data(), subject.size()) == 0;
    reg_free(regex);
    return match;
}

const std::vector<std::string> patterns = {
    // plain words, anchored at the start or not
    "text/html",
    "^text/html",
    "^TEXT/",
    "html",
    "^h",
    "a b",
    "x-y_z:1;q=2,3",
    "50%",
    "e&f",
    "<p>",
    "a'b",
    "a\"b",
    "@~!",
    "^/",
    // patterns the engine must still run
    "text.html",
    "^text/html$",
    "html$",
    "^(text|image)/",
    "te?xt",
    "a\\.b",
    "[a]",
    "^",
    "x{2}",
};

const std::vector<std::string> subjects = {
    "text/html",
    "TEXT/HTML; charset=utf-8",
    "application/xhtml+xml",
    "",
    "xtext/html",
    "text/htm",
    "a b",
    "A B c",
    "x-y_z:1;q=2,3",
    "50%",
    "E&F",
    "<P>",
    "a'b",
    "a\"b",
    "@~!",
    "/x",
    "\xc4text/html",
    std::string("text\0/html", 10),
    std::string("te\0text/html", 12),
    "textxhtml",
    "a.b",
    "axb",
    "xx",
};

TEST(RulePattern, WordsAnswerAsTheCompiledPattern) {
    for (const std::string &pattern : patterns)
        for (bool jit : {false, true}) {
            RulePattern rule(pattern, jit);
            ASSERT_FALSE(rule.failed()) << pattern;
            for (const std::string &subject : subjects) {
                bool want = reference(pattern, subject);
                EXPECT_EQ(rule.matches(subject.data(), subject.size()), want) << pattern << " on " << subject;
                // The text form stops at a zero byte.
                std::string text(subject.c_str());
                EXPECT_EQ(rule.matches(subject.c_str()), reference(pattern, text)) << pattern << " on " << text;
            }
        }
}

TEST(RulePattern, CopiesAndMovesKeepTheMatching) {
    RulePattern original("^text/");
    RulePattern copied(original);
    RulePattern moved(std::move(copied));
    RulePattern assigned;
    assigned = moved;
    RulePattern move_assigned;
    move_assigned = std::move(assigned);
    for (const RulePattern *rule : {&original, &moved, &move_assigned}) {
        EXPECT_TRUE(rule->matches("Text/plain"));
        EXPECT_FALSE(rule->matches("image/text/"));
    }
    // What was moved from is empty again, and an empty pattern matches all.
    EXPECT_TRUE(copied.empty());
    EXPECT_TRUE(copied.matches("anything"));
}

TEST(RulePattern, EmptyFailedAndMissingSubjects) {
    RulePattern empty;
    EXPECT_TRUE(empty.matches("x"));
    EXPECT_TRUE(empty.matches(nullptr));
    RulePattern word("html");
    EXPECT_FALSE(word.matches(nullptr));
    RulePattern broken("(unclosed");
    EXPECT_TRUE(broken.failed());
    EXPECT_FALSE(broken.matches("(unclosed"));
}

}  // namespace

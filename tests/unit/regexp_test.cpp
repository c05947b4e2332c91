// Regular expressions: the match layer and the substitution layer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "filebuf.h"
#include "regexp.h"

namespace {

std::string contents(const Filebuf &buffer) {
    return buffer.data ? std::string(buffer.data, (size_t)buffer.size) : std::string();
}

TEST(RegMatch, CaseInsensitiveConditions) {
    struct Case {
        const char *pattern, *text;
        bool match;
    };
    const std::vector<Case> cases = {
        {"^abc", "ABCdef", true},  {"^abc", "xabc", false}, {"def$", "abcDEF", true},
        {"a.c", "A-C", true},      {"", "anything", true},  {"image/(gif|png)", "Image/PNG", true},
        {"^text/html", "", false}, {"x{2,3}", "xx", true},
    };
    for (const Case &c : cases) {
        regex_posix_t *regex = reg_compile(c.pattern, 1);
        ASSERT_NE(regex, nullptr) << c.pattern;
        EXPECT_EQ(reg_exec(regex, c.text) == 0, c.match) << c.pattern << " on " << c.text;
        reg_free(regex);
    }
    regex_posix_t *plain = reg_compile("^abc", 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_NE(reg_exec(plain, "ABC"), 0);
    EXPECT_NE(reg_exec(plain, nullptr), 0);
    reg_free(plain);
    EXPECT_NE(reg_exec(nullptr, "abc"), 0);
}

TEST(RegMatch, BadPatternsGiveNull) {
    for (const char *pattern : {"(", "[a-", "a{2,1}", "*x", "(?<n", "\\"})
        EXPECT_EQ(reg_compile(pattern, 1), nullptr) << pattern;
    EXPECT_EQ(reg_compile(nullptr, 1), nullptr);
}

// One compiled rule is matched by every worker at once: no match may see
// another's work.
TEST(RegMatch, SharedPatternAcrossThreads) {
    regex_posix_t *rule = reg_compile("^([a-z0-9-]+\\.)*(ads|tracker)\\.example\\.(com|net)$", 1);
    ASSERT_NE(nullptr, rule);
    const std::vector<std::pair<std::string, bool>> hosts = {
        {"ads.example.com", true},     {"a.b.c.d.e.f.tracker.example.net", true},
        {"www.example.com", false},    {std::string(200, 'a') + ".ads.example.org", false},
        {"x-y.ads.example.com", true}, {"ads.example.com.evil", false},
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; i++) {
                const auto &host = hosts[(size_t)(i + t) % hosts.size()];
                if ((reg_exec(rule, host.first.c_str()) == 0) != host.second) wrong++;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(0, wrong.load());
    reg_free(rule);
}

// Body patterns are compiled to machine code and matched over a length: the
// answers must be the interpreter's, on short texts and whole bodies alike.
TEST(RegMatch, JitGivesTheInterpretersAnswers) {
    std::string body;
    for (int i = 0; i < 4000; i++) body += "<p>lorem ipsum dolor sit amet</p>\n";
    const std::string long_tail = body + "Casino night";
    const std::string runaway(100000, 'a');
    const std::vector<std::string> patterns = {
        "casino", "^<p>lorem", "night$", "c.s.n.", "(a|b)*c", "(a+)+b", "absent[0-9]+", "\\bsit\\b", "",
    };
    const std::vector<std::string> texts = {"", "CASINO", "x casino y", "<p>LOREM", "aaab", body, long_tail, runaway};
    for (const std::string &pattern : patterns) {
        regex_posix_t *plain = reg_compile(pattern.c_str(), 1);
        regex_posix_t *jit = reg_compile_jit(pattern.c_str(), 1);
        ASSERT_NE(plain, nullptr) << pattern;
        ASSERT_NE(jit, nullptr) << pattern;
        for (const std::string &text : texts) {
            int want = reg_exec(plain, text.c_str());
            EXPECT_EQ(want, reg_exec_length(jit, text.c_str(), text.size())) << pattern << " on " << text.size();
            EXPECT_EQ(want, reg_exec(jit, text.c_str())) << pattern << " on " << text.size();
        }
        reg_free(plain);
        reg_free(jit);
    }
    EXPECT_EQ(reg_compile_jit("(", 1), nullptr);
}

TEST(RegMatch, LengthBoundsTheText) {
    regex_posix_t *regex = reg_compile_jit("secret", 1);
    ASSERT_NE(regex, nullptr);
    const char text[] = "public secret";
    EXPECT_NE(reg_exec_length(regex, text, 10), 0);  // "public sec"
    EXPECT_EQ(reg_exec_length(regex, text, sizeof text - 1), 0);
    const char zero[] = "a\0secret";  // within the length, a zero byte is a byte
    EXPECT_EQ(reg_exec_length(regex, zero, sizeof zero - 1), 0);
    EXPECT_NE(reg_exec(regex, zero), 0);
    EXPECT_NE(reg_exec_length(regex, nullptr, 0), 0);
    reg_free(regex);
}

TEST(RegMatchDeathTest, FreeingNullIsFatal) { EXPECT_EXIT(reg_free(nullptr), testing::ExitedWithCode(1), ""); }

TEST(RegSub, CompileOptionsAndLetters) {
    struct Case {
        const char *pattern;
        int options;
        const char *text;
        bool match;
    };
    const std::vector<Case> cases = {
        {"a b c  # spaces and comments are ignored", 15, "xABCx", true},
        {"a b c", 0, "abc", false},
        {"^second", 2, "first\nsecond", true},
        {"^second", 0, "first\nsecond", false},
        {"a.b", 4, "a\nb", true},
        {"a.b", 0, "a\nb", false},
        {"ABC", 1, "abc", true},
    };
    for (const Case &c : cases) {
        regex_sub_t *sub = reg_sub_compile(c.pattern, c.options);
        ASSERT_NE(sub, nullptr) << c.pattern;
        regmatch_sub_t *match = reg_sub_exec(sub, c.text);
        EXPECT_EQ(match != nullptr, c.match) << c.pattern << " options " << c.options;
        reg_sub_match_free(match);
        reg_sub_free(sub);
    }
    // Ungreedy swaps the meaning of "*" and "*?".
    regex_sub_t *lazy = reg_sub_compile("<.*>", 0x200);
    regmatch_sub_t *match = reg_sub_exec(lazy, "<a><b>");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->strings[0], "<a>");
    reg_sub_match_free(match);
    reg_sub_free(lazy);

    EXPECT_EQ(reg_sub_compile("(unclosed", 15), nullptr);
    EXPECT_EQ(reg_sub_compile(nullptr, 15), nullptr);
    reg_sub_free(nullptr);
    reg_sub_match_free(nullptr);

    struct Letters {
        const char *letters;
        int options;
    };
    for (const Letters &l :
         std::vector<Letters>{{"imsx", 15}, {"IMSX", 15}, {"u", 0x200}, {"iqz", 1}, {"", 0}, {nullptr, 0}, {"ii", 1}})
        EXPECT_EQ(pcre_options(l.letters), l.options) << (l.letters ? l.letters : "null");
}

TEST(RegSub, ExecCapturesAndOffsets) {
    regex_sub_t *sub = reg_sub_compile("(x)-(q)?-(y)", 0);
    ASSERT_NE(sub, nullptr);
    regmatch_sub_t *match = reg_sub_exec(sub, "..x--y..");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->start, 2);
    EXPECT_EQ(match->end, 6);
    EXPECT_EQ(match->count, 4);
    EXPECT_EQ(match->strings, (std::vector<std::string>{"x--y", "x", "", "y"}));
    reg_sub_match_free(match);
    EXPECT_EQ(reg_sub_exec(sub, "nothing"), nullptr);
    EXPECT_EQ(reg_sub_exec(sub, nullptr), nullptr);
    EXPECT_EQ(reg_sub_exec(nullptr, "x--y"), nullptr);
    reg_sub_free(sub);
}

TEST(RegSub, AtMostSixteenStrings) {
    std::string fifteen, sixteen, text;
    for (int i = 0; i < 15; i++) fifteen += "(.)";
    sixteen = fifteen + "(.)";
    text = std::string(20, 'k');

    regex_sub_t *sub = reg_sub_compile(fifteen.c_str(), 0);
    regmatch_sub_t *match = reg_sub_exec(sub, text.c_str());
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->count, 16);
    reg_sub_match_free(match);
    reg_sub_free(sub);

    sub = reg_sub_compile(sixteen.c_str(), 0);
    EXPECT_EQ(reg_sub_exec(sub, text.c_str()), nullptr);
    // Sixteen groups of which only the first few are set still match.
    reg_sub_free(sub);
    sub = reg_sub_compile(("(a)|" + sixteen).c_str(), 0);
    match = reg_sub_exec(sub, "a");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->count, 2);
    reg_sub_match_free(match);
    reg_sub_free(sub);
}

TEST(RegSub, RunawayPatternEndsAsNoMatch) {
    regex_sub_t *sub = reg_sub_compile("(a+)+$", 0);
    std::string text = std::string(40, 'a') + "b";
    EXPECT_EQ(reg_sub_exec(sub, text.c_str()), nullptr);
    reg_sub_free(sub);
}

TEST(RegSub, ParseReplacement) {
    regex_sub_t *sub = reg_sub_compile("(x)(y)(z)?", 0);
    regmatch_sub_t *match = reg_sub_exec(sub, "axyb");
    ASSERT_NE(match, nullptr);
    ASSERT_EQ(match->count, 3);
    struct Case {
        const char *replacement;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"$1-$2", "x-y"},
        {"$0!", "xy!"},
        {"$$1", "$1"},
        {"cost $", "cost $"},
        {"$7 and $3", " and "},  // captures that do not exist give nothing
        {"$a$ $!b", "b"},        // "$" with a letter or a character below "0" is dropped with it
        {"\\t|\\n|\\r|\\a|\\e|\\f|\\\\|\\q", std::string("\t|\n|\r|\a|\x1b|\f|\\|q")},
        {"end\\", "end"},
        {"@IP@:$1", "10.0.0.1:x"},
        {"a@@b", "a@b"},
        {"@UNKNOWN@.", "."},
        // Values are inserted as they stand: no escapes, captures or names inside them.
        {"<@TRICK@>", "<$1\\t@IP@>"},
        // A value never carries a line break into the result.
        {"[@CRLF@]", "[ab: c]"},
        {"lone @ sign", "lone @ sign"},
        {"", ""},
    };
    VARIABLES variables = {{"IP", "10.0.0.1"}, {"TRICK", "$1\\t@IP@"}, {"CRLF", "a\r\nb: c\n"}};
    for (const Case &c : cases) {
        char *out = reg_sub_parse(match, c.replacement, &variables);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), c.expected) << c.replacement;
        free(out);
    }
    EXPECT_EQ(variables.count("UNKNOWN"), 1u);  // remembered with an empty value
    char *out = reg_sub_parse(match, "@IP@", nullptr);
    EXPECT_STREQ(out, "");
    free(out);
    reg_sub_match_free(match);
    reg_sub_free(sub);
}

TEST(RegSub, ParseDropsLineBreaksFromCaptures) {
    // The expanded text becomes a URL or a header value.
    regex_sub_t *sub = reg_sub_compile("^http://h/(.*)$", 4);
    regmatch_sub_t *match = reg_sub_exec(sub, "http://h/a\r\nSet-Cookie: x=1");
    ASSERT_NE(match, nullptr);
    char *out = reg_sub_parse(match, "http://other/$1", nullptr);
    EXPECT_STREQ(out, "http://other/aSet-Cookie: x=1");
    free(out);
    reg_sub_match_free(match);
    reg_sub_free(sub);
}

TEST(RegSub, ParseGroupsPastNine) {
    regex_sub_t *sub = reg_sub_compile("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", 0);
    regmatch_sub_t *match = reg_sub_exec(sub, "abcdefghijk");
    ASSERT_NE(match, nullptr);
    // The character after "$" counts from "0": ":" is group 10, ";" group 11.
    char *out = reg_sub_parse(match, "$9$:$;$<", nullptr);
    EXPECT_STREQ(out, "ijk");
    free(out);
    reg_sub_match_free(match);
    reg_sub_free(sub);
}

TEST(RegReplace, Table) {
    struct Case {
        const char *pattern;
        int options;
        std::string text;
        const char *replacement;
        std::string expected;
        int count;
    };
    const std::vector<Case> cases = {
        {"^a", 0, "aaa", "b", "bbb", 3},  // every search is a new subject
        {"o", 0, "foo boo", "0", "f00 b00", 4},
        {"(\\w+)@(\\w+)", 0, "me@host you@there", "$2 at $1", "host at me there at you", 2},
        {"remove", 0, "keep remove keep", nullptr, "keep  keep", 1},
        {"absent", 0, "unchanged", "x", "unchanged", 0},
        {"x*", 0, "ab", "-", "-a-b-", 3},  // empty matches still move on
        {"$", 2, "l1\nl2", "!", "l1!\nl2!", 2},
        {"b", 0, std::string("a\0b\0c", 5), "B", std::string("a\0B\0c", 5), 1},  // past NUL bytes
        {"<!DOCTYPE[^\\]]*\\]>", 1, "<!doctype x [ <!ENTITY e 'v'> ]><r/>", nullptr, "<r/>", 1},
        {"^", 0, "", "start", "start", 1},
    };
    for (const Case &c : cases) {
        regex_sub_t *sub = reg_sub_compile(c.pattern, c.options);
        ASSERT_NE(sub, nullptr) << c.pattern;
        Filebuf buffer;
        buffer.Add(c.text.data(), (long long)c.text.size());
        VARIABLES variables;
        EXPECT_EQ(reg_replace(&buffer, sub, c.replacement, &variables), c.count) << c.pattern;
        EXPECT_EQ(contents(buffer), c.expected) << c.pattern;
        reg_sub_free(sub);
    }
}

TEST(RegReplace, HeaderRewriteCannotGainLines) {
    const std::string head = "GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: old\r\n\r\n";
    VARIABLES variables = {{"USER", "bob\r\nX-Admin: yes"}};
    regex_sub_t *sub = reg_sub_compile("^User-Agent:[^\\r\\n]*", 15);
    Filebuf buffer;
    buffer.Add(head.data(), (long long)head.size());
    EXPECT_EQ(reg_replace(&buffer, sub, "User-Agent: @USER@ \\$1", &variables), 1);
    EXPECT_EQ(contents(buffer), "GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: bobX-Admin: yes $1\r\n\r\n");
    reg_sub_free(sub);

    // Captures are the head's own text and go back unchanged, line breaks too;
    // the replacement's own escapes still add lines on purpose.
    sub = reg_sub_compile("(Host:.*?)(\\r\\n\\r\\n)", 15);
    buffer.Resize(0);
    buffer.Add(head.data(), (long long)head.size());
    EXPECT_EQ(reg_replace(&buffer, sub, "$1\\r\\nVia: p$2", &variables), 1);
    EXPECT_EQ(contents(buffer), "GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: old\r\nVia: p\r\n\r\n");
    reg_sub_free(sub);
}

TEST(RegReplace, NullArgumentsAndEmptyBuffers) {
    regex_sub_t *sub = reg_sub_compile("a", 0);
    Filebuf never_allocated;
    EXPECT_EQ(reg_replace(&never_allocated, sub, "b", nullptr), 0);
    EXPECT_EQ(never_allocated.data, nullptr);
    EXPECT_EQ(reg_replace(nullptr, sub, "b", nullptr), 0);
    Filebuf buffer;
    buffer.Add("aa", 2);
    EXPECT_EQ(reg_replace(&buffer, nullptr, "b", nullptr), 0);
    EXPECT_EQ(reg_replace(&buffer, sub, "@V@", nullptr), 2);
    EXPECT_EQ(buffer.size, 0);
    reg_sub_free(sub);
}

TEST(StringReplace, Table) {
    struct Case {
        std::string text;
        const char *find;
        const char *replacement;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"ab ab ab", "ab", "x", "x x x"}, {"ab ab", "ab", nullptr, " "},
        {"aaa", "a", "aa", "aaaaaa"},  // the inserted text is not searched again
        {"aaaa", "aa", nullptr, ""},      {"abc", "", "x", "abc"},
        {"ABC", "abc", "x", "ABC"},       {std::string("\0x\0", 3), "x", "y", std::string("\0y\0", 3)},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        buffer.Add(c.text.data(), (long long)c.text.size());
        EXPECT_EQ(string_replace(&buffer, c.find, c.replacement), 0);
        EXPECT_EQ(contents(buffer), c.expected) << c.text << " / " << c.find;
    }
    Filebuf empty;
    EXPECT_EQ(string_replace(&empty, "a", "b"), 0);
    EXPECT_EQ(string_replace(nullptr, "a", "b"), 0);
}

}  // namespace

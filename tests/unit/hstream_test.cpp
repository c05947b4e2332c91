// Incremental HTML parser: tree shape, tag parsing, callbacks, piecewise
// feeding, nesting limit and hostile input.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hstream.h"
#include "log.h"
#include "settings.h"

namespace {

// "<name a=v>" for a tag, 'text' for a text, children in parentheses after
// their node, siblings separated by a blank.
void dump_chain(const htmlstream_node *node, std::string *out) {
    bool first = true;
    for (; node; node = node->next) {
        if (!first) *out += ' ';
        first = false;
        if (node->tag) {
            *out += '<';
            *out += node->tag->name;
            for (const htmlstream_attribute *a = node->tag->attributes; a; a = a->next)
                *out += std::string(" ") + a->name + "=" + a->value;
            *out += '>';
        } else {
            *out += "'" + std::string(node->text ? node->text : "(null)") + "'";
        }
        if (node->first_child) {
            *out += '(';
            dump_chain(node->first_child, out);
            *out += ')';
        }
    }
}

std::string dump(const HTMLStream &stream) {
    std::string out;
    dump_chain(stream.root, &out);
    return out;
}

// Every callback call, as "name:attr=value,...;".
int record(HTMLStream *, htmlstream_node *node, void *data) {
    std::string *log = static_cast<std::string *>(data);
    *log += node->tag->name;
    *log += ':';
    for (const htmlstream_attribute *a = node->tag->attributes; a; a = a->next)
        *log += std::string(a->name) + "=" + a->value + ",";
    *log += ';';
    return 0;
}

int other(HTMLStream *, htmlstream_node *, void *data) {
    *static_cast<std::string *>(data) += "other;";
    return 0;
}

struct Parsed {
    std::string tree;
    std::string calls;
};

// Feeds the pieces one after the other, then the end of input.
Parsed parse(const std::vector<std::string> &pieces) {
    HTMLStream stream;
    Parsed result;
    for (const char *name : {"a", "img", "p", "div"}) stream.Callback(name, record, &result.calls);
    for (const std::string &piece : pieces) stream.Add(piece.data(), (long long)piece.size());
    stream.Add(nullptr, 0);
    result.tree = dump(stream);
    return result;
}

class HTMLStreamLog : public ::testing::Test {
protected:
    void SetUp() override {
        daemonize = 1;  // nothing on standard output
        logfile[0] = 0;
        log_ring = logbuffer_new(1000);
    }
    void TearDown() override {
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    int lines_with(const char *text) {
        int count = 0;
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, text)) count++;
        return count;
    }
};

const char NESTING[] = "HTML nesting limit 64 reached";

TEST(HTMLStreamTree, Documents) {
    struct Case {
        std::string input;
        std::string tree;
        std::string calls;
    };
    const std::vector<Case> cases = {
        {"<a href=x>link</a>", "<a href=x> 'link'", "a:href=x,;"},
        {"<p>hello", "<p> 'hello'", "p:;"},
        {"<!-- <a href=y> -->", "'<!-- <a href=y> -->'", ""},
        {"x<!-- <a> -->y<b>", "'x<!-- <a> -->y' <b>", ""},
        // the closed tag and what follows it hang from the node before it
        {"<p><a>x</a>", "<p>(<a> 'x')", "p:;a:;"},
        {"<p><A>x</a>", "<p>(<A> 'x')", "p:;"},
        {"x<a>y</a>z", "'xz'(<a> 'y')", "a:;"},
        // a node that already has children takes no more
        {"<ul><li>1</li><li>2</li>", "<ul>(<li> '1') <li> '2'", ""},
        // </b> closes only a tag named b
        {"<p><br>x</b>", "<p> <br> 'x'", "p:;"},
        {"<p><b>x</b >", "<p> <b> 'x'", "p:;"},
        {"</a>x", "'x'", ""},
        {"<p>a < b</p>", "<p> 'a < b'", "p:;"},
        {"<p>text<a href", "<p> 'text<a href'", "p:;"},
        {"x<!-- never closed", "'x<!-- never closed'", ""},
        {"a<>b", "'ab'", ""},
        {"</>", "</>", ""},
        {"a>b", "'a>b'", ""},
        {"<a>  \r\n\t</a>", "<a>", "a:;"},
        {"<p>\xc3\xa9t\xc3\xa9", "<p> '\xc3\xa9t\xc3\xa9'", "p:;"},
        {"<p>\xc3\xa9", "<p> '\xc3\xa9'", "p:;"},
        {"<!DOCTYPE html><html>", "<!DOCTYPE> <html>", ""},
        {"<img alt=\"\" src=\"a b.png\">", "<img alt= src=a b.png>", "img:alt=,src=a b.png,;"},
        {"<a href=\"x>y", "<a href=x> 'y'", "a:href=x,;"},
        {"<a\thref=x>", "<a\thref>", ""},
        {"<div class = \"c\" id=d>", "<div class=c id=d>", "div:class=c,id=d,;"},
        {"", "", ""},
        {"   \n", "", ""},
        {"<", "'<'", ""},
        {"ab<", "'ab<'", ""},
    };
    for (const Case &c : cases) {
        Parsed got = parse({c.input});
        EXPECT_EQ(c.tree, got.tree) << c.input;
        EXPECT_EQ(c.calls, got.calls) << c.input;
    }
}

TEST(HTMLStreamTree, NodeLinks) {
    HTMLStream stream;
    const char page[] = "<p><a>x</a><i>";
    stream.Add(page, sizeof page - 1);
    stream.Add(nullptr, 0);
    htmlstream_node *p = stream.root;
    ASSERT_TRUE(p && p->tag);
    htmlstream_node *a = p->first_child;
    ASSERT_TRUE(a && a->tag);
    EXPECT_EQ(p, a->parent);
    EXPECT_EQ(nullptr, a->previous);
    ASSERT_TRUE(a->next && a->next->text);
    EXPECT_EQ(nullptr, a->next->parent);  // only a first child knows its parent
    EXPECT_EQ(a, a->next->previous);
    EXPECT_EQ(1, p->depth);
    ASSERT_TRUE(p->next && p->next->tag);
    EXPECT_STREQ("i", p->next->tag->name);
    EXPECT_EQ(p, p->next->previous);
    EXPECT_EQ(p->next, stream.current);
}

const char PAGE[] =
    "<!DOCTYPE html>\n<html><head><title>T &amp; t</title>\n"
    "<!-- <a href=\"hidden\"> -- > still comment -->\n"
    "<link rel=stylesheet href=\"/s.css\"></head>\n"
    "<body class=\"main page\"><div id=top><p>One <b>bold</b> word</p>\n"
    "<a href=\"http://origin/x?a=1&b=2\">link</a> a < b > c\n"
    "<img src=i.png alt=\"\"><ul><li>1</li><li>2</li></ul>\n"
    "<P>upper</p></div><br/><!---->tail<p>\xc3\xa9\n"
    "</body></html> trailing <a href";

TEST(HTMLStreamSplit, EverySplitPointGivesTheSameTree) {
    const std::string page(PAGE);
    Parsed whole = parse({page});
    ASSERT_NE(std::string::npos, whole.calls.find("a:href=http://origin/x?a=1&b=2,;"));
    ASSERT_EQ(std::string::npos, whole.calls.find("hidden"));
    for (size_t k = 0; k <= page.size(); k++) {
        Parsed split = parse({page.substr(0, k), page.substr(k)});
        EXPECT_EQ(whole.tree, split.tree) << "split at " << k;
        EXPECT_EQ(whole.calls, split.calls) << "split at " << k;
    }
    // three pieces, every pair of split points within the first part
    for (size_t i = 0; i <= 120 && i <= page.size(); i++) {
        for (size_t j = i; j <= 120 && j <= page.size(); j++) {
            Parsed split = parse({page.substr(0, i), page.substr(i, j - i), page.substr(j)});
            EXPECT_EQ(whole.tree, split.tree) << "split at " << i << "," << j;
        }
    }
}

TEST(HTMLStreamSplit, ByteByByte) {
    const std::string page(PAGE);
    std::vector<std::string> bytes;
    for (char c : page) bytes.push_back(std::string(1, c));
    Parsed whole = parse({page});
    Parsed split = parse(bytes);
    EXPECT_EQ(whole.tree, split.tree);
    EXPECT_EQ(whole.calls, split.calls);
}

TEST(HTMLStreamSplit, CallbackFiresAsSoonAsTheTagIsComplete) {
    HTMLStream stream;
    std::string calls;
    stream.Callback("a", record, &calls);
    const char part1[] = "text <a href=x";
    stream.Add(part1, sizeof part1 - 1);
    EXPECT_EQ("", calls);
    const char part2[] = ">link and more text";
    stream.Add(part2, sizeof part2 - 1);
    EXPECT_EQ("a:href=x,;", calls);
    stream.Add(nullptr, 0);
    EXPECT_EQ("a:href=x,;", calls);
    EXPECT_EQ("'text ' <a href=x> 'link and more text'", dump(stream));
}

TEST(HTMLStreamCallback, SecondRegistrationKeepsTheFirst) {
    HTMLStream stream;
    std::string calls;
    EXPECT_EQ(1, stream.Callback("a", record, &calls));
    EXPECT_EQ(0, stream.Callback("a", other, &calls));
    EXPECT_EQ(1, stream.Callback("img", other, &calls));
    const char page[] = "<a href=x>link</a><img src=y>";
    stream.Add(page, sizeof page - 1);
    stream.Add(nullptr, 0);
    EXPECT_EQ("a:href=x,;other;", calls);
}

TEST(HTMLStreamCallback, NameWithOtherCaseCalledOnlyWhenHashedAlike) {
    HTMLStream stream;
    std::string calls;
    stream.Callback("a", record, &calls);
    const char page[] = "<A x=1><a x=2>";
    stream.Add(page, sizeof page - 1);
    stream.Add(nullptr, 0);
    // "A" and "a" fall into different buckets of the 16-bucket table
    EXPECT_EQ("a:x=2,;", calls);
}

TEST(HTMLStreamTagParse, Tokens) {
    struct Case {
        std::string text;
        bool has_tag;
        std::string dumped;  // name then " attr=value" pairs
    };
    const std::vector<Case> cases = {
        {"<a href=x>", true, "a href=x"},
        {"<a b=c d e=f g>", true, "a b=c d=e f=g"},
        {"<a b>", true, "a"},
        {"<a b c>", true, "a b=c"},
        {"< a>", true, "a"},
        {"<a x=\"1 = 2\">", true, "a x=1 = 2"},
        {"<a x=\"\">", true, "a x="},
        {"<a x=\"unclosed>", true, "a x=unclosed"},
        {"<a x=\"y\"z>", true, "a x=yz"},
        {"<a\n>", true, "a\n"},
        {"<a", true, "a"},
        {"<", false, ""},
        {"", false, ""},
        {"<>", false, ""},
        {"< >", false, ""},
        {"<=>", false, ""},
        {"<\"\">", false, ""},
        {"<==  =>", false, ""},
    };
    for (const Case &c : cases) {
        htmlstream_tag *tag = htmlstream_tag_parse(c.text.data(), c.text.size());
        EXPECT_EQ(c.has_tag, tag != nullptr) << c.text;
        if (!tag) continue;
        std::string dumped = tag->name;
        for (const htmlstream_attribute *a = tag->attributes; a; a = a->next)
            dumped += std::string(" ") + a->name + "=" + a->value;
        EXPECT_EQ(c.dumped, dumped) << c.text;
        htmlstream_tag_free(tag);
    }
    htmlstream_tag_free(nullptr);
    htmlstream_tree_free(nullptr);
}

// Length of a chain and the height of the tree below it.
void measure(const htmlstream_node *node, int level, int *height, long *chain) {
    for (; node; node = node->next) {
        if (chain) (*chain)++;
        if (level + 1 > *height) *height = level + 1;
        measure(node->first_child, level + 1, height, nullptr);
    }
}

std::string repeat(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += text;
    return out;
}

TEST_F(HTMLStreamLog, NestingLimitWarnsOncePerAdd) {
    HTMLStream stream;
    std::string open = repeat("<div>", 100) + "x";
    std::string close = repeat("</div>", 100);
    stream.Add(open.data(), (long long)open.size());
    stream.Add(close.data(), (long long)close.size());
    EXPECT_EQ(1, lines_with(NESTING));
    // 65 closing tags nest; the others are ignored and the rest stays chained
    int height = 0;
    long chain = 0;
    measure(stream.root, 0, &height, &chain);
    EXPECT_EQ(35, chain);
    EXPECT_EQ(66, height);
    stream.Add(close.data(), (long long)close.size());
    EXPECT_EQ(2, lines_with(NESTING));
    stream.Add(nullptr, 0);
    EXPECT_EQ(2, lines_with(NESTING));  // nothing left to close
}

TEST_F(HTMLStreamLog, ShallowNestingDoesNotWarn) {
    std::string page = repeat("<div>", 60) + "x" + repeat("</div>", 60);
    HTMLStream stream;
    stream.Add(page.data(), (long long)page.size());
    stream.Add(nullptr, 0);
    EXPECT_EQ(0, lines_with(NESTING));
    int height = 0;
    long chain = 0;
    measure(stream.root, 0, &height, &chain);
    EXPECT_EQ(1, chain);
    EXPECT_EQ(60, height);
}

TEST_F(HTMLStreamLog, HostileInput) {
    struct Case {
        const char *name;
        std::string input;
        size_t piece;  // feed in pieces of this size
    };
    std::string huge_value = "<a href=\"" + std::string(4 << 20, 'v') + "\">";
    std::string nul_bytes("<a\0b=c>\0text\0<p>", 16);
    const std::vector<Case> cases = {
        {"deep nesting", repeat("<i>", 100000) + repeat("</i>", 100000), 65536},
        {"siblings then unmatched closings", repeat("<br>", 100000) + repeat("</x>", 100000), 65536},
        {"unterminated comment", "<p><!--" + std::string(2 << 20, '-'), 4096},
        {"unterminated tag", "<a href=\"" + std::string(2 << 20, 'x'), 4096},
        {"huge attribute value", huge_value, 65536},
        {"many lone brackets", repeat("a<", 200000), 8192},
        {"nul bytes", nul_bytes, 1},
        {"only brackets", repeat("<>", 100000) + repeat("</", 1000), 100},
    };
    for (const Case &c : cases) {
        HTMLStream stream;
        std::string calls;
        stream.Callback("a", record, &calls);
        for (size_t at = 0; at < c.input.size(); at += c.piece)
            stream.Add(c.input.data() + at, (long long)std::min(c.piece, c.input.size() - at));
        stream.Add(nullptr, 0);
        int height = 0;
        long chain = 0;
        measure(stream.root, 0, &height, &chain);
        EXPECT_LE(height, HTMLSTREAM_MAX_DEPTH + 2) << c.name;
    }
}

TEST(HTMLStreamHostile, HugeAttributeValueKeptWhole) {
    std::string page = "<a href=\"" + std::string(3 << 20, 'v') + "\">";
    HTMLStream stream;
    for (size_t at = 0; at < page.size(); at += 1000)
        stream.Add(page.data() + at, (long long)std::min<size_t>(1000, page.size() - at));
    stream.Add(nullptr, 0);
    ASSERT_TRUE(stream.root && stream.root->tag && stream.root->tag->attributes);
    EXPECT_EQ((size_t)3 << 20, strlen(stream.root->tag->attributes->value));
}

TEST(HTMLStreamHostile, ManyTextPiecesJoinIntoOneNode) {
    std::string page = repeat("word<", 50000);
    HTMLStream stream;
    stream.Add(page.data(), (long long)page.size());
    stream.Add(nullptr, 0);
    ASSERT_TRUE(stream.root && stream.root->text);
    EXPECT_EQ(nullptr, stream.root->next);
    EXPECT_EQ(page.size(), strlen(stream.root->text));
    EXPECT_EQ(page.size(), stream.root->text_length);
}

}  // namespace

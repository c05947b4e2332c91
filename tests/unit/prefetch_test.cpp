#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "misc.h"
#include "prefetch.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

std::string link(const char *value, const char *path = "/dir/page.html") {
    URL *url = prefetch_link(value, "http", "example.org", 8080, path);
    if (!url) return "";
    char *text = url_create(url);
    std::string result = text;
    free(text);
    url_free(url);
    return result;
}

TEST(PrefetchLink, ResolvedOrSkipped) {
    struct Case {
        const char *value;
        const char *expected;  // "" skipped
    } cases[] = {
        {"a.html", "http://example.org:8080/dir/a.html"},
        {"/b.html", "http://example.org:8080/b.html"},
        {"../c.html", "http://example.org:8080/c.html"},
        {"./sub/../d.html?x=1", "http://example.org:8080/dir/d.html?x=1"},
        {"//other.net/x", "http://other.net:80/x"},
        {"http://other.net:81/y", "http://other.net:81/y"},
        {"FTP://files.net/pub/f.txt", "ftp://files.net:21/pub/f.txt"},
        {"javascript:alert(1)", ""},
        {"JavaScript:void(0)", ""},
        {"mailto:someone@example.com", ""},
        {"news:comp.lang", ""},
        {"https://secure.net/", ""},
        {"http:/nohost", ""},
        {"http://bad host/", ""},
        {"#top", ""},
        {"", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(link(c.value), c.expected) << c.value;
    EXPECT_EQ(link("e.html", "/dir/page.html?q=a/b"), "http://example.org:8080/dir/e.html");
    EXPECT_EQ(prefetch_link(nullptr, "http", "h", 80, "/"), nullptr);
}

class PrefetchQueueTest : public ::testing::Test {
protected:
    PrefetchSection *section = nullptr;
    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<PrefetchSection *>(prefetch_construct());
        ASSERT_EQ(section, prefetch_section);
    }
    void TearDown() override { delete section; }
    void load(const std::string &options) {
        TiXmlDocument doc;
        doc.Parse(("<korvantel><prefetch>" + options + "</prefetch></korvantel>").c_str());
        ASSERT_FALSE(doc.Error());
        section->load(&doc, 1);
    }
    void add(const char *url) { section->queue_add(url_parse(url), nullptr, 0xFFFFFFFFu, 1); }
};

TEST_F(PrefetchQueueTest, SizeDuplicatesAndHostLimit) {
    load("<enabled>true</enabled><threads>0</threads><queuesize>4</queuesize><hostlimit>2</hostlimit>");
    add("http://a.net/1");
    add("http://a.net/1");  // queued already
    add("http://A.NET/2");
    add("http://a.net/3");  // the host has its two
    add("http://b.net/1");
    add("http://c.net/1");
    add("http://d.net/1");  // the queue is full
    std::vector<std::string> expected = {"http://a.net:80/1", "http://a.net:80/2", "http://b.net:80/1",
                                         "http://c.net:80/1"};
    EXPECT_EQ(section->queued(), expected);
    PREFETCH_QUEUE *first = section->queue_take();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->depth, 1);
    EXPECT_EQ(first->size_limit, 0xFFFFFFFFu);
    prefetch_queue_free(first);
    EXPECT_EQ(section->length, 3);
}

TEST_F(PrefetchQueueTest, RulesAndShippedConfiguration) {
    TiXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile((conf_dir + "korvantel.xml").c_str()));
    section->load(&doc, 1);
    EXPECT_EQ(*section->opts.enabled, 0);
    EXPECT_GT(*section->opts.threads, 0);
    ASSERT_FALSE(section->rules.empty());
    EXPECT_EQ(section->rules[0].tag, "a");
    EXPECT_EQ(section->pattern_kind(0, 5), PATTERN_MATCH);
    EXPECT_EQ(section->pattern_kind(0, 3), PATTERN_NONE);
    PrefetchSection::Rule rule;
    rule.pattern_text = "\\.html$";
    rule.compile();
    PrefetchSection::Rule copy = rule;
    EXPECT_NE(copy.pattern, nullptr);
    EXPECT_NE(copy.pattern, rule.pattern);
}

}  // namespace

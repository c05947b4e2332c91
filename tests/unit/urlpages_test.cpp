#include "urlpages.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "socket.h"
#include "socket_fixture.h"

namespace {

// A connection whose client socket the test reads.
class UrlPagesTest : public ::testing::Test {
protected:
    CONNECTION_T *c = nullptr;
    int peer = -1;

    void SetUp() override {
        c = connection_new();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        c->client = new Socket(pair[0]);
        peer = pair[1];
        fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
        c->request = http_header_parse_request("GET http://origin.test/dir/<x> HTTP/1.1\r\nHost: origin.test\r\n\r\n");
        ASSERT_NE(c->request, nullptr);
    }
    void TearDown() override {
        delete c->client;
        http_header_free(c->request);
        http_header_free(c->response);
        connection_free(c);
        close(peer);
    }

    // The page body the client received.
    std::string page() {
        std::string got = read_all(peer);
        size_t end = got.find("\r\n\r\n");
        return end == std::string::npos ? got : got.substr(end + 4);
    }

    static void fill(Filebuf *buffer, const char *text) { buffer->Add(text, (long long)strlen(text)); }

    static int count(const std::string &text, const std::string &part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
        return n;
    }
};

TEST(HtmlText, EscapesMarkupAndZeroBytes) {
    const char text[] = "<a href=\"x\">&'\0 b\nc";
    EXPECT_EQ(html_text(text, sizeof text - 1), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&#xFFFD; b\nc");
    EXPECT_EQ(html_text(text + 13, 6, 3), "&#39;&#xFFFD;&nbsp;b<br>\nc");
}

TEST_F(UrlPagesTest, DiffOfChangedLines) {
    struct Case {
        const char *name;
        const char *before;
        const char *after;
        int rows;             // "Line" rows
        const char *removed;  // null: nothing to look for
        const char *added;
    } cases[] = {
        {"identical", "a\nb\nc\n", "a\nb\nc\n", 0, nullptr, nullptr},
        {"middle line", "a\nb\nold <x>\nd\ne\nf\n", "a\nb\nnew\nd\ne\nf\n", 1, "old &lt;x&gt;\n", "new\n"},
        {"line added at the end", "a\nb\n", "a\nb\nc\n", 1, nullptr, "c\n"},
        {"two places", "1\nx\n3\n4\n5\n6\ny\n8\n9\n10\n", "1\nX\n3\n4\n5\n6\nY\n8\n9\n10\n", 2, "y\n", "Y\n"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        Filebuf before, after;
        fill(&before, test.before);
        fill(&after, test.after);
        show_filebuf_diff(c, &before, &after);
        std::string text = page();
        EXPECT_NE(text.find("Rewrite diff for origin.test/dir/&lt;x&gt;"), std::string::npos);
        EXPECT_EQ(count(text, "class=\"diffline\""), test.rows);
        if (test.removed) {
            EXPECT_NE(text.find(std::string("class=\"diffremoved\"><td><pre>") + test.removed), std::string::npos);
        }
        if (test.added) {
            EXPECT_NE(text.find(std::string("<pre>") + test.added + "</pre>"), std::string::npos);
        }
    }
    Filebuf before, after;
    fill(&before, "1\n2\nold\n4\n5\n6\n");
    fill(&after, "1\n2\nnew\n4\n5\n6\n");
    show_filebuf_diff(c, &before, &after);
    EXPECT_NE(page().find("Line 2"), std::string::npos);
}

TEST_F(UrlPagesTest, RawPageLeavesTheBodyAsItWas) {
    Filebuf body;
    body.Add("<b>\0x", 5);
    show_filebuf(c, &body);
    EXPECT_NE(page().find("<pre>\n&lt;b&gt;&#xFFFD;x</pre>"), std::string::npos);
    EXPECT_EQ(body.size, 5);
    Filebuf empty;
    show_filebuf(c, &empty);
    EXPECT_NE(page().find("<pre>\n</pre>"), std::string::npos);
}

}  // namespace

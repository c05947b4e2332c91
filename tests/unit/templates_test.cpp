// Templates: the built-in pages, template rules from files and programs,
// variable substitution, and the response TemplateSection::send writes.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "socket.h"
#include "socket_fixture.h"
#include "templates.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

std::string bytes_of(const Filebuf *buffer) {
    if (!buffer || buffer->size <= 0) return std::string();
    return std::string(buffer->data, (size_t)buffer->size);
}

std::string page_bytes(const char *name) {
    const TEMPLATE_PAGE *page = template_page_find(name);
    if (!page) return std::string();
    return page->length < 0 ? std::string(page->data) : std::string(page->data, (size_t)page->length);
}

// A response read back from the client side of the connection.
struct Response {
    std::string raw;
    std::string status_line;
    std::string head;  // header lines, each ending in "\r\n"
    std::string body;
    bool complete = false;  // a head ending in an empty line was found

    std::string header(const std::string &name) const {
        size_t at = 0;
        while (at < head.size()) {
            size_t end = head.find("\r\n", at);
            std::string line = head.substr(at, end - at);
            size_t colon = line.find(':');
            if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0)
                return line.substr(colon + 2);
            at = end + 2;
        }
        return "<none>";
    }
};

Response response_parse(const std::string &raw) {
    Response r;
    r.raw = raw;
    size_t line_end = raw.find("\r\n");
    size_t head_end = raw.find("\r\n\r\n");
    if (line_end == std::string::npos || head_end == std::string::npos) return r;
    r.complete = true;
    r.status_line = raw.substr(0, line_end);
    r.head = raw.substr(line_end + 2, head_end + 2 - (line_end + 2));
    r.body = raw.substr(head_end + 4);
    return r;
}

class TemplatesTest : public ::testing::Test {
protected:
    TemplateSection *section = nullptr;
    CONNECTION_T *c = nullptr;
    int peer = -1;  // client side of the connection
    TempDir dir;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<TemplateSection *>(templates_construct());
        ASSERT_EQ(section, template_section);
        c = connection_new();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        c->client = new Socket(pair[0]);
        peer = pair[1];
        fcntl(peer, F_SETFL, fcntl(peer, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override {
        delete c->client;
        http_header_free(c->request);
        http_header_free(c->response);
        connection_free(c);
        close(peer);
        delete section;
        template_section = nullptr;
        delete sectionxml;
        sectionxml = nullptr;
    }

    void directory_set(const std::string &path) {
        section->write_lock();
        section->options[0].string_value = path;
        section->unlock();
    }
    void add_rule(const char *name, const char *file, int type, int status, const char *mime = "",
                  const char *profiles = "", bool enabled = true, bool parse = true) {
        Item item(section->subsections[0]);
        item.fields[0].int_value = enabled;
        item.fields[2].string_list = StringList(profiles, ",");
        item.fields[3].string_value = name;
        item.fields[4].string_value = file;
        item.fields[5].string_value = mime;
        item.fields[6].int_value = status;
        item.fields[7].int_value = type;
        item.fields[8].int_value = parse;
        section->write_lock();
        section->subsections[0].items.push_back(item);
        section->update();
        section->unlock();
    }

    // Everything the client side has received so far (bounded).
    std::string received() { return read_all(peer); }
    Response sent(const char *name, int status, int *result = nullptr) {
        int r = section->send(name, c, status);
        if (result) *result = r;
        return response_parse(received());
    }
};

TEST_F(TemplatesTest, BuiltInHtmlPagesCarryTitleMessageAndStyleBlock) {
    c->variables = {{"HTTP_HOST", "www.example.com"},
                    {"HTTP_FILE", "/a.txt"},
                    {"URL", "http://h/p"},
                    {"HTTP_PORT", "8080"},
                    {"CATEGORY", "gambling"},
                    {"AVSCANNER", "ClamAV"},
                    {"VIRUSNAME", "Eicar"},
                    {"DOWNLOADLIMIT", "100"},
                    {"UPLOADLIMIT", "50"},
                    {"IMAGESCORE", "7"},
                    {"IMAGETHRESHOLD", "5"},
                    {"TRANSFERRED", "10"},
                    {"SIZE", "20"}};
    struct Case {
        const char *name, *title, *message;
    } cases[] = {
        {"unknown", "Error", "Error"},
        {"badrequest", "Bad Request", "Bad Request"},
        {"badresponse", "Bad Response", "Bad Response"},
        {"nodns", "DNS Lookup failed", "DNS Lookup for www.example.com failed"},
        {"nofile", "File not found", "/a.txt not found"},
        {"nocache", "Cache file not found", "http://h/p not found"},
        {"noconnect", "Connection failed", "Connection to www.example.com:8080 failed"},
        {"blocked", "Page Blocked", "http://h/p is blocked"},
        {"blacklisted", "Page blacklisted", "http://h/p is in the blacklisted gambling category"},
        {"virus", "Virus", "ClamAV detected:<br>\n<font color=\"red\">Eicar</font><br>\nin<br>\nhttp://h/p"},
        {"badprotocol", "Protocol not implemented", "Protocol not implemented"},
        {"noaccess", "Access denied", "Access denied"},
        {"badauth", "Authorization failed", "Authorization failed"},
        {"downloadlimit", "Download transfer limit exceeded", "You have exceeded your download limit of 100 bytes"},
        {"uploadlimit", "Upload transfer limit exceeded", "You have exceeded your upload limit of 50 bytes"},
        {"maxrequests", "Request limit exceeded", "Request limit exceeded"},
        {"imgfilter", "Possible pornographic image", "Possible porn detected, scored 7 with a threshold of 5"},
        {"downloading", "Download in progress", "Transferred 10 of 20 bytes"},
    };
    const std::string css = page_bytes("interface.css");
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        Filebuf *page = section->get(c, test.name);
        ASSERT_NE(page, nullptr);
        std::string text = bytes_of(page);
        ASSERT_NE(page->mime_type, nullptr);
        EXPECT_STREQ(page->mime_type, "text/html");
        EXPECT_EQ(text.substr(0, css.size()), css);
        std::string document = text.substr(css.size());
        EXPECT_EQ(document.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n", 0), 0u);
        EXPECT_NE(document.find("charset=UTF-8"), std::string::npos);
        EXPECT_NE(document.find("<base href=\"http://" INTERFACE_HOST "/\">"), std::string::npos);
        EXPECT_NE(document.find(std::string("<title>") + test.title + "</title>"), std::string::npos);
        EXPECT_NE(document.find(std::string("<td class=\"dialoghead\">") + test.title + "</td>"), std::string::npos);
        EXPECT_NE(document.find(std::string("align=\"center\">") + test.message), std::string::npos);
        EXPECT_NE(document.find("<img src=\"/template/logo\""), std::string::npos);
        EXPECT_EQ(document.find('@'), std::string::npos);  // every variable was replaced
        delete page;
    }
    Filebuf *page = section->get(c, "downloading");
    EXPECT_NE(bytes_of(page).find("<meta http-equiv=\"refresh\" content=\"1; URL=http://h/p\">"), std::string::npos);
    delete page;
}

TEST_F(TemplatesTest, BlockedPageBytes) {
    c->variables["URL"] = "http://bad.example/x";
    Filebuf *page = section->get(c, "BLOCKED");  // names are case-blind
    ASSERT_NE(page, nullptr);
    const std::string expected =
        page_bytes("interface.css") +
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
        "<html><head>\n"
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"
        "<base href=\"http://korvantel.invalid/\">\n"
        "<title>Page Blocked</title>\n"
        "</head><body>\n"
        "<table class=\"interfacehead\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\">\n"
        "<tr><td align=\"left\"><a href=\"/\"><img src=\"/template/logo\" width=\"195\" height=\"42\" "
        "border=\"0\" alt=\"Korvantel\"></a></td>\n"
        "<td class=\"banner\" align=\"right\">Korvantel ntlm.RC2.0</td></tr>\n"
        "</table>\n"
        "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%\">\n"
        "<tr><td><br></td></tr>\n"
        "<tr><td align=\"center\">\n"
        "<table class=\"centerdialog\" cellpadding=\"0\" cellspacing=\"0\" border=\"0\">\n"
        "<tr><td class=\"dialoghead\">Page Blocked</td></tr>\n"
        "<tr><td class=\"dialog\" align=\"center\">http://bad.example/x is blocked</td></tr>\n"
        "</table>\n"
        "</td></tr></table>\n"
        "</body></html>\n";
    EXPECT_EQ(bytes_of(page), expected);
    delete page;
}

TEST_F(TemplatesTest, ProxyPacAndNonHtmlPagesGetNoStyleBlock) {
    c->variables = {{"INTERFACE", "10.0.0.1"}, {"PORT", "8080"}};
    Filebuf *pac = section->get(c, "proxy.pac");
    ASSERT_NE(pac, nullptr);
    EXPECT_EQ(bytes_of(pac), "function FindProxyForURL(url, host)\n{\n    return \"PROXY 10.0.0.1:8080;DIRECT\";\n}\n");
    EXPECT_STREQ(pac->mime_type, "application/x-ns-proxy-autoconfig");
    delete pac;
    for (const char *name : {"interface.css", "tooltip", "tinygif", "empty"}) {
        SCOPED_TRACE(name);
        Filebuf *page = section->get(c, name);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(bytes_of(page), page_bytes(name));
        delete page;
    }
}

TEST_F(TemplatesTest, ValuesAreInsertedVerbatimAndCannotBreakTheHead) {
    const std::string hostile = "x\r\nSet-Cookie: stolen=1\r\n\r\n<b>@URL@ and @@ and @</b>";
    c->variables["URL"] = hostile;
    c->keepalive_client = 1;
    int result = 0;
    Response r = sent("blocked", 200, &result);
    EXPECT_EQ(result, 1);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.header("Set-Cookie"), "<none>");
    EXPECT_EQ(r.head.find("stolen"), std::string::npos);
    // One pass (no re-expansion), and shown as text in an HTML page.
    const std::string shown = "x\r\nSet-Cookie: stolen=1\r\n\r\n&lt;b&gt;@URL@ and @@ and @&lt;/b&gt;";
    EXPECT_NE(r.body.find(shown + " is blocked"), std::string::npos);
    EXPECT_EQ(r.body.find("<b>@URL@"), std::string::npos);
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(r.header("Connection"), "keep-alive");
}

TEST_F(TemplatesTest, SendWritesTheWholeResponseAndFillsTheLogRecord) {
    HEADER *previous = header_new();
    c->response = previous;
    c->log.peer = "-";
    Response r = sent("noaccess", 404);
    ASSERT_TRUE(r.complete) << r.raw;
    EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(r.header("Content-Type"), "text/html");
    EXPECT_EQ(r.header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(r.header("Connection"), "close");
    EXPECT_EQ(r.body.rfind(page_bytes("interface.css"), 0), 0u);
    EXPECT_NE(r.body.find("<title>Access denied</title>"), std::string::npos);

    EXPECT_EQ(c->response, previous);  // the caller's head is put back
    EXPECT_STREQ(c->log.cachecode(), "TCP_MISS");
    EXPECT_STREQ(c->log.peercode(), "DIRECT");
    EXPECT_EQ(c->log.peer, "korvantel");
    EXPECT_EQ(c->log.status, 404);
    EXPECT_EQ(c->log.size, (long long)r.body.size());
    EXPECT_EQ(c->log.mime, "text/html");
}

TEST_F(TemplatesTest, HeadRequestGetsOnlyTheHead) {
    c->request = http_header_parse_request("HEAD http://h/ HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_NE(c->request, nullptr);
    Response r = sent("badrequest", 400);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status_line, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(r.body, "");
    EXPECT_NE(r.header("Content-Length"), "0");  // the length of the page that was not sent
}

TEST_F(TemplatesTest, NameThatExistsNowhereSendsNothing) {
    HEADER *previous = header_new();
    c->response = previous;
    for (const char *name : {"error", "", "no such page"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(section->get(c, name), nullptr);
        int result = -1;
        Response r = sent(name, 404, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(r.raw, "");
        EXPECT_EQ(c->response, previous);
    }
    Filebuf page;
    EXPECT_EQ(section->insert(c, &page, "error"), 0);
    EXPECT_EQ(page.size, 0);
    EXPECT_EQ(section->get(c, nullptr), nullptr);
}

TEST_F(TemplatesTest, DroppedClientGetsNothing) {
    c->flags |= CONN_CLIENT_DROPPED;
    int result = -1;
    Response r = sent("noaccess", 404, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.raw, "");
    EXPECT_EQ(c->log.status, 0);
}

TEST_F(TemplatesTest, InsertAppendsThePage) {
    Filebuf page;
    page.Add("<p>", 3);
    EXPECT_EQ(section->insert(c, &page, "tooltip"), 1);
    EXPECT_EQ(bytes_of(&page), "<p>" + page_bytes("tooltip"));
    EXPECT_EQ(section->insert(c, nullptr, "tooltip"), 0);
}

TEST_F(TemplatesTest, FileRuleReplacesBuiltInPageWithItsStatus) {
    directory_set(dir.path);
    dir.write("deny.html", "<h1>No entry to @URL@</h1> mail@@example.com");
    add_rule("NoAccess", "deny.html", TEMPLATE_FILE, 403, "text/html");
    c->variables["URL"] = "http://a/";
    Response r = sent("noaccess", 404);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status_line, "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(r.body, "<h1>No entry to http://a/</h1> mail@example.com");  // no style block before a file
    EXPECT_EQ(r.header("Content-Type"), "text/html");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));

    int status = -1;
    Filebuf *page = section->get(c, "noaccess", &status);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(status, 403);
    delete page;
}

TEST_F(TemplatesTest, FileRulePathsMimeTypeAndParseFlag) {
    dir.write("a.gif", "GIF89a@URL@");
    const std::string absolute = dir.write("abs.txt", "absolute @URL@");
    c->variables["URL"] = "u";
    directory_set("/nonexistent-directory");
    add_rule("raw", "", TEMPLATE_FILE, 0);  // disabled-by-emptiness: falls to the (missing) built-in page
    add_rule("image", (dir.path + "/a.gif").c_str(), TEMPLATE_FILE, 200, "image/gif", "", true, false);
    add_rule("abs", absolute.c_str(), TEMPLATE_FILE, 200, "");
    add_rule("missing", "nothing-here.html", TEMPLATE_FILE, 200, "text/html");

    EXPECT_EQ(section->get(c, "raw"), nullptr);
    Filebuf *image = section->get(c, "image");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(bytes_of(image), "GIF89a@URL@");  // parse flag off
    EXPECT_STREQ(image->mime_type, "image/gif");
    delete image;

    Filebuf *page = section->get(c, "abs");  // a leading "/" ignores the directory
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(bytes_of(page), "absolute u");
    EXPECT_EQ(page->mime_type, nullptr);
    delete page;
    Response r = sent("abs", 500);
    EXPECT_EQ(r.header("Content-Type"), "text/plain");  // no MIME type

    // An unreadable file is an empty page, still sent.
    r = sent("missing", 404);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.header("Content-Length"), "0");
    EXPECT_EQ(r.body, "");
}

TEST_F(TemplatesTest, RelativeFileWithoutDirectoryIsTakenAsItIs) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    dir.write("rel.txt", "relative");
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    add_rule("rel", "rel.txt", TEMPLATE_FILE, 200);
    Filebuf *page = section->get(c, "rel");
    EXPECT_EQ(chdir(cwd), 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(bytes_of(page), "relative");
    delete page;
}

TEST_F(TemplatesTest, RuleSelectionByEnabledNameAndProfiles) {
    directory_set(dir.path);
    dir.write("staff.html", "staff page");
    dir.write("other.html", "other page");
    dir.write("off.html", "disabled page");
    add_rule("blocked", "off.html", TEMPLATE_FILE, 200, "", "", false);
    add_rule("", "off.html", TEMPLATE_FILE, 200);  // a rule without a name is never used
    add_rule("blocked", "staff.html", TEMPLATE_FILE, 200, "", "staff");
    add_rule("blocked", "other.html", TEMPLATE_FILE, 200, "", "!staff,guest");
    struct Case {
        const char *profiles;
        const char *expected;  // null: the built-in page
    } cases[] = {{"staff", "staff page"}, {"guest", "other page"}, {"", "other page"}, {"staff,guest", "staff page"}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.profiles);
        c->profiles = StringList(test.profiles, ",");
        Filebuf *page = section->get(c, "blocked");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(bytes_of(page), test.expected);
        delete page;
    }
    // Only a plain-name rule that does not match: the built-in page.
    add_rule("nofile", "staff.html", TEMPLATE_FILE, 200, "", "staff");
    c->profiles = StringList("guest", ",");
    int status = -1;
    Filebuf *page = section->get(c, "nofile", &status);
    ASSERT_NE(page, nullptr);
    EXPECT_NE(bytes_of(page).find("<title>File not found</title>"), std::string::npos);
    EXPECT_EQ(status, -1);
    delete page;
}

TEST_F(TemplatesTest, RuleWithoutFileSendsBuiltInPageWithRuleStatus) {
    add_rule("noaccess", "", TEMPLATE_FILE, 403, "", "", true, false);
    c->variables["URL"] = "v";
    Response r = sent("noaccess", 404);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status_line, "HTTP/1.1 403 Forbidden");
    EXPECT_NE(r.body.find("<title>Access denied</title>"), std::string::npos);
    EXPECT_EQ(r.header("Content-Type"), "text/html");
    // The built-in page's own flag decides substitution, not the rule's.
    add_rule("blocked", "", TEMPLATE_FILE, 403, "", "", true, false);
    r = sent("blocked", 200);
    EXPECT_NE(r.body.find(">v is blocked<"), std::string::npos);
}

TEST_F(TemplatesTest, RefusalTakesOnlyAnErrorStatusFromItsRule) {
    add_rule("noaccess", "", TEMPLATE_FILE, 200, "", "", true, false);
    add_rule("nofile", "", TEMPLATE_FILE, 302, "", "", true, false);
    add_rule("blocked", "", TEMPLATE_FILE, 451, "", "", true, false);
    struct Case {
        const char *name;
        int status;
        const char *line;
    } cases[] = {{"noaccess", 403, "HTTP/1.1 403 Forbidden"},
                 {"nofile", 404, "HTTP/1.1 404 Not Found"},
                 {"blocked", 403, "HTTP/1.1 451 "}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        ASSERT_EQ(1, section->send(test.name, c, test.status, true));
        Response r = response_parse(received());
        ASSERT_TRUE(r.complete);
        EXPECT_EQ(0u, r.status_line.find(test.line)) << r.status_line;
    }
    // Not a refusal: the rule's status stands.
    Response r = sent("noaccess", 403);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
}

TEST_F(TemplatesTest, RuleStatusOutsideValidRangeKeepsTheCallersStatus) {
    const int statuses[] = {0, -5, 99, 600, 1000};
    for (int bad : statuses) {
        SCOPED_TRACE(bad);
        section->write_lock();
        section->subsections[0].items.clear();
        section->update();
        section->unlock();
        add_rule("noaccess", "", TEMPLATE_FILE, bad);
        Response r = sent("noaccess", 404);
        ASSERT_TRUE(r.complete);
        EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
        EXPECT_EQ(c->log.status, 404);
        int status = -1;
        Filebuf *page = section->get(c, "noaccess", &status);
        EXPECT_EQ(status, -1);
        delete page;
    }
}

TEST_F(TemplatesTest, RuleOfUnknownTypeGivesNoTemplate) {
    add_rule("noaccess", "deny.html", 2, 403);
    int result = -1;
    Response r = sent("noaccess", 404, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.raw, "");
}

// Canned program output for the program-template tests.
// A template program written by the test: it prints the variable OUTPUT
// (its whole environment is the connection's variables).
struct ProgramDir {
    char path[64] = "/tmp/korvantel-tplXXXXXX";
    ProgramDir() { EXPECT_NE(mkdtemp(path), nullptr); }
    ~ProgramDir() {
        for (const std::string &file : files) unlink(file.c_str());
        rmdir(path);
    }
    std::string write(const char *name, const std::string &script) {
        std::string file = std::string(path) + "/" + name;
        FILE *out = fopen(file.c_str(), "w");
        EXPECT_NE(out, nullptr);
        fputs(script.c_str(), out);
        fclose(out);
        chmod(file.c_str(), 0700);
        files.push_back(file);
        return file;
    }
    std::vector<std::string> files;
};

TEST_F(TemplatesTest, ProgramOutputBecomesThePage) {
    ProgramDir dir;
    std::string page_program = dir.write("page", "#!/bin/sh\nprintf '%s' \"$OUTPUT\"\n");
    add_rule("blocked", (page_program + " --for @URL@").c_str(), TEMPLATE_PROGRAM, 0);
    c->variables["URL"] = "http://u/";
    struct Case {
        const char *output;
        const char *body;
        const char *mime;  // null: none
        int code;          // code of the head that becomes the connection's response; 0: unchanged
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello", "hello", "text/plain", 200},
        {"HTTP/1.0 200 OK\nContent-Type: text/plain\n\nhello\n", "hello\n", "text/plain", 200},
        {"HTTP/1.1 403 Forbidden\r\n\r\nfor @URL@", "for http://u/", nullptr, 403},
        {"just text, no head", "just text, no head", nullptr, 0},
        {"HTTP/1.1 bogus\r\n\r\nbody", "body", nullptr, 0},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.output);
        http_header_free(c->response);
        c->response = nullptr;
        c->variables["OUTPUT"] = test.output;
        Filebuf *page = section->get(c, "blocked");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(bytes_of(page), test.body);
        if (test.mime) {
            ASSERT_NE(page->mime_type, nullptr);
            EXPECT_STREQ(page->mime_type, test.mime);
        } else {
            EXPECT_EQ(page->mime_type, nullptr);
        }
        if (test.code) {
            ASSERT_NE(c->response, nullptr);
            EXPECT_EQ(c->response->code, test.code);
        } else {
            EXPECT_EQ(c->response, nullptr);
        }
        delete page;
    }

    c->variables["OUTPUT"] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello";
    Response r = sent("blocked", 404);
    ASSERT_TRUE(r.complete);
    EXPECT_EQ(r.status_line, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(r.body, "hello");
    EXPECT_EQ(r.header("Content-Type"), "text/plain");
}

TEST_F(TemplatesTest, ProgramGetsItsArgumentsUnchanged) {
    ProgramDir dir;
    std::string program =
        dir.write("args", "#!/bin/sh\nprintf 'HTTP/1.0 200 OK\\r\\n\\r\\n%s|%s|%s' \"$1\" \"$2\" \"$#\"\n");
    add_rule("blocked", (program + " --for @URL@").c_str(), TEMPLATE_PROGRAM, 0, "", "", true, false);
    c->variables["URL"] = "http://u/";
    Filebuf *page = section->get(c, "blocked");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(bytes_of(page), "--for|@URL@|2");
    delete page;
}

TEST_F(TemplatesTest, FailedProgramGivesNoTemplate) {
    ProgramDir dir;
    struct Case {
        const char *script;  // null: a program that does not exist
    } cases[] = {
        {nullptr}, {"#!/bin/sh\nexit 3\n"}, {"#!/bin/sh\nprintf 'HTTP/1.0 200 OK\\r\\n\\r\\nhalf'\nkill -9 $$\n"}};
    int n = 0;
    for (const Case &test : cases) {
        SCOPED_TRACE(test.script ? test.script : "missing");
        std::string name = "p" + std::to_string(n++);
        std::string program = test.script ? dir.write(name.c_str(), test.script) : std::string(dir.path) + "/none";
        section->write_lock();
        section->subsections[0].items.clear();
        section->update();
        section->unlock();
        add_rule("blocked", program.c_str(), TEMPLATE_PROGRAM, 0);
        EXPECT_EQ(section->get(c, "blocked"), nullptr);  // no fall-back to the built-in page
    }
}

}  // namespace

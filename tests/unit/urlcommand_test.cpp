// URL commands: label parsing, extraction from host, Host header, path and
// Referer (with the 302 that carries them over), re-insertion into
// redirect locations, look-up, logging and the permission rule.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "connection.h"
#include "header.h"
#include "log.h"
#include "settings.h"
#include "socket.h"
#include "socket_fixture.h"
#include "urlcommand.h"

namespace {

// "name" or "name[options]" per command, separated by blanks.
std::string describe(url_command_t **array) {
    std::string out;
    for (url_command_t **command = array; command && *command; command++) {
        if (!out.empty()) out += ' ';
        out += (*command)->name;
        if ((*command)->options) out += std::string("[") + (*command)->options + "]";
    }
    return out;
}

TEST(UrlCommandParse, Labels) {
    struct Case {
        std::string text;
        std::string commands;  // "" for a null result
        std::string rest;
    };
    const std::vector<Case> cases = {
        {"xx--bypass[fh].xx--fresh.origin", "bypass[fh] fresh", "origin"},
        {"XX--Fresh.origin", "Fresh", "origin"},
        {"xX--raw.origin/path", "raw", "origin/path"},
        // a label ends at its first '.', so options cannot hold one
        {"xx--template[a.b].x.origin", "template", "b].x.origin"},
        {"xx--fresh", "", "xx--fresh"},
        {"xx--a.xx--b", "a", "xx--b"},
        {"origin", "", "origin"},
        {"", "", ""},
        {"x--a.origin", "", "x--a.origin"},
        {"xx--bypass[].origin", "bypass[]", "origin"},
        {"xx--bypass[f-m+k].origin", "bypass[f-m+k]", "origin"},
        // unbalanced brackets
        {"xx--bypass[f.origin", "bypass", "origin"},
        {"xx--a]b[c.origin", "a]b", "origin"},
        {"xx--a]b.origin", "a]b", "origin"},
        {"xx--a[b]c].origin", "a[b]", "origin"},
        {"xx--[[]].o", "[[]", "o"},
        {"xx--[x].o", "[x]", "o"},
        {"xx--.o", "", "o"},
        {"xx--.", "", ""},
        {"xx--a.xx--.xx--b[.o", "a  b", "o"},
        // control characters end the parsing
        {"xx--a\r\nSet-Cookie: x.o", "", "xx--a\r\nSet-Cookie: x.o"},
        {"xx--a.xx--b\t.o", "a", "xx--b\t.o"},
        {"xx--a\x7f.o", "", "xx--a\x7f.o"},
    };
    for (const Case &c : cases) {
        std::vector<char> text(c.text.begin(), c.text.end());
        text.push_back('\0');
        url_command_t **array = url_command_parse(text.data());
        // null exactly when no label came off the text
        EXPECT_EQ(c.rest == c.text, array == nullptr) << c.text;
        EXPECT_EQ(c.commands, describe(array)) << c.text;
        EXPECT_EQ(c.rest, std::string(text.data())) << c.text;
        url_command_free(array);
    }
    EXPECT_EQ(nullptr, url_command_parse(nullptr));
}

TEST(UrlCommandParse, ManyLabels) {
    std::string text;
    for (int i = 0; i < 20000; i++) text += "xx--a[" + std::to_string(i) + "].";
    text += "origin";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    url_command_t **array = url_command_parse(buffer.data());
    ASSERT_NE(nullptr, array);
    int count = 0;
    while (array[count]) count++;
    EXPECT_EQ(20000, count);
    EXPECT_STREQ("19999", array[19999]->options);
    EXPECT_STREQ("origin", buffer.data());
    url_command_free(array);
}

url_command_t **parsed(const char *labels) {
    std::vector<char> text(labels, labels + strlen(labels) + 1);
    return url_command_parse(text.data());
}

TEST(UrlCommandFind, ByNameIgnoringCase) {
    url_command_t **array = parsed("xx--bypass[f].xx--Fresh.xx--fresh[2].o");
    struct Case {
        const char *name;
        const char *options;  // of the command found; "-" for none found
    };
    const std::vector<Case> cases = {
        {"bypass", "f"}, {"BYPASS", "f"}, {"fresh", nullptr}, {"FRESH", nullptr},
        {"raw", "-"},    {"", "-"},       {"bypas", "-"},     {"bypassx", "-"},
    };
    for (const Case &c : cases) {
        url_command_t *found = url_command_find(array, c.name);
        if (c.options && strcmp(c.options, "-") == 0) {
            EXPECT_EQ(nullptr, found) << c.name;
            continue;
        }
        ASSERT_NE(nullptr, found) << c.name;
        if (c.options) EXPECT_STREQ(c.options, found->options) << c.name;
        else EXPECT_EQ(nullptr, found->options) << c.name;
    }
    EXPECT_EQ(nullptr, url_command_find(nullptr, "fresh"));
    EXPECT_EQ(nullptr, url_command_find(array, nullptr));
    url_command_free(array);
    url_command_free(nullptr);
}

TEST(UrlCommandCreate, WritesLabelsBack) {
    struct Case {
        const char *labels;
        const char *created;
    };
    const std::vector<Case> cases = {
        {"xx--bypass[fh].xx--fresh.o", "xx--bypass[fh].xx--fresh."},
        {"XX--Fresh.o", "xx--Fresh."},
        {"xx--bypass[].o", "xx--bypass[]."},
        {"xx--a]b[c.o", "xx--a]b."},
    };
    for (const Case &c : cases) {
        url_command_t **array = parsed(c.labels);
        char *created = url_command_create(array);
        EXPECT_STREQ(c.created, created) << c.labels;
        free(created);
        url_command_free(array);
    }
    char *none = url_command_create(nullptr);
    EXPECT_STREQ("", none);
    free(none);
}

class UrlCommandLog : public ::testing::Test {
protected:
    void SetUp() override {
        daemonize = 1;
        logfile[0] = 0;
        log_ring = logbuffer_new(1000);
    }
    void TearDown() override {
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (LOGNODE *node = log_ring->oldest; node; node = node->newer) out.push_back(node->line);
        return out;
    }
};

TEST_F(UrlCommandLog, OneLinePerCommand) {
    url_command_t **array = parsed("xx--bypass[fh].xx--fresh.o");
    url_command_log(array);
    url_command_log(nullptr);
    std::vector<std::string> logged = lines();
    ASSERT_EQ(2u, logged.size());
    const std::string prefix = log_prefix(LOG_URLCOMMAND);
    EXPECT_NE(std::string::npos, logged[0].find(prefix + "command: bypass, options: fh"));
    EXPECT_NE(std::string::npos, logged[1].find(prefix + "command: fresh"));
    EXPECT_EQ(std::string::npos, logged[1].find("options"));
    url_command_free(array);
}

// A connection whose client socket is one end of a socket pair; the test
// reads what the proxy sends from the other end.
class UrlCommandConnection : public UrlCommandLog {
protected:
    CONNECTION_T *connection = nullptr;
    int peer = -1;

    void SetUp() override {
        UrlCommandLog::SetUp();
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        connection = connection_new();
        connection->client = new Socket(fds[0]);
        connection->keepalive_client = 1;
        peer = fds[1];
        fcntl(peer, F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        url_command_free(connection->url_commands);
        http_header_free(connection->request);
        delete connection->client;
        connection_free(connection);
        close(peer);
        UrlCommandLog::TearDown();
    }
    void request(const std::string &head) {
        http_header_free(connection->request);
        connection->request = http_header_parse_request(head.c_str());
        ASSERT_NE(nullptr, connection->request) << head;
    }
    // Everything the client has been sent so far.
    std::string sent() { return read_all(peer); }
};

std::string text(const char *value) { return value ? value : "(null)"; }

TEST_F(UrlCommandConnection, ExtractFromTheRequestTarget) {
    struct Case {
        std::string head;
        std::string commands;
        std::string host;         // request host afterwards
        std::string host_header;  // Host value afterwards
        std::string file;
        std::string url;
    };
    const std::vector<Case> cases = {
        {"GET http://xx--bypass[fh].xx--fresh.origin/a HTTP/1.1\r\n\r\n", "bypass[fh] fresh", "origin", "(null)", "/a",
         "http://origin:80/a"},
        {"GET http://xx--raw.origin:8080/a?b HTTP/1.1\r\nHost: xx--other.h\r\n\r\n", "raw", "origin", "xx--other.h",
         "/a?b", "http://origin:8080/a?b"},
        {"GET http://origin/a HTTP/1.1\r\n\r\n", "", "origin", "(null)", "/a", "http://origin:80/a"},
        {"GET http://xx--fresh/a HTTP/1.1\r\n\r\n", "", "xx--fresh", "(null)", "/a", "http://xx--fresh:80/a"},
        {"CONNECT xx--fresh.h:8443 HTTP/1.1\r\n\r\n", "fresh", "h", "(null)", "/", "connect://h:8443/"},
        {"GET / HTTP/1.1\r\nHost: XX--Fresh.origin\r\n\r\n", "Fresh", "(null)", "origin", "/", "(null)"},
        {"GET /xx--fresh./x HTTP/1.1\r\nHost: origin\r\n\r\n", "", "(null)", "origin", "/xx--fresh./x", "(null)"},
        {"GET /xx--fresh./index.html HTTP/1.1\r\n\r\n", "fresh", "(null)", "(null)", "/index.html", "(null)"},
        {"GET /xx--fresh.xx--raw[a]./ HTTP/1.1\r\n\r\n", "fresh raw[a]", "(null)", "(null)", "/", "(null)"},
        {"GET /xx%2D%2dfresh%2E/index.html HTTP/1.1\r\n\r\n", "fresh", "(null)", "(null)", "/index.html", "(null)"},
        // the whole segment goes once it held commands
        {"GET /xx--fresh.rest/index.html HTTP/1.1\r\n\r\n", "fresh", "(null)", "(null)", "/index.html", "(null)"},
        {"GET /xx--fresh.index.html HTTP/1.1\r\n\r\n", "", "(null)", "(null)", "/xx--fresh.index.html", "(null)"},
        {"GET /a/xx--fresh./b HTTP/1.1\r\n\r\n", "", "(null)", "(null)", "/a/xx--fresh./b", "(null)"},
        {"GET /xx--fresh/b HTTP/1.1\r\n\r\n", "", "(null)", "(null)", "/xx--fresh/b", "(null)"},
    };
    for (const Case &c : cases) {
        request(c.head);
        EXPECT_EQ(1, url_command_extract(connection)) << c.head;
        EXPECT_EQ(c.commands, describe(connection->url_commands)) << c.head;
        EXPECT_EQ(c.host, text(connection->request->host)) << c.head;
        EXPECT_EQ(c.host_header, text(connection->request->host_header)) << c.head;
        EXPECT_EQ(c.file, text(connection->request->file)) << c.head;
        EXPECT_EQ(c.url, text(connection->request->url)) << c.head;
    }
    EXPECT_EQ("", sent());
}

TEST_F(UrlCommandConnection, HostHeaderCommandFoundInAnyCase) {
    request("GET / HTTP/1.1\r\nHost: XX--Fresh.origin\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(connection));
    ASSERT_NE(nullptr, url_command_find(connection->url_commands, "fresh"));
    char *labels = url_command_create(connection->url_commands);
    EXPECT_STREQ("xx--Fresh.", labels);
    free(labels);
}

TEST_F(UrlCommandConnection, ExtractReplacesEarlierCommands) {
    request("GET http://xx--raw.origin/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(connection));
    EXPECT_EQ("raw", describe(connection->url_commands));
    request("GET http://origin/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(connection));
    EXPECT_EQ(nullptr, connection->url_commands);
}

TEST_F(UrlCommandConnection, Referer) {
    struct Case {
        std::string head;
        int result;
        std::string commands;
        std::string referer;   // afterwards
        std::string location;  // of the 302, "" when nothing was sent
    };
    const std::vector<Case> cases = {
        {"GET http://origin/img.png HTTP/1.1\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 0, "",
         "http://origin/page", "http://xx--bypass.origin:80/img.png"},
        {"get http://origin:81/i?x=1 HTTP/1.1\r\nReferer: http://xx--bypass[f].xx--raw.o/page\r\n\r\n", 0, "",
         "http://o/page", "http://xx--bypass[f].xx--raw.origin:81/i?x=1"},
        {"POST http://origin/img.png HTTP/1.1\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 1, "bypass",
         "http://origin/page", ""},
        // the request's own commands win
        {"GET http://xx--fresh.origin/img.png HTTP/1.1\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 1, "fresh",
         "http://origin/page", ""},
        {"GET http://origin/img.png HTTP/1.1\r\nReferer: http://origin/page\r\n\r\n", 1, "", "http://origin/page", ""},
        {"GET http://origin/img.png HTTP/1.1\r\nReferer: http://xx--bypass\r\n\r\n", 1, "", "http://xx--bypass", ""},
        {"GET http://origin/img.png HTTP/1.1\r\n\r\n", 1, "", "(null)", ""},
        // the rest of the Referer was decoded to find the labels, and goes
        // out encoded again: nothing the client escaped reaches the server bare
        {"POST http://origin/ HTTP/1.1\r\nReferer: http://xx--a.origin:81/p?q=1&r=a%20b+c\r\n\r\n", 1, "a",
         "http://origin%3a81/p%3fq%3d1%26r%3da+b+c", ""},
        {"POST http://origin/ HTTP/1.1\r\nReferer: http://xx--a.origin/%0d%0aX:%20y\r\n\r\n", 1, "a",
         "http://origin/%0d%0aX%3a+y", ""},
        {"POST http://origin/ HTTP/1.1\r\nReferer: http://xx--bypass%5Bf%5D.origin/%7e\r\n\r\n", 1, "bypass[f]",
         "http://origin/%7e", ""},
        {"POST http://origin/ HTTP/1.1\r\nReferer: http://xx--a%2eorigin/\r\n\r\n", 1, "a", "http://origin/", ""},
        {"POST http://origin/ HTTP/1.1\r\nReferer: xx--a.origin/x\r\n\r\n", 1, "a", "http://origin/x", ""},
        // the request's scheme replaces the Referer's
        {"POST ftp://origin/ HTTP/1.1\r\nReferer: http://xx--a.origin/x\r\n\r\n", 1, "a", "ftp://origin/x", ""},
        {"POST http://origin/ HTTP/1.1\r\nReferer: http://xx--a%0d%0aX:%20y.origin/\r\n\r\n", 1, "",
         "http://xx--a%0d%0aX:%20y.origin/", ""},
        // origin form: the Host header names the host, and its port
        {"GET /img.png HTTP/1.1\r\nHost: origin\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 0, "",
         "http://origin/page", "http://xx--bypass.origin:80/img.png"},
        {"GET /img.png HTTP/1.1\r\nHost: origin:8080\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 0, "",
         "http://origin/page", "http://xx--bypass.origin:8080/img.png"},
        {"GET /img.png HTTP/1.1\r\nHost: [::1]:8080\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 0, "",
         "http://origin/page", "http://xx--bypass.[::1]:8080/img.png"},
        // neither host nor Host header: adopted
        {"GET /img.png HTTP/1.1\r\nReferer: http://xx--bypass.origin/page\r\n\r\n", 1, "bypass", "http://origin/page",
         ""},
    };
    for (const Case &c : cases) {
        request(c.head);
        EXPECT_EQ(c.result, url_command_extract(connection)) << c.head;
        EXPECT_EQ(c.commands, describe(connection->url_commands)) << c.head;
        EXPECT_EQ(c.referer, text(connection->request->referer)) << c.head;
        std::string answer = sent();
        if (c.location.empty()) {
            EXPECT_EQ("", answer) << c.head;
            continue;
        }
        EXPECT_EQ(0u, answer.find("HTTP/1.1 302 ")) << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nLocation: " + c.location + "\r\n")) << answer;
        EXPECT_NE(std::string::npos, answer.find("\r\nContent-Length: 0\r\n")) << answer;
        EXPECT_EQ(answer.size() - 4, answer.find("\r\n\r\n")) << answer;
    }
}

TEST_F(UrlCommandConnection, RedirectNotSentToADroppedClient) {
    connection->flags |= CONN_CLIENT_DROPPED;
    request("GET http://origin/img.png HTTP/1.1\r\nReferer: http://xx--bypass.origin/page\r\n\r\n");
    EXPECT_EQ(0, url_command_extract(connection));
    EXPECT_EQ("", sent());
}

TEST_F(UrlCommandConnection, AddToLocation) {
    struct Case {
        std::string head;
        std::string location;
        std::string result;
    };
    const std::string raw = "GET http://xx--raw.origin/dir/page?x=/y HTTP/1.1\r\n\r\n";
    const std::vector<Case> cases = {
        {raw, "/next", "http://xx--raw.origin:80/next"},
        {raw, "http://other:8080/x", "http://xx--raw.other:8080/x"},
        {raw, "https://other/x", "http://xx--raw.other/x"},
        {raw, "next.html", "http://xx--raw.origin:80/dir/next.html"},
        {raw, "", "http://xx--raw.origin:80/dir/"},
        {raw, "//other/x", "http://xx--raw.other/x"},
        // a URL inside a relative location's query does not make it absolute
        {raw, "/login?next=http://evil/", "http://xx--raw.origin:80/login?next=http://evil/"},
        {raw, "a?u=http://evil/", "http://xx--raw.origin:80/dir/a?u=http://evil/"},
        {"GET http://xx--bypass[f].xx--fresh.origin:81/ HTTP/1.1\r\n\r\n", "/n",
         "http://xx--bypass[f].xx--fresh.origin:81/n"},
        {"GET /page HTTP/1.1\r\nHost: xx--raw.origin:8080\r\n\r\n", "/next", "http://xx--raw.origin:8080/next"},
        {"GET http://origin/a HTTP/1.1\r\n\r\n", "/next", "http://origin:80/next"},
        {raw, "/" + std::string(5000, 'p'), "http://xx--raw.origin:80/" + std::string(4095 - 25, 'p')},
    };
    for (const Case &c : cases) {
        request(c.head);
        ASSERT_EQ(1, url_command_extract(connection)) << c.head;
        char *result = url_command_add(connection, c.location.c_str());
        EXPECT_EQ(c.result, std::string(result)) << c.head << " " << c.location;
        EXPECT_LE(strlen(result), 4095u);
        free(result);
    }
}

TEST_F(UrlCommandConnection, CommandsNeedThePermission) {
    struct Case {
        unsigned int permissions;
        bool kept;
    };
    const std::vector<Case> cases = {
        {0, false},
        {PERMISSION_BYPASS, false},
        {PERMISSION_PROXY | PERMISSION_ORIGIN | PERMISSION_INTERFACE, false},
        {PERMISSION_URLCOMMAND, true},
        {PERMISSION_URLCOMMAND | PERMISSION_BYPASS, true},
    };
    for (const Case &c : cases) {
        request("GET http://xx--bypass.xx--fresh.origin/ HTTP/1.1\r\n\r\n");
        ASSERT_EQ(1, url_command_extract(connection));
        connection->permissions = c.permissions;
        EXPECT_EQ(c.kept ? 1 : 0, url_command_permit(connection)) << c.permissions;
        EXPECT_EQ(c.kept, url_command_find(connection->url_commands, "fresh") != nullptr) << c.permissions;
        EXPECT_EQ(c.kept, url_command_find(connection->url_commands, "bypass") != nullptr) << c.permissions;
    }
    // nothing to drop
    connection->permissions = 0;
    request("GET http://origin/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(connection));
    EXPECT_EQ(1, url_command_permit(connection));
    // without the permission nothing goes back into a redirect location
    request("GET http://xx--raw.origin/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(connection));
    url_command_permit(connection);
    char *location = url_command_add(connection, "/next");
    EXPECT_STREQ("http://origin:80/next", location);
    free(location);
}

}  // namespace

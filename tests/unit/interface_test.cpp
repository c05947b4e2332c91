// The web interface's login token and Referer rule.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection.h"
#include "header.h"
#include "interface.h"
#include "network.h"
#include "settings.h"
#include "templates.h"

TEST(InterfaceLogin, TokenHoldsTheLoginAndItsExpiry) {
    const time_t now = 1800000000;
    std::string token = interface_login_token("admin", "secret", now + 3600);
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(token.find_first_of(";, =\"\\"), std::string::npos) << token;
    struct Case {
        const char *user, *password;
        std::string token;
        time_t at;
        bool valid;
    } cases[] = {
        {"admin", "secret", token, now, true},
        {"admin", "secret", token, now + 3600, true},
        {"admin", "secret", token, now + 3601, false},  // replayed after it expired
        {"admin", "secreT", token, now, false},         // the password changed
        {"admi", "nsecret", token, now, false},
        {"admin", "secret", "", now, false},
        {"admin", "secret", "x" + token.substr(1), now, false},  // forged
        {"admin", "secret", token.substr(0, 12), now, false},
        {"admin", "secret", token + token, now, false},
        {"admin", "secret", "%00%00%00%00", now, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(interface_login_valid(c.user, c.password, c.token, c.at), c.valid)
            << c.user << ":" << c.password << " " << c.token << " at " << c.at;
}

// Two logins at once must not corrupt each other's key schedule.
TEST(InterfaceLogin, ConcurrentTokensAreStable) {
    const std::vector<std::pair<std::string, std::string>> users = {
        {"alice", "one"}, {"bob", "two-longer-password"}, {"carol", "3"}, {"dave", "four four"}};
    std::vector<std::string> expected;
    for (const auto &u : users) expected.push_back(interface_login_token(u.first, u.second, 2000000000));
    std::vector<int> wrong(users.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < users.size(); i++)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 300; n++) {
                if (interface_login_token(users[i].first, users[i].second, 2000000000) != expected[i]) wrong[i]++;
                if (!interface_login_valid(users[i].first, users[i].second, expected[i], 1900000000)) wrong[i]++;
            }
        });
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < users.size(); i++) EXPECT_EQ(wrong[i], 0) << users[i].first;
}

// Asking whether a request is for the interface changes nothing; only the
// explicit step reads an origin-form request addressed by Host alone as an
// absolute one (its path does not carry the interface's name).
TEST(InterfaceRequest, AskingLeavesTheRequestAlone) {
    struct Case {
        const char *head;
        bool ours;
        int type_after_settle;
    } cases[] = {
        {"GET /page HTTP/1.1\r\nHost: " INTERFACE_HOST "\r\n\r\n", true, HEADER_ABSOLUTE},
        {"GET /" INTERFACE_HOST "/page HTTP/1.1\r\nHost: " INTERFACE_HOST "\r\n\r\n", true, HEADER_ORIGIN},
        {"GET /" INTERFACE_HOST "/page HTTP/1.1\r\nHost: other.example\r\n\r\n", true, HEADER_ORIGIN},
        {"GET /page HTTP/1.1\r\nHost: other.example\r\n\r\n", false, HEADER_ORIGIN},
        {"GET http://" INTERFACE_HOST "/page HTTP/1.1\r\nHost: " INTERFACE_HOST "\r\n\r\n", true, HEADER_ABSOLUTE},
        {"GET http://other.example/page HTTP/1.1\r\nHost: " INTERFACE_HOST "\r\n\r\n", false, HEADER_ABSOLUTE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.head);
        CONNECTION_T *connection = connection_new();
        connection->request = http_header_parse_request(c.head);
        ASSERT_NE(connection->request, nullptr);
        int type = connection->request->type;
        EXPECT_EQ(interface_request(connection), c.ours);
        EXPECT_EQ(interface_request(connection), c.ours);
        EXPECT_EQ(connection->request->type, type);
        if (c.ours) interface_request_settle(connection);
        EXPECT_EQ(connection->request->type, c.type_after_settle);
        http_header_free(connection->request);
        connection->request = nullptr;
        connection_free(connection);
    }
}

static int referer_check(const char *referer) {
    std::string head = std::string("GET http://" INTERFACE_HOST "/stats HTTP/1.1\r\nReferer: ") + referer + "\r\n\r\n";
    CONNECTION_T *connection = connection_new();
    connection->request = http_header_parse_request(head.c_str());
    EXPECT_NE(connection->request, nullptr);
    int passes = connection->request ? interface_check_referer(connection) : -1;
    http_header_free(connection->request);
    connection->request = nullptr;
    connection_free(connection);
    return passes;
}

// Only pages the interface served pass: its own name, or the proxy's own
// name on one of its listening ports (none is 80) with the interface's name
// as the path's first segment.
TEST(InterfaceReferer, OnlyPagesOfTheInterfacePass) {
    char saved[sizeof proxyhost];
    memcpy(saved, proxyhost, sizeof saved);
    snprintf(proxyhost, sizeof proxyhost, "%s", "proxy.example");
    // The listeners as the table holds them; no socket is needed to read it.
    net_init();
    for (int slot : {0, 1}) {
        socklist[slot].active = 1;
        socklist[slot].port = slot == 0 ? 80 : 8080;
    }
    struct Case {
        const char *referer;
        int passes;
    } cases[] = {
        {"http://" INTERFACE_HOST "/config", 1},
        {"HTTP://" INTERFACE_HOST ":80/", 1},
        {"http://" INTERFACE_HOST ".evil/", 0},
        {"http://proxy.example/" INTERFACE_HOST, 1},
        {"http://proxy.example:8080/" INTERFACE_HOST "/config?section=access", 1},
        {"http://PROXY.example/" INTERFACE_HOST "?x", 1},
        {"http://proxy.example/" INTERFACE_HOST "#top", 1},
        {"http://proxy.example/", 0},
        {"http://proxy.example", 0},
        {"http://proxy.example:8080/config", 0},
        {"http://proxy.example/x/" INTERFACE_HOST "/", 0},
        {"http://proxy.example/" INTERFACE_HOST ".evil/", 0},
        {"http://proxy.example:80x/" INTERFACE_HOST "/", 0},
        {"http://proxy.example.evil/" INTERFACE_HOST "/", 0},
        {"https://proxy.example/" INTERFACE_HOST "/", 0},
        {"", 0},
        // Another port on the proxy's host is another program's.
        {"http://proxy.example:9999/" INTERFACE_HOST "/", 0},
        {"http://proxy.example:81/" INTERFACE_HOST "/config", 0},
        {"http://proxy.example:/" INTERFACE_HOST "/", 0},
        {"http://proxy.example:65616/" INTERFACE_HOST "/", 0},  // 80 after wrapping
        {"http://proxy.example:000080/" INTERFACE_HOST "/", 0},
        {"http://proxy.example:80/" INTERFACE_HOST "/", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.referer);
        EXPECT_EQ(referer_check(c.referer), c.passes);
    }
    // Without a listener on port 80 a Referer without a port is foreign;
    // the interface's own name needs no port.
    socklist[0].port = 3128;
    EXPECT_EQ(referer_check("http://proxy.example/" INTERFACE_HOST "/"), 0);
    EXPECT_EQ(referer_check("http://proxy.example:3128/" INTERFACE_HOST "/"), 1);
    EXPECT_EQ(referer_check("http://" INTERFACE_HOST "/config"), 1);
    net_init();
    memcpy(proxyhost, saved, sizeof saved);
}

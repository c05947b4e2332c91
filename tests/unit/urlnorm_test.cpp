#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "header.h"
#include "urlnorm.h"

namespace {

TEST(UrlNorm, Path) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/ads/x", "/ads/x"},
        {"/%61ds/", "/ads/"},
        {"/%41%2d%5f%7E%2E", "/A-_~."},
        {"/./ads/", "/ads/"},
        {"/z/../ads/", "/ads/"},
        {"/%2e%2e/ads/", "/ads/"},
        {"/a/%2E/b/.%2e/c", "/a/c"},
        {"/../../x", "/x"},
        {"/a/b/..", "/a/"},
        {"/a/.", "/a/"},
        {"/..", "/"},
        {"/a//../b", "/a/b"},
        {"//ads/", "//ads/"},
        {"/.hidden/..x/...", "/.hidden/..x/..."},
        // reserved escapes and the query stay as written
        {"/a%2Fb/%3F/%25", "/a%2Fb/%3F/%25"},
        {"/x?y=/../ads/&z=%61", "/x?y=/../ads/&z=%61"},
        {"/a/../?q", "/?q"},
        {"/%6", "/%6"},
        {"/%zz", "/%zz"},
        // a decoded digit never makes a new escape with a '%' before it
        {"/%%341", "/%%341"},
        {"/%4%31", "/%4%31"},
        {"/%%61", "/%%61"},
        {"/%25%34%31", "/%2541"},
        {"", ""},
        {"*", "*"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.second, url_path_normalise(c.first)) << c.first;
}

TEST(UrlNorm, PathForRules) {
    EXPECT_EQ("/ads/", url_path_for_rules("//ads/"));
    EXPECT_EQ("/a/b/", url_path_for_rules("/a///b//"));
    EXPECT_EQ("/a?x=//y", url_path_for_rules("//a?x=//y"));
}

TEST(UrlNorm, Host) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1", "127.0.0.1"},   {"127.1", "127.0.0.1"},        {"2130706433", "127.0.0.1"},
        {"0x7f000001", "127.0.0.1"},  {"0177.0.0.1", "127.0.0.1"},   {"0x7f.1", "127.0.0.1"},
        {"127.0.1", "127.0.0.1"},     {"127.000.000.001", "127.0.0.1"}, {"example.com", "example.com"},
        {"1.2.3.4.5", "1.2.3.4.5"},   {"08.1", "08.1"},             {"deadbeef", "deadbeef"},
        {"4294967296", "4294967296"}, {"", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(c.second, url_host_normalise(c.first)) << c.first;
}

TEST(UrlNorm, Request) {
    HEADER *request = http_header_parse_request("GET http://2130706433:81/z/../%61ds/?q=/.. HTTP/1.1\r\n\r\n");
    ASSERT_NE(nullptr, request);
    EXPECT_TRUE(url_request_normalise(request));
    EXPECT_STREQ("127.0.0.1", request->host);
    EXPECT_STREQ("/ads/?q=/..", request->file);
    EXPECT_STREQ("http://127.0.0.1:81/ads/?q=/..", request->url);
    EXPECT_FALSE(url_request_normalise(request));
    http_header_free(request);

    request = http_header_parse_request("GET /a/./b HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_NE(nullptr, request);
    EXPECT_TRUE(url_request_normalise(request));
    EXPECT_STREQ("/a/b", request->file);
    EXPECT_EQ(nullptr, request->url);
    http_header_free(request);
}

}  // namespace

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base64block.h"
#include "log.h"

namespace {

struct Ring {
    Ring() { log_ring = logbuffer_new(50); }
    ~Ring() {
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    bool has(const std::string &text) const {
        for (LOGNODE *n = log_ring->oldest; n; n = n->newer)
            if (strstr(n->line, text.c_str())) return true;
        return false;
    }
};

std::string block(const std::string &bytes) {
    unsigned char in[3] = {0, 0, 0};
    memcpy(in, bytes.data(), bytes.size());
    unsigned char out[4];
    encodeblock(in, out, (int)bytes.size());
    return std::string((const char *)out, 4);
}

TEST(Base64Block, EncodesOneBlockWithPadding) {
    EXPECT_EQ(block("abc"), "YWJj");
    EXPECT_EQ(block("ab"), "YWI=");
    EXPECT_EQ(block("a"), "YQ==");
    EXPECT_EQ(block(std::string("\xff\xff\xff", 3)), "////");
}

TEST(Base64Block, DecodesValuesNotLetters) {
    const unsigned char values[4] = {24, 22, 9, 35};  // "YWJj"
    unsigned char out[3];
    decodeblock(values, out);
    EXPECT_EQ(std::string((const char *)out, 3), "abc");
}

TEST(Base64Block, Decode64AppendsAndSkipsNonLetters) {
    struct Case {
        const char *text;
        std::string start;
        std::string expected;
    } cases[] = {
        {"YWJj", "", "abc"},
        {"YQ==", "", "a"},
        {"YQ==", "x", "xa"},
        {"YW\r\nJj ", "", "abc"},
        {"YWJjZGVm\nZ2g=", "", "abcdefgh"},
        {"~~YWJj~~", "", "abc"},
        {"AAAA", "", ""},  // a zero byte ends the group's contribution
    };
    for (const Case &c : cases) {
        std::string out = c.start;
        EXPECT_EQ(decode64(c.text, &out), (int)c.expected.size()) << c.text;
        EXPECT_EQ(out, c.expected) << c.text;
    }
}

TEST(Base64Block, EmptyTextIsAnErrorAndLogged) {
    Ring ring;
    std::string out;
    EXPECT_EQ(decode64("", &out), -1);
    EXPECT_TRUE(ring.has("Invalid data is provided for base64 decoding"));
}

TEST(Base64Block, TextRoundTrip) {
    const std::string texts[] = {"a", "ab", "abc", "host.example.com.cat.zone\t42", std::string(1023, 'q')};
    for (const std::string &t : texts) {
        std::string encoded = encode64(t);
        EXPECT_EQ(encoded.size(), (t.size() + 2) / 3 * 4);
        std::string back;
        EXPECT_EQ(decode64(encoded.c_str(), &back), (int)t.size());
        EXPECT_EQ(back, t);
    }
}

}  // namespace

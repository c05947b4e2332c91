#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "blowfish.h"

namespace {

std::vector<unsigned char> hex_bytes(const std::string &hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((unsigned char)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

uint32_t word(const std::vector<unsigned char> &b, size_t at) {
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}

std::string take(char *text) {
    std::string out = text ? text : "<null>";
    free(text);
    return out;
}

}  // namespace

// The published ECB vectors (key, plain, cipher), including variable key lengths.
TEST(Blowfish, PublishedVectors) {
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
        {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
        {"F0E1D2C3B4", "FEDCBA9876543210", "B39E44481BDB1E6E"},
        {"F0E1D2C3B4A5968778695A4B3C2D1E0F00", "FEDCBA9876543210", "03429E838CE2D14B"},
        {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080"},
    };
    pthread_mutex_lock(&blowfish_lock);
    for (const Case &c : cases) {
        std::vector<unsigned char> key = hex_bytes(c.key), plain = hex_bytes(c.plain), cipher = hex_bytes(c.cipher);
        blowfish_init(key.data(), (int)key.size(), 0);
        uint32_t left = word(plain, 0), right = word(plain, 4);
        blowfish_encipher(&left, &right);
        EXPECT_EQ(word(cipher, 0), left) << c.key;
        EXPECT_EQ(word(cipher, 4), right) << c.key;
        blowfish_decipher(&left, &right);
        EXPECT_EQ(word(plain, 0), left) << c.key;
        EXPECT_EQ(word(plain, 4), right) << c.key;
    }
    pthread_mutex_unlock(&blowfish_lock);
}

TEST(Blowfish, TextFraming) {
    // Expected values worked out independently from the cipher and the framing.
    struct Case {
        std::string key, text, cipher;
    } cases[] = {
        {"user:pass", "user:pass", "NZkMl/KeEHw/MN8G2.GDQZx."},
        {"admin:secret", "admin:secret", "sDkLW0qeuy.05uXaa1wpoei/"},
        {"k3y!", "abcdefgh", "RPqJm0UV6j01"},
        // bytes past the first of each word count as signed
        {"k3y!",
         "\xC3\xA9t\xC3\xA9\x80\xFF"
         "12",
         "XJMJ71Mlbai0MOShp/lK6OD/"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.cipher, take(blowfish_encrypt(c.key.c_str(), c.text.c_str()))) << c.key;
}

TEST(Blowfish, OutputLengthAndRoundTrip) {
    struct Case {
        const char *text;
        size_t length;
    } cases[] = {{"", 0},
                 {"a", 12},
                 {"abcde", 12},
                 {"abcdefgh", 12},
                 {"abcdefghi", 24},
                 {"0123456789abcdef", 24},
                 {"0123456789abcdefg", 36}};
    for (const Case &c : cases) {
        std::string cipher = take(blowfish_encrypt("some key", c.text));
        EXPECT_EQ(c.length, cipher.size()) << c.text;
        for (char ch : cipher) EXPECT_NE(nullptr, strchr(base64, ch)) << c.text;
        EXPECT_EQ(c.text, take(blowfish_decrypt("some key", cipher.c_str()))) << c.text;
    }
}

TEST(Blowfish, DecryptOfOddInput) {
    // A trailing partial group is ignored; unknown characters count as '.'.
    std::string cipher = take(blowfish_encrypt("k", "abcdefgh"));
    EXPECT_EQ("abcdefgh", take(blowfish_decrypt("k", (cipher + "xyz").c_str())));
    EXPECT_EQ("", take(blowfish_decrypt("k", "short")));
    std::string odd = take(blowfish_decrypt("k", "************"));
    EXPECT_EQ(take(blowfish_decrypt("k", "............")), odd);
}

TEST(Blowfish, SchedulesStayRightAcrossCacheReuse) {
    // More keys than the cache holds, used in turn: every result must be the
    // one the key gave the first time.
    std::vector<std::string> keys = {
        "first", "second", "third", "fourth", "fifth", std::string(100, 'L'), std::string(99, 'L') + "M"};
    std::vector<std::string> first;
    for (const std::string &key : keys) first.push_back(take(blowfish_encrypt(key.c_str(), "the same text")));
    for (int round = 0; round < 3; round++)
        for (size_t i = keys.size(); i-- > 0;)
            EXPECT_EQ(first[i], take(blowfish_encrypt(keys[i].c_str(), "the same text"))) << keys[i];
    // Keys differing in length give different schedules.
    EXPECT_NE(first[0], take(blowfish_encrypt("firs", "the same text")));
    EXPECT_NE(first[0], take(blowfish_encrypt("firstt", "the same text")));
    // Past 72 bytes a key no longer reaches the schedule, so these agree.
    EXPECT_EQ(first[5], first[6]);
}

TEST(Blowfish, EmptyKeyAndNullTextAreHandled) {
    std::string cipher = take(blowfish_encrypt("", "text"));
    EXPECT_EQ(12u, cipher.size());
    EXPECT_EQ("text", take(blowfish_decrypt("", cipher.c_str())));
    EXPECT_EQ("", take(blowfish_encrypt("k", nullptr)));
}

TEST(Blowfish, Base64dec) {
    struct Case {
        char c;
        int value;
    } cases[] = {{'.', 0},  {'/', 1},  {'0', 2}, {'a', 12}, {'z', 37},
                 {'A', 38}, {'Z', 63}, {'*', 0}, {'+', 0},  {'\0', 0}};
    for (const Case &c : cases) EXPECT_EQ(c.value, base64dec(c.c)) << (int)c.c;
}

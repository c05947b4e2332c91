#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "cipher.h"
#include "filebuf.h"
#include "settings.h"

namespace {

std::string privatise(const std::string &plain, const std::string &key, int capacity = 1024) {
    std::string out((size_t)capacity, '#');
    int n = korvantel_privatise((const unsigned char *)plain.data(), (const unsigned char *)key.c_str(), nullptr,
                                (unsigned char *)&out[0], (int)plain.size(), capacity);
    if (n < 0) return "<error>";
    return out.substr(0, (size_t)(2 * n));
}

// Deciphers into a buffer with guard bytes after its capacity.
int deprivatise(const std::string &text, const std::string &key, std::string *plain, int capacity = 256) {
    std::string out((size_t)capacity + 8, '#');
    int n = korvantel_deprivatise((const unsigned char *)text.data(), (const unsigned char *)key.c_str(), nullptr,
                                  (unsigned char *)&out[0], (int)text.size(), capacity);
    for (size_t i = (size_t)capacity; i < out.size(); i++) EXPECT_EQ(out[i], '#');
    plain->assign(out.data(), n > 0 ? (size_t)n : 0);
    return n;
}

TEST(Cipher, TextLengthFollowsSymbols) {
    struct {
        std::string plain;
        size_t chars;
    } cases[] = {{"a", 4}, {"ab", 6}, {"abc", 8}, {"abcd", 12}, {"abcdef", 16}};
    for (auto &c : cases) {
        std::string text = privatise(c.plain, "key");
        EXPECT_EQ(text.size(), c.chars) << c.plain;
        for (char ch : text) EXPECT_TRUE(strchr("0123456789abcdef", ch)) << text;
    }
}

// The text of standard base64 written as symbol pairs, without padding.
std::string pairs_of(const std::string &base64) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    char pair[3];
    for (char c : base64) {
        if (c == '=') break;
        snprintf(pair, sizeof pair, "%02x", (unsigned)alphabet.find(c) + 1);
        text += pair;
    }
    return text;
}

TEST(Cipher, AgreesWithTheOpensslTool) {
    // printf secret | openssl enc -rc4 -K 6b6579 (zero-padded) -nosalt | base64
    EXPECT_EQ(privatise("secret", "key"), pairs_of("YUifrMrn"));
    FILE *tool = popen(
        "printf 'Pass_word1' | openssl enc -rc4 -K 6b657931323334000000000000000000 -nosalt "
        "-provider legacy -provider default 2>/dev/null | base64",
        "r");
    ASSERT_TRUE(tool);
    char line[256] = "";
    ASSERT_TRUE(fgets(line, sizeof line, tool));
    pclose(tool);
    line[strcspn(line, "\n")] = 0;
    EXPECT_EQ(privatise("Pass_word1", "key1234"), pairs_of(line));
}

TEST(Cipher, RoundTripAndOtherKey) {
    const std::string passwords[] = {"s", "secret", "Secret_123", std::string(300, 'p')};
    for (const std::string &p : passwords) {
        std::string text = privatise(p, "installation-key");
        std::string plain;
        EXPECT_EQ(deprivatise(text, "installation-key", &plain, 512), (int)p.size());
        EXPECT_EQ(plain, p);
        EXPECT_EQ(deprivatise(text, "another-key", &plain, 512), (int)p.size());
        EXPECT_NE(plain, p);
    }
}

TEST(Cipher, KeyIsItsFirstSixteenBytesZeroPadded) {
    EXPECT_EQ(privatise("password", "0123456789abcdefXYZ"), privatise("password", "0123456789abcdefQQ"));
    EXPECT_NE(privatise("password", "short"), privatise("password", "short1"));
    std::string plain;
    // A short key is padded with zero bytes: the 16-byte form of it deciphers alike.
    EXPECT_EQ(deprivatise(privatise("password", "short"), "short", &plain), 8);
    EXPECT_EQ(plain, "password");
}

TEST(Cipher, MalformedTextsAreRefused) {
    std::string good = privatise("secret", "k");
    std::string upper = good;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    std::string plain;
    const std::string bad[] = {"",
                               good.substr(1),
                               upper == good ? "zz" + good : upper,
                               "00" + good.substr(2),
                               "41" + good.substr(2),
                               "0g" + good.substr(2),
                               "01"};
    for (const std::string &t : bad) EXPECT_EQ(deprivatise(t, "k", &plain), 0) << t;
}

TEST(Cipher, OutputCapacityIsRespected) {
    std::string text = privatise("0123456789", "k");
    std::string plain;
    EXPECT_EQ(deprivatise(text, "k", &plain, 9), 0);
    EXPECT_EQ(deprivatise(text, "k", &plain, 10), 10);
    EXPECT_EQ(privatise("0123456789", "k", 27), "<error>");  // needs 28
    EXPECT_EQ(privatise("0123456789", "k", 28).size(), 28u);
}

TEST(Cipher, EmptyInputIsAnErrorNotAnExit) {
    unsigned char out[16];
    EXPECT_EQ(korvantel_privatise((const unsigned char *)"", (const unsigned char *)"k", nullptr, out, 0, 16), -1);
}

std::string page_of(const std::map<std::string, std::string> &form) {
    Filebuf page;
    password_page(&page, form);
    return std::string(page.data ? page.data : "", (size_t)page.size);
}

TEST(Cipher, PasswordPage) {
    installation_key_set("k<ey>");
    std::string form = page_of({});
    EXPECT_NE(form.find("name=\"active\" value=\"k&lt;ey&gt;\""), std::string::npos) << form;
    EXPECT_NE(form.find("name=\"scode1\""), std::string::npos);
    EXPECT_EQ(form.find("listeven"), std::string::npos);

    std::string mismatch = page_of({{"active", "key1"}, {"scode", "abc"}, {"scode1", "abd"}});
    EXPECT_NE(mismatch.find("fields do not match or, are empty."), std::string::npos);
    EXPECT_EQ(mismatch.find("listeven"), std::string::npos);

    std::string bad = page_of({{"active", "key1"}, {"scode", "a b"}, {"scode1", "a b"}});
    EXPECT_NE(bad.find("Please use only <font><B>Alphanumeric Characters.</b></font>"), std::string::npos);

    std::string any_key = page_of({{"active", "k-e y!"}, {"scode", "abc"}, {"scode1", "abc"}});
    EXPECT_NE(any_key.find("<tr class=\"listeven\">"), std::string::npos);

    std::string good = page_of({{"active", "key1"}, {"scode", "abc_1"}, {"scode1", "abc_1"}});
    std::string expected = privatise("abc_1", "key1");
    EXPECT_NE(good.find("<tr class=\"listeven\"><td align=\"center\" width=\"25%\">" + expected + "</td></tr>"),
              std::string::npos)
        << good;

    std::string too_long(600, 'a');
    std::string refused = page_of({{"active", "key1"}, {"scode", too_long}, {"scode1", too_long}});
    EXPECT_EQ(refused.find("listeven"), std::string::npos);
}

TEST(Cipher, InstallationKeyFileIsCreatedOnceAndKept) {
    char dir[] = "/tmp/korvantel-key-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string saved = configfile;
    snprintf(configfile, sizeof configfile, "%s/korvantel.xml", dir);
    installation_key_forget();
    std::string first = installation_key();
    EXPECT_EQ(first.size(), 32u);
    struct stat st;
    std::string path = std::string(dir) + "/korvantel.key";
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    installation_key_forget();
    EXPECT_EQ(installation_key(), first);
    unlink(path.c_str());
    rmdir(dir);
    snprintf(configfile, sizeof configfile, "%s", saved.c_str());
    installation_key_forget();
}

TEST(Cipher, WithoutAKeyFileTheSharedKeyIsFlaggedOnThePage) {
    std::string saved = configfile;
    snprintf(configfile, sizeof configfile, "%s", "/nonexistent-korvantel-dir/korvantel.xml");
    installation_key_prepare();
    EXPECT_TRUE(installation_key_shared());
    std::string form = page_of({});
    EXPECT_NE(form.find("Warning: no installation key file"), std::string::npos) << form;
    installation_key_set("k1");
    EXPECT_FALSE(installation_key_shared());
    EXPECT_EQ(page_of({}).find("Warning:"), std::string::npos);
    snprintf(configfile, sizeof configfile, "%s", saved.c_str());
    installation_key_forget();
}

}  // namespace
